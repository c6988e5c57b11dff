// The performance graph node: type and fields, the private scene graph, the history and its
// texture, the layout against a viewport, the set-up checks and the file format.

#include "soperfgraph.h"
#include "soperfgraph_access.h"

#include <Inventor/SoDB.h>
#include <Inventor/SoInput.h>
#include <Inventor/SoOutput.h>
#include <Inventor/actions/SoCallbackAction.h>
#include <Inventor/actions/SoGetBoundingBoxAction.h>
#include <Inventor/actions/SoRayPickAction.h>
#include <Inventor/actions/SoSearchAction.h>
#include <Inventor/actions/SoWriteAction.h>
#include <Inventor/misc/SoChildList.h>
#include <Inventor/nodes/SoAnnotation.h>
#include <Inventor/nodes/SoComplexity.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedTriangleStripSet.h>
#include <Inventor/nodes/SoLightModel.h>
#include <Inventor/nodes/SoOrthographicCamera.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoText2.h>
#include <Inventor/nodes/SoTexture2.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>
#include <Inventor/nodes/SoTranslation.h>
#include <Inventor/nodes/SoTransparencyType.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Access = SoPerfGraphTestAccess;

// Indices of the private nodes below the annotation.
enum InternalNode {
  CAMERA, LIGHT_MODEL, TRANSPARENCY, QUAD_COORDS, QUAD_TEX_COORDS, COMPLEXITY, GRAPH_TEXTURE,
  QUAD, LABEL_TEXTURE, SCALE_OFFSET, SCALE_LABEL, AVERAGE_OFFSET, AVERAGE_LABEL
};

void initToolkit()
{
  SoDB::init();
  if (SoPerfGraph::getClassTypeId() == SoType::badType()) SoPerfGraph::initClass();
}

// Holds one reference for the lifetime of a test.
template <class NodeType> class Ref {
public:
  explicit Ref(NodeType * node) : node(node) { node->ref(); }
  ~Ref() { node->unref(); }
  Ref(const Ref &) = delete;
  Ref & operator=(const Ref &) = delete;
  NodeType * operator->() const { return node; }
  NodeType * get() const { return node; }

private:
  NodeType * node;
};

Ref<SoPerfGraph> makeGraph()
{
  return Ref<SoPerfGraph>(new SoPerfGraph);
}

SoNode * internal(const SoPerfGraph * graph, InternalNode which)
{
  SoGroup * annotation = static_cast<SoGroup *>(graph->getChildren()->get(0));
  return annotation->getChild(which);
}

template <class NodeType> NodeType * internalAs(const SoPerfGraph * graph, InternalNode which)
{
  SoNode * node = internal(graph, which);
  EXPECT_TRUE(node->isOfType(NodeType::getClassTypeId()));
  return static_cast<NodeType *>(node);
}

std::string text(const SoText2 * label)
{
  return label->string.getNum() > 0 ? label->string[0].getString() : "";
}

std::string scaleText(const SoPerfGraph * graph)
{
  return text(internalAs<SoText2>(graph, SCALE_LABEL));
}

std::string averageText(const SoPerfGraph * graph)
{
  return text(internalAs<SoText2>(graph, AVERAGE_LABEL));
}

SbVec2s imageSize(const SoPerfGraph * graph)
{
  SbVec2s size;
  int components = 0;
  internalAs<SoTexture2>(graph, GRAPH_TEXTURE)->image.getValue(size, components);
  return size;
}

const unsigned char * imageRow(const SoPerfGraph * graph, int row)
{
  SbVec2s size;
  int components = 0;
  const unsigned char * bytes =
      internalAs<SoTexture2>(graph, GRAPH_TEXTURE)->image.getValue(size, components);
  return bytes + row * size[0] * components;
}

// Texels of a row in bar colour, counted from the bottom until the first background texel.
int barLength(const unsigned char * row, int count)
{
  int n = 0;
  while (n < count && row[n * 4] == 0 && row[n * 4 + 1] == 128 && row[n * 4 + 2] == 255 &&
         row[n * 4 + 3] == 255) {
    ++n;
  }
  return n;
}

void layOutForBoundingBox(SoPerfGraph * graph, short width, short height)
{
  SoGetBoundingBoxAction action{SbViewportRegion(width, height)};
  action.apply(graph);
}

// What a rendering pass does to the node's state, without needing a GL context.
void layOutForRendering(SoPerfGraph * graph, short width, short height)
{
  Access::updateLayout(graph, SbViewportRegion(width, height), true);
}

void expectVec3(const SbVec3f & actual, float x, float y, float z)
{
  EXPECT_NEAR(actual[0], x, 1e-6f);
  EXPECT_NEAR(actual[1], y, 1e-6f);
  EXPECT_NEAR(actual[2], z, 1e-6f);
}

class PerfGraphTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { initToolkit(); }
};

// --- type, fields, defaults -------------------------------------------------------------

TEST_F(PerfGraphTest, RegisteredTypeFieldsDefaultsAndEnums)
{
  const SoType type = SoType::fromName("SoPerfGraph");
  ASSERT_EQ(type, SoPerfGraph::getClassTypeId());
  EXPECT_TRUE(type.isDerivedFrom(SoNode::getClassTypeId()));
  EXPECT_TRUE(type.canCreateInstance());

  Ref<SoPerfGraph> made(static_cast<SoPerfGraph *>(type.createInstance()));
  EXPECT_EQ(made->getTypeId(), type);
  Ref<SoPerfGraph> second = makeGraph();

  // Every instance registers its fields; the class's list must still name each once.
  const SoFieldData * fields = static_cast<SoNode *>(second.get())->getFieldData();
  const char * const names[] = {"vertAlignment", "horAlignment", "size",
                                "position", "sizeInPixels", "positionInPixels",
                                "vertScreenOrigin", "horScreenOrigin", "dataScale"};
  ASSERT_EQ(fields->getNumFields(), 9);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(fields->getFieldName(i), SbName(names[i])) << i;

  EXPECT_EQ(second->vertAlignment.getValue(), SoPerfGraph::BOTTOM);
  EXPECT_EQ(second->horAlignment.getValue(), SoPerfGraph::LEFT);
  EXPECT_EQ(second->size.getValue(), SbVec2f(0.35f, 0.15f));
  EXPECT_EQ(second->position.getValue(), SbVec2f(0.03f, 0.03f));
  EXPECT_EQ(second->sizeInPixels.getValue(), SbVec2s(0, 0));
  EXPECT_EQ(second->positionInPixels.getValue(), SbVec2s(0, 0));
  EXPECT_EQ(second->vertScreenOrigin.getValue(), SoPerfGraph::BOTTOM);
  EXPECT_EQ(second->horScreenOrigin.getValue(), SoPerfGraph::LEFT);
  EXPECT_EQ(second->dataScale.getValue(), SbVec2f(2.0f, 1.0f));

  SbString value;
  second->vertAlignment.get(value);
  EXPECT_STREQ(value.getString(), "BOTTOM");
  second->horScreenOrigin.get(value);
  EXPECT_STREQ(value.getString(), "LEFT");

  const char * const vertNames[] = {"BOTTOM", "HALF", "TOP"};
  const char * const horNames[] = {"LEFT", "CENTER", "RIGHT"};
  const struct {
    const SoSFEnum * field;
    const char * const * names;
  } enums[] = {{&second->vertAlignment, vertNames}, {&second->vertScreenOrigin, vertNames},
               {&second->horAlignment, horNames},   {&second->horScreenOrigin, horNames}};
  for (const auto & expected : enums) {
    ASSERT_EQ(expected.field->getNumEnums(), 3);
    for (int i = 0; i < 3; ++i) {
      SbName name;
      EXPECT_EQ(expected.field->getEnum(i, name), i);
      EXPECT_EQ(name, SbName(expected.names[i]));
    }
  }

  // The screen-origin fields take the same names as the alignment fields.
  EXPECT_TRUE(second->vertScreenOrigin.set("TOP"));
  EXPECT_EQ(second->vertScreenOrigin.getValue(), SoPerfGraph::TOP);
  EXPECT_TRUE(second->horScreenOrigin.set("CENTER"));
  EXPECT_EQ(second->horScreenOrigin.getValue(), SoPerfGraph::CENTER);
  EXPECT_TRUE(second->horAlignment.set("RIGHT"));
  EXPECT_EQ(second->horAlignment.getValue(), SoPerfGraph::RIGHT);
}

TEST_F(PerfGraphTest, FieldChangesClearTheirFlagAndInternalChangesNone)
{
  Ref<SoPerfGraph> graph = makeGraph();
  EXPECT_FALSE(Access::originValid(graph.get()));
  EXPECT_FALSE(Access::positionValid(graph.get()));
  EXPECT_FALSE(Access::sizeValid(graph.get()));
  EXPECT_TRUE(Access::textureDirty(graph.get()));

  enum Flag { ORIGIN, POSITION, SIZE };
  struct Change {
    const char * field;
    const char * value;
    Flag cleared;
  };
  const Change changes[] = {
      {"vertScreenOrigin", "HALF", ORIGIN},  {"horScreenOrigin", "RIGHT", ORIGIN},
      {"vertAlignment", "TOP", POSITION},    {"horAlignment", "CENTER", POSITION},
      {"position", "0.1 0.2", POSITION},     {"positionInPixels", "3 4", POSITION},
      {"size", "0.5 0.25", SIZE},            {"sizeInPixels", "10 20", SIZE},
      {"dataScale", "3 2", SIZE},
  };
  for (const Change & change : changes) {
    layOutForRendering(graph.get(), 640, 480);
    ASSERT_TRUE(Access::originValid(graph.get()));
    ASSERT_TRUE(Access::positionValid(graph.get()));
    ASSERT_TRUE(Access::sizeValid(graph.get()));

    SoField * field = graph->getField(change.field);
    ASSERT_NE(field, nullptr) << change.field;
    ASSERT_TRUE(field->set(change.value)) << change.field;
    EXPECT_EQ(Access::originValid(graph.get()), change.cleared != ORIGIN) << change.field;
    EXPECT_EQ(Access::positionValid(graph.get()), change.cleared != POSITION) << change.field;
    EXPECT_EQ(Access::sizeValid(graph.get()), change.cleared != SIZE) << change.field;
  }

  // The node's own work inside its private graph leaves every flag set.
  layOutForRendering(graph.get(), 640, 480);
  graph->addValue(3.0f, "ms");
  graph->addValue(30.0f, "ms");
  internalAs<SoText2>(graph.get(), SCALE_LABEL)->string.setValue("x");
  internalAs<SoOrthographicCamera>(graph.get(), CAMERA)->position.setValue(1, 2, 3);
  internalAs<SoTexture2>(graph.get(), GRAPH_TEXTURE)->image.setValue(SbVec2s(2, 2), 4, NULL);
  EXPECT_TRUE(Access::originValid(graph.get()));
  EXPECT_TRUE(Access::positionValid(graph.get()));
  EXPECT_TRUE(Access::sizeValid(graph.get()));
}

TEST_F(PerfGraphTest, InternalGraphHoldsThirteenNodesInOrder)
{
  Ref<SoPerfGraph> graph = makeGraph();
  const SoChildList * children = graph->getChildren();
  ASSERT_NE(children, nullptr);
  ASSERT_EQ(children->getLength(), 1);
  ASSERT_EQ((*children)[0]->getTypeId(), SoAnnotation::getClassTypeId());
  const SoAnnotation * annotation = static_cast<SoAnnotation *>((*children)[0]);
  EXPECT_EQ(annotation->renderCaching.getValue(), SoSeparator::OFF);

  const SoType expected[] = {
      SoOrthographicCamera::getClassTypeId(), SoLightModel::getClassTypeId(),
      SoTransparencyType::getClassTypeId(),   SoCoordinate3::getClassTypeId(),
      SoTextureCoordinate2::getClassTypeId(), SoComplexity::getClassTypeId(),
      SoTexture2::getClassTypeId(),           SoIndexedTriangleStripSet::getClassTypeId(),
      SoTexture2::getClassTypeId(),           SoTranslation::getClassTypeId(),
      SoText2::getClassTypeId(),              SoTranslation::getClassTypeId(),
      SoText2::getClassTypeId()};
  ASSERT_EQ(annotation->getNumChildren(), 13);
  for (int i = 0; i < 13; ++i) {
    EXPECT_EQ(annotation->getChild(i)->getTypeId(), expected[i]) << "child " << i;
  }

  const SoOrthographicCamera * camera = internalAs<SoOrthographicCamera>(graph.get(), CAMERA);
  EXPECT_FLOAT_EQ(camera->height.getValue(), 1.0f);
  EXPECT_EQ(camera->viewportMapping.getValue(), SoCamera::LEAVE_ALONE);
  EXPECT_EQ(internalAs<SoLightModel>(graph.get(), LIGHT_MODEL)->model.getValue(),
            SoLightModel::BASE_COLOR);
  EXPECT_EQ(internalAs<SoTransparencyType>(graph.get(), TRANSPARENCY)->value.getValue(),
            SoTransparencyType::BLEND);
  EXPECT_EQ(internalAs<SoCoordinate3>(graph.get(), QUAD_COORDS)->point.getNum(), 4);

  const SoMFVec2f & texCoords =
      internalAs<SoTextureCoordinate2>(graph.get(), QUAD_TEX_COORDS)->point;
  ASSERT_EQ(texCoords.getNum(), 4);
  EXPECT_EQ(texCoords[0][0], 0.0f);
  EXPECT_EQ(texCoords[1][0], 0.0f);
  EXPECT_EQ(texCoords[2][0], 1.0f);
  EXPECT_EQ(texCoords[3][0], 1.0f);

  const SoComplexity * complexity = internalAs<SoComplexity>(graph.get(), COMPLEXITY);
  EXPECT_FLOAT_EQ(complexity->textureQuality.getValue(), 0.1f);
  EXPECT_TRUE(complexity->type.isIgnored());
  EXPECT_TRUE(complexity->value.isIgnored());
  EXPECT_FALSE(complexity->textureQuality.isIgnored());

  EXPECT_EQ(internalAs<SoTexture2>(graph.get(), GRAPH_TEXTURE)->model.getValue(),
            SoTexture2::REPLACE);
  EXPECT_EQ(imageSize(graph.get()), SbVec2s(0, 0));

  const SoMFInt32 & strip = internalAs<SoIndexedTriangleStripSet>(graph.get(), QUAD)->coordIndex;
  ASSERT_EQ(strip.getNum(), 5);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(strip[i], i);
  EXPECT_EQ(strip[4], -1);

  SbVec2s labelTextureSize;
  int components = 0;
  internalAs<SoTexture2>(graph.get(), LABEL_TEXTURE)->image.getValue(labelTextureSize, components);
  EXPECT_EQ(labelTextureSize, SbVec2s(0, 0));

  EXPECT_EQ(internalAs<SoText2>(graph.get(), AVERAGE_LABEL)->justification.getValue(),
            SoText2::RIGHT);
  EXPECT_EQ(averageText(graph.get()), "12");
  EXPECT_EQ(internalAs<SoText2>(graph.get(), SCALE_LABEL)->justification.getValue(),
            SoText2::LEFT);

  // Actions see the private graph: a callback traversal reaches both labels.
  int labels = 0;
  SoCallbackAction callback;
  callback.addPreCallback(
      SoText2::getClassTypeId(),
      [](void * data, SoCallbackAction *, const SoNode *) {
        ++*static_cast<int *>(data);
        return SoCallbackAction::CONTINUE;
      },
      &labels);
  callback.apply(graph.get());
  EXPECT_EQ(labels, 2);
}

// --- history and texture ----------------------------------------------------------------

TEST_F(PerfGraphTest, NiceCeilingRoundsAwayFromZeroToTwoFourSixOrTen)
{
  const struct {
    float in, out;
  } cases[] = {{0.0f, 1.0f},   {0.5f, 0.6f},   {1.0f, 2.0f},    {2.0f, 2.0f},
               {2.5f, 4.0f},   {5.0f, 6.0f},   {7.0f, 10.0f},   {10.0f, 10.0f},
               {10.5f, 20.0f}, {42.0f, 60.0f}, {100.0f, 100.0f}, {-3.0f, -4.0f},
               {0.03f, 0.04f}, {3300.0f, 4000.0f}};
  for (const auto & c : cases) EXPECT_FLOAT_EQ(Access::niceCeiling(c.in), c.out) << c.in;
  const float infinity = 1.0f / 0.0f;
  EXPECT_EQ(Access::niceCeiling(infinity), infinity);
}

TEST_F(PerfGraphTest, AddValueSetsAxisTopAndLabelsWithoutDrawingBeforeFirstRendering)
{
  Ref<SoPerfGraph> graph = makeGraph();
  graph->addValue(5.0f, "ms");
  EXPECT_FLOAT_EQ(Access::maxValue(graph.get()), 5.0f);
  EXPECT_FLOAT_EQ(Access::topValue(graph.get()), 6.0f);
  EXPECT_EQ(scaleText(graph.get()), "6 ms");
  EXPECT_EQ(averageText(graph.get()), "avg: 5.0000");
  EXPECT_EQ(Access::startIndex(graph.get()), 1);
  EXPECT_EQ(Access::values(graph.get())[0], 5.0f);
  EXPECT_GT(Access::times(graph.get())[0], 0.0);

  // A larger maximum raises the axis at once; the unit is the one given with that sample.
  graph->addValue(42.0f, "s");
  EXPECT_FLOAT_EQ(Access::topValue(graph.get()), 60.0f);
  EXPECT_EQ(scaleText(graph.get()), "60 s");
  // A smaller sample leaves the axis alone.
  graph->addValue(1.0f, "ms");
  EXPECT_FLOAT_EQ(Access::topValue(graph.get()), 60.0f);
  EXPECT_EQ(scaleText(graph.get()), "60 s");

  // Nothing is drawn while the image is empty.
  EXPECT_EQ(imageSize(graph.get()), SbVec2s(0, 0));
  EXPECT_EQ(Access::currentRow(graph.get()), 0);

  Ref<SoPerfGraph> zero = makeGraph();
  zero->addValue(0.0f, "ms");
  EXPECT_FLOAT_EQ(Access::maxValue(zero.get()), 0.0f);
  EXPECT_FLOAT_EQ(Access::topValue(zero.get()), 1.0f);
  EXPECT_EQ(scaleText(zero.get()), "1 ms");
  EXPECT_EQ(averageText(zero.get()), "avg: 0.0000");
}

TEST_F(PerfGraphTest, AverageCoversTheLastSecondAndChangesAtMostEveryThirdOfASecond)
{
  // Between samples the graph's records are moved into the past, as if time went by.
  Ref<SoPerfGraph> graph = makeGraph();
  graph->addValue(5.0f, "ms");
  EXPECT_EQ(averageText(graph.get()), "avg: 5.0000");

  Access::age(graph.get(), 0.1);
  graph->addValue(7.0f, "ms");
  EXPECT_EQ(averageText(graph.get()), "avg: 5.0000"); // too soon after the last update

  Access::age(graph.get(), 0.3);
  graph->addValue(9.0f, "ms");
  EXPECT_EQ(averageText(graph.get()), "avg: 7.0000"); // 5, 7 and 9

  Access::age(graph.get(), 0.9);
  graph->addValue(1.0f, "ms");
  EXPECT_EQ(averageText(graph.get()), "avg: 5.0000"); // 9 and 1; 5 and 7 are over a second old

  Access::age(graph.get(), 0.3);
  graph->addValue(2.0f, "ms");
  EXPECT_EQ(averageText(graph.get()), "avg: 5.0000"); // 0.3 s after the last update

  Access::age(graph.get(), 0.1);
  graph->addValue(0.5f, "ms");
  EXPECT_EQ(averageText(graph.get()), "avg: 1.1667"); // 1, 2 and 0.5

  // A full ring of recent samples stops the walk at the newest sample rather than looping.
  Ref<SoPerfGraph> full = makeGraph();
  for (int i = 0; i < 148 * 2; ++i) full->addValue(3.0f, "ms");
  Access::age(full.get(), 0.5);
  full->addValue(3.0f, "ms");
  EXPECT_EQ(averageText(full.get()), "avg: 3.0000");
}

TEST_F(PerfGraphTest, RingWrapsAndAxisShrinksOnlyWhenTheMaximumLeaves)
{
  Ref<SoPerfGraph> graph = makeGraph();
  const int ring = Access::numValues(graph.get());
  ASSERT_EQ(ring, 148);
  graph->addValue(50.0f, "ms");
  for (int i = 1; i < ring; ++i) graph->addValue(10.0f, "ms");
  EXPECT_EQ(Access::startIndex(graph.get()), 0);
  EXPECT_FLOAT_EQ(Access::topValue(graph.get()), 60.0f);

  // The next sample overwrites the maximum: the axis shrinks to the ceiling of 110 % of the
  // new maximum, not to the ceiling of the maximum itself (10).
  graph->addValue(10.0f, "ms");
  EXPECT_EQ(Access::startIndex(graph.get()), 1);
  EXPECT_FLOAT_EQ(Access::maxValue(graph.get()), 10.0f);
  EXPECT_FLOAT_EQ(Access::topValue(graph.get()), 20.0f);
  EXPECT_EQ(scaleText(graph.get()), "20 ms");

  // When 110 % of the new maximum rounds to the current top, the axis and its label stay.
  Ref<SoPerfGraph> steady = makeGraph();
  steady->addValue(12.0f, "ms");
  for (int i = 1; i < ring; ++i) steady->addValue(9.5f, "ms");
  ASSERT_FLOAT_EQ(Access::topValue(steady.get()), 20.0f);
  steady->addValue(9.5f, "s");
  EXPECT_FLOAT_EQ(Access::maxValue(steady.get()), 9.5f);
  EXPECT_FLOAT_EQ(Access::topValue(steady.get()), 20.0f);
  EXPECT_EQ(scaleText(steady.get()), "20 ms");
}

TEST_F(PerfGraphTest, FillRowDrawsBarThenBackgroundAndIsOverridable)
{
  Ref<SoPerfGraph> graph = makeGraph();
  const int count = 10;
  // One texel more than asked for, to catch a write past the row.
  std::vector<unsigned char> row((count + 1) * 4, 7);

  Access::fillRow(graph.get(), row.data(), count, 5.0f); // no axis top yet
  EXPECT_EQ(barLength(row.data(), count), 0);
  EXPECT_EQ(row[0], 0);
  EXPECT_EQ(row[1], 0);
  EXPECT_EQ(row[2], 128);
  EXPECT_EQ(row[3], 128);

  graph->addValue(5.0f, "ms"); // top 6
  const struct {
    float value;
    int bar;
  } cases[] = {{3.0f, 5}, {5.0f, 8}, {6.0f, 10}, {1000.0f, 10}, {0.5f, 0}, {-2.0f, 0}};
  for (const auto & c : cases) {
    Access::fillRow(graph.get(), row.data(), count, c.value);
    EXPECT_EQ(barLength(row.data(), count), c.bar) << c.value;
    for (int k = c.bar; k < count; ++k) {
      EXPECT_EQ(row[k * 4 + 0], 0);
      EXPECT_EQ(row[k * 4 + 1], 0);
      EXPECT_EQ(row[k * 4 + 2], 128);
      EXPECT_EQ(row[k * 4 + 3], 128);
    }
    EXPECT_EQ(row[count * 4], 7) << "wrote past the row for " << c.value;
  }

  // addValue and the redraw go through the virtual operation.
  class CountingGraph : public SoPerfGraph {
  public:
    int rows = 0;

  protected:
    void fillRow(unsigned char * row, int count, float value) override
    {
      ++rows;
      SoPerfGraph::fillRow(row, count, value);
    }
  };
  CountingGraph * counting = new CountingGraph;
  Ref<SoPerfGraph> holder(counting);
  counting->addValue(1.0f, "ms");
  EXPECT_EQ(counting->rows, 0); // no image yet
  layOutForRendering(counting, 640, 480);
  EXPECT_EQ(counting->rows, 112); // the visible rows
  counting->addValue(1.0f, "ms");
  EXPECT_EQ(counting->rows, 113);
}

TEST_F(PerfGraphTest, SamplesDrawRowsAndScrollTheTextureWindow)
{
  Ref<SoPerfGraph> graph = makeGraph();
  graph->addValue(7.0f, "ms"); // top 10
  layOutForRendering(graph.get(), 640, 480);
  ASSERT_EQ(imageSize(graph.get()), SbVec2s(128, 128));
  // The redraw put the 112 samples before the next slot into rows 0..111.
  EXPECT_EQ(Access::currentRow(graph.get()), 112);
  EXPECT_EQ(barLength(imageRow(graph.get(), 111), 128), 89); // 7 / 10 of 128, truncated
  EXPECT_EQ(barLength(imageRow(graph.get(), 110), 128), 0);  // never written: 0

  graph->addValue(2.5f, "ms");
  EXPECT_EQ(Access::currentRow(graph.get()), 113);
  EXPECT_EQ(barLength(imageRow(graph.get(), 112), 128), 32);
  const SoMFVec2f & texCoords =
      internalAs<SoTextureCoordinate2>(graph.get(), QUAD_TEX_COORDS)->point;
  EXPECT_FLOAT_EQ(texCoords[1][1], 113.0f / 128.0f);
  EXPECT_FLOAT_EQ(texCoords[3][1], 113.0f / 128.0f);
  EXPECT_FLOAT_EQ(texCoords[0][1], 113.0f / 128.0f - 0.875f);
  EXPECT_FLOAT_EQ(texCoords[2][1], 113.0f / 128.0f - 0.875f);
  EXPECT_EQ(texCoords[0][0], 0.0f);
  EXPECT_EQ(texCoords[3][0], 1.0f);

  graph->addValue(-4.0f, "ms");
  EXPECT_EQ(barLength(imageRow(graph.get(), 113), 128), 0);
  EXPECT_EQ(imageRow(graph.get(), 113)[127 * 4 + 2], 128); // background to the top

  // The row counter wraps at the image's last row.
  for (int i = 0; i < 14; ++i) graph->addValue(1.0f, "ms");
  EXPECT_EQ(Access::currentRow(graph.get()), 0);
  EXPECT_FLOAT_EQ(texCoords[1][1], 0.0f);
  EXPECT_FLOAT_EQ(texCoords[0][1], -0.875f);

  // A new axis top redraws the visible rows on the new scale, oldest first, and the new
  // sample follows them.
  graph->addValue(18.0f, "ms"); // top 20
  EXPECT_EQ(Access::currentRow(graph.get()), 113);
  EXPECT_EQ(barLength(imageRow(graph.get(), 112), 128), 115); // 18 / 20
  EXPECT_EQ(barLength(imageRow(graph.get(), 111), 128), 6);   // 1 / 20
  EXPECT_EQ(barLength(imageRow(graph.get(), 97), 128), 0);    // the negative sample
  EXPECT_EQ(barLength(imageRow(graph.get(), 96), 128), 16);   // 2.5 / 20
  EXPECT_EQ(barLength(imageRow(graph.get(), 95), 128), 44);   // 7 / 20
}

TEST_F(PerfGraphTest, TextureRebuildKeepsTheNewestSamples)
{
  // Shrinking from 148 slots to 132: the oldest samples go.
  Ref<SoPerfGraph> shrink = makeGraph();
  for (int i = 1; i <= 200; ++i) shrink->addValue(static_cast<float>(i), "ms");
  layOutForRendering(shrink.get(), 640, 480);
  ASSERT_EQ(Access::numValues(shrink.get()), 132);
  EXPECT_EQ(Access::startIndex(shrink.get()), 0);
  const float * values = Access::values(shrink.get());
  for (int k = 0; k < 132; ++k) ASSERT_EQ(values[k], static_cast<float>(69 + k)) << k;
  EXPECT_FLOAT_EQ(Access::maxValue(shrink.get()), 200.0f);
  // The newest sample is the last visible row, at the right edge.
  EXPECT_EQ(barLength(imageRow(shrink.get(), 111), 128), 128);
  EXPECT_EQ(barLength(imageRow(shrink.get(), 0), 128), 89 * 128 / 200);

  // Growing from 148 slots to 199: zero samples first, then all of the old ones in order.
  Ref<SoPerfGraph> grow = makeGraph();
  for (int i = 1; i <= 150; ++i) grow->addValue(static_cast<float>(i), "ms");
  const double newestTime = Access::times(grow.get())[1];
  layOutForRendering(grow.get(), 1024, 768);
  ASSERT_EQ(Access::numValues(grow.get()), 199);
  EXPECT_EQ(Access::startIndex(grow.get()), 0);
  values = Access::values(grow.get());
  for (int k = 0; k < 51; ++k) ASSERT_EQ(values[k], 0.0f) << k;
  for (int k = 51; k < 199; ++k) ASSERT_EQ(values[k], static_cast<float>(k - 48)) << k;
  EXPECT_EQ(Access::times(grow.get())[0], 0.0);
  EXPECT_EQ(Access::times(grow.get())[198], newestTime);
}

// --- layout -----------------------------------------------------------------------------

TEST_F(PerfGraphTest, DefaultLayoutIn640x480And1024x768)
{
  Ref<SoPerfGraph> graph = makeGraph();
  layOutForBoundingBox(graph.get(), 640, 480);

  const SoMFVec3f & corners = internalAs<SoCoordinate3>(graph.get(), QUAD_COORDS)->point;
  ASSERT_EQ(corners.getNum(), 4);
  expectVec3(corners[0], 0.03f, 0.03f, -5.0f);
  expectVec3(corners[1], 0.38f, 0.03f, -5.0f);
  expectVec3(corners[2], 0.03f, 0.18f, -5.0f);
  expectVec3(corners[3], 0.38f, 0.18f, -5.0f);
  expectVec3(internalAs<SoTranslation>(graph.get(), SCALE_OFFSET)->translation.getValue(),
             0.03f + 1.5f / 640, 0.18f - 11.5f / 480, -4.0f);
  expectVec3(internalAs<SoTranslation>(graph.get(), AVERAGE_OFFSET)->translation.getValue(),
             0.35f - 3.0f / 640, -0.15f + 13.0f / 480, -3.0f);
  expectVec3(internalAs<SoOrthographicCamera>(graph.get(), CAMERA)->position.getValue(), 0.5f,
             0.5f, 1.0f);

  EXPECT_EQ(Access::texRows(graph.get()), 128);
  EXPECT_EQ(Access::texColumns(graph.get()), 128);
  EXPECT_FLOAT_EQ(Access::visibleFraction(graph.get()), 0.875f); // s = 112
  EXPECT_EQ(Access::visibleFraction(graph.get()) * Access::texRows(graph.get()), 112.0f);
  // A bounding-box pass marks the texture but leaves building it to rendering.
  EXPECT_TRUE(Access::textureDirty(graph.get()));
  EXPECT_EQ(imageSize(graph.get()), SbVec2s(0, 0));
  EXPECT_EQ(Access::numValues(graph.get()), 148);

  layOutForRendering(graph.get(), 640, 480);
  EXPECT_FALSE(Access::textureDirty(graph.get()));
  EXPECT_EQ(imageSize(graph.get()), SbVec2s(128, 128));
  EXPECT_EQ(Access::numValues(graph.get()), 132);

  Ref<SoPerfGraph> large = makeGraph();
  layOutForRendering(large.get(), 1024, 768);
  EXPECT_EQ(Access::texRows(large.get()), 256);
  EXPECT_EQ(Access::texColumns(large.get()), 128);
  EXPECT_FLOAT_EQ(Access::visibleFraction(large.get()), 0.69921875f); // s = 179
  EXPECT_EQ(imageSize(large.get()), SbVec2s(128, 256));
  EXPECT_EQ(Access::numValues(large.get()), 199);

  // The texel count up is rounded too: 72 / 1.125 = 64 fits 64 texels, 72 / 1.1 does not.
  Ref<SoPerfGraph> scaled = makeGraph();
  scaled->dataScale.setValue(2.0f, 1.125f);
  layOutForBoundingBox(scaled.get(), 640, 480);
  EXPECT_EQ(Access::texColumns(scaled.get()), 64);
  scaled->dataScale.setValue(2.0f, 1.1f);
  layOutForBoundingBox(scaled.get(), 640, 480);
  EXPECT_EQ(Access::texColumns(scaled.get()), 128);

  // A pick pass lays the graph out as well.
  Ref<SoPerfGraph> picked = makeGraph();
  SoRayPickAction pick{SbViewportRegion(1024, 768)};
  pick.setPoint(SbVec2s(10, 10));
  pick.apply(picked.get());
  EXPECT_EQ(Access::texRows(picked.get()), 256);
  EXPECT_TRUE(Access::textureDirty(picked.get()));
}

TEST_F(PerfGraphTest, AlignmentsScreenOriginsAndPixelSizes)
{
  Ref<SoPerfGraph> graph = makeGraph();
  graph->horAlignment = SoPerfGraph::RIGHT;
  graph->horScreenOrigin = SoPerfGraph::RIGHT;
  graph->position.setValue(0.0f, 0.1f);
  layOutForBoundingBox(graph.get(), 640, 480);
  const SoMFVec3f & corners = internalAs<SoCoordinate3>(graph.get(), QUAD_COORDS)->point;
  // View x runs -1 .. 0 with the origin at the right edge, so the graph ends on that edge.
  EXPECT_FLOAT_EQ(corners[1][0], 0.0f);
  EXPECT_FLOAT_EQ(corners[0][0], -0.35f);
  EXPECT_FLOAT_EQ(internalAs<SoOrthographicCamera>(graph.get(), CAMERA)->position.getValue()[0],
                  -0.5f);

  Ref<SoPerfGraph> centred = makeGraph();
  centred->horAlignment = SoPerfGraph::CENTER;
  centred->vertAlignment = SoPerfGraph::TOP;
  centred->horScreenOrigin = SoPerfGraph::CENTER;
  centred->vertScreenOrigin = SoPerfGraph::TOP;
  centred->position.setValue(0.0f, 0.0f);
  centred->size.setValue(0.0f, 0.0f);
  centred->sizeInPixels.setValue(100, 48);
  centred->positionInPixels.setValue(0, -16);
  layOutForBoundingBox(centred.get(), 640, 480);
  const SoMFVec3f & c = internalAs<SoCoordinate3>(centred.get(), QUAD_COORDS)->point;
  expectVec3(c[0], -50.0f / 640, -64.0f / 480, -5.0f);
  expectVec3(c[3], 50.0f / 640, -16.0f / 480, -5.0f);
  expectVec3(internalAs<SoOrthographicCamera>(centred.get(), CAMERA)->position.getValue(), 0.0f,
             -0.5f, 1.0f);
  EXPECT_EQ(Access::texRows(centred.get()), 64);    // 50 samples
  EXPECT_EQ(Access::texColumns(centred.get()), 64); // 48 texels
  EXPECT_FLOAT_EQ(Access::visibleFraction(centred.get()), 50.0f / 64);

  Ref<SoPerfGraph> half = makeGraph();
  half->vertAlignment = SoPerfGraph::HALF;
  half->vertScreenOrigin = SoPerfGraph::HALF;
  half->position.setValue(0.0f, 0.0f);
  layOutForBoundingBox(half.get(), 640, 480);
  const SoMFVec3f & h = internalAs<SoCoordinate3>(half.get(), QUAD_COORDS)->point;
  EXPECT_FLOAT_EQ(h[0][1], -0.075f);
  EXPECT_FLOAT_EQ(h[2][1], 0.075f);
  EXPECT_FLOAT_EQ(internalAs<SoOrthographicCamera>(half.get(), CAMERA)->position.getValue()[1],
                  0.0f);
}

TEST_F(PerfGraphTest, LayoutRunsOnlyTheStepsThatAChangeNeeds)
{
  Ref<SoPerfGraph> graph = makeGraph();
  layOutForRendering(graph.get(), 640, 480);
  EXPECT_EQ(Access::lastViewport(graph.get()), SbViewportRegion(640, 480));
  const SoNode * watched[] = {internal(graph.get(), QUAD_COORDS),
                              internal(graph.get(), SCALE_OFFSET),
                              internal(graph.get(), AVERAGE_OFFSET),
                              internal(graph.get(), GRAPH_TEXTURE)};
  const SoNode * camera = internal(graph.get(), CAMERA);
  auto ids = [&]() {
    std::vector<SbUniqueId> result;
    for (const SoNode * node : watched) result.push_back(node->getNodeId());
    return result;
  };
  const std::vector<SbUniqueId> before = ids();
  const SbUniqueId cameraBefore = camera->getNodeId();

  // Nothing changed: the pass touches nothing.
  layOutForRendering(graph.get(), 640, 480);
  EXPECT_EQ(ids(), before);
  EXPECT_EQ(camera->getNodeId(), cameraBefore);

  // Only the screen origin changed: only the camera moves.
  graph->vertScreenOrigin = SoPerfGraph::TOP;
  layOutForRendering(graph.get(), 640, 480);
  EXPECT_EQ(ids(), before);
  EXPECT_NE(camera->getNodeId(), cameraBefore);
  expectVec3(static_cast<const SoOrthographicCamera *>(camera)->position.getValue(), 0.5f, -0.5f,
             1.0f);
}

TEST_F(PerfGraphTest, WindowResizesRebuildTheTextureOnlyWhenItsSizeChanges)
{
  Ref<SoPerfGraph> graph = makeGraph();
  layOutForRendering(graph.get(), 800, 600);
  ASSERT_EQ(Access::texRows(graph.get()), 256);
  ASSERT_EQ(imageSize(graph.get()), SbVec2s(128, 256));

  layOutForBoundingBox(graph.get(), 640, 480);
  EXPECT_TRUE(Access::textureDirty(graph.get()));
  EXPECT_EQ(Access::texRows(graph.get()), 128);
  EXPECT_EQ(imageSize(graph.get()), SbVec2s(128, 256)); // until the next rendering pass
  layOutForRendering(graph.get(), 640, 480);
  EXPECT_EQ(imageSize(graph.get()), SbVec2s(128, 128));
  EXPECT_EQ(Access::numValues(graph.get()), 132);

  // 660 x 490 gives 116 samples and 74 texels: the same powers of two, so the texture, its
  // rows and the visible share stay.
  graph->addValue(4.0f, "ms");
  const int rowBefore = Access::currentRow(graph.get());
  const SbUniqueId textureBefore = internal(graph.get(), GRAPH_TEXTURE)->getNodeId();
  layOutForRendering(graph.get(), 660, 490);
  EXPECT_FALSE(Access::textureDirty(graph.get()));
  EXPECT_EQ(internal(graph.get(), GRAPH_TEXTURE)->getNodeId(), textureBefore);
  EXPECT_FLOAT_EQ(Access::visibleFraction(graph.get()), 0.875f);
  EXPECT_EQ(Access::currentRow(graph.get()), rowBefore);
  EXPECT_EQ(Access::numValues(graph.get()), 132);
  EXPECT_EQ(Access::lastViewport(graph.get()), SbViewportRegion(660, 490));
  // The quad follows the window all the same.
  EXPECT_FLOAT_EQ(internalAs<SoTranslation>(graph.get(), SCALE_OFFSET)->translation.getValue()[0],
                  0.03f + 1.5f / 660);

  // Widened before the next rendering pass, the old image of 256 rows stays with rings of 149
  // slots while the visible share is already that of 500 samples; a new axis top in between
  // redraws no more samples than the rings hold.
  Ref<SoPerfGraph> widened = makeGraph();
  layOutForRendering(widened.get(), 737, 480); // 129 samples
  ASSERT_EQ(Access::numValues(widened.get()), 149);
  layOutForBoundingBox(widened.get(), 2857, 480); // 500 samples
  ASSERT_EQ(Access::texRows(widened.get()), 512);
  ASSERT_EQ(imageSize(widened.get()), SbVec2s(128, 256));
  widened->addValue(1.0f, "ms");
  EXPECT_EQ(Access::currentRow(widened.get()), 150);
}

TEST_F(PerfGraphTest, EmptyWindowAndEmptyGraphStillGetOneSampleAndOneTexel)
{
  Ref<SoPerfGraph> graph = makeGraph();
  graph->addValue(3.0f, "ms");
  SbViewportRegion empty;
  empty.setWindowSize(SbVec2s(0, 0));
  Access::updateLayout(graph.get(), empty, true);
  EXPECT_EQ(Access::texRows(graph.get()), 1);
  EXPECT_EQ(Access::texColumns(graph.get()), 1);
  const SbVec2s size = imageSize(graph.get());
  EXPECT_EQ(size, SbVec2s(1, 1));
  EXPECT_EQ(Access::numValues(graph.get()), 21);
  graph->addValue(5.0f, "ms");
  EXPECT_EQ(Access::currentRow(graph.get()), 0);

  Ref<SoPerfGraph> flat = makeGraph();
  flat->size.setValue(0.0f, 0.0f);
  layOutForRendering(flat.get(), 640, 480);
  EXPECT_EQ(Access::texRows(flat.get()), 1);
  EXPECT_EQ(Access::texColumns(flat.get()), 1);
  EXPECT_EQ(imageSize(flat.get()), SbVec2s(1, 1));
  flat->addValue(1.0f, "ms");
  flat->addValue(2.0f, "ms");
  EXPECT_EQ(Access::currentRow(flat.get()), 0);

  // A zero data scale would ask for endless samples; the texture stays bounded.
  Ref<SoPerfGraph> dense = makeGraph();
  dense->dataScale.setValue(0.0f, 0.0f);
  layOutForBoundingBox(dense.get(), 640, 480);
  EXPECT_GE(Access::texRows(dense.get()), 1);
  EXPECT_LE(Access::texRows(dense.get()), 4096);
  EXPECT_LE(Access::texColumns(dense.get()), 4096);
}

// --- file format ------------------------------------------------------------------------

TEST_F(PerfGraphTest, SavedSceneReadsBackWithTheSameFields)
{
  Ref<SoSeparator> root(new SoSeparator);
  SoPerfGraph * graph = new SoPerfGraph;
  root->addChild(graph);
  graph->vertAlignment = SoPerfGraph::TOP;
  graph->horAlignment = SoPerfGraph::CENTER;
  graph->size.setValue(0.5f, 0.25f);
  graph->position.setValue(-0.1f, 0.2f);
  graph->sizeInPixels.setValue(12, -3);
  graph->positionInPixels.setValue(-7, 9);
  graph->vertScreenOrigin = SoPerfGraph::HALF;
  graph->horScreenOrigin = SoPerfGraph::RIGHT;
  graph->dataScale.setValue(3.0f, 0.5f);
  graph->addValue(5.0f, "ms"); // history is not part of the file

  SoOutput output;
  output.setBuffer(std::malloc(1024), 1024, std::realloc);
  SoWriteAction write(&output);
  write.apply(root.get());
  void * buffer = NULL;
  size_t length = 0;
  output.getBuffer(buffer, length);
  const std::string written(static_cast<const char *>(buffer), length);
  std::free(buffer);
  EXPECT_NE(written.find("SoPerfGraph"), std::string::npos) << written;
  EXPECT_NE(written.find("horScreenOrigin RIGHT"), std::string::npos) << written;
  // The private graph is the node's own business and stays out of the file.
  EXPECT_EQ(written.find("Annotation"), std::string::npos) << written;

  SoInput input;
  input.setBuffer(written.data(), written.size());
  SoSeparator * readRoot = SoDB::readAll(&input);
  ASSERT_NE(readRoot, nullptr) << written;
  Ref<SoSeparator> holder(readRoot);
  SoSearchAction search;
  search.setType(SoPerfGraph::getClassTypeId());
  search.setInterest(SoSearchAction::ALL);
  search.apply(readRoot);
  ASSERT_EQ(search.getPaths().getLength(), 1);
  SoNode * found = search.getPaths()[0]->getTail();
  ASSERT_EQ(found->getTypeId(), SoPerfGraph::getClassTypeId());
  const SoPerfGraph * read = static_cast<SoPerfGraph *>(found);
  EXPECT_EQ(read->vertAlignment.getValue(), SoPerfGraph::TOP);
  EXPECT_EQ(read->horAlignment.getValue(), SoPerfGraph::CENTER);
  EXPECT_EQ(read->size.getValue(), SbVec2f(0.5f, 0.25f));
  EXPECT_EQ(read->position.getValue(), SbVec2f(-0.1f, 0.2f));
  EXPECT_EQ(read->sizeInPixels.getValue(), SbVec2s(12, -3));
  EXPECT_EQ(read->positionInPixels.getValue(), SbVec2s(-7, 9));
  EXPECT_EQ(read->vertScreenOrigin.getValue(), SoPerfGraph::HALF);
  EXPECT_EQ(read->horScreenOrigin.getValue(), SoPerfGraph::RIGHT);
  EXPECT_EQ(read->dataScale.getValue(), SbVec2f(3.0f, 0.5f));
  EXPECT_TRUE(read->isOfType(SoPerfGraph::getClassTypeId()));
  EXPECT_EQ(read->getChildren()->getLength(), 1);
}

// --- set-up and invariant checks --------------------------------------------------------
// Each case runs in a fresh process so that the class is registered only where the case
// says so.

TEST(PerfGraphDeathTest, NodeBeforeInitClassFails)
{
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        SoDB::init();
        (new SoPerfGraph)->ref();
      },
      "soperfgraph\\.cpp:[0-9]+: .*you forgot init\\(\\)!");
}

TEST(PerfGraphDeathTest, SecondInitClassFails)
{
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        initToolkit();
        SoPerfGraph::initClass();
      },
      "soperfgraph\\.cpp:[0-9]+: .*don't init\\(\\) twice!");
}

TEST(PerfGraphDeathTest, InitClassBeforeToolkitFails)
{
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        // The type system is up, but the node classes are not registered yet.
        SoType::init();
        SoPerfGraph::initClass();
      },
      "soperfgraph\\.cpp:[0-9]+: .*you forgot init\\(\\) on parentclass!");
}

TEST(PerfGraphDeathTest, RedrawWithMoreVisibleRowsThanTheImageFails)
{
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        initToolkit();
        SoPerfGraph * graph = new SoPerfGraph;
        graph->ref();
        layOutForRendering(graph, 640, 480);
        Access::setVisibleFraction(graph, 1.5f);
        Access::redrawGraph(graph);
      },
      "soperfgraph\\.cpp:[0-9]+: Assertion `c <= texSize\\[1\\]' failed");
}

} // namespace
