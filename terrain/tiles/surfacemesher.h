#ifndef TERRAVEL_SURFACEMESHER_H
#define TERRAVEL_SURFACEMESHER_H

// A tile's surface made from its four children's: the posts they keep are the candidates, the
// triangulation starts from the outline of what they cover (the tile's border and the holes
// where the raster has no data) and takes, one at a time, the post farthest from it, measured
// in three dimensions along the vertical at the post, until every post is within the tolerance.
// The border is decided from the posts on it alone, the same way from either side, so that
// neighbours built apart share their border vertices exactly. Where the children are meshes
// of their own (not the posts themselves), the distance is also measured where an edge of the
// tile crosses an edge of a child, so that the tile's error bounds its distance from the
// children's whole surface, not only from their vertices.
//
//   children (posts 0..8)        the tile (within the tolerance)
//   6---7---8                    6-------8
//   | / | / |                    |     / |
//   3---4---5          ->        |   /   |     4 kept where it stands
//   | / | / |                    | /     |     out of the plane
//   0---1---2                    0-------2

#include <cstdint>
#include <string>
#include <vector>

struct SurfacePoint {
  int32_t x = 0, y = 0; // in the tile's lattice of posts: x east, y north
  double at[3] = {};    // Earth-centred, metres
  float up[3] = {};     // the vertical there, of unit length
  bool keep = false;    // on the tile's border, where the cells on either side change
};

struct SurfaceInput {
  int32_t width = 0, height = 0;  // the tile's posts: 0 .. width by 0 .. height
  std::vector<SurfacePoint> points;
  std::vector<int32_t> triangles; // the children's, three point numbers each, counter-clockwise
  double tolerance = 0.0;         // how far the surface may stray from the children's
  double borderTolerance = 0.0;   // the same along the tile's border, decided from it alone;
                                  // below 0, the border keeps every post
  bool overlay = false;           // the children are meshes: measure where edges cross too
};

struct SurfaceMesh {
  std::vector<int32_t> triangles; // point numbers, counter-clockwise
  double largest = 0.0;           // the farthest the surface lies from the children's
};

// False, with the reason, when the children's triangles do not make a region of the lattice.
bool meshSurface(const SurfaceInput & input, SurfaceMesh & mesh, std::string & reason);

// The vertical distance from a point (at, along up) to the plane through a, b and c: positive
// where the plane lies above it.
double distanceToPlane(const double * at, const float * up, const double * a, const double * b, const double * c);

#endif
