#ifndef TERRAVEL_POSTLOOKUP_H
#define TERRAVEL_POSTLOOKUP_H

#include "flatmesh.h"

#include <cstdint>
#include <vector>

// Which post of a raster's kept grid stands at a position of its mesh: cuts and reductions keep
// positions exactly, so every vertex of a chunk is found again. The posts lie in buckets over
// the ground about one post apart, in the grid's own order, so that finding a chunk's vertices,
// which come in much that order, walks memory forwards.
class PostLookup {
public:
  PostLookup(const SbVec3f * points, int32_t numPoints, const std::vector<uint32_t> & posts,
             const RasterGrid & grid);

  // The post at the position, as its column and row in the kept grid; false where none stands.
  bool postAt(const SbVec3f & position, int64_t & column, int64_t & row) const;
  const RasterGrid & grid(void) const { return kept; }

private:
  int64_t bucketOf(const SbVec3f & p) const;

  std::vector<SbVec3f> positions; // of the posts, bucket by bucket
  std::vector<uint32_t> posts;    // in step with positions
  std::vector<int64_t> start;     // of each bucket in those lists, and one past the last
  double x0 = 0.0, z0 = 0.0, perX = 0.0, perZ = 0.0;
  int64_t columns = 1, rows = 1; // of buckets
  RasterGrid kept;
};

#endif
