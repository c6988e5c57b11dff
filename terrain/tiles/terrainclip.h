#ifndef TERRAVEL_TERRAINCLIP_H
#define TERRAVEL_TERRAINCLIP_H

// A level's surface cut to one tile's bounds for a terrain tile, which must cover its bounds
// exactly: the triangles that reach into the tile (its own and its neighbours', whose cells may
// cross the bound) clipped to it, the rest of the tile, where there is no terrain, filled at
// height 0 on the ellipsoid; all of it triangulated anew over u, v so that the pieces meet.
// A point where a triangle's edge crosses a bound is found the same way whichever side of the
// bound asks, so that neighbours put the same vertices on their shared edge.
//
//   +--------+        a triangle over the east bound is cut there in both tiles; the two
//   |   /\   |        points on the bound come from the same edges by the same rule
//   |  /__\..|..
//   +--------+

#include "geodeticgrid.h"

#include <cstdint>
#include <vector>

struct SurfacePoint3 {
  double longitude, latitude, height; // degrees, metres on the ellipsoid
};

struct ClippedTile {
  std::vector<uint16_t> u, v;
  std::vector<SurfacePoint3> points;  // of each vertex
  std::vector<uint32_t> triangles;    // counter-clockwise in u, v; vertices numbered by first use
};

// The surface (points, and triangles three numbers each, counter-clockwise seen from above)
// cut to the bounds.
void clipToTile(const std::vector<SurfacePoint3> & points, const std::vector<uint32_t> & triangles,
                const TileBounds & bounds, ClippedTile & tile);

#endif
