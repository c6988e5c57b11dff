#ifndef TERRAVEL_MESHCUT_H
#define TERRAVEL_MESHCUT_H

#include "cutrules.h"
#include "flatmesh.h"

#include <vector>

// Where a cut writes its chunk: the cut asks for room once it knows each size, and writes
// straight into it, so a chunk lands in its nodes' fields or in plain lists without a copy.
class ChunkWriter {
public:
  virtual ~ChunkWriter(void) = default;
  // Room for count coordIndex entries; asked first.
  virtual int32_t * indices(int32_t count) = 0;
  // Room for count vertices and as many texture coordinates; asked second.
  virtual void vertices(int32_t count, SbVec3f *& points, SbVec2f *& texCoords) = 0;
  // Everything is written.
  virtual void finish(void) = 0;
};

// Writes a chunk into the lists of a FlatMesh.
class ListChunkWriter : public ChunkWriter {
public:
  explicit ListChunkWriter(FlatMesh & lists) : lists(lists) {}
  int32_t * indices(int32_t count) override;
  void vertices(int32_t count, SbVec3f *& points, SbVec2f *& texCoords) override;
  void finish(void) override {}

private:
  FlatMesh & lists;
};

// Copies the triangles whose centroid the rectangle keeps (cutrules) into a new chunk: vertices
// numbered in the order the kept triangles first use them, each with the texture coordinate of
// the last corner that used it, triangles in input order. Visits every triangle, or only those
// listed (triangle numbers in increasing order); a list gives what cutting a mesh of just those
// triangles gives. Appends to border, in corner order, every corner of a kept triangle that is
// not strictly inside and every strictly inside corner of a dropped triangle that reaches out
// (non-finite positions never). A triangle with a corner index outside either list is skipped.
void cutMesh(const MeshView & mesh, const std::vector<int32_t> * triangles,
             const cutrules::Rectangle & rect, std::vector<SbVec3f> & border, ChunkWriter & out);

#endif
