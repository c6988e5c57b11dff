// Shows a terrain in the examiner viewer with a performance graph in the lower left corner that
// plots the time between rendered frames, in milliseconds.
// Usage: perfgraphdemo [terrain.iv]

#include "soperfgraph.h"

#include <Inventor/SbTime.h>
#include <Inventor/SoDB.h>
#include <Inventor/SoInput.h>
#include <Inventor/Win/SoWin.h>
#include <Inventor/Win/viewers/SoWinExaminerViewer.h>
#include <Inventor/actions/SoGLRenderAction.h>
#include <Inventor/nodes/SoCallback.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/sensors/SoTimerSensor.h>

#include <cstdio>
#include <memory>

#ifndef TERRAVEL_DEFAULT_TERRAIN
#define TERRAVEL_DEFAULT_TERRAIN "data/tiny_volcano.iv"
#endif

namespace {

const char TITLE[] = "Terravel performance graph";

// The graph is fed from a timer rather than from inside the frame: every sample changes the
// graph and so asks for another frame, and fed from the frame itself the demo would draw as
// fast as the machine allows.
const double TICK_INTERVAL = 1.0 / 60.0;

struct FrameMeter {
  SoPerfGraph * graph = nullptr;
  SbTime lastFrame;
  double lastInterval = 0.0; // seconds between the two latest frames
  int frames = 0;
  int framesFed = 0;
};

// Runs in every traversal of the scene; notes the time of each drawn frame.
void frameDrawn(void * data, SoAction * action)
{
  if (!action->isOfType(SoGLRenderAction::getClassTypeId())) return;
  const SoGLRenderAction * render = static_cast<SoGLRenderAction *>(action);
  if (render->isRenderingDelayedPaths() || render->getCurPass() != 0) return;

  FrameMeter * meter = static_cast<FrameMeter *>(data);
  const SbTime now = SbTime::getTimeOfDay();
  if (meter->frames > 0) meter->lastInterval = (now - meter->lastFrame).getValue();
  meter->lastFrame = now;
  ++meter->frames;
}

// Feeds the graph once per drawn frame; the change makes the viewer draw the next one. With
// no new frame since the last tick, it asks for one so that the feed never stalls.
void tick(void * data, SoSensor *)
{
  FrameMeter * meter = static_cast<FrameMeter *>(data);
  if (meter->frames > 1 && meter->frames != meter->framesFed) {
    meter->framesFed = meter->frames;
    meter->graph->addValue(static_cast<float>(meter->lastInterval * 1000.0), "ms");
  }
  else {
    meter->graph->touch();
  }
}

SoSeparator * readTerrain(const char * fileName)
{
  SoInput input;
  if (!input.openFile(fileName)) return nullptr;
  return SoDB::readAll(&input);
}

} // namespace

int main(int argc, char ** argv)
{
  const char * fileName = argc > 1 ? argv[1] : TERRAVEL_DEFAULT_TERRAIN;

  SoDB::init();
  SoPerfGraph::initClass();
  HWND mainWindow = SoWin::init(argv[0], "SoWin");
  if (mainWindow == nullptr) {
    std::fprintf(stderr, "%s: cannot open the display\n", argv[0]);
    return 1;
  }

  SoSeparator * terrain = readTerrain(fileName);
  if (terrain == nullptr) {
    std::fprintf(stderr, "%s: cannot read %s\n", argv[0], fileName);
    return 1;
  }

  SoSeparator * root = new SoSeparator;
  root->ref();
  root->addChild(terrain);

  auto viewer = std::make_unique<SoWinExaminerViewer>(
      mainWindow, nullptr, TRUE, SoWinFullViewer::BUILD_ALL, SoWinViewer::BROWSER);
  viewer->setSceneGraph(root);
  viewer->setHeadlight(TRUE);
  viewer->setTitle(TITLE);

  // Added after the viewer has framed the terrain, so the overlay's quad does not count in
  // the view's first fit.
  FrameMeter meter;
  SoCallback * meterNode = new SoCallback;
  meterNode->setCallback(frameDrawn, &meter);
  meter.graph = new SoPerfGraph;
  root->addChild(meterNode);
  root->addChild(meter.graph);

  SoTimerSensor feeder(tick, &meter);
  feeder.setInterval(SbTime(TICK_INTERVAL));
  feeder.schedule();

  viewer->show();
  SoWin::show(mainWindow);
  SoWin::mainLoop();

  feeder.unschedule();
  viewer.reset();
  root->unref();
  return 0;
}
