#include "FpsCounter.h"

#include <Inventor/nodes/SoBaseColor.h>
#include <Inventor/nodes/SoLightModel.h>
#include <Inventor/nodes/SoOrthographicCamera.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoText2.h>
#include <Inventor/nodes/SoTranslation.h>

#include <cstdio>
#include <cstdlib>

namespace {

bool counterWanted = false;
// Averages over this many frames keep the figures readable while the view moves.
const int FRAMES_PER_UPDATE = 10;

} // namespace

void FpsCounter::takeOverFromToolkit(void)
{
  const char * value = std::getenv("COIN_SHOW_FPS_COUNTER");
  counterWanted = value != nullptr && std::atoi(value) > 0;
  if (counterWanted) setenv("COIN_SHOW_FPS_COUNTER", "0", 1);
}

bool FpsCounter::wanted(void)
{
  return counterWanted;
}

FpsCounter::FpsCounter(void)
  : renderSum(0.0), intervalSum(0.0), frames(0)
{
  root = new SoSeparator;
  root->ref();

  // One view unit per pixel with the origin at the lower left corner, set per frame.
  SoOrthographicCamera * camera = new SoOrthographicCamera;
  camera->viewportMapping = SoCamera::LEAVE_ALONE;
  camera->nearDistance = 0.5f;
  camera->farDistance = 2.0f;
  root->addChild(camera);

  SoLightModel * lightModel = new SoLightModel;
  lightModel->model = SoLightModel::BASE_COLOR;
  root->addChild(lightModel);

  SoBaseColor * colour = new SoBaseColor;
  colour->rgb.setValue(1.0f, 1.0f, 0.0f);
  root->addChild(colour);

  place = new SoTranslation;
  root->addChild(place);

  label = new SoText2;
  label->string.setValue("");
  root->addChild(label);

  lastStart = SbTime::getTimeOfDay();
}

FpsCounter::~FpsCounter(void)
{
  root->unref();
}

SoNode * FpsCounter::getScene(void) const
{
  return root;
}

void FpsCounter::frameStarts(int viewportWidth, int viewportHeight)
{
  thisStart = SbTime::getTimeOfDay();
  intervalSum += (thisStart - lastStart).getValue();
  lastStart = thisStart;

  const float w = float(viewportWidth > 0 ? viewportWidth : 1);
  const float h = float(viewportHeight > 0 ? viewportHeight : 1);
  SoOrthographicCamera * camera = static_cast<SoOrthographicCamera *>(root->getChild(0));
  // Field edits here must not schedule another redraw, or the viewer would never rest.
  camera->enableNotify(FALSE);
  place->enableNotify(FALSE);
  camera->height = 1.0f;
  camera->position.setValue(0.5f, 0.5f, 1.0f);
  place->translation.setValue(10.0f / w, 10.0f / h, 0.0f);
  camera->enableNotify(TRUE);
  place->enableNotify(TRUE);
}

void FpsCounter::frameEnds(void)
{
  renderSum += (SbTime::getTimeOfDay() - thisStart).getValue();
  // The first frame shows its figures at once; later ones are averaged.
  if (++frames < FRAMES_PER_UPDATE && label->string[0].getLength() > 0) return;

  char text[64];
  const double renderRate = renderSum > 0.0 ? frames / renderSum : 0.0;
  const double frameRate = intervalSum > 0.0 ? frames / intervalSum : 0.0;
  std::snprintf(text, sizeof(text), "%.1f/%.1f fps", renderRate, frameRate);
  label->enableNotify(FALSE);
  label->string.setValue(text);
  label->enableNotify(TRUE);
  frames = 0;
  renderSum = 0.0;
  intervalSum = 0.0;
}
