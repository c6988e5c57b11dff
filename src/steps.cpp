#include "steps.h"

#include "lodtreebuilder.h"
#include "nodesearch.h"
#include "terrainmodel.h"
#include "tilesetexport.h"

#include <chrono>
#include <cstdio>
#include <unistd.h>
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

namespace {

// Progress on standard error, once a save has taken a second, when a person watches it.
class SaveProgressLine {
public:
  SaveProgressLine(void) : shown(isatty(2) != 0), start(std::chrono::steady_clock::now()) {}
  ~SaveProgressLine(void)
  {
    if (printed) std::fprintf(stderr, "\r%60s\r", "");
  }
  SaveProgressLine(const SaveProgressLine &) = delete;
  SaveProgressLine & operator=(const SaveProgressLine &) = delete;

  void operator()(int64_t done, int64_t total)
  {
    if (!shown || std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) return;
    if (total > 0)
      std::fprintf(stderr, "\r  saved %lld of %lld tiles", (long long)done, (long long)total);
    else
      std::fprintf(stderr, "\r  saved %lld MB", (long long)(done >> 20));
    printed = true;
  }

private:
  const bool shown;
  const std::chrono::steady_clock::time_point start;
  bool printed = false;
};

} // namespace

bool saveStep(TerrainModel & model, SoSeparator * node, const char * fileName, bool binary)
{
  std::printf("Saving %s ...", fileName);
  std::fflush(stdout);
  SaveProgressLine line;
  const SaveProgress progress = [&line](int64_t done, int64_t total) { line(done, total); };
  const WriteOutcome outcome = isTilesetName(fileName) ? model.saveTiles(node, fileName, progress)
                                                       : model.save(node, fileName, binary, progress);
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
