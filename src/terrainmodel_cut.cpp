// Copying the triangles whose centroid lies over a rectangle of the ground plane into a new mesh
// chunk, and recording the vertices along the cut so that reducing the chunk leaves them alone.

#include "terrainmodel.h"

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

// Gives every distinct corner position its chunk index, in order of first use. When many
// triangles are visited, the answer is also kept per input index: one input index always has
// one position, so the kept answer is the one the position lookup would give, at the cost of an
// array read instead of a hash probe.
class ChunkNumbering {
public:
  ChunkNumbering(const SbVec3f * points, int numPoints, int64_t corners)
    : points(points), welder(int(std::min<int64_t>(corners, numPoints)))
  {
    // Filling one entry per input vertex only pays when a fair share of them is visited.
    if (corners * 16 >= numPoints) byInput.assign(size_t(numPoints), -1);
  }

  int32_t indexOf(int32_t inputIndex)
  {
    if (byInput.empty()) return welder.weld(points[inputIndex]);
    int32_t & known = byInput[size_t(inputIndex)];
    if (known >= 0) return known;
    const SbVec3f & p = points[inputIndex];
    const int32_t index = welder.weld(p);
    // A position with a NaN equals nothing, so each of its uses is a new vertex.
    if (!(std::isnan(p[0]) || std::isnan(p[1]) || std::isnan(p[2]))) known = index;
    return index;
  }

  const VertexWelder & positions(void) const { return welder; }

private:
  const SbVec3f * points;
  VertexWelder welder;
  std::vector<int32_t> byInput;
};

struct Rectangle {
  float x1, y1, x2, y2;
};

} // namespace

static SoNode * findFirst(SoSearchAction & search, SoNode * node, SoType type)
{
  search.reset();
  search.setType(type, TRUE);
  search.setInterest(SoSearchAction::FIRST);
  search.setSearchingAll(TRUE);
  search.apply(node);
  SoPath * path = search.getPath();
  return path == NULL ? NULL : static_cast<SoFullPath *>(path)->getTail();
}

static bool strictlyInside(const Rectangle & r, const SbVec3f & p)
{
  return r.x1 < p[0] && p[0] < r.x2 && r.y1 < p[2] && p[2] < r.y2;
}

// Summed from zero corner by corner and divided in single precision: a centroid that falls
// exactly on the rectangle's edge must fall there for both rectangles that share the edge.
static float centroidOf(float a, float b, float c)
{
  float sum = 0.0f;
  sum += a;
  sum += b;
  sum += c;
  return sum / 3.0f;
}

static void recordBorderPoint(SbBSPTree & border, const SbVec3f & p)
{
  // The point tree splits forever on a non-finite coordinate; a reduction could never find
  // such a position anyway, so leaving it out protects nothing less.
  if (!(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]))) return;
  if (border.findPoint(p) < 0) border.addPoint(p);
}

static SoSeparator * makeChunk(const VertexWelder & positions, const std::vector<SbVec2f> & texCoords,
                               const std::vector<int32_t> & coordIndex)
{
  assert(int(texCoords.size()) == positions.numPoints());
  SoSeparator * chunk = new SoSeparator;
  chunk->ref();
  SoCoordinate3 * coordNode = new SoCoordinate3;
  SoIndexedFaceSet * faceNode = new SoIndexedFaceSet;
  SoTextureCoordinate2 * texNode = new SoTextureCoordinate2;
  // Both fields come with one default entry that a chunk must not have.
  coordNode->point.setNum(0);
  faceNode->coordIndex.setNum(0);
  if (positions.numPoints() > 0) {
    coordNode->point.setValues(0, positions.numPoints(), positions.getPoints().data());
    texNode->point.setValues(0, int(texCoords.size()), texCoords.data());
  }
  if (!coordIndex.empty()) {
    faceNode->coordIndex.setValues(0, int(coordIndex.size()), coordIndex.data());
  }
  chunk->addChild(coordNode);
  chunk->addChild(texNode);
  chunk->addChild(faceNode);
  return chunk;
}

SoSeparator * cutTriangles(const SbVec3f * points, int numPoints, const SbVec2f * texCoords,
                           int numTexCoords, const int32_t * coordIndex, int numIndices,
                           const int32_t * triangles, int numTriangles, float x1, float y1,
                           float x2, float y2, SbBSPTree * borderPoints)
{
  assert(borderPoints != NULL);
  assert(numPoints >= 0 && numTexCoords >= 0 && numIndices >= 0);
  assert(triangles == NULL || numTriangles >= 0);
  const Rectangle rect = {x1, y1, x2, y2};
  const int total = numIndices / 4;
  const int visits = triangles == NULL ? total : numTriangles;
  // An index must be valid for both lists; comparing unsigned also rejects negative ones.
  const uint32_t indexLimit = uint32_t(std::min(numPoints, numTexCoords));

  ChunkNumbering numbering(points, numPoints, int64_t(visits) * 3);
  std::vector<SbVec2f> chunkTexCoords;
  std::vector<int32_t> chunkIndex;

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
    const SbVec3f * p[3] = {&points[corner[0]], &points[corner[1]], &points[corner[2]]};
    bool inside[3];
    int insideCount = 0;
    for (int k = 0; k < 3; ++k) {
      inside[k] = strictlyInside(rect, *p[k]);
      insideCount += inside[k];
    }
    const float cx = centroidOf((*p[0])[0], (*p[1])[0], (*p[2])[0]);
    const float cz = centroidOf((*p[0])[2], (*p[1])[2], (*p[2])[2]);
    const bool keep = x1 <= cx && cx <= x2 && y1 <= cz && cz <= y2;

    if (keep) {
      for (int k = 0; k < 3; ++k) {
        const int32_t v = numbering.indexOf(corner[k]);
        // A vertex used by several corners keeps the texture coordinate of the last one.
        if (size_t(v) == chunkTexCoords.size()) {
          chunkTexCoords.push_back(texCoords[corner[k]]);
        } else {
          chunkTexCoords[size_t(v)] = texCoords[corner[k]];
        }
        chunkIndex.push_back(v);
      }
      chunkIndex.push_back(-1);
      // Every corner of a kept triangle that is not strictly inside lies along the cut.
      for (int k = 0; k < 3; ++k) {
        if (!inside[k]) recordBorderPoint(*borderPoints, *p[k]);
      }
    } else if (insideCount < 3) {
      // A dropped triangle that reaches into the rectangle leaves its inside corners on the
      // chunk's edge.
      for (int k = 0; k < 3; ++k) {
        if (inside[k]) recordBorderPoint(*borderPoints, *p[k]);
      }
    }
  }
  return makeChunk(numbering.positions(), chunkTexCoords, chunkIndex);
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
  return cutTriangles(points.getValues(0), points.getNum(), texCoords.getValues(0),
                      texCoords.getNum(), coordIndex.getValues(0), coordIndex.getNum(), NULL, 0,
                      x1, y1, x2, y2, borderPoints);
}
