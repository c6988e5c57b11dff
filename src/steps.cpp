#include "steps.h"

#include "lodtreebuilder.h"
#include "nodesearch.h"
#include "paths.h"
#include "safewrite.h"
#include "terrainmodel.h"
#include "tilesetexport.h"
#include "workerthreads.h"

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
                 "terravel: --zscale, --stride, --texture and --vertical-datum shape elevation rasters; %s is an "
                 "Inventor scene, so they are ignored\n",
                 fileName);
  return true;
}

namespace {

// A save's progress on standard error when it is a terminal and the save takes longer than a
// second, as the tree's is shown: the transcript's own line, rewritten, then left as it was for
// its Done or Failed.
class SaveProgressLine {
public:
  explicit SaveProgressLine(const char * fileName)
    : shown(isatty(2) != 0), start(std::chrono::steady_clock::now()), fileName(fileName) {}
  ~SaveProgressLine(void) { finish(); }
  // The line as it was before the progress, for the outcome to follow.
  void finish(void)
  {
    if (!last.empty()) std::fprintf(stderr, "\r%*s\rSaving %s ...", int(last.size()), "", fileName);
    last.clear();
  }
  SaveProgressLine(const SaveProgressLine &) = delete;
  SaveProgressLine & operator=(const SaveProgressLine &) = delete;

  void operator()(int64_t done, int64_t total)
  {
    if (!shown || std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) return;
    const std::string line = "Saving " + std::string(fileName) + " ... " +
                             (total > 0 ? std::to_string(done * 100 / total) + "%"
                                        : std::to_string(done >> 20) + " MB");
    if (line == last) return;
    std::fprintf(stderr, "\r%s", line.c_str());
    last = line;
  }

private:
  const bool shown;
  const std::chrono::steady_clock::time_point start;
  const char * const fileName;
  std::string last;
};

} // namespace

bool saveStep(TerrainModel & model, SoSeparator * node, const char * fileName, bool binary)
{
  std::printf("Saving %s ...", fileName);
  std::fflush(stdout);
  SaveProgressLine line(fileName);
  const SaveProgress progress = [&line](int64_t done, int64_t total) { line(done, total); };
  // A scene's folders before the scene, which names its texture from the folder it lies in.
  NewFolders folders;
  WriteOutcome outcome;
  if (isTilesetName(fileName)) outcome = model.saveTiles(node, fileName, progress);
  else if (folders.make(folderOf(fileName), outcome.reason))
    outcome = model.save(node, fileName, binary, progress);
  if (outcome.written()) folders.keep();
  line.finish();
  std::printf(outcome.written() ? "Done\n" : "Failed\n");
  std::fflush(stdout);
  if (!outcome.written()) std::fprintf(stderr, "terravel: %s\n", outcome.reason.c_str());
  return outcome.written();
}

SoSeparator * treeStep(TerrainModel & model, int maxLevel, int percent,
                       const ReductionSettings & settings, bool levelLines)
{
  SoSeparator * tree = model.buildTree(
    maxLevel, percent,
    [](int32_t done, int32_t total) {
      std::printf("\rBuilding Terravel tree ... %d%%", done * 100 / total);
    },
    settings);
  std::printf("\rBuilding Terravel tree ... Done\n");
  if (levelLines && settings.measure) {
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
  if (wanted == nullptr || threadSettingValid(wanted)) return;
  std::fprintf(stderr,
               "terravel: TERRAVEL_THREADS=%s is not a number of threads from 1 to 256; the "
               "tree is built with %d (one per core)\n",
               wanted, workerThreads());
}
