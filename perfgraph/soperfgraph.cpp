#include "soperfgraph.h"

#include "SoPerfGraphP.h"

#include <Inventor/C/tidbits.h>
#include <Inventor/SbTime.h>
#include <Inventor/actions/SoAudioRenderAction.h>
#include <Inventor/actions/SoCallbackAction.h>
#include <Inventor/actions/SoGLRenderAction.h>
#include <Inventor/actions/SoGetBoundingBoxAction.h>
#include <Inventor/actions/SoGetMatrixAction.h>
#include <Inventor/actions/SoGetPrimitiveCountAction.h>
#include <Inventor/actions/SoHandleEventAction.h>
#include <Inventor/actions/SoPickAction.h>
#include <Inventor/misc/SoChildList.h>
#include <Inventor/nodes/SoAnnotation.h>
#include <Inventor/nodes/SoComplexity.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedTriangleStripSet.h>
#include <Inventor/nodes/SoLightModel.h>
#include <Inventor/nodes/SoOrthographicCamera.h>
#include <Inventor/nodes/SoText2.h>
#include <Inventor/nodes/SoTexture2.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>
#include <Inventor/nodes/SoTranslation.h>
#include <Inventor/nodes/SoTransparencyType.h>
#include <Inventor/sensors/SoNodeSensor.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// The toolkit's own set-up checks use assert(), which a release build drops; a node used in
// the wrong order or with a broken ring must stop the program in every build.
#define PERFGRAPH_ASSERT(check) \
  ((check) ? (void)0 : perfGraphAssertFailed(#check, __FILE__, __LINE__))

namespace {

[[noreturn]] void perfGraphAssertFailed(const char * text, const char * file, int line)
{
  const char * slash = std::strrchr(file, '/');
  std::fprintf(stderr, "%s:%d: Assertion `%s' failed.\n", slash ? slash + 1 : file, line, text);
  std::fflush(stderr);
  std::abort();
}

const int TEXTURE_COMPONENTS = 4;

// Both image sizes are shorts in the toolkit; a degenerate data scale must not push the
// texture past them or past what any screen can show.
const float MAX_TEXTURE_EXTENT = 4096.0f;

const unsigned char BAR_COLOR[TEXTURE_COMPONENTS] = {0, 128, 255, 255};
const unsigned char BACKGROUND_COLOR[TEXTURE_COMPONENTS] = {0, 0, 128, 128};

// Rings start with room for a typical graph's visible rows; the first texture build resizes
// them to the real figure.
const int INITIAL_RING_SIZE = 148;

} // namespace

// Rounds away from zero to 2, 4, 6 or 10 times a power of ten, so the axis top reads as a
// round number and does not change with every small rise of the maximum.
float SoPerfGraphP::niceCeiling(float x)
{
  const float sign = x < 0.0f ? -1.0f : 1.0f;
  float b = std::fabs(x);
  if (b == 0.0f) return 1.0f;
  if (b / 10.0f == b || b != b) return b; // infinite or not a number: nothing to round
  float c = 1.0f;
  if (b > 1.0f) {
    while (b > 10.0f) {
      b /= 10.0f;
      c *= 10.0f;
    }
  }
  else {
    while (b < 1.0f) {
      b *= 10.0f;
      c /= 10.0f;
    }
  }
  int i = static_cast<int>(b);
  if (static_cast<float>(i) != b) ++i;
  PERFGRAPH_ASSERT(i>=1);
  const int d = i > 10 ? 20 : i > 6 ? 10 : i > 4 ? 6 : i > 2 ? 4 : 2;
  return d * sign * c;
}

namespace {

// Rounds a figure of samples or texels to a whole count the texture can hold, at least one.
int wholeExtent(float figure)
{
  if (!(figure >= 1.0f)) return 1;
  if (figure > MAX_TEXTURE_EXTENT) return static_cast<int>(MAX_TEXTURE_EXTENT);
  return static_cast<int>(figure);
}

int nextSlot(int slot, int ringSize)
{
  return slot + 1 == ringSize ? 0 : slot + 1;
}

} // namespace



SO_NODE_SOURCE(SoPerfGraph);

void SoPerfGraph::initClass(void)
{
  static const char parentName[] = "SoNode";
  PERFGRAPH_ASSERT(SoPerfGraph::classTypeId == SoType::badType() && "don't init() twice!");
  PERFGRAPH_ASSERT(std::strcmp(parentName, "inherited"));
  const SoType parentType(SoType::fromName(parentName));
  PERFGRAPH_ASSERT(parentType != SoType::badType() && "you forgot init() on parentclass!");

  SoPerfGraph::classTypeId =
      SoType::createType(parentType, "SoPerfGraph", &SoPerfGraph::createInstance,
                         static_cast<uint16_t>(SoNode::getNextActionMethodIndex()));
  SoNode::incNextActionMethodIndex();
  SoPerfGraph::parentFieldData = SoNode::getFieldDataPtr();
  cc_coin_atexit_static_internal(SoPerfGraph::atexit_cleanup);
}

SoPerfGraph::SoPerfGraph(void)
{
  SoBase::staticDataLock();
  SoPerfGraph::classinstances++;
  PERFGRAPH_ASSERT(SoPerfGraph::classTypeId != SoType::badType() && "you forgot init()!");
  if (SoPerfGraph::fieldData == nullptr) {
    SoPerfGraph::fieldData = new SoFieldData(
        SoPerfGraph::parentFieldData ? *SoPerfGraph::parentFieldData : nullptr);
  }
  this->isBuiltIn = FALSE;
  SoBase::staticDataUnlock();

  SO_NODE_ADD_FIELD(vertAlignment, (BOTTOM));
  SO_NODE_ADD_FIELD(horAlignment, (LEFT));
  SO_NODE_ADD_FIELD(size, (0.35f, 0.15f));
  SO_NODE_ADD_FIELD(position, (0.03f, 0.03f));
  SO_NODE_ADD_FIELD(sizeInPixels, (0, 0));
  SO_NODE_ADD_FIELD(positionInPixels, (0, 0));
  SO_NODE_ADD_FIELD(vertScreenOrigin, (BOTTOM));
  SO_NODE_ADD_FIELD(horScreenOrigin, (LEFT));
  SO_NODE_ADD_FIELD(dataScale, (2.0f, 1.0f));

  SO_NODE_DEFINE_ENUM_VALUE(VertAlignment, BOTTOM);
  SO_NODE_DEFINE_ENUM_VALUE(VertAlignment, HALF);
  SO_NODE_DEFINE_ENUM_VALUE(VertAlignment, TOP);
  SO_NODE_SET_SF_ENUM_TYPE(vertAlignment, VertAlignment);
  SO_NODE_SET_SF_ENUM_TYPE(vertScreenOrigin, VertAlignment);

  SO_NODE_DEFINE_ENUM_VALUE(HorAlignment, LEFT);
  SO_NODE_DEFINE_ENUM_VALUE(HorAlignment, CENTER);
  SO_NODE_DEFINE_ENUM_VALUE(HorAlignment, RIGHT);
  SO_NODE_SET_SF_ENUM_TYPE(horAlignment, HorAlignment);
  SO_NODE_SET_SF_ENUM_TYPE(horScreenOrigin, HorAlignment);

  this->pimpl = std::make_unique<SoPerfGraphP>(this);
}

SoPerfGraph::~SoPerfGraph()
{
  this->pimpl.reset();
}

SoPerfGraphP::SoPerfGraphP(SoPerfGraph * master)
  : master(master),
    children(master),
    sensor(SoPerfGraphP::fieldChanged, this),
    values(INITIAL_RING_SIZE, 0.0f),
    times(INITIAL_RING_SIZE, 0.0),
    numValues(INITIAL_RING_SIZE),
    startIndex(0),
    maxValue(0.0f),
    topValue(0.0f),
    texRows(0),
    texColumns(0),
    visibleFraction(1.0f),
    currentRow(0),
    lastAverageTime(0.0),
    originValid(false),
    positionValid(false),
    sizeValid(false),
    textureDirty(true)
{
  // Immediate, so a flag is cleared before anything can render with the old layout.
  this->sensor.setPriority(0);
  this->sensor.attach(master);

  SoAnnotation * annotation = new SoAnnotation;
  annotation->renderCaching = SoSeparator::OFF;
  this->addQuad(annotation);
  this->addLabels(annotation);
  this->children.append(annotation);
}

// The camera, the flat and blended look, and the textured quad the graph is drawn on.
void SoPerfGraphP::addQuad(SoGroup * annotation)
{
  this->camera = new SoOrthographicCamera;
  this->camera->height = 1.0f;
  this->camera->viewportMapping = SoCamera::LEAVE_ALONE;
  annotation->addChild(this->camera);

  SoLightModel * lightModel = new SoLightModel;
  lightModel->model = SoLightModel::BASE_COLOR;
  annotation->addChild(lightModel);

  SoTransparencyType * transparency = new SoTransparencyType;
  transparency->value = SoTransparencyType::BLEND;
  annotation->addChild(transparency);

  this->quadCoords = new SoCoordinate3;
  this->quadCoords->point.setNum(4);
  annotation->addChild(this->quadCoords);

  this->quadTexCoords = new SoTextureCoordinate2;
  const SbVec2f texCoords[4] = {SbVec2f(0, 0), SbVec2f(0, 1), SbVec2f(1, 0), SbVec2f(1, 1)};
  this->quadTexCoords->point.setValues(0, 4, texCoords);
  annotation->addChild(this->quadTexCoords);

  // Only the texture quality is wanted here; the scene's own complexity stays in force.
  SoComplexity * complexity = new SoComplexity;
  complexity->textureQuality = 0.1f;
  complexity->type.setIgnored(TRUE);
  complexity->value.setIgnored(TRUE);
  annotation->addChild(complexity);

  this->graphTexture = new SoTexture2;
  this->graphTexture->model = SoTexture2::REPLACE;
  annotation->addChild(this->graphTexture);

  this->quad = new SoIndexedTriangleStripSet;
  const int32_t strip[5] = {0, 1, 2, 3, -1};
  this->quad->coordIndex.setValues(0, 5, strip);
  annotation->addChild(this->quad);

}

// The scale and average labels, with texturing off again.
void SoPerfGraphP::addLabels(SoGroup * annotation)
{
  // An empty texture switches texturing off again for the labels.
  annotation->addChild(new SoTexture2);

  this->scaleOffset = new SoTranslation;
  annotation->addChild(this->scaleOffset);

  this->scaleLabel = new SoText2;
  annotation->addChild(this->scaleLabel);

  this->averageOffset = new SoTranslation;
  annotation->addChild(this->averageOffset);

  this->averageLabel = new SoText2;
  this->averageLabel->justification = SoText2::RIGHT;
  this->averageLabel->string.setValue("12");
  annotation->addChild(this->averageLabel);
}

void SoPerfGraphP::fieldChanged(void * data, SoSensor * sensor)
{
  SoPerfGraphP * thisp = static_cast<SoPerfGraphP *>(data);
  const SoNodeSensor * nodeSensor = static_cast<SoNodeSensor *>(sensor);
  // Changes inside the private graph reach the node as well; they are the node's own doing.
  if (nodeSensor->getTriggerNode() != thisp->master) return;

  const SoField * field = nodeSensor->getTriggerField();
  const SoPerfGraph * node = thisp->master;
  if (field == &node->vertScreenOrigin || field == &node->horScreenOrigin) {
    thisp->originValid = false;
  }
  else if (field == &node->vertAlignment || field == &node->horAlignment ||
           field == &node->position || field == &node->positionInPixels) {
    thisp->positionValid = false;
  }
  else if (field == &node->size || field == &node->sizeInPixels || field == &node->dataScale) {
    thisp->sizeValid = false;
  }
}

void SoPerfGraphP::redrawGraph(void)
{
  SbVec2s texSize;
  int components = 0;
  unsigned char * const base = this->graphTexture->image.startEditing(texSize, components);
  if (base == nullptr || texSize[0] <= 0 || texSize[1] <= 0 ||
      components != TEXTURE_COMPONENTS) {
    this->graphTexture->image.finishEditing();
    return;
  }

  int c = static_cast<int>(texSize[1] * this->visibleFraction + 0.5f);
  PERFGRAPH_ASSERT(c <= texSize[1]);
  // After a layout change the old image may still be in place while the rings are sized for
  // a smaller one; never draw more samples than the rings hold.
  c = std::min(c, this->numValues);
  this->currentRow = c == texSize[1] ? 0 : c;

  int i = this->startIndex - c;
  if (i < 0) i += this->numValues;
  unsigned char * img = base;
  for (int r = 0; r < c; ++r) {
    this->master->fillRow(img, texSize[0], this->values[i]);
    img += texSize[0] * TEXTURE_COMPONENTS;
    i = nextSlot(i, this->numValues);
  }
  PERFGRAPH_ASSERT(i == this->startIndex && "Final index is not equal startIndex.");
  PERFGRAPH_ASSERT(img-base <= texSize[0]*texSize[1]*TEXTURE_COMPONENTS);
  this->graphTexture->image.finishEditing();
}

void SoPerfGraphP::updateTexCoords(int rows)
{
  // Without an image there is nothing to scroll; the coordinates are not drawn with then.
  const float t1 = rows > 0 ? static_cast<float>(this->currentRow) / rows : 0.0f;
  const float t0 = t1 - this->visibleFraction;
  SbVec2f * points = this->quadTexCoords->point.startEditing();
  points[0][1] = t0;
  points[2][1] = t0;
  points[1][1] = t1;
  points[3][1] = t1;
  this->quadTexCoords->point.finishEditing();
}

void SoPerfGraphP::rebuildTexture(void)
{
  this->textureDirty = false;
  SbVec2s texSize;
  int components = 0;
  this->graphTexture->image.getValue(texSize, components);
  if (texSize[0] == this->texColumns && texSize[1] == this->texRows) return;

  // The visible rows and a few samples more, so the average window and the slot about to be
  // overwritten lie outside what is shown.
  const int capacity = static_cast<int>(this->texRows * this->visibleFraction + 0.5f) + 20;
  std::vector<float> newValues(capacity, 0.0f);
  std::vector<double> newTimes(capacity, 0.0);
  int w = 0;
  for (int k = this->numValues; k < capacity; ++k) w = nextSlot(w, capacity);
  const int kept = std::min(this->numValues, capacity);
  int r = this->startIndex - kept;
  if (r < 0) r += this->numValues;
  for (int k = 0; k < kept; ++k) {
    newValues[w] = this->values[r];
    newTimes[w] = this->times[r];
    w = nextSlot(w, capacity);
    r = nextSlot(r, this->numValues);
  }
  PERFGRAPH_ASSERT(w < capacity && "Bad index.");
  this->values.swap(newValues);
  this->times.swap(newTimes);
  this->numValues = capacity;
  this->startIndex = w;

  this->graphTexture->image.setValue(SbVec2s(static_cast<short>(this->texColumns),
                                             static_cast<short>(this->texRows)),
                                     TEXTURE_COMPONENTS, nullptr);
  this->redrawGraph();
  this->updateTexCoords(this->texRows);
}

void SoPerfGraphP::updateLayout(const SbViewportRegion & viewport, bool forRendering)
{
  const SoPerfGraph * node = this->master;
  const bool viewportChanged = viewport != this->lastViewport;
  const SbVec2s window = viewport.getWindowSize();
  const float px = 1.0f / (window[0] > 0 ? window[0] : 1);
  const float py = 1.0f / (window[1] > 0 ? window[1] : 1);

  if (viewportChanged || !this->positionValid || !this->sizeValid) {
    this->positionValid = true;
    this->sizeValid = true;

    const SbVec2f & sizeUnits = node->size.getValue();
    const SbVec2s & sizePixels = node->sizeInPixels.getValue();
    const float w = sizePixels[0] * px + sizeUnits[0];
    const float h = sizePixels[1] * py + sizeUnits[1];

    float xOffset;
    switch (node->horAlignment.getValue()) {
    case SoPerfGraph::LEFT: xOffset = 0.0f; break;
    case SoPerfGraph::CENTER: xOffset = -w / 2.0f; break;
    default: xOffset = -w; break;
    }
    float yOffset;
    switch (node->vertAlignment.getValue()) {
    case SoPerfGraph::HALF: yOffset = -h / 2.0f; break;
    case SoPerfGraph::TOP: yOffset = -h; break;
    default: yOffset = 0.0f; break;
    }

    const SbVec2f & positionUnits = node->position.getValue();
    const SbVec2s & positionPixels = node->positionInPixels.getValue();
    const float x0 = positionPixels[0] * px + positionUnits[0] + xOffset;
    const float y0 = positionPixels[1] * py + positionUnits[1] + yOffset;
    const float x1 = x0 + w;
    const float y1 = y0 + h;

    const SbVec3f corners[4] = {SbVec3f(x0, y0, -5.0f), SbVec3f(x1, y0, -5.0f),
                                SbVec3f(x0, y1, -5.0f), SbVec3f(x1, y1, -5.0f)};
    this->quadCoords->point.setValues(0, 4, corners);
    this->scaleOffset->translation.setValue(x0 + 1.5f * px, y1 - 11.5f * py, -4.0f);
    this->averageOffset->translation.setValue((x1 - 3.0f * px) - x0, y0 - (y1 - 13.0f * py),
                                              -3.0f);

    const SbVec2f & scale = node->dataScale.getValue();
    const int s = wholeExtent(w / px / scale[0] + 0.5f);
    const int t = wholeExtent(h / py / scale[1] + 0.5f);
    this->texRows = static_cast<int>(coin_next_power_of_two(static_cast<uint32_t>(s - 1)));
    this->texColumns = static_cast<int>(coin_next_power_of_two(static_cast<uint32_t>(t - 1)));

    SbVec2s texSize;
    int components = 0;
    this->graphTexture->image.getValue(texSize, components);
    if (texSize[0] != this->texColumns || texSize[1] != this->texRows) {
      this->textureDirty = true;
      this->visibleFraction = static_cast<float>(s) / this->texRows;
    }
  }

  if (viewportChanged || !this->originValid) {
    this->originValid = true;
    float x;
    switch (node->horScreenOrigin.getValue()) {
    case SoPerfGraph::LEFT: x = 0.5f; break;
    case SoPerfGraph::CENTER: x = 0.0f; break;
    default: x = -0.5f; break;
    }
    float y;
    switch (node->vertScreenOrigin.getValue()) {
    case SoPerfGraph::HALF: y = 0.0f; break;
    case SoPerfGraph::TOP: y = -0.5f; break;
    default: y = 0.5f; break;
    }
    this->camera->position.setValue(x, y, 1.0f);
    this->lastViewport = viewport;
  }

  if (forRendering && this->textureDirty) this->rebuildTexture();
}

void SoPerfGraph::addValue(float value, const char * unit)
{
  SoPerfGraphP * const thisp = this->pimpl.get();
  std::vector<float> & values = thisp->values;

  float newTop = thisp->topValue;
  if (value > thisp->maxValue) {
    thisp->maxValue = value;
    newTop = SoPerfGraphP::niceCeiling(thisp->maxValue);
  }
  else if (values[thisp->startIndex] == thisp->maxValue) {
    // The maximum is about to be overwritten; only then is the whole ring worth a scan.
    values[thisp->startIndex] = value;
    thisp->maxValue = *std::max_element(values.begin(), values.end());
    newTop = SoPerfGraphP::niceCeiling(thisp->maxValue);
  }
  if (newTop != thisp->topValue) {
    // Shrink with some headroom so a maximum just under a round number does not make the
    // axis jump back up at the next sample.
    if (newTop < thisp->topValue) newTop = SoPerfGraphP::niceCeiling(thisp->maxValue * 1.1f);
    if (newTop != thisp->topValue) {
      thisp->topValue = newTop;
      thisp->redrawGraph();
      SbString label;
      label.sprintf("%.5g %s", thisp->topValue, unit != nullptr ? unit : "");
      thisp->scaleLabel->string.setValue(label);
    }
  }

  const int n = thisp->startIndex;
  values[n] = value;
  thisp->times[n] = SbTime::getTimeOfDay().getValue();
  thisp->startIndex = nextSlot(n, thisp->numValues);

  if (thisp->lastAverageTime + 0.35 <= thisp->times[n]) {
    thisp->lastAverageTime = thisp->times[n];
    const double windowStart = thisp->times[n] - 1.0;
    float sum = values[n];
    int count = 1;
    for (int i = n == 0 ? thisp->numValues - 1 : n - 1;
         i != n && thisp->times[i] > windowStart;
         i = i == 0 ? thisp->numValues - 1 : i - 1) {
      sum += values[i];
      ++count;
    }
    SbString label;
    label.sprintf("avg: %#.5g", sum / count);
    thisp->averageLabel->string.setValue(label);
  }

  SbVec2s texSize;
  int components = 0;
  unsigned char * const img = thisp->graphTexture->image.startEditing(texSize, components);
  if (img != nullptr && texSize[0] > 0 && texSize[1] > 0 && components == TEXTURE_COMPONENTS) {
    if (thisp->currentRow >= texSize[1]) thisp->currentRow = 0;
    this->fillRow(img + thisp->currentRow * texSize[0] * TEXTURE_COMPONENTS, texSize[0], value);
    thisp->currentRow = nextSlot(thisp->currentRow, texSize[1]);
  }
  thisp->graphTexture->image.finishEditing();
  thisp->updateTexCoords(texSize[1]);
}

void SoPerfGraph::fillRow(unsigned char * row, int count, float value)
{
  const float top = this->pimpl->topValue;
  int n = 0;
  if (top != 0.0f) {
    const float bar = value / top * count;
    // Clamped before truncation: a sample far above the axis top must not overflow an int.
    if (bar >= count) n = count;
    else if (bar > 0.0f) n = static_cast<int>(bar);
  }
  unsigned char * texel = row;
  for (int k = 0; k < count; ++k, texel += TEXTURE_COMPONENTS) {
    std::memcpy(texel, k < n ? BAR_COLOR : BACKGROUND_COLOR, TEXTURE_COMPONENTS);
  }
}

float SoPerfGraph::getTopValue(void) const
{
  return this->pimpl->topValue;
}

void SoPerfGraph::doAction(SoAction * action)
{
  int numIndices = 0;
  const int * indices = nullptr;
  if (action->getPathCode(numIndices, indices) == SoAction::IN_PATH) {
    this->pimpl->children.traverseInPath(action, numIndices, indices);
  }
  else {
    this->pimpl->children.traverse(action);
  }
}

void SoPerfGraph::GLRender(SoGLRenderAction * action)
{
  this->pimpl->updateLayout(action->getViewportRegion(), true);
  SoPerfGraph::doAction(action);
}

void SoPerfGraph::getBoundingBox(SoGetBoundingBoxAction * action)
{
  this->pimpl->updateLayout(action->getViewportRegion(), false);
  SoPerfGraph::doAction(action);
}

void SoPerfGraph::pick(SoPickAction * action)
{
  this->pimpl->updateLayout(action->getViewportRegion(), false);
  SoPerfGraph::doAction(action);
}

void SoPerfGraph::callback(SoCallbackAction * action)
{
  SoPerfGraph::doAction(action);
}

void SoPerfGraph::getMatrix(SoGetMatrixAction * action)
{
  SoPerfGraph::doAction(action);
}

void SoPerfGraph::handleEvent(SoHandleEventAction * action)
{
  SoPerfGraph::doAction(action);
}

void SoPerfGraph::audioRender(SoAudioRenderAction * action)
{
  SoPerfGraph::doAction(action);
}

void SoPerfGraph::getPrimitiveCount(SoGetPrimitiveCountAction * action)
{
  SoPerfGraph::doAction(action);
}

SoChildList * SoPerfGraph::getChildren(void) const
{
  return &this->pimpl->children;
}
