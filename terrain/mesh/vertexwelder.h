#ifndef TERRAVEL_VERTEXWELDER_H
#define TERRAVEL_VERTEXWELDER_H

#include <Inventor/SbVec3f.h>

#include <cstdint>
#include <vector>

// Numbers distinct positions in order of first insertion, like the toolkit's point tree
// (findPoint, then addPoint), but with an open-addressing hash on the exact coordinates:
// positions are equal when every component compares equal, so -0 and +0 are one position and
// a position with a NaN component equals nothing, not even itself, and always gets a new number.
class VertexWelder {
public:
  explicit VertexWelder(int expectedPoints = 0);
  // The distinct positions among the points, welded in order.
  explicit VertexWelder(const std::vector<SbVec3f> & points);

  // The number of an equal position, or -1.
  int32_t findPoint(const SbVec3f & point) const;
  // Stores a new position and returns its number (the count so far).
  int32_t addPoint(const SbVec3f & point);
  // findPoint, then addPoint when nothing equal was found.
  int32_t weld(const SbVec3f & point);

  int32_t numPoints(void) const { return int32_t(points.size()); }
  const SbVec3f & getPoint(int32_t index) const { return points[size_t(index)]; }
  // Hands the positions over in their order; the welder is empty afterwards.
  std::vector<SbVec3f> releasePoints(void);

  // The bits a component of a position is hashed by: -0 and +0 alike, as they compare equal.
  static uint32_t bitsOf(float value);

private:
  static uint64_t hashOf(const SbVec3f & point);
  // The slot of an equal position, or the empty slot where the probe for it ends.
  size_t slotFor(const SbVec3f & point) const;
  void grow(void);

  std::vector<SbVec3f> points;
  std::vector<int32_t> slots; // -1 empty, else a point number; a power of two long
};

#endif
