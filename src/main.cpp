// Terravel: loads one terrain scene, flattens it into one textured mesh, and shows it as a
// level-of-detail tree (run mode 0), as it is (1), reduced and saved (2), or cut to a rectangle
// and saved (3); run mode 4 shows an empty viewer.

#include "console.h"
#include "options.h"
#include "terrainmodel.h"

#include <Inventor/SoDB.h>
#include <Inventor/Win/SoWin.h>
#include <Inventor/Win/viewers/SoWinExaminerViewer.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// Run modes whose work is not part of this build yet end the run plainly rather than showing
// something else.
SoSeparator * notBuiltYet(int operation)
{
  std::printf("Run mode %d is not built yet.\n", operation);
  std::exit(1);
}

SoSeparator * runModeWork(TerrainModel & model, const Settings & settings)
{
  switch (settings.operation) {
  case 1:
    return model.getRoot();
  case 4:
    return NULL;
  default:
    return notBuiltYet(settings.operation);
  }
}

} // namespace

int main(int argc, char ** argv)
{
  // 1. Start-up.
  static char fpsCounter[] = "COIN_SHOW_FPS_COUNTER=1";
  static char soundOff[] = "COIN_SOUND_ENABLE=0";
  putenv(fpsCounter);
  putenv(soundOff);
  SoDB::init();
  HWND mainWindow = SoWin::init(argv[0], "SoWin");
  if (mainWindow == NULL) return 1;
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
  SoSeparator * sceneRoot = runModeWork(model, settings);
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
  if (sceneRoot != NULL) sceneRoot->unref();
  return 0;
}
