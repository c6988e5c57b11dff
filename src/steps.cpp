#include "steps.h"

#include "lodtreebuilder.h"
#include "nodesearch.h"
#include "terrainmodel.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <Inventor/actions/SoSearchAction.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>

bool loadStep(TerrainModel & model, const char * fileName, const RasterOptions & raster,
              bool rasterOptionsGiven)
{
  std::printf("Loading %s ...", fileName);
  std::fflush(stdout);
  const LoadOutcome outcome = model.load(fileName, raster);
  if (!outcome.loaded) {
    std::printf(" Failed\n");
    std::fflush(stdout);
    std::fprintf(stderr, "terravel: %s: %s\n", fileName, outcome.reason.c_str());
    return false;
  }
  std::printf(" Done\n");
  if (!outcome.note.empty()) std::printf("%s\n", outcome.note.c_str());
  std::fflush(stdout);
  if (!outcome.raster && rasterOptionsGiven)
    std::fprintf(stderr,
                 "terravel: --zscale, --stride and --texture shape elevation rasters; %s is an "
                 "Inventor scene, so they are ignored\n",
                 fileName);
  return true;
}

bool saveStep(TerrainModel & model, SoSeparator * node, const char * fileName)
{
  std::printf("Saving %s ...", fileName);
  std::fflush(stdout);
  const WriteOutcome outcome = model.save(node, fileName);
  std::printf(outcome.written() ? "Done\n" : "Failed\n");
  std::fflush(stdout);
  if (!outcome.written()) std::fprintf(stderr, "terravel: %s\n", outcome.reason.c_str());
  return outcome.written();
}

SoSeparator * treeStep(TerrainModel & model, int maxLevel, int percent,
                       const ReductionSettings & settings)
{
  SoSeparator * tree = model.buildTree(
    maxLevel, percent,
    [](int32_t done, int32_t total) {
      std::printf("\rBuilding Terravel tree ... %d%%", done * 100 / total);
    },
    settings);
  std::printf("\rBuilding Terravel tree ... Done\n");
  if (settings.measure) {
    const std::vector<LevelSummary> & levels = model.treeLevels();
    for (size_t i = 0; i < levels.size(); ++i) {
      const std::string name = "Level " + std::to_string(i + 1);
      printLevel(name.c_str(), levels[i]);
    }
  }
  return tree;
}

void printLevel(const char * name, const LevelSummary & level)
{
  std::printf("%s: %d chunk%s, %lld triangles, largest vertical error %.3f m, RMS %.3f m\n", name,
              level.chunks, level.chunks == 1 ? "" : "s", (long long)level.triangles,
              level.largest, level.rms());
}

int64_t trianglesOf(SoNode * node)
{
  SoSearchAction search;
  SoNode * found = findFirst(search, node, SoIndexedFaceSet::getClassTypeId());
  return found == nullptr ? 0 : static_cast<SoIndexedFaceSet *>(found)->coordIndex.getNum() / 4;
}

void warnOfBadThreadSetting(void)
{
  const char * wanted = std::getenv("TERRAVEL_THREADS");
  if (wanted == nullptr || LodTreeBuilder::threadSettingValid(wanted)) return;
  std::fprintf(stderr,
               "terravel: TERRAVEL_THREADS=%s is not a number of threads from 1 to 256; the "
               "tree is built with %d (one per core)\n",
               wanted, LodTreeBuilder::defaultThreads());
}
