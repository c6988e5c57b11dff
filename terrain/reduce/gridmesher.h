#ifndef TERRAVEL_GRIDMESHER_H
#define TERRAVEL_GRIDMESHER_H

// Meshing a raster's posts by greedy insertion: a region of the raster, the union of some of its
// cells' triangles, starts as the few triangles its outline needs (its corners, and the posts
// that must stay) and takes, one at a time, the post farthest from the surface above or below
// it, the triangulation kept Delaunay, until every post is within the error allowed or the
// triangles reach the count asked for. The outline keeps its shape: its straight runs take
// their posts as any other. The result covers exactly the region, every triangle has ground
// area (no three corners on one line), and its error is measured the strict way: at every post,
// against every triangle that holds it, edges included.
//
//   +---+---+        a region of 8 cells' triangles (posts 0..14, 5 a row) becomes, within
//   | \ | \ |  ...   a loose bound, the two triangles over its four corners, or more where a
//   +---+---+        post rises above them.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

// Posts of a window of a raster, row by row: post (x, y) is number y * width + x; NaN where the
// window has no post.
struct PostWindow {
  int32_t width = 0, height = 0;
  const float * heights = nullptr;
};

// How far meshing goes: within maxError metres (the default: as few triangles as every post
// keeping to that allows), or, with no bound, until targetTriangles are reached.
struct GridLimits {
  double maxError = std::numeric_limits<double>::infinity();
  int64_t targetTriangles = 0;
};

// A mesh of posts: three post numbers a triangle, turned the way the region's triangles are.
struct GridMesh {
  std::vector<int32_t> triangles;
};

// How far a mesh lies from the posts it covers, vertically.
struct GridError {
  double largest = 0.0;
  double sumSquares = 0.0;
  int64_t posts = 0; // covered by the mesh
};

// Meshes the region (three post numbers a triangle, each a triangle of a cell, as the raster
// was meshed whole) keeping the fixed posts; false when the region is none such.
bool meshRegion(const PostWindow & window, const std::vector<int32_t> & region,
                const std::vector<int32_t> & fixed, const GridLimits & limits, GridMesh & mesh);

// The strict error of a mesh of the window's posts: at every post, against every triangle that
// holds it, edges included; a triangle with no ground area counts as infinitely far off.
GridError strictErrorOf(const PostWindow & window, const int32_t * triangles, size_t numTriangles);

#endif
