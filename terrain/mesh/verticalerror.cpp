// Measuring a reduced surface against the points it stands for: a grid on the ground lists the
// triangles over each of its cells, so every point is looked up among a few triangles.

#include "verticalerror.h"

#include "groundplane.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

// A grid over the surface's ground extent, about one cell per triangle.
class TriangleGrid {
public:
  explicit TriangleGrid(const MeshView & surface) : surface(surface)
  {
    const int32_t triangles = surface.numTriangles();
    for (int32_t t = 0; t < triangles; ++t)
      if (usable(t))
        for (int k = 0; k < 3; ++k) extend(corner(t, k));
    side = std::max(1, int(std::sqrt(double(std::max(triangles, 1)))));
    start.assign(size_t(side) * size_t(side) + 1, 0);
    for (int pass = 0; pass < 2; ++pass) fill(pass == 1);
  }

  // The triangle above the point and the surface's height there; false when none covers it.
  bool heightAt(const SbVec3f & q, double & height) const
  {
    if (!(q[0] >= minX && q[0] <= maxX && q[2] >= minZ && q[2] <= maxZ)) return false;
    const size_t cell = cellOf(column(q[0]), row(q[2]));
    double bestInside = -1e-6;
    bool found = false;
    for (int32_t i = start[cell]; i < start[cell + 1]; ++i) {
      const int32_t t = entries[size_t(i)];
      double h = 0.0;
      const double inside = GroundPlane(corner(t, 0), corner(t, 1), corner(t, 2)).inside(q[0], q[2], h);
      if (inside <= bestInside) continue;
      bestInside = inside;
      height = h;
      found = true;
    }
    return found;
  }

private:
  bool usable(int32_t t) const
  {
    const int32_t * c = surface.coordIndex + 4 * size_t(t);
    for (int k = 0; k < 3; ++k)
      if (uint32_t(c[k]) >= uint32_t(surface.numPoints)) return false;
    // A triangle standing on its edge holds no ground: a point beside it is measured against
    // the triangles on either side.
    return !flatOnGround(corner(t, 0), corner(t, 1), corner(t, 2));
  }
  const SbVec3f & corner(int32_t t, int k) const
  {
    return surface.points[surface.coordIndex[4 * size_t(t) + size_t(k)]];
  }
  void extend(const SbVec3f & p)
  {
    minX = std::min(minX, double(p[0]));
    maxX = std::max(maxX, double(p[0]));
    minZ = std::min(minZ, double(p[2]));
    maxZ = std::max(maxZ, double(p[2]));
  }
  int column(double x) const { return std::min(side - 1, std::max(0, int((x - minX) / (maxX - minX) * side))); }
  int row(double z) const { return std::min(side - 1, std::max(0, int((z - minZ) / (maxZ - minZ) * side))); }
  size_t cellOf(int c, int r) const { return size_t(r) * size_t(side) + size_t(c); }

  // Counts the triangles over each cell, then lists them.
  void fill(bool list)
  {
    if (list) {
      for (size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
      entries.resize(size_t(start.back()));
    }
    std::vector<int32_t> next(start.begin(), start.end() - 1);
    for (int32_t t = 0; t < surface.numTriangles(); ++t) {
      if (!usable(t)) continue;
      const SbVec3f & a = corner(t, 0), & b = corner(t, 1), & c = corner(t, 2);
      const int c0 = column(std::min({a[0], b[0], c[0]})), c1 = column(std::max({a[0], b[0], c[0]}));
      const int r0 = row(std::min({a[2], b[2], c[2]})), r1 = row(std::max({a[2], b[2], c[2]}));
      for (int r = r0; r <= r1; ++r)
        for (int cc = c0; cc <= c1; ++cc) {
          if (list) entries[size_t(next[cellOf(cc, r)]++)] = t;
          else ++start[cellOf(cc, r) + 1];
        }
    }
  }

  const MeshView & surface;
  double minX = std::numeric_limits<double>::infinity(), maxX = -minX, minZ = minX, maxZ = -minX;
  int side = 1;
  std::vector<int32_t> start, entries;
};

} // namespace

VerticalError verticalErrorOf(const SbVec3f * points, int32_t numPoints, const MeshView & surface)
{
  VerticalError error;
  const TriangleGrid grid(surface);
  double sumSquares = 0.0;
  for (int32_t i = 0; i < numPoints; ++i) {
    double height = 0.0;
    if (!grid.heightAt(points[i], height)) {
      ++error.uncovered;
      continue;
    }
    const double d = std::fabs(height - double(points[i][1]));
    error.largest = std::max(error.largest, d);
    sumSquares += d * d;
    ++error.measured;
  }
  error.rms = error.measured > 0 ? std::sqrt(sumSquares / double(error.measured)) : 0.0;
  return error;
}
