#include "postlookup.h"

#include <algorithm>
#include <cmath>

PostLookup::PostLookup(const SbVec3f * points, int32_t numPoints, const std::vector<uint32_t> & posts,
                       const RasterGrid & grid)
  : kept(grid)
{
  if (numPoints <= 0 || size_t(numPoints) > posts.size() || !grid.present()) return;
  double x1 = points[0][0], z1 = points[0][2];
  x0 = x1;
  z0 = z1;
  for (int32_t v = 1; v < numPoints; ++v) {
    x0 = std::min(x0, double(points[v][0]));
    x1 = std::max(x1, double(points[v][0]));
    z0 = std::min(z0, double(points[v][2]));
    z1 = std::max(z1, double(points[v][2]));
  }
  // About one bucket a post: the grid's columns across, its rows down.
  columns = std::max<int64_t>(1, grid.columns);
  rows = std::max<int64_t>(1, grid.rows);
  perX = x1 > x0 ? double(columns) / (x1 - x0) * (1.0 - 1e-9) : 0.0;
  perZ = z1 > z0 ? double(rows) / (z1 - z0) * (1.0 - 1e-9) : 0.0;
  start.assign(size_t(columns * rows) + 1, 0);
  for (int32_t v = 0; v < numPoints; ++v) ++start[size_t(bucketOf(points[v])) + 1];
  for (size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
  std::vector<int64_t> fill(start.begin(), start.end() - 1);
  positions.resize(size_t(numPoints));
  this->posts.resize(size_t(numPoints));
  for (int32_t v = 0; v < numPoints; ++v) {
    const size_t at = size_t(fill[size_t(bucketOf(points[v]))]++);
    positions[at] = points[v];
    this->posts[at] = posts[size_t(v)];
  }
}

int64_t PostLookup::bucketOf(const SbVec3f & p) const
{
  const double bx = (double(p[0]) - x0) * perX, bz = (double(p[2]) - z0) * perZ;
  if (!(bx >= 0.0) || !(bz >= 0.0) || bx >= double(columns) || bz >= double(rows)) return -1;
  return int64_t(bz) * columns + int64_t(bx);
}

bool PostLookup::postAt(const SbVec3f & position, int64_t & column, int64_t & row) const
{
  const int64_t bucket = start.empty() ? -1 : bucketOf(position);
  if (bucket < 0) return false;
  for (int64_t i = start[size_t(bucket)]; i < start[size_t(bucket) + 1]; ++i)
    if (positions[size_t(i)] == position) {
      column = int64_t(posts[size_t(i)]) % kept.columns;
      row = int64_t(posts[size_t(i)]) / kept.columns;
      return true;
    }
  return false;
}
