#ifndef TERRAVEL_CUTRULES_H
#define TERRAVEL_CUTRULES_H

// Which triangles a rectangle of the ground plane keeps, and which of their corners lie
// strictly inside it. The cut and the tree builder must agree on both to the last bit: a
// triangle whose centroid falls exactly on the edge two cells share belongs to both.

#include <Inventor/SbVec3f.h>

#include <cmath>

namespace cutrules {

// x1 and x2 bound X, y1 and y2 bound Z; heights never count.
struct Rectangle {
  float x1, y1, x2, y2;
};

// On the border is not inside.
inline bool strictlyInside(const Rectangle & r, const SbVec3f & p)
{
  return r.x1 < p[0] && p[0] < r.x2 && r.y1 < p[2] && p[2] < r.y2;
}

// Summed from zero corner by corner and divided, all in single precision.
inline float centroidOf(float a, float b, float c)
{
  float sum = 0.0f;
  sum += a;
  sum += b;
  sum += c;
  return sum / 3.0f;
}

// A centroid on the border is kept.
inline bool keepsCentroid(const Rectangle & r, float cx, float cz)
{
  return r.x1 <= cx && cx <= r.x2 && r.y1 <= cz && cz <= r.y2;
}

// True when the single-precision centroid of finite corners overflowed: near the largest
// floats the sum passes them, and only a wider sum can place the centroid.
inline bool centroidOverflowed(float centroid, float a, float b, float c)
{
  return std::isinf(centroid) && std::isfinite(a) && std::isfinite(b) && std::isfinite(c);
}

inline double wideCentroidOf(float a, float b, float c)
{
  return (double(a) + double(b) + double(c)) / 3.0;
}

// The keep test on one axis for a centroid computed as centroidOf(a, b, c).
inline bool keepsOnAxis(float low, float high, float centroid, float a, float b, float c)
{
  if (!centroidOverflowed(centroid, a, b, c)) return low <= centroid && centroid <= high;
  const double wide = wideCentroidOf(a, b, c);
  return double(low) <= wide && wide <= double(high);
}

inline bool keepsTriangle(const Rectangle & r, const SbVec3f & p0, const SbVec3f & p1,
                          const SbVec3f & p2)
{
  const float cx = centroidOf(p0[0], p1[0], p2[0]);
  const float cz = centroidOf(p0[2], p1[2], p2[2]);
  return keepsOnAxis(r.x1, r.x2, cx, p0[0], p1[0], p2[0]) &&
         keepsOnAxis(r.y1, r.y2, cz, p0[2], p1[2], p2[2]);
}

} // namespace cutrules

#endif
