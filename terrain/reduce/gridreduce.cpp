// A chunk of a raster's mesh as a window of posts for the grid mesher, and its result written
// back into the chunk's own lists.

#include "gridreduce.h"

#include "postlookup.h"
#include "vertexwelder.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The chunk's vertices as posts of a window just large enough to hold them.
struct ChunkWindow {
  int64_t column0 = 0, row0 = 0;
  std::vector<float> heights;
  std::vector<int32_t> vertexAt; // the chunk's vertex at each post, or -1
  std::vector<int32_t> postOf;   // each vertex's post in the window
  PostWindow window;
};

bool windowOf(const EditableMesh & mesh, const PostLookup & posts, ChunkWindow & w)
{
  // Each vertex's column and row, packed, first; then the window that holds them.
  std::vector<uint64_t> at(size_t(mesh.numPoints));
  int64_t c0 = std::numeric_limits<int64_t>::max(), r0 = c0, c1 = -1, r1 = -1;
  for (int32_t v = 0; v < mesh.numPoints; ++v) {
    int64_t column = 0, row = 0;
    if (!posts.postAt(mesh.points[v], column, row) || column >= INT32_MAX || row >= INT32_MAX) return false;
    at[size_t(v)] = uint64_t(row) << 32 | uint64_t(column);
    c0 = std::min(c0, column);
    c1 = std::max(c1, column);
    r0 = std::min(r0, row);
    r1 = std::max(r1, row);
  }
  if (c1 < 0 || (c1 - c0 + 1) * (r1 - r0 + 1) >= INT32_MAX) return false;
  w.column0 = c0;
  w.row0 = r0;
  w.window.width = int32_t(c1 - c0 + 1);
  w.window.height = int32_t(r1 - r0 + 1);
  const size_t size = size_t(w.window.width) * size_t(w.window.height);
  w.heights.assign(size, std::numeric_limits<float>::quiet_NaN());
  w.vertexAt.assign(size, -1);
  w.postOf.resize(size_t(mesh.numPoints));
  for (int32_t v = 0; v < mesh.numPoints; ++v) {
    const int64_t column = int64_t(at[size_t(v)] & 0xffffffffu), row = int64_t(at[size_t(v)] >> 32);
    const int32_t post = int32_t((row - r0) * w.window.width + (column - c0));
    w.postOf[size_t(v)] = post;
    w.heights[size_t(post)] = mesh.points[v][1];
    w.vertexAt[size_t(post)] = v;
  }
  w.window.heights = w.heights.data();
  return true;
}

// Writes the mesh's triangles back over the chunk's lists: the vertices they use, in their
// order, then the triangles.
void writeBack(EditableMesh & mesh, const ChunkWindow & w, const GridMesh & meshed)
{
  std::vector<int32_t> newIndex(size_t(mesh.numPoints), -1);
  for (const int32_t post : meshed.triangles) newIndex[size_t(w.vertexAt[size_t(post)])] = 0;
  int32_t kept = 0;
  for (int32_t v = 0; v < mesh.numPoints; ++v) {
    if (newIndex[size_t(v)] < 0) continue;
    newIndex[size_t(v)] = kept;
    mesh.points[kept] = mesh.points[v];
    if (v < mesh.numTexCoords) mesh.texCoords[kept] = mesh.texCoords[v];
    ++kept;
  }
  int32_t out = 0;
  for (size_t i = 0; i < meshed.triangles.size(); i += 3) {
    for (int k = 0; k < 3; ++k)
      mesh.coordIndex[out++] = newIndex[size_t(w.vertexAt[size_t(meshed.triangles[i + size_t(k)])])];
    mesh.coordIndex[out++] = -1;
  }
  mesh.numTexCoords = std::min(mesh.numTexCoords, kept);
  mesh.numPoints = kept;
  mesh.numIndices = out;
}

} // namespace

bool reduceOnGrid(EditableMesh & mesh, const VertexWelder & protectedPositions,
                  const PostLookup & posts, const GridLimits & limits, VerticalError * error)
{
  ChunkWindow w;
  if (!windowOf(mesh, posts, w)) return false;
  std::vector<int32_t> region, fixed;
  region.reserve(size_t(mesh.numIndices / 4) * 3);
  for (int32_t t = 0; t < mesh.numIndices / 4; ++t) {
    const int32_t * c = mesh.coordIndex + 4 * size_t(t);
    for (int k = 0; k < 3; ++k) {
      if (uint32_t(c[k]) >= uint32_t(mesh.numPoints)) return false;
      region.push_back(w.postOf[size_t(c[k])]);
    }
  }
  if (protectedPositions.numPoints() > 0)
    for (int32_t v = 0; v < mesh.numPoints; ++v)
      if (protectedPositions.findPoint(mesh.points[v]) >= 0) fixed.push_back(w.postOf[size_t(v)]);
  GridMesh meshed;
  if (!meshRegion(w.window, region, fixed, limits, meshed)) return false;
  if (error != nullptr) {
    const GridError measured = strictErrorOf(w.window, meshed.triangles.data(), meshed.triangles.size() / 3);
    error->largest = measured.largest;
    error->measured = measured.posts;
    error->rms = measured.posts > 0 ? std::sqrt(measured.sumSquares / double(measured.posts)) : 0.0;
  }
  writeBack(mesh, w, meshed);
  return true;
}
