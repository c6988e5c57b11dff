// Copying the triangles whose centroid lies over a rectangle of the ground plane into a new mesh
// chunk, and recording the vertices along the cut so that reducing the chunk leaves them alone.
// The triangles are walked twice: once to choose them and record the border, once to number
// their corners and write them straight into the chunk, whose sizes are then known.

#include "meshcut.h"

#include "hugepages.h"
#include "vertexwelder.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace {

// Gives every distinct corner position its chunk index, in order of first use, and remembers
// the input vertex that used each chunk vertex last (its texture coordinate is the one that
// stands). When many triangles are visited, the answer is also kept per input index: one input
// index always has one position, so the kept answer is the one the position lookup would give,
// at the cost of an array read instead of a hash probe. When no two input vertices share a
// position, a new input index is always a new position, and the hash is not needed at all.
class ChunkNumbering {
public:
  ChunkNumbering(const SbVec3f * points, int numPoints, int64_t corners, bool distinctPositions)
    : points(points)
  {
    // Filling one entry per input vertex only pays when a fair share of them is visited.
    if (corners * 16 >= numPoints) byInput.assign(size_t(numPoints), -1);
    byIndexOnly = distinctPositions && !byInput.empty();
    const int expected = int(std::min<int64_t>(corners, numPoints));
    if (!byIndexOnly) welder = VertexWelder(expected);
    lastUser.reserve(size_t(expected));
  }

  int32_t use(int32_t inputIndex)
  {
    const int32_t index = indexOf(inputIndex);
    if (size_t(index) == lastUser.size()) {
      lastUser.push_back(inputIndex);
    } else {
      lastUser[size_t(index)] = inputIndex;
    }
    return index;
  }

  int32_t numVertices(void) const { return int32_t(lastUser.size()); }
  int32_t lastUserOf(int32_t index) const { return lastUser[size_t(index)]; }
  // The position of a chunk vertex as first met; equal positions may differ in the sign of a
  // zero, so with the hash the stored one counts.
  const SbVec3f & positionOf(int32_t index) const
  {
    return byIndexOnly ? points[lastUser[size_t(index)]] : welder.getPoint(index);
  }

private:
  int32_t indexOf(int32_t inputIndex)
  {
    if (byInput.empty()) return welder.weld(points[inputIndex]);
    int32_t & known = byInput[size_t(inputIndex)];
    if (known >= 0) return known;
    const SbVec3f & p = points[inputIndex];
    const int32_t index = byIndexOnly ? int32_t(lastUser.size()) : welder.weld(p);
    // A position with a NaN equals nothing, so each of its uses is a new vertex.
    if (!(std::isnan(p[0]) || std::isnan(p[1]) || std::isnan(p[2]))) known = index;
    return index;
  }

  const SbVec3f * points;
  VertexWelder welder;
  hugepages::Vector<int32_t> byInput;
  hugepages::Vector<int32_t> lastUser;
  bool byIndexOnly;
};

void recordBorderPoint(std::vector<SbVec3f> & border, const SbVec3f & p)
{
  // The point tree splits forever on a non-finite coordinate; a reduction could never find
  // such a position anyway, so leaving it out protects nothing less.
  if (std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2])) border.push_back(p);
}

// Decides whether the triangle goes into the chunk and records its corners along the cut: every
// corner of a kept triangle that is not strictly inside, and the inside corners of a dropped
// triangle that reaches into the rectangle.
bool chooseTriangle(const cutrules::Rectangle & rect, const SbVec3f * points,
                    const int32_t * corner, std::vector<SbVec3f> & border)
{
  const SbVec3f * p[3] = {&points[corner[0]], &points[corner[1]], &points[corner[2]]};
  bool inside[3];
  int insideCount = 0;
  for (int k = 0; k < 3; ++k) {
    inside[k] = cutrules::strictlyInside(rect, *p[k]);
    insideCount += inside[k];
  }
  const bool keep = cutrules::keepsTriangle(rect, *p[0], *p[1], *p[2]);
  if (keep) {
    for (int k = 0; k < 3; ++k) {
      if (!inside[k]) recordBorderPoint(border, *p[k]);
    }
  } else if (insideCount < 3) {
    for (int k = 0; k < 3; ++k) {
      if (inside[k]) recordBorderPoint(border, *p[k]);
    }
  }
  return keep;
}

} // namespace

int32_t * ListChunkWriter::indices(int32_t count)
{
  lists.coordIndex.resize(size_t(count));
  return lists.coordIndex.data();
}

void ListChunkWriter::vertices(int32_t count, SbVec3f *& points, SbVec2f *& texCoords)
{
  lists.points.resize(size_t(count));
  lists.texCoords.resize(size_t(count));
  points = lists.points.data();
  texCoords = lists.texCoords.data();
}

void cutMesh(const MeshView & mesh, const std::vector<int32_t> * triangles,
             const cutrules::Rectangle & rect, std::vector<SbVec3f> & border, ChunkWriter & out)
{
  assert(mesh.numPoints >= 0 && mesh.numTexCoords >= 0 && mesh.numIndices >= 0);
  const int32_t total = mesh.numTriangles();
  const size_t visits = triangles == nullptr ? size_t(total) : triangles->size();
  // An index must be valid for both lists; comparing unsigned also rejects negative ones.
  const uint32_t indexLimit = uint32_t(std::min(mesh.numPoints, mesh.numTexCoords));

  hugepages::Vector<int32_t> kept;
  kept.reserve(visits);
  for (size_t visit = 0; visit < visits; ++visit) {
    const int32_t t = triangles == nullptr ? int32_t(visit) : (*triangles)[visit];
    assert(t >= 0 && t < total);
    assert(triangles == nullptr || visit == 0 || (*triangles)[visit - 1] < t);
    if (t < 0 || t >= total) continue;
    const int32_t * corner = mesh.coordIndex + 4 * size_t(t);
    if (uint32_t(corner[0]) >= indexLimit || uint32_t(corner[1]) >= indexLimit ||
        uint32_t(corner[2]) >= indexLimit) {
      continue;
    }
    if (chooseTriangle(rect, mesh.points, corner, border)) kept.push_back(t);
  }

  ChunkNumbering numbering(mesh.points, mesh.numPoints, int64_t(kept.size()) * 3,
                           mesh.distinctPositions);
  int32_t * chunkIndex = out.indices(4 * int32_t(kept.size()));
  for (size_t n = 0; n < kept.size(); ++n) {
    const int32_t * corner = mesh.coordIndex + 4 * size_t(kept[n]);
    for (int k = 0; k < 3; ++k) chunkIndex[4 * n + size_t(k)] = numbering.use(corner[k]);
    chunkIndex[4 * n + 3] = -1;
  }

  const int32_t numVertices = numbering.numVertices();
  SbVec3f * chunkPoints = nullptr;
  SbVec2f * chunkTexCoords = nullptr;
  out.vertices(numVertices, chunkPoints, chunkTexCoords);
  for (int32_t v = 0; v < numVertices; ++v) {
    chunkPoints[v] = numbering.positionOf(v);
    // A vertex used by several corners keeps the texture coordinate of the last one.
    chunkTexCoords[v] = mesh.texCoords[numbering.lastUserOf(v)];
  }
  out.finish();
}
