#include "lodtreebuilder.h"

#include "chunknodes.h"
#include "meshcut.h"
#include "meshreduce.h"
#include "vertexwelder.h"

#include <Inventor/nodes/SoLOD.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoTexture2.h>

#include <cassert>
#include <cmath>

namespace {

bool validCorners(const int32_t * corner, int32_t numPoints)
{
  return uint32_t(corner[0]) < uint32_t(numPoints) && uint32_t(corner[1]) < uint32_t(numPoints) &&
         uint32_t(corner[2]) < uint32_t(numPoints);
}

} // namespace

LodTreeBuilder::LodTreeBuilder(const MeshView & terrain, SoTexture2 * texture, int maxLevel,
                               int percent, std::function<void(void)> step)
  : terrain(terrain), texture(texture), maxLevel(maxLevel), percent(percent), step(std::move(step))
{
  assert(maxLevel >= 2);
}

int32_t LodTreeBuilder::progressSteps(int maxLevel)
{
  int32_t total = maxLevel - 1;
  int32_t m = 1;
  for (int i = 1; i <= maxLevel - 1; ++i) {
    total += i == maxLevel - 1 ? 4 * m : 4 * m * (maxLevel - i - 1);
    m *= 4;
  }
  return total;
}

SoSeparator * LodTreeBuilder::build(const cutrules::Rectangle & rootCell)
{
  // The root's parent list is the whole terrain; centroids are worked out once for all cells.
  const int32_t numTriangles = terrain.numTriangles();
  cellTriangles.assign(size_t(maxLevel) + 1, std::vector<int32_t>());
  std::vector<int32_t> & all = cellTriangles[0];
  all.resize(size_t(numTriangles));
  centroidX.assign(size_t(numTriangles), 0.0f);
  centroidZ.assign(size_t(numTriangles), 0.0f);
  const SbVec3f * p = terrain.points;
  for (int32_t t = 0; t < numTriangles; ++t) {
    all[size_t(t)] = t;
    const int32_t * c = terrain.coordIndex + 4 * size_t(t);
    if (!validCorners(c, terrain.numPoints)) continue; // the cut skips it; any centroid will do
    centroidX[size_t(t)] = cutrules::centroidOf(p[c[0]][0], p[c[1]][0], p[c[2]][0]);
    centroidZ[size_t(t)] = cutrules::centroidOf(p[c[0]][2], p[c[1]][2], p[c[2]][2]);
  }

  SoNode * tree = buildCell(rootCell, 1);
  std::vector<std::vector<int32_t>>().swap(cellTriangles);
  std::vector<float>().swap(centroidX);
  std::vector<float>().swap(centroidZ);
  return static_cast<SoSeparator *>(tree);
}

void LodTreeBuilder::filterTriangles(const cutrules::Rectangle & cell, int level)
{
  const SbVec3f * p = terrain.points;
  std::vector<int32_t> & mine = cellTriangles[size_t(level)];
  mine.clear();
  for (const int32_t t : cellTriangles[size_t(level) - 1]) {
    const int32_t * c = terrain.coordIndex + 4 * size_t(t);
    if (!validCorners(c, terrain.numPoints)) {
      mine.push_back(t); // the cut skips it
      continue;
    }
    const float cx = centroidX[size_t(t)];
    const float cz = centroidZ[size_t(t)];
    // Precomputed centroids serve wherever they are finite; the rare overflowed one is decided
    // from the corners as the cut decides it.
    const bool kept = std::isfinite(cx) && std::isfinite(cz)
                        ? cutrules::keepsCentroid(cell, cx, cz)
                        : cutrules::keepsTriangle(cell, p[c[0]], p[c[1]], p[c[2]]);
    if (kept || cutrules::strictlyInside(cell, p[c[0]]) ||
        cutrules::strictlyInside(cell, p[c[1]]) || cutrules::strictlyInside(cell, p[c[2]])) {
      mine.push_back(t);
    }
  }
}

SoSeparator * LodTreeBuilder::cellChunk(const cutrules::Rectangle & cell, int level)
{
  filterTriangles(cell, level);
  FlatMesh chunk;
  std::vector<SbVec3f> border;
  ListChunkWriter writer(chunk);
  cutMesh(terrain, &cellTriangles[size_t(level)], cell, border, writer);
  if (level == maxLevel) {
    step();
  } else {
    const VertexWelder protectedPositions(border);
    EditableMesh editable = editableViewOf(chunk);
    for (int pass = 0; pass < maxLevel - level; ++pass) {
      reducePass(editable, protectedPositions, percent);
      step();
    }
    resizeTo(chunk, editable);
  }
  return makeChunkNode(chunk);
}

SoNode * LodTreeBuilder::buildCell(const cutrules::Rectangle & cell, int level)
{
  assert(level >= 1 && level <= maxLevel);
  // A coarse chunk is reduced before the sub-cells are built: it depends on nothing of theirs,
  // and its unreduced lists need not wait for them.
  SoSeparator * chunk = cellChunk(cell, level);
  if (level == maxLevel) {
    // Cells on the last level keep their unreduced chunk.
    chunk->unrefNoDelete(); // the parent's group takes it over
    return chunk;
  }

  // Both neighbours of a split line get the very same float for it.
  const float xm = cell.x1 + (cell.x2 - cell.x1) / 2.0f;
  const float ym = cell.y1 + (cell.y2 - cell.y1) / 2.0f;
  SoSeparator * group = new SoSeparator;
  group->addChild(buildCell({cell.x1, cell.y1, xm, ym}, level + 1));
  group->addChild(buildCell({cell.x1, ym, xm, cell.y2}, level + 1));
  group->addChild(buildCell({xm, cell.y1, cell.x2, ym}, level + 1));
  group->addChild(buildCell({xm, ym, cell.x2, cell.y2}, level + 1));

  SoLOD * lod = new SoLOD;
  lod->range.setValue((cell.x2 - cell.x1) * 2.1f);
  lod->center.setValue((cell.x1 + cell.x2) / 2.0f, 0.0f, (cell.y1 + cell.y2) / 2.0f);
  lod->addChild(group);
  lod->addChild(chunk);
  chunk->unref();
  SoSeparator * separator = new SoSeparator;
  if (level == 1) separator->addChild(texture);
  separator->addChild(lod);
  return separator;
}
