// Copying the triangles whose centroid lies over a rectangle of the ground plane into a new mesh
// chunk, and recording the vertices along the cut so that reducing the chunk leaves them alone.
// The triangles are walked twice: once to choose them and record the border, once to number
// their corners and write them straight into the chunk's fields, whose sizes are then known.

#include "cutrules.h"
#include "hugepages.h"
#include "terrainmodel.h"

#include "nodesearch.h"

#include <Inventor/SbBSPTree.h>
#include <Inventor/SoFullPath.h>
#include <Inventor/actions/SoSearchAction.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

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

} // namespace

using cutrules::Rectangle;

static void recordBorderPoint(SbBSPTree & border, const SbVec3f & p)
{
  // The point tree splits forever on a non-finite coordinate; a reduction could never find
  // such a position anyway, so leaving it out protects nothing less.
  if (!(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]))) return;
  if (border.findPoint(p) < 0) border.addPoint(p);
}

// Decides whether the triangle goes into the chunk and records its corners along the cut: every
// corner of a kept triangle that is not strictly inside, and the inside corners of a dropped
// triangle that reaches into the rectangle.
static bool chooseTriangle(const Rectangle & rect, const SbVec3f * points, const int32_t * corner,
                           SbBSPTree & border)
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

SoSeparator * cutTriangles(const SbVec3f * points, int numPoints, const SbVec2f * texCoords,
                           int numTexCoords, const int32_t * coordIndex, int numIndices,
                           const int32_t * triangles, int numTriangles, float x1, float y1,
                           float x2, float y2, SbBSPTree * borderPoints, bool distinctPositions)
{
  assert(borderPoints != NULL);
  assert(numPoints >= 0 && numTexCoords >= 0 && numIndices >= 0);
  assert(triangles == NULL || numTriangles >= 0);
  const Rectangle rect = {x1, y1, x2, y2};
  const int total = numIndices / 4;
  const int visits = triangles == NULL ? total : numTriangles;
  // An index must be valid for both lists; comparing unsigned also rejects negative ones.
  const uint32_t indexLimit = uint32_t(std::min(numPoints, numTexCoords));

  hugepages::Vector<int32_t> kept;
  kept.reserve(size_t(visits));
  for (int visit = 0; visit < visits; ++visit) {
    const int t = triangles == NULL ? visit : triangles[visit];
    assert(t >= 0 && t < total);
    assert(triangles == NULL || visit == 0 || triangles[visit - 1] < t);
    if (t < 0 || t >= total) continue;
    const int32_t * corner = coordIndex + 4 * size_t(t);
    if (uint32_t(corner[0]) >= indexLimit || uint32_t(corner[1]) >= indexLimit ||
        uint32_t(corner[2]) >= indexLimit) {
      continue;
    }
    if (chooseTriangle(rect, points, corner, *borderPoints)) kept.push_back(t);
  }

  SoSeparator * chunk = new SoSeparator;
  chunk->ref();
  SoCoordinate3 * coordNode = new SoCoordinate3;
  SoIndexedFaceSet * faceNode = new SoIndexedFaceSet;
  SoTextureCoordinate2 * texNode = new SoTextureCoordinate2;

  ChunkNumbering numbering(points, numPoints, int64_t(kept.size()) * 3, distinctPositions);
  faceNode->coordIndex.setNum(4 * int(kept.size()));
  int32_t * chunkIndex = faceNode->coordIndex.startEditing();
  for (size_t n = 0; n < kept.size(); ++n) {
    const int32_t * corner = coordIndex + 4 * size_t(kept[n]);
    for (int k = 0; k < 3; ++k) chunkIndex[4 * n + size_t(k)] = numbering.use(corner[k]);
    chunkIndex[4 * n + 3] = -1;
  }
  faceNode->coordIndex.finishEditing();

  const int numVertices = numbering.numVertices();
  coordNode->point.setNum(numVertices);
  texNode->point.setNum(numVertices);
  SbVec3f * chunkPoints = coordNode->point.startEditing();
  SbVec2f * chunkTexCoords = texNode->point.startEditing();
  for (int32_t v = 0; v < numVertices; ++v) {
    chunkPoints[v] = numbering.positionOf(v);
    // A vertex used by several corners keeps the texture coordinate of the last one.
    chunkTexCoords[v] = texCoords[numbering.lastUserOf(v)];
  }
  coordNode->point.finishEditing();
  texNode->point.finishEditing();

  chunk->addChild(coordNode);
  chunk->addChild(texNode);
  chunk->addChild(faceNode);
  return chunk;
}

SoSeparator * TerrainModel::cutRegion(SoNode * node, float x1, float y1, float x2, float y2,
                                      SbBSPTree * borderPoints)
{
  assert(node != NULL && borderPoints != NULL);
  SoSearchAction search;
  SoNode * found[3] = {NULL, NULL, NULL};
  const SoType types[3] = {SoCoordinate3::getClassTypeId(), SoIndexedFaceSet::getClassTypeId(),
                           SoTextureCoordinate2::getClassTypeId()};
  for (int n = 0; n < 3; ++n) {
    found[n] = findFirst(search, node, types[n]);
    if (found[n] == NULL) return NULL;
  }
  const SoMFVec3f & points = static_cast<SoCoordinate3 *>(found[0])->point;
  const SoMFInt32 & coordIndex = static_cast<SoIndexedFaceSet *>(found[1])->coordIndex;
  const SoMFVec2f & texCoords = static_cast<SoTextureCoordinate2 *>(found[2])->point;
  // The model's own coordinates were welded while loading and are never changed afterwards.
  const bool distinctPositions = found[0] == coords;
  return cutTriangles(points.getValues(0), points.getNum(), texCoords.getValues(0),
                      texCoords.getNum(), coordIndex.getValues(0), coordIndex.getNum(), NULL, 0,
                      x1, y1, x2, y2, borderPoints, distinctPositions);
}
