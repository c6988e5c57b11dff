#include "lodtreebuilder.h"

#include "chunkerror.h"
#include "chunknodes.h"
#include "meshcut.h"
#include "vertexwelder.h"

#include <Inventor/nodes/SoInfo.h>
#include <Inventor/nodes/SoLOD.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoTexture2.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

namespace {

bool validCorners(const int32_t * corner, int32_t numPoints)
{
  return uint32_t(corner[0]) < uint32_t(numPoints) && uint32_t(corner[1]) < uint32_t(numPoints) &&
         uint32_t(corner[2]) < uint32_t(numPoints);
}

using TriangleList = std::vector<int32_t>;

// Cells are numbered as in a heap: the root is 0, the sub-cells of cell i are 4i + 1 to 4i + 4,
// in quadrant order.
size_t firstSubCell(size_t cell)
{
  return 4 * cell + 1;
}

struct CellTask {
  size_t cell;
  int level;
  cutrules::Rectangle rect;
  std::shared_ptr<const TriangleList> parentTriangles;
};

struct CellResult {
  size_t cell;
  int level;
  cutrules::Rectangle rect;
  FlatMesh chunk;
  VerticalError error; // of a coarse chunk, when measured
};

} // namespace

// The cells waiting for a worker, the chunks waiting for their nodes, and the workers.
class LodTreeBuilder::Work {
public:
  Work(const LodTreeBuilder & builder) : builder(builder) {}

  // Every triangle's centroid, exactly as the cut computes it, worked out once for all cells.
  void measureCentroids(void)
  {
    const MeshView & terrain = builder.terrain;
    const int32_t numTriangles = terrain.numTriangles();
    centroidX.assign(size_t(numTriangles), 0.0f);
    centroidZ.assign(size_t(numTriangles), 0.0f);
    const SbVec3f * p = terrain.points;
    for (int32_t t = 0; t < numTriangles; ++t) {
      const int32_t * c = terrain.coordIndex + 4 * size_t(t);
      if (!validCorners(c, terrain.numPoints)) continue; // the cut skips it; any centroid will do
      centroidX[size_t(t)] = cutrules::centroidOf(p[c[0]][0], p[c[1]][0], p[c[2]][0]);
      centroidZ[size_t(t)] = cutrules::centroidOf(p[c[0]][2], p[c[1]][2], p[c[2]][2]);
    }
  }

  void add(CellTask && task)
  {
    std::lock_guard<std::mutex> lock(mutex);
    tasks.push_back(std::move(task));
    taskReady.notify_one();
  }

  // A worker: takes the newest cell first, so the build goes deep before it goes wide and few
  // parents' lists are alive at a time.
  void work(void)
  {
    for (;;) {
      CellTask task;
      {
        std::unique_lock<std::mutex> lock(mutex);
        taskReady.wait(lock, [this]() { return !tasks.empty() || finished; });
        if (tasks.empty()) return;
        task = std::move(tasks.back());
        tasks.pop_back();
      }
      // The sub-cells need only this cell's list: they are handed out before its own chunk is
      // cut and reduced, so that the other workers need not wait for it.
      const std::shared_ptr<const TriangleList> mine = trianglesOf(task);
      if (task.level < builder.maxLevel) {
        // Both neighbours of a split line get the very same float for it.
        const cutrules::Rectangle & r = task.rect;
        const float xm = r.x1 + (r.x2 - r.x1) / 2.0f;
        const float ym = r.y1 + (r.y2 - r.y1) / 2.0f;
        const cutrules::Rectangle quadrants[4] = {
          {r.x1, r.y1, xm, ym}, {r.x1, ym, xm, r.y2}, {xm, r.y1, r.x2, ym}, {xm, ym, r.x2, r.y2}};
        std::lock_guard<std::mutex> lock(mutex);
        for (size_t q = 0; q < 4; ++q)
          tasks.push_back({firstSubCell(task.cell) + q, task.level + 1, quadrants[q], mine});
        taskReady.notify_all();
      }
      CellResult result = {task.cell, task.level, task.rect, FlatMesh(), VerticalError()};
      result.error = makeChunk(task, *mine, result.chunk);
      std::lock_guard<std::mutex> lock(mutex);
      results.push_back(std::move(result));
      resultReady.notify_one();
    }
  }

  // Waits for the next finished cell.
  void next(CellResult & result)
  {
    std::unique_lock<std::mutex> lock(mutex);
    resultReady.wait(lock, [this]() { return !results.empty(); });
    result = std::move(results.front());
    results.pop_front();
  }

  void finish(void)
  {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    taskReady.notify_all();
  }

private:
  // The triangles that can matter to the cell: kept by its rectangle, or with a corner strictly
  // inside it.
  TriangleList filter(const TriangleList & parent, const cutrules::Rectangle & cell) const
  {
    const MeshView & terrain = builder.terrain;
    const SbVec3f * p = terrain.points;
    TriangleList mine;
    for (const int32_t t : parent) {
      const int32_t * c = terrain.coordIndex + 4 * size_t(t);
      if (!validCorners(c, terrain.numPoints)) {
        mine.push_back(t); // the cut skips it
        continue;
      }
      const float cx = centroidX[size_t(t)];
      const float cz = centroidZ[size_t(t)];
      // Precomputed centroids serve wherever they are finite; the rare overflowed one is
      // decided from the corners as the cut decides it.
      const bool kept = std::isfinite(cx) && std::isfinite(cz)
                          ? cutrules::keepsCentroid(cell, cx, cz)
                          : cutrules::keepsTriangle(cell, p[c[0]], p[c[1]], p[c[2]]);
      if (kept || cutrules::strictlyInside(cell, p[c[0]]) ||
          cutrules::strictlyInside(cell, p[c[1]]) || cutrules::strictlyInside(cell, p[c[2]])) {
        mine.push_back(t);
      }
    }
    return mine;
  }

  // The triangles that can matter to the cell, filtered from its parent's; the parent's list
  // is let go here.
  std::shared_ptr<const TriangleList> trianglesOf(CellTask & task) const
  {
    std::shared_ptr<TriangleList> mine;
    if (task.parentTriangles == nullptr) {
      // The root's parent is the whole terrain.
      mine = std::make_shared<TriangleList>(size_t(builder.terrain.numTriangles()));
      for (size_t t = 0; t < mine->size(); ++t) (*mine)[t] = int32_t(t);
    } else {
      mine = std::make_shared<TriangleList>(filter(*task.parentTriangles, task.rect));
      task.parentTriangles.reset();
    }
    return mine;
  }

  // A triangle whose centroid lies on the cell's border belongs to the neighbouring cell too;
  // its corners stay in place, so that both cells draw it alike whatever their levels.
  void keepSharedTriangles(const TriangleList & mine, const cutrules::Rectangle & r,
                           std::vector<SbVec3f> & border) const
  {
    const MeshView & terrain = builder.terrain;
    for (const int32_t t : mine) {
      const int32_t * c = terrain.coordIndex + 4 * size_t(t);
      const float cx = centroidX[size_t(t)], cz = centroidZ[size_t(t)];
      if (!validCorners(c, terrain.numPoints) || !std::isfinite(cx) || !std::isfinite(cz) ||
          !cutrules::keepsCentroid(r, cx, cz) ||
          (r.x1 < cx && cx < r.x2 && r.y1 < cz && cz < r.y2))
        continue;
      for (int k = 0; k < 3; ++k) border.push_back(terrain.points[c[k]]);
    }
  }

  // The cell's chunk, reduced as far as one pass per level below it goes, or as its level's
  // error budget allows; its vertical error when it is to be measured.
  VerticalError makeChunk(const CellTask & task, const TriangleList & mine, FlatMesh & chunk) const
  {
    std::vector<SbVec3f> border;
    ListChunkWriter writer(chunk);
    cutMesh(builder.terrain, &mine, task.rect, border, writer);
    if (task.level == builder.maxLevel) return VerticalError();
    keepSharedTriangles(mine, task.rect, border);
    const VertexWelder protectedPositions(border);
    EditableMesh editable = editableViewOf(chunk);
    const int levelsBelow = builder.maxLevel - task.level;
    const double budget = builder.settings.maxError * std::ldexp(1.0, levelsBelow - 1);
    const VerticalError error = reduceChunk(editable, protectedPositions, builder.settings,
                                            builder.percent, levelsBelow, budget);
    resizeTo(chunk, editable);
    return error;
  }

  const LodTreeBuilder & builder;
  std::vector<float> centroidX;
  std::vector<float> centroidZ;
  std::mutex mutex;
  std::condition_variable taskReady, resultReady;
  std::vector<CellTask> tasks;
  std::deque<CellResult> results;
  bool finished = false;
};

// Puts the cells together as their chunks come in: a cell's separator once its own chunk and
// its four sub-cells' nodes are there. A node waiting for its parent holds one reference.
class LodTreeBuilder::Assembly {
public:
  explicit Assembly(const LodTreeBuilder & builder) : builder(builder)
  {
    size_t cells = 0, innerCells = 0;
    for (int level = 1, count = 1; level <= builder.maxLevel; ++level, count *= 4) {
      cells += size_t(count);
      if (level < builder.maxLevel) innerCells += size_t(count);
    }
    made.assign(cells, nullptr);
    coarse.assign(innerCells, nullptr);
    rects.resize(innerCells);
    errors.resize(innerCells);
    missing.assign(innerCells, 5);
    levels.resize(size_t(builder.maxLevel - 1));
  }

  // Takes a finished cell; gives the tree once its root is assembled.
  SoSeparator * add(CellResult & result)
  {
    SoSeparator * chunk = makeChunkNode(result.chunk);
    size_t cell = result.cell;
    if (result.level == builder.maxLevel) {
      made[cell] = chunk;
      cell = (cell - 1) / 4; // a leaf is never the root
    } else {
      count(result);
      coarse[cell] = chunk;
      rects[cell] = result.rect;
      errors[cell] = result.error;
    }
    result.chunk = FlatMesh();
    // Assemble upwards as far as every part is there.
    while (--missing[cell] == 0) {
      made[cell] = cellNode(cell);
      if (cell == 0) return static_cast<SoSeparator *>(made[0]);
      cell = (cell - 1) / 4;
    }
    return nullptr;
  }

  const std::vector<LevelSummary> & summary(void) const { return levels; }

private:
  void count(const CellResult & result)
  {
    LevelSummary & level = levels[size_t(result.level - 1)];
    ++level.chunks;
    level.triangles += int64_t(result.chunk.coordIndex.size() / 4);
    level.largest = std::max(level.largest, result.error.largest);
    level.sumSquares += result.error.rms * result.error.rms * double(result.error.measured);
    level.measured += result.error.measured;
  }

  SoSeparator * cellNode(size_t cell)
  {
    const cutrules::Rectangle & rect = rects[cell];
    SoSeparator * group = new SoSeparator;
    for (size_t q = 0; q < 4; ++q) {
      SoNode * sub = made[firstSubCell(cell) + q];
      group->addChild(sub);
      sub->unref();
    }
    SoLOD * lod = new SoLOD;
    lod->range.setValue((rect.x2 - rect.x1) * 2.1f);
    lod->center.setValue((rect.x1 + rect.x2) / 2.0f, 0.0f, (rect.y1 + rect.y2) / 2.0f);
    lod->addChild(group);
    lod->addChild(coarse[cell]);
    coarse[cell]->unref();
    SoSeparator * separator = new SoSeparator;
    separator->ref();
    if (cell == 0) separator->addChild(builder.texture);
    if (builder.settings.measure) separator->addChild(errorInfo(errors[cell]));
    separator->addChild(lod);
    return separator;
  }

  const LodTreeBuilder & builder;
  std::vector<SoNode *> made; // a leaf's chunk, or an inner cell's separator
  std::vector<SoSeparator *> coarse;
  std::vector<cutrules::Rectangle> rects;
  std::vector<VerticalError> errors;
  std::vector<uint8_t> missing; // its own chunk and four sub-cells
  std::vector<LevelSummary> levels;
};

LodTreeBuilder::LodTreeBuilder(const MeshView & terrain, SoTexture2 * texture, int maxLevel,
                               int percent, std::function<void(void)> step,
                               const ReductionSettings & settings)
  : terrain(terrain), texture(texture), maxLevel(maxLevel), percent(percent), step(std::move(step)),
    settings(settings)
{
  assert(maxLevel >= 2);
}

LodTreeBuilder::~LodTreeBuilder(void) = default;

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

SoSeparator * LodTreeBuilder::build(const cutrules::Rectangle & rootCell, int threads)
{
  Work work(*this);
  work.measureCentroids();
  work.add({0, 1, rootCell, nullptr});
  std::vector<std::thread> workers;
  for (int i = 0; i < std::max(1, threads); ++i) workers.emplace_back([&work]() { work.work(); });

  // Nodes are made here, as chunks come in.
  Assembly assembly(*this);
  SoSeparator * tree = nullptr;
  while (tree == nullptr) {
    CellResult result;
    work.next(result);
    const int steps = result.level == maxLevel ? 1 : maxLevel - result.level;
    for (int s = 0; s < steps; ++s) step();
    tree = assembly.add(result);
  }
  work.finish();
  for (std::thread & worker : workers) worker.join();
  summary = assembly.summary();
  tree->unrefNoDelete();
  return tree;
}
