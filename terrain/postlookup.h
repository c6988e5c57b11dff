#ifndef TERRAVEL_POSTLOOKUP_H
#define TERRAVEL_POSTLOOKUP_H

#include "flatmesh.h"
#include "vertexwelder.h"

#include <cstdint>
#include <vector>

// Which post of a raster's kept grid stands at a position of its mesh: cuts and reductions keep
// positions exactly, so every vertex of a chunk is found again.
class PostLookup {
public:
  PostLookup(const SbVec3f * points, int32_t numPoints, const std::vector<uint32_t> & posts,
             const RasterGrid & grid);

  // The post at the position, as its column and row in the kept grid; false where none stands.
  bool postAt(const SbVec3f & position, int64_t & column, int64_t & row) const;
  const RasterGrid & grid(void) const { return kept; }

private:
  VertexWelder positions;
  std::vector<uint32_t> posts;
  RasterGrid kept;
};

#endif
