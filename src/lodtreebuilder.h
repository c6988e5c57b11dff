#ifndef TERRAVEL_LODTREEBUILDER_H
#define TERRAVEL_LODTREEBUILDER_H

#include "cutrules.h"
#include "flatmesh.h"

#include <cstdint>
#include <functional>
#include <vector>

class SoNode;
class SoSeparator;
class SoTexture2;

// The quadtree of level-of-detail nodes over a welded terrain. Every cell above the last level
// is split at its midpoints into four; its separator holds one SoLOD that draws the four
// sub-cells near by and, farther than 2.1 cell widths from the cell's centre, the cell's own
// chunk reduced once per level below it (its border kept in place). Cells on the last level
// keep their unreduced chunk. Only the root cell holds the texture.
//
// A cell's chunk depends only on the triangles its rectangle keeps and those with a corner
// strictly inside it (they add border points); every other triangle of the terrain leaves no
// trace. Sub-cells lie inside their parent, so each cell filters its parent's list instead of
// walking the whole terrain, and the cut visits that list in terrain order: the tree is the one
// that cutting every cell from the whole terrain gives.
class LodTreeBuilder {
public:
  // step is called once per progress step: after each last-level cut and each reduction pass.
  LodTreeBuilder(const MeshView & terrain, SoTexture2 * texture, int maxLevel, int percent,
                 std::function<void(void)> step);

  // The tree over the rectangle, not referenced.
  SoSeparator * build(const cutrules::Rectangle & rootCell);

  // The number of progress steps of a build with maxLevel levels.
  static int32_t progressSteps(int maxLevel);

private:
  SoNode * buildCell(const cutrules::Rectangle & cell, int level);
  // The cell's chunk, reduced unless on the last level, referenced once.
  SoSeparator * cellChunk(const cutrules::Rectangle & cell, int level);
  void filterTriangles(const cutrules::Rectangle & cell, int level);

  const MeshView terrain;
  SoTexture2 * const texture;
  const int maxLevel;
  const int percent;
  const std::function<void(void)> step;
  // Per level of the recursion: the triangles that can matter to the cell being built there.
  std::vector<std::vector<int32_t>> cellTriangles;
  // Every triangle's centroid, exactly as the cut computes it.
  std::vector<float> centroidX;
  std::vector<float> centroidZ;
};

#endif
