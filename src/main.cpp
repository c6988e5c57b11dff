// Terravel: loads one terrain scene, flattens it into one textured mesh, and shows it as a
// level-of-detail tree (run mode 0), as it is (1), reduced and saved (2), or cut to a rectangle
// and saved (3); run mode 4 shows an empty viewer.

#include "console.h"
#include "options.h"
#include "runmodes.h"
#include "standardstreams.h"
#include "terrainmodel.h"

#include <Inventor/SoDB.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/Win/SoWin.h>
#include <Inventor/Win/viewers/SoWinExaminerViewer.h>

#include <cstdio>
#include <memory>

namespace {

// Every run mode's work hands back the scene to show with one reference of its own, which the
// tear-down releases; run mode 4 has none.
SoSeparator * runModeWork(TerrainModel & model, const char * fileName, const Settings & s)
{
  switch (RunMode(s.operation)) {
  case RunMode::TREE:
    return model.buildTree(s.level, s.reduce);
  case RunMode::SHOW: {
    SoSeparator * root = model.getRoot();
    root->ref();
    return root;
  }
  case RunMode::REDUCE:
    return runReduceMode(model, fileName, s.reduce);
  case RunMode::CUT:
    return runCutMode(model, fileName, s.x1, s.y1, s.x2, s.y2);
  case RunMode::EMPTY:
    break;
  }
  return nullptr;
}

} // namespace

int main(int argc, char ** argv)
{
  // 1. Start-up.
  openMissingStandardStreams();
  static char fpsCounter[] = "COIN_SHOW_FPS_COUNTER=1";
  static char soundOff[] = "COIN_SOUND_ENABLE=0";
  putenv(fpsCounter);
  putenv(soundOff);
  SoDB::init();
  HWND mainWindow = SoWin::init(argv[0], "SoWin");
  if (mainWindow == nullptr) return 1;
  clearConsole();
  printBanner();
  if (argc < 2) {
    printUsage(argv[0]);
    return 1;
  }
  Settings settings;
  readOptions(argc, argv, settings);

  // 2. Loading.
  TerrainModel model;
  clampLevel(settings.level);
  clampReduce(settings.reduce);
  clampOperation(settings.operation);
  if (!model.load(argv[1])) return 1;

  // 3. Run-mode work.
  SoSeparator * sceneRoot = runModeWork(model, argv[1], settings);
  std::fflush(stdout);

  // 4. Viewing.
  auto viewer = std::make_unique<SoWinExaminerViewer>(
      mainWindow, nullptr, TRUE, SoWinFullViewer::BUILD_ALL, SoWinViewer::BROWSER);
  viewer->setSceneGraph(sceneRoot);
  viewer->setHeadlight(TRUE);
  viewer->setTitle("Terravel algorithm for universal model");
  viewer->show();
  SoWin::show(mainWindow);
  SoWin::mainLoop();

  // 5. Tear-down.
  viewer.reset();
  if (sceneRoot != nullptr) sceneRoot->unref();
  return 0;
}
