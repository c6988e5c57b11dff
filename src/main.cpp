// Terravel: loads one terrain scene, flattens it into one textured mesh, and shows it as a
// level-of-detail tree (run mode 0), as it is (1), reduced and saved (2), or cut to a rectangle
// and saved (3); run mode 4 shows an empty viewer. With --batch it does the run mode's work
// without a window and ends.

#include "chunkerror.h"
#include "console.h"
#include "firstview.h"
#include "levelcolours.h"
#include "longoptions.h"
#include "options.h"
#include "runmodes.h"
#include "standardstreams.h"
#include "steps.h"
#include "tilesetexport.h"
#include "terrainmodel.h"
#include "tiledrun.h"

#include <Inventor/SoDB.h>
#include <Inventor/Win/SoWin.h>
#include <Inventor/Win/viewers/SoWinExaminerViewer.h>
#include <Inventor/nodes/SoPerspectiveCamera.h>
#include <Inventor/nodes/SoSeparator.h>

#include <cmath>
#include <cstdio>
#include <memory>

namespace {

struct RunModeResult {
  SoSeparator * scene; // with one reference of its own, or null (run mode 4)
  bool saved;          // every file the run mode writes was written
};

// Run mode 0: the tree, switching by distance or by error on screen, saved when asked.
SoSeparator * treeWork(TerrainModel & model, const Settings & s, const LongOptions & extras,
                       bool & saved)
{
  ReductionSettings reduction = extras.reduction;
  // The levels' errors are printed when asked for by --max-error or --pixel-error; tiles carry
  // each chunk's measured error without them.
  const bool levelLines = reduction.measure;
  reduction.measure = reduction.measure || isTilesetName(extras.saveTree);
  SoSeparator * tree = treeStep(model, s.level, s.reduce, reduction, levelLines);
  // Until a viewer says otherwise: a view 1080 pixels high, 45 degrees from top to bottom.
  if (extras.pixelError > 0) setRangesForPixelError(tree, extras.pixelError, M_PI / 4, 1080);
  if (!extras.saveTree.empty()) saved = saveStep(model, tree, extras.saveTree.c_str(), extras.binary);
  if (extras.showLevels) tintLevels(tree, s.level);
  return tree;
}

// Every run mode's work hands back the scene to show with one reference of its own, which the
// tear-down releases.
RunModeResult runModeWork(TerrainModel & model, const char * fileName, const Settings & s,
                          const LongOptions & extras)
{
  RunModeResult result = {nullptr, true};
  switch (RunMode(s.operation)) {
  case RunMode::TREE:
    result.scene = treeWork(model, s, extras, result.saved);
    break;
  case RunMode::SHOW:
    result.scene = model.getRoot();
    result.scene->ref();
    break;
  case RunMode::REDUCE:
    result.scene = runReduceMode(model, fileName, s.reduce, &result.saved, {extras.reduction, extras.binary});
    break;
  case RunMode::CUT:
    result.scene = runCutMode(model, fileName, s.x1, s.y1, s.x2, s.y2, &result.saved,
                              {extras.reduction, extras.binary});
    break;
  case RunMode::EMPTY:
    break;
  }
  return result;
}

// The tree's switching fitted to the viewer: its camera's field of view and its window's height.
void switchByPixelError(SoCamera * camera, const SbViewportRegion & viewport, SoNode * tree,
                        double pixels)
{
  const double heightAngle = camera != nullptr && camera->isOfType(SoPerspectiveCamera::getClassTypeId())
                               ? static_cast<SoPerspectiveCamera *>(camera)->heightAngle.getValue()
                               : M_PI / 4;
  setRangesForPixelError(tree, pixels, heightAngle, viewport.getViewportSizePixels()[1]);
}

// The picture of the first view may not replace a file the run read.
bool screenshotSpared(const TerrainModel & model, const std::string & screenshot)
{
  if (screenshot.empty()) return true;
  for (const std::string & read : model.readFiles()) {
    if (!sameFile(screenshot, read)) continue;
    std::fprintf(stderr, "terravel: --screenshot %s would replace %s, which this run reads\n",
                 screenshot.c_str(), read.c_str());
    return false;
  }
  return true;
}

} // namespace

int main(int argc, char ** argv)
{
  // 1. Start-up.
  openMissingStandardStreams();
  LongOptions extras;
  const int finished = takeLongOptions(argc, argv, extras);
  if (finished >= 0) return finished;
  if (extras.tiling) {
    // A raster of any size, tiled without a window: it never becomes one mesh to show.
    printBanner();
    if (argc < 2) {
      printUsage(argv[0]);
      return 1;
    }
    Settings settings;
    settings.level = -1;
    readOptions(argc, argv, settings);
    return runTiledBuild(argv[1], settings, extras);
  }
  static char fpsCounter[] = "COIN_SHOW_FPS_COUNTER=1";
  static char soundOff[] = "COIN_SOUND_ENABLE=0";
  putenv(fpsCounter);
  putenv(soundOff);
  SoDB::init();
  HWND mainWindow = nullptr;
  if (!extras.batch) {
    mainWindow = SoWin::init(argv[0], "SoWin");
    if (mainWindow == nullptr) return 1;
  }
  clearConsole();
  printBanner();
  if (argc < 2) {
    printUsage(argv[0]);
    return 1;
  }
  warnOfBadThreadSetting();
  Settings settings;
  readOptions(argc, argv, settings);

  // 2. Loading.
  TerrainModel model;
  clampLevel(settings.level);
  clampReduce(settings.reduce);
  clampOperation(settings.operation);
  if (!longOptionsFitRunMode(extras, settings.operation)) return 1;
  if (!loadStep(model, argv[1], extras.raster, extras.rasterGiven)) return 1;
  if (!screenshotSpared(model, extras.screenshot)) return 1;

  // 3. Run-mode work.
  const RunModeResult work = runModeWork(model, argv[1], settings, extras);
  SoSeparator * sceneRoot = work.scene;
  std::fflush(stdout);
  if (extras.batch) {
    if (sceneRoot != nullptr) sceneRoot->unref();
    return work.saved ? 0 : 1;
  }

  // 4. Viewing.
  auto viewer = std::make_unique<SoWinExaminerViewer>(
      mainWindow, nullptr, TRUE, SoWinFullViewer::BUILD_ALL, SoWinViewer::BROWSER);
  viewer->setSceneGraph(sceneRoot);
  viewer->setHeadlight(TRUE);
  viewer->setTitle("Terravel algorithm for universal model");
  viewer->show();
  SoWin::show(mainWindow);
  viewFromAbove(viewer->getCamera(), sceneRoot, viewer->getViewportRegion());
  if (extras.pixelError > 0) switchByPixelError(viewer->getCamera(), viewer->getViewportRegion(), sceneRoot, extras.pixelError);
  if (!extras.screenshot.empty()) viewer->saveNextFrame(extras.screenshot.c_str(), model.readFiles());
  SoWin::mainLoop();

  // 5. Tear-down.
  const bool pictureMissing = !extras.screenshot.empty() && !viewer->frameSaved();
  viewer.reset();
  if (sceneRoot != nullptr) sceneRoot->unref();
  return pictureMissing ? 1 : 0;
}
