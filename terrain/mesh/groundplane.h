#ifndef TERRAVEL_GROUNDPLANE_H
#define TERRAVEL_GROUNDPLANE_H

#include <Inventor/SbVec3f.h>

#include <algorithm>
#include <cmath>

// Twice the signed area on the ground (X and Z) of a triangle, in double precision.
inline double groundArea(const SbVec3f & a, const SbVec3f & b, const SbVec3f & c)
{
  return (double(b[0]) - a[0]) * (double(c[2]) - a[2]) - (double(c[0]) - a[0]) * (double(b[2]) - a[2]);
}

// Whether a triangle's ground area is none as far as single-precision positions tell: less than
// what rounding its corners could make of three points on one line (a triangle standing on its
// edge, which holds no ground and hides a step between its neighbours).
inline bool flatOnGround(const SbVec3f & a, const SbVec3f & b, const SbVec3f & c, double area)
{
  double longest = 0.0, reach = 0.0;
  const SbVec3f * corner[3] = {&a, &b, &c};
  for (int k = 0; k < 3; ++k) {
    const SbVec3f & p = *corner[k], & q = *corner[(k + 1) % 3];
    const double dx = double(q[0]) - p[0], dz = double(q[2]) - p[2];
    longest = std::max(longest, dx * dx + dz * dz);
    reach = std::max({reach, std::fabs(double(p[0])), std::fabs(double(p[2]))});
  }
  // Four times the rounding of a coordinate that far out, along the longest edge.
  const double rounding = 4.0 * 1.1920929e-7 * reach;
  return area * area <= rounding * rounding * longest;
}

inline bool flatOnGround(const SbVec3f & a, const SbVec3f & b, const SbVec3f & c)
{
  return flatOnGround(a, b, c, groundArea(a, b, c));
}

// A triangle of some ground area, ready for many points: its barycentric weights and its
// height as linear functions of the ground position.
struct GroundPlane {
  double wa[3], wb[3], h[3]; // value = k[0] x + k[1] z + k[2]

  GroundPlane(void) = default;
  GroundPlane(const SbVec3f & a, const SbVec3f & b, const SbVec3f & c)
  {
    const double area = groundArea(a, b, c);
    // groundArea(q, b, c) and groundArea(a, q, c) are linear in q.
    wa[0] = (double(b[2]) - c[2]) / area;
    wa[1] = (double(c[0]) - b[0]) / area;
    wa[2] = (double(b[0]) * c[2] - double(c[0]) * b[2]) / area;
    wb[0] = (double(c[2]) - a[2]) / area;
    wb[1] = (double(a[0]) - c[0]) / area;
    wb[2] = (double(c[0]) * a[2] - double(a[0]) * c[2]) / area;
    // Heights relative to c's, so that a level triangle gives its height exactly.
    const double ya = double(a[1]) - c[1], yb = double(b[1]) - c[1];
    for (int k = 0; k < 3; ++k) h[k] = wa[k] * ya + wb[k] * yb;
    h[2] += c[1];
  }
  // How far inside the point lies (its smallest weight, negative outside) and the height there.
  double inside(double x, double z, double & height) const
  {
    const double u = wa[0] * x + wa[1] * z + wa[2], v = wb[0] * x + wb[1] * z + wb[2];
    height = h[0] * x + h[1] * z + h[2];
    return std::min({u, v, 1.0 - u - v});
  }
};

#endif
