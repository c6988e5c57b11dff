// Cost of building the level-of-detail tree on a large terrain, by level: build time, peak
// memory during the build, and build time against load time. At one small level it also builds
// the tree the literal way, every cell cut from the full model, and prints the ratio.
// Usage: bench_tree [terrain.iv[.gz] [highest level [literal level]]]

#include "lodtreebuilder.h"
#include "terrainmodel.h"
#include "workerthreads.h"

#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/SbBSPTree.h>
#include <Inventor/SbTime.h>
#include <Inventor/SoDB.h>
#include <Inventor/nodes/SoLOD.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

double now(void) { return SbTime::getTimeOfDay().getValue(); }

// Peak resident memory in MiB since the last reset.
double peakMiB(void)
{
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, 6, "VmHWM:") == 0) return std::atof(line.c_str() + 6) / 1024.0;
  return 0.0;
}

void resetPeak(void)
{
  std::ofstream("/proc/self/clear_refs") << "5";
}

SoSeparator * literalCell(TerrainModel & model, float x1, float y1, float x2, float y2,
                          int level, int maxLevel, int percent)
{
  SbBSPTree border(16, 0);
  SoSeparator * chunk = model.cutRegion(model.getRoot(), x1, y1, x2, y2, &border);
  if (level == maxLevel) {
    chunk->unrefNoDelete();
    return chunk;
  }
  SoSeparator * cell = new SoSeparator;
  SoSeparator * group = new SoSeparator;
  SoLOD * lod = new SoLOD;
  const float xm = x1 + (x2 - x1) / 2, ym = y1 + (y2 - y1) / 2;
  group->addChild(literalCell(model, x1, y1, xm, ym, level + 1, maxLevel, percent));
  group->addChild(literalCell(model, x1, ym, xm, y2, level + 1, maxLevel, percent));
  group->addChild(literalCell(model, xm, y1, x2, ym, level + 1, maxLevel, percent));
  group->addChild(literalCell(model, xm, ym, x2, y2, level + 1, maxLevel, percent));
  lod->addChild(group);
  for (int i = 0; i < maxLevel - level; ++i) model.reduce(chunk, &border, percent);
  lod->addChild(chunk);
  chunk->unref();
  cell->addChild(lod);
  return cell;
}

} // namespace

int main(int argc, char ** argv)
{
  const char * path =
      argc > 1 ? argv[1] : TERRAVEL_SHARED_DATA "/terrain/large_srtm3_N57E011.iv.gz";
  const int highest = argc > 2 ? std::atoi(argv[2]) : 8;
  const int literalLevel = argc > 3 ? std::atoi(argv[3]) : 5;
  SoDB::init();

  TerrainModel model;
  double t0 = now();
  if (!model.load(path)) return 1;
  const double load = now() - t0;
  std::printf("load: %.2f s, peak %.0f MiB\n\n", load, peakMiB());
  std::printf("level  build (s)  build/load  peak during build (MiB)\n");

  // The build prints its progress; keep the table readable by sending it nowhere.
  std::fflush(stdout);
  const int console = dup(1);
  for (int level = 3; level <= highest; ++level) {
    resetPeak();
    std::freopen("/dev/null", "w", stdout);
    t0 = now();
    SoSeparator * tree = model.buildTree(level, 50);
    const double build = now() - t0;
    std::fflush(stdout);
    dup2(console, 1);
    std::printf("%5d  %9.2f  %10.2f  %22.0f\n", level, build, build / load, peakMiB());
    std::fflush(stdout);
    tree->unref();
  }

  std::freopen("/dev/null", "w", stdout);
  t0 = now();
  SoSeparator * tree = model.buildTree(literalLevel, 50);
  const double fast = now() - t0;
  tree->unref();
  float minX = 0, minZ = 0, maxX = 0, maxZ = 0;
  model.getExtent(model.getRoot(), minX, minZ, maxX, maxZ);
  t0 = now();
  tree = literalCell(model, minX, minZ, maxX, maxZ, 1, literalLevel, 50);
  tree->ref();
  const double literal = now() - t0;
  tree->unref();
  std::fflush(stdout);
  dup2(console, 1);
  std::printf("\nlevel %d, every cell cut from the full model: %.2f s; fast: %.2f s; "
              "literal/fast %.1f\n", literalLevel, literal, fast, literal / fast);

  // One worker thread against one per core, at the highest level, in turns, best of two each.
  const int cores = workerThreads();
  double alone = 1e30, all = 1e30;
  for (int round = 0; round < 2; ++round) {
    for (const int threads : {1, cores}) {
      setenv("TERRAVEL_THREADS", std::to_string(threads).c_str(), 1);
      std::freopen("/dev/null", "w", stdout);
      t0 = now();
      tree = model.buildTree(highest, 50);
      const double build = now() - t0;
      tree->unref();
      double & best = threads == 1 ? alone : all;
      best = std::min(best, build);
    }
  }
  std::fflush(stdout);
  dup2(console, 1);
  std::printf("level %d, 1 thread: %.2f s; %d threads: %.2f s; speed-up %.2f\n", highest, alone,
              cores, all, alone / all);
  return 0;
}
