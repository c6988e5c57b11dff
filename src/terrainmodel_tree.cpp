// The quadtree of SoLOD nodes: every cell above the last level switches by distance between its
// four sub-cells and its own chunk reduced once per level below it.
//
// A cell's chunk depends only on the triangles kept by its rectangle and on those with a corner
// strictly inside it (they add border points); every other triangle of the model leaves no
// trace. Sub-cells lie inside their parent, so each cell filters its parent's list instead of
// walking the whole model, and the cut visits that list in model order: the chunks, border
// points and so the whole tree are those of cutting every cell from the full model.

#include "cutrules.h"
#include "terrainmodel.h"

#include <Inventor/SbBSPTree.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoLOD.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

#include <cassert>
#include <cmath>
#include <cstdio>

namespace {

int32_t progressStepsFor(int maxLevel)
{
  int32_t total = maxLevel - 1;
  int32_t m = 1;
  for (int i = 1; i <= maxLevel - 1; ++i) {
    total += i == maxLevel - 1 ? 4 * m : 4 * m * (maxLevel - i - 1);
    m *= 4;
  }
  return total;
}

} // namespace

SoSeparator * TerrainModel::buildTree(int maxLevel, int percent)
{
  assert(maxLevel >= 2);
  progressCount = 0;
  progressTotal = progressStepsFor(maxLevel);

  const SoMFVec3f & points = coords->point;
  const SoMFInt32 & indices = faceSet->coordIndex;
  const int32_t numPoints = points.getNum();
  const int32_t numTriangles = indices.getNum() / 4;
  const SbVec3f * p = points.getValues(0);
  const int32_t * index = indices.getValues(0);

  // The root cell takes every triangle; centroids are worked out once for all cells.
  cellTriangles.assign(size_t(maxLevel) + 1, std::vector<int32_t>());
  std::vector<int32_t> & all = cellTriangles[0];
  all.resize(size_t(numTriangles));
  centroidX.assign(size_t(numTriangles), 0.0f);
  centroidZ.assign(size_t(numTriangles), 0.0f);
  for (int32_t t = 0; t < numTriangles; ++t) {
    all[size_t(t)] = t;
    const int32_t * c = index + 4 * t;
    const bool valid = c[0] >= 0 && c[0] < numPoints && c[1] >= 0 && c[1] < numPoints &&
                       c[2] >= 0 && c[2] < numPoints;
    if (!valid) continue; // the cut skips it; any centroid will do
    centroidX[size_t(t)] = cutrules::centroidOf(p[c[0]][0], p[c[1]][0], p[c[2]][0]);
    centroidZ[size_t(t)] = cutrules::centroidOf(p[c[0]][2], p[c[1]][2], p[c[2]][2]);
  }

  float minX = 0.0f, minZ = 0.0f, maxX = 0.0f, maxZ = 0.0f;
  getExtent(root, minX, minZ, maxX, maxZ);
  lodRoot = buildChunk(minX, minZ, maxX, maxZ, 1, maxLevel, percent);
  lodRoot->ref();

  std::vector<std::vector<int32_t>>().swap(cellTriangles);
  std::vector<float>().swap(centroidX);
  std::vector<float>().swap(centroidZ);
  std::printf("\rBuilding Terravel tree ... Done\n");
  return lodRoot;
}

SoSeparator * TerrainModel::buildChunk(float x1, float y1, float x2, float y2, int level,
                                       int maxLevel, int percent)
{
  assert(level >= 1 && size_t(level) < cellTriangles.size());
  const SbVec3f * p = coords->point.getValues(0);
  const int32_t numPoints = coords->point.getNum();
  const int32_t * index = faceSet->coordIndex.getValues(0);

  // This cell's triangles, filtered from its parent's (the root's parent list is the model).
  const std::vector<int32_t> & parent = cellTriangles[size_t(level) - 1];
  std::vector<int32_t> & mine = cellTriangles[size_t(level)];
  mine.clear();
  const cutrules::Rectangle rect = {x1, y1, x2, y2};
  for (const int32_t t : parent) {
    const int32_t * c = index + 4 * t;
    const bool valid = c[0] >= 0 && c[0] < numPoints && c[1] >= 0 && c[1] < numPoints &&
                       c[2] >= 0 && c[2] < numPoints;
    if (!valid) {
      mine.push_back(t); // the cut skips it
      continue;
    }
    const float cx = centroidX[size_t(t)];
    const float cz = centroidZ[size_t(t)];
    // Precomputed centroids serve wherever they are finite; the rare overflowed one is
    // decided from the corners as the cut decides it.
    const bool kept = std::isfinite(cx) && std::isfinite(cz)
                        ? cutrules::keepsCentroid(rect, cx, cz)
                        : cutrules::keepsTriangle(rect, p[c[0]], p[c[1]], p[c[2]]);
    if (kept || cutrules::strictlyInside(rect, p[c[0]]) ||
        cutrules::strictlyInside(rect, p[c[1]]) || cutrules::strictlyInside(rect, p[c[2]])) {
      mine.push_back(t);
    }
  }

  SbBSPTree borderPoints(16, 0);
  // The model's vertices are welded, so no two share a position.
  const auto cutCell = [&]() {
    return cutTriangles(p, numPoints, texCoords->point.getValues(0), texCoords->point.getNum(),
                        index, faceSet->coordIndex.getNum(), mine.data(), int(mine.size()), x1,
                        y1, x2, y2, &borderPoints, true);
  };

  if (level == maxLevel) {
    // Cells on the last level keep their unreduced chunk.
    SoSeparator * chunk = cutCell();
    progressStep();
    chunk->unrefNoDelete(); // the parent's group takes it over
    return chunk;
  }

  SoSeparator * cell = new SoSeparator;
  SoSeparator * group = new SoSeparator;
  SoLOD * lod = new SoLOD;
  SoSeparator * chunk = cutCell();

  // Both neighbours of a split line get the very same float for it.
  const float xm = x1 + (x2 - x1) / 2.0f;
  const float ym = y1 + (y2 - y1) / 2.0f;
  SoSeparator * quadrant1 = buildChunk(x1, y1, xm, ym, level + 1, maxLevel, percent);
  SoSeparator * quadrant2 = buildChunk(x1, ym, xm, y2, level + 1, maxLevel, percent);
  SoSeparator * quadrant3 = buildChunk(xm, y1, x2, ym, level + 1, maxLevel, percent);
  SoSeparator * quadrant4 = buildChunk(xm, ym, x2, y2, level + 1, maxLevel, percent);

  lod->range.setValue((x2 - x1) * 2.1f);
  lod->center.setValue((x1 + x2) / 2.0f, 0.0f, (y1 + y2) / 2.0f);
  group->addChild(quadrant1);
  group->addChild(quadrant2);
  group->addChild(quadrant3);
  group->addChild(quadrant4);
  lod->addChild(group);

  for (int pass = 0; pass < maxLevel - level; ++pass) {
    reduce(chunk, &borderPoints, percent);
    progressStep();
  }
  lod->addChild(chunk);
  chunk->unref();
  if (level == 1) addTexture(cell);
  cell->addChild(lod);
  return cell;
}

void TerrainModel::progressStep(void)
{
  ++progressCount;
  std::printf("\rBuilding Terravel tree ... %d%%", progressCount * 100 / progressTotal);
}
