#include "postlookup.h"

PostLookup::PostLookup(const SbVec3f * points, int32_t numPoints, const std::vector<uint32_t> & posts,
                       const RasterGrid & grid)
  : positions(std::vector<SbVec3f>(points, points + numPoints)), kept(grid)
{
  // Welding keeps the first of equal positions: the posts follow the numbers it gives.
  this->posts.assign(size_t(positions.numPoints()), 0);
  for (int32_t v = numPoints - 1; v >= 0; --v) {
    const int32_t at = positions.findPoint(points[v]);
    if (at >= 0 && size_t(v) < posts.size()) this->posts[size_t(at)] = posts[size_t(v)];
  }
}

bool PostLookup::postAt(const SbVec3f & position, int64_t & column, int64_t & row) const
{
  const int32_t at = positions.findPoint(position);
  if (at < 0 || !kept.present()) return false;
  column = int64_t(posts[size_t(at)]) % kept.columns;
  row = int64_t(posts[size_t(at)]) / kept.columns;
  return true;
}
