#ifndef TERRAVEL_LODTREEBUILDER_H
#define TERRAVEL_LODTREEBUILDER_H

#include "chunkreduction.h"
#include "cutrules.h"
#include "flatmesh.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class SoNode;
class SoSeparator;
class SoTexture2;

// The coarse chunks of one level of a tree: how many, their triangles, and their vertical error
// against the vertices they were made from (when measured).
struct LevelSummary {
  int chunks = 0;
  int64_t triangles = 0;
  double largest = 0.0;
  double sumSquares = 0.0;
  int64_t measured = 0;
  double rms(void) const { return measured > 0 ? std::sqrt(sumSquares / double(measured)) : 0.0; }
};

// The quadtree of level-of-detail nodes over a welded terrain. Every cell above the last level
// is split at its midpoints into four; its separator holds one SoLOD that draws the four
// sub-cells near by and, farther than 2.1 cell widths from the cell's centre, the cell's own
// chunk reduced once per level below it (its border kept in place). Cells on the last level
// keep their unreduced chunk. Only the root cell holds the texture. Reduced by the error reducer
// instead (see ReductionSettings), a coarse chunk keeps as many triangles as those passes would
// leave, or as few as its level's error budget allows: the settings' maxError for the level
// above the last, twice that for each level further up. Where chunks are measured, an SoInfo in
// front of each SoLOD says its coarse chunk's error (see chunkerror.h).
//
// A cell's chunk depends only on the triangles its rectangle keeps and those with a corner
// strictly inside it (they add border points); every other triangle of the terrain leaves no
// trace. Sub-cells lie inside their parent, so each cell filters its parent's list instead of
// walking the whole terrain, and the cut visits that list in terrain order: the tree is the one
// that cutting every cell from the whole terrain gives.
//
// Cells are independent once their parent's list is known, so worker threads filter, cut and
// reduce them as plain lists, each cell as soon as its parent is done; the calling thread alone
// makes the toolkit's nodes and reports progress. The tree does not depend on the number of
// threads, nor on the order in which cells are finished.
class LodTreeBuilder {
public:
  // step is called once per progress step: after each last-level cut and each reduction pass,
  // always on the calling thread.
  LodTreeBuilder(const MeshView & terrain, SoTexture2 * texture, int maxLevel, int percent,
                 std::function<void(void)> step,
                 const ReductionSettings & settings = ReductionSettings());
  ~LodTreeBuilder(void);

  // The tree over the rectangle, not referenced, built with this many worker threads.
  SoSeparator * build(const cutrules::Rectangle & rootCell, int threads);
  // Of the last build, level by level from the root down to the level above the last.
  const std::vector<LevelSummary> & levels(void) const { return summary; }

  // The number of progress steps of a build with maxLevel levels.
  static int32_t progressSteps(int maxLevel);

private:
  class Work;
  class Assembly;

  const MeshView terrain;
  SoTexture2 * const texture;
  const int maxLevel;
  const int percent;
  const std::function<void(void)> step;
  const ReductionSettings settings;
  std::vector<LevelSummary> summary;
};

#endif
