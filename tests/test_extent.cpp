#include "terrainmodel.h"

#include <Inventor/SoDB.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoSwitch.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

class Extent : public testing::Test {
protected:
  static void SetUpTestSuite() { SoDB::init(); }

  struct Result {
    float minX, minZ, maxX, maxZ;
  };

  // The extent of a separator holding one coordinate node with the given points; the outputs
  // start at a marker so that an untouched output shows.
  Result extentOf(const std::vector<SbVec3f> & points)
  {
    SoSeparator * root = new SoSeparator;
    root->ref();
    SoCoordinate3 * coords = new SoCoordinate3;
    coords->point.setNum(0);
    coords->point.setValues(0, int(points.size()), points.data());
    root->addChild(coords);
    Result r = {-7.0f, -7.0f, -7.0f, -7.0f};
    model.getExtent(root, r.minX, r.minZ, r.maxX, r.maxZ);
    root->unref();
    return r;
  }

  TerrainModel model;
};

TEST_F(Extent, MeasuresXAndZOfEveryVertexAndIgnoresHeights)
{
  Result r = extentOf({SbVec3f(3, 7, -2)});
  EXPECT_EQ(r.minX, 3.0f);
  EXPECT_EQ(r.maxX, 3.0f);
  EXPECT_EQ(r.minZ, -2.0f);
  EXPECT_EQ(r.maxZ, -2.0f);

  r = extentOf({SbVec3f(0, 100, 0), SbVec3f(10, -50, 5), SbVec3f(-4, 0, 20)});
  EXPECT_EQ(r.minX, -4.0f);
  EXPECT_EQ(r.minZ, 0.0f);
  EXPECT_EQ(r.maxX, 10.0f);
  EXPECT_EQ(r.maxZ, 20.0f);
}

TEST_F(Extent, EmptyListGivesStartValuesAndMissingNodeLeavesOutputs)
{
  const Result empty = extentOf({});
  EXPECT_EQ(empty.minX, 999999.0f);
  EXPECT_EQ(empty.minZ, 999999.0f);
  EXPECT_EQ(empty.maxX, -999999.0f);
  EXPECT_EQ(empty.maxZ, -999999.0f);

  SoSeparator * bare = new SoSeparator;
  bare->ref();
  float minX = 1, minZ = 2, maxX = 3, maxZ = 4;
  model.getExtent(bare, minX, minZ, maxX, maxZ);
  EXPECT_EQ(minX, 1.0f);
  EXPECT_EQ(minZ, 2.0f);
  EXPECT_EQ(maxX, 3.0f);
  EXPECT_EQ(maxZ, 4.0f);
  bare->unref();
}

// The start values once capped what could be measured: a terrain whose X all lie between one and
// two million would have reported 999999 as its smallest X.
TEST_F(Extent, MeasuresCoordinatesBeyondTheStartValues)
{
  Result r = extentOf({SbVec3f(1500000, 0, -3000000), SbVec3f(2000000, 0, -2500000),
                       SbVec3f(1000000, 0, -2750000)});
  EXPECT_EQ(r.minX, 1000000.0f);
  EXPECT_EQ(r.maxX, 2000000.0f);
  EXPECT_EQ(r.minZ, -3000000.0f);
  EXPECT_EQ(r.maxZ, -2500000.0f);

  r = extentOf({SbVec3f(3.0e38f, 0, -3.0e38f)});
  EXPECT_EQ(r.minX, 3.0e38f);
  EXPECT_EQ(r.maxZ, -3.0e38f);
}

// Infinities and NaNs are left out, axis by axis; an axis without any finite value reports the
// start values like an empty list.
TEST_F(Extent, SkipsNonFiniteCoordinates)
{
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Result r = extentOf({SbVec3f(nan, 0, 4), SbVec3f(2, 0, inf), SbVec3f(-inf, 0, nan),
                       SbVec3f(5, nan, -1)});
  EXPECT_EQ(r.minX, 2.0f);
  EXPECT_EQ(r.maxX, 5.0f);
  EXPECT_EQ(r.minZ, -1.0f);
  EXPECT_EQ(r.maxZ, 4.0f);

  r = extentOf({SbVec3f(nan, 0, 1), SbVec3f(inf, 0, 2)});
  EXPECT_EQ(r.minX, 999999.0f);
  EXPECT_EQ(r.maxX, -999999.0f);
  EXPECT_EQ(r.minZ, 1.0f);
  EXPECT_EQ(r.maxZ, 2.0f);
}

// Only the first coordinate node in depth-first order counts, also one a switch hides.
TEST_F(Extent, MeasuresOnlyTheFirstCoordinateNode)
{
  SoSeparator * root = new SoSeparator;
  root->ref();
  SoSwitch * hidden = new SoSwitch; // shows no child
  SoCoordinate3 * first = new SoCoordinate3;
  first->point.setValue(SbVec3f(1, 0, 1));
  first->point.set1Value(1, SbVec3f(2, 0, 3));
  hidden->addChild(first);
  root->addChild(hidden);
  SoCoordinate3 * second = new SoCoordinate3;
  second->point.setValue(SbVec3f(-50, 0, 50));
  root->addChild(second);
  float minX, minZ, maxX, maxZ;
  model.getExtent(root, minX, minZ, maxX, maxZ);
  EXPECT_EQ(minX, 1.0f);
  EXPECT_EQ(minZ, 1.0f);
  EXPECT_EQ(maxX, 2.0f);
  EXPECT_EQ(maxZ, 3.0f);
  root->unref();
}

TEST_F(Extent, OfALoadedTerrain)
{
  // A grid of 87 rows by 61 columns spaced 10 apart, X by column and Z by row, from the origin.
  const std::string path = std::string(TERRAVEL_SHARED_DATA) + "/terrain/tiny_volcano.iv";
  testing::internal::CaptureStdout();
  ASSERT_TRUE(model.load(path.c_str()));
  testing::internal::GetCapturedStdout();
  float minX, minZ, maxX, maxZ;
  model.getExtent(model.getRoot(), minX, minZ, maxX, maxZ);
  EXPECT_EQ(minX, 0.0f);
  EXPECT_EQ(minZ, 0.0f);
  EXPECT_EQ(maxX, 600.0f);
  EXPECT_EQ(maxZ, 860.0f);
}

} // namespace
