#include "chunknodes.h"
#include "literal_meshops.h"
#include "meshcut.h"
#include "mesh_fixtures.h"
#include "terrainmodel.h"

#include <Inventor/SbBSPTree.h>
#include <Inventor/SoDB.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using Corners = std::array<SbVec3f, 3>;

class Cut : public testing::Test {
protected:
  static void SetUpTestSuite() { SoDB::init(); }

  // A mesh whose every corner is its own input vertex (equal positions included), with texture
  // coordinate (n, 0.5) for input vertex n.
  static Mesh meshOf(const std::vector<Corners> & triangles)
  {
    Mesh mesh;
    for (const Corners & corners : triangles) {
      for (const SbVec3f & p : corners) {
        mesh.coordIndex.push_back(int32_t(mesh.points.size()));
        mesh.texCoords.emplace_back(float(mesh.points.size()), 0.5f);
        mesh.points.push_back(p);
      }
      mesh.coordIndex.push_back(-1);
    }
    return mesh;
  }

  // Cuts the rectangle out of the mesh and returns the chunk's lists, after checking the chunk's
  // layout and that it comes with one reference for the caller.
  static Mesh cut(const Mesh & mesh, float x1, float y1, float x2, float y2, SbBSPTree & border)
  {
    SoSeparator * input = makeChunk(mesh);
    SoSeparator * chunk = model().cutRegion(input, x1, y1, x2, y2, &border);
    input->unref();
    Mesh result;
    EXPECT_NE(chunk, nullptr);
    if (chunk == nullptr) return result;
    EXPECT_EQ(chunk->getRefCount(), 1);
    EXPECT_EQ(chunk->getNumChildren(), 3);
    EXPECT_TRUE(chunk->getChild(0)->isOfType(SoCoordinate3::getClassTypeId()));
    EXPECT_TRUE(chunk->getChild(1)->isOfType(SoTextureCoordinate2::getClassTypeId()));
    EXPECT_TRUE(chunk->getChild(2)->isOfType(SoIndexedFaceSet::getClassTypeId()));
    result = readMesh(chunk);
    chunk->unref();
    return result;
  }

  // The plain cut over the listed triangles (or all), written into a chunk like the model's,
  // its border recorded in the set in the same order.
  static SoSeparator * cutListed(const Mesh & mesh, const std::vector<int32_t> * listed,
                                 const cutrules::Rectangle & rect, SbBSPTree & border,
                                 bool distinctPositions)
  {
    FlatMesh lists;
    lists.points = mesh.points;
    lists.texCoords = mesh.texCoords;
    lists.coordIndex = mesh.coordIndex;
    std::vector<SbVec3f> recorded;
    NodeChunkWriter chunk;
    cutMesh(viewOf(lists, distinctPositions), listed, rect, recorded, chunk);
    for (const SbVec3f & p : recorded)
      if (border.findPoint(p) < 0) border.addPoint(p);
    return chunk.release();
  }

  static TerrainModel & model()
  {
    static TerrainModel instance;
    return instance;
  }
};

// All with the rectangle (0, 0)-(10, 10); corners as (x, y, z).
TEST_F(Cut, KeepsByCentroidAndRecordsTheCornersAlongTheCut)
{
  struct Case {
    const char * what;
    Corners corners;
    bool kept;
    std::vector<SbVec3f> recorded;
  };
  const std::vector<Case> cases = {
    {"inside", {SbVec3f(1, 0, 1), SbVec3f(2, 0, 1), SbVec3f(1, 0, 2)}, true, {}},
    {"centroid on the border, kept whole",
     {SbVec3f(9, 0, 5), SbVec3f(12, 0, 5), SbVec3f(9, 0, 6)}, true, {SbVec3f(12, 0, 5)}},
    {"centroid beyond the border, inside corners recorded",
     {SbVec3f(9, 0, 5), SbVec3f(13, 0, 5), SbVec3f(9, 0, 6)}, false,
     {SbVec3f(9, 0, 5), SbVec3f(9, 0, 6)}},
    {"corner on the border is not inside",
     {SbVec3f(10, 0, 2), SbVec3f(11, 0, 3), SbVec3f(9, 0, 4)}, true,
     {SbVec3f(10, 0, 2), SbVec3f(11, 0, 3)}},
    {"centroid on the rectangle's corner",
     {SbVec3f(-20, 0, -20), SbVec3f(40, 0, -20), SbVec3f(-20, 0, 40)}, true,
     {SbVec3f(-20, 0, -20), SbVec3f(40, 0, -20), SbVec3f(-20, 0, 40)}},
    {"wholly outside", {SbVec3f(20, 0, 20), SbVec3f(30, 0, 20), SbVec3f(20, 0, 30)}, false, {}},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(c.what);
    SbBSPTree border(64, 0);
    const Mesh chunk = cut(meshOf({c.corners}), 0, 0, 10, 10, border);
    EXPECT_TRUE(samePoints(c.recorded, pointsOf(border)));
    if (c.kept) {
      const Mesh expected = {{c.corners[0], c.corners[1], c.corners[2]},
                             {SbVec2f(0, 0.5f), SbVec2f(1, 0.5f), SbVec2f(2, 0.5f)},
                             {0, 1, 2, -1}};
      EXPECT_TRUE(sameMesh(expected, chunk));
    } else {
      EXPECT_TRUE(sameMesh(Mesh(), chunk));
    }
  }
}

// The centroid is summed from zero corner by corner and divided in single precision; summing in
// double, or multiplying by a third, puts this one at 844.609985 instead of 844.609924.
TEST_F(Cut, CentroidIsRoundedAsSummedInSinglePrecision)
{
  const Mesh input = meshOf({{SbVec3f(1180.07495f, 0, 1), SbVec3f(381.0625f, 0, 1),
                              SbVec3f(972.692444f, 0, 1)}});
  SbBSPTree border(64, 0);
  EXPECT_EQ(cut(input, 0, 0, 844.609924f, 10, border).coordIndex.size(), 4u);
  EXPECT_EQ(cut(input, 844.609985f, 0, 2000, 10, border).coordIndex.size(), 0u);
}

// Near the largest floats the single-precision sum of the corners overflows; the centroid is
// then placed by a wider sum, and the triangles are kept like any other. Finite sums keep the
// single-precision centroid of the case above.
TEST_F(Cut, CentroidOfCornersNearTheFloatLimitIsPlacedByAWiderSum)
{
  const float big = 2e38f, bigger = 3e38f, limit = std::numeric_limits<float>::max();
  const Mesh input = meshOf({{SbVec3f(big, 0, big), SbVec3f(bigger, 0, big), SbVec3f(big, 0, bigger)},
                             {SbVec3f(-big, 0, 0), SbVec3f(-bigger, 0, 1), SbVec3f(-big, 0, 2)},
                             {SbVec3f(1, 0, 1), SbVec3f(2, 0, 1), SbVec3f(1, 0, 2)}});
  SbBSPTree border(64, 0);
  EXPECT_EQ(cut(input, -limit, -limit, limit, limit, border).coordIndex.size(), 12u);
  // Centroid X of the first triangle is 2.33e38: left of 2.4e38, right of 2.3e38.
  EXPECT_EQ(cut(input, 0, 0, 2.4e38f, limit, border).coordIndex.size(), 8u);
  EXPECT_EQ(cut(input, 0, 0, 2.3e38f, limit, border).coordIndex.size(), 4u);
  EXPECT_EQ(cut(input, 2.3e38f, 0, 2.4e38f, limit, border).coordIndex.size(), 4u);
  EXPECT_EQ(cut(input, 2.4e38f, 0, limit, limit, border).coordIndex.size(), 0u);
}

//  V1 ---- V2        Two kept triangles share the edge V2-V3. The input lists the vertices
//   |    / |         backwards; the chunk numbers them in the order the triangles first use them.
//   |  /   |
//  V3 ---- V4
TEST_F(Cut, NumbersVerticesInOrderOfFirstUse)
{
  const SbVec3f v1(1, 0, 1), v2(3, 0, 1), v3(1, 0, 3), v4(3, 0, 3);
  const Mesh input = {{v4, v3, v2, v1},
                      {SbVec2f(0.4f, 0), SbVec2f(0.3f, 0), SbVec2f(0.2f, 0), SbVec2f(0.1f, 0)},
                      {3, 2, 1, -1, 1, 2, 0, -1}};
  SbBSPTree border(64, 0);
  const Mesh expected = {{v1, v2, v3, v4},
                         {SbVec2f(0.1f, 0), SbVec2f(0.2f, 0), SbVec2f(0.3f, 0), SbVec2f(0.4f, 0)},
                         {0, 1, 2, -1, 2, 1, 3, -1}};
  EXPECT_TRUE(sameMesh(expected, cut(input, 0, 0, 10, 10, border)));
  EXPECT_EQ(border.numPoints(), 0);
}

TEST_F(Cut, NeighbouringRectanglesBothKeepATriangleOnTheirSharedEdge)
{
  const Mesh input = meshOf({{SbVec3f(9, 0, 5), SbVec3f(12, 0, 5), SbVec3f(9, 0, 6)}});
  SbBSPTree left(16, 0), right(16, 0);
  EXPECT_EQ(cut(input, 0, 0, 10, 10, left).coordIndex, (std::vector<int32_t>{0, 1, 2, -1}));
  EXPECT_EQ(cut(input, 10, 0, 20, 10, right).coordIndex, (std::vector<int32_t>{0, 1, 2, -1}));
  EXPECT_TRUE(samePoints({SbVec3f(12, 0, 5)}, pointsOf(left)));
  EXPECT_TRUE(samePoints({SbVec3f(9, 0, 5), SbVec3f(9, 0, 6)}, pointsOf(right)));
}

TEST_F(Cut, EmptyRectangleGivesEmptyChunkAndMissingNodeGivesNull)
{
  const Mesh input = meshOf({{SbVec3f(1, 0, 1), SbVec3f(2, 0, 1), SbVec3f(1, 0, 2)},
                             {SbVec3f(9, 0, 5), SbVec3f(13, 0, 5), SbVec3f(9, 0, 6)}});
  SbBSPTree border(64, 0);
  EXPECT_TRUE(sameMesh(Mesh(), cut(input, 50, 50, 60, 60, border)));
  EXPECT_TRUE(sameMesh(Mesh(), cut(input, 10, 0, 0, 10, border))); // x1 > x2
  EXPECT_EQ(border.numPoints(), 0);

  // Without texture coordinates there is no chunk, and nothing is recorded.
  border.addPoint(SbVec3f(7, 7, 7));
  SoSeparator * bare = new SoSeparator;
  bare->ref();
  SoCoordinate3 * coords = new SoCoordinate3;
  coords->point.setValues(0, int(input.points.size()), input.points.data());
  SoIndexedFaceSet * faces = new SoIndexedFaceSet;
  faces->coordIndex.setValues(0, int(input.coordIndex.size()), input.coordIndex.data());
  bare->addChild(coords);
  bare->addChild(faces);
  EXPECT_EQ(model().cutRegion(bare, 0, 0, 10, 10, &border), nullptr);
  EXPECT_EQ(border.numPoints(), 1);
  bare->unref();
}

TEST_F(Cut, BorderSetGetsEachPointOnceAndKeepsEarlierOnes)
{
  SbBSPTree border(16, 0);
  border.addPoint(SbVec3f(40, 0, -20));
  border.addPoint(SbVec3f(99, 99, 99));
  const Mesh input = meshOf({{SbVec3f(-20, 0, -20), SbVec3f(40, 0, -20), SbVec3f(-20, 0, 40)},
                             {SbVec3f(-20, 0, 40), SbVec3f(40, 0, -20), SbVec3f(30, 0, 30)}});
  cut(input, 0, 0, 10, 10, border);
  EXPECT_TRUE(samePoints({SbVec3f(40, 0, -20), SbVec3f(99, 99, 99), SbVec3f(-20, 0, -20),
                          SbVec3f(-20, 0, 40)},
                         pointsOf(border)));
}

TEST_F(Cut, LastCornerAtAPositionGivesItsTextureCoordinate)
{
  // Input vertices 1 and 3 share a position: one chunk vertex, carrying vertex 3's coordinate.
  const Mesh input = {{SbVec3f(1, 0, 1), SbVec3f(2, 0, 1), SbVec3f(1, 0, 2), SbVec3f(2, 0, 1),
                       SbVec3f(2, 0, 2)},
                      {SbVec2f(0, 0), SbVec2f(1, 1), SbVec2f(2, 2), SbVec2f(3, 3), SbVec2f(4, 4)},
                      {0, 1, 2, -1, 3, 4, 2, -1}};
  SbBSPTree border(64, 0);
  const Mesh expected = {{SbVec3f(1, 0, 1), SbVec3f(2, 0, 1), SbVec3f(1, 0, 2), SbVec3f(2, 0, 2)},
                         {SbVec2f(0, 0), SbVec2f(3, 3), SbVec2f(2, 2), SbVec2f(4, 4)},
                         {0, 1, 2, -1, 1, 3, 2, -1}};
  EXPECT_TRUE(sameMesh(expected, cut(input, 0, 0, 10, 10, border)));
}

TEST_F(Cut, ReadsWholeGroupsOfFourAndCopiesRepeatedCorners)
{
  Mesh input = meshOf({{SbVec3f(1, 0, 1), SbVec3f(2, 0, 1), SbVec3f(1, 0, 2)},
                       {SbVec3f(3, 0, 3), SbVec3f(4, 0, 3), SbVec3f(3, 0, 4)}});
  input.coordIndex.insert(input.coordIndex.end(), {0, 1}); // 10 entries
  input.coordIndex[5] = input.coordIndex[4];                // second triangle names 3 twice
  SbBSPTree border(64, 0);
  const Mesh chunk = cut(input, 0, 0, 10, 10, border);
  EXPECT_EQ(chunk.coordIndex, (std::vector<int32_t>{0, 1, 2, -1, 3, 3, 4, -1}));
  EXPECT_EQ(chunk.points.size(), 5u);
  EXPECT_EQ(chunk.texCoords.size(), 5u);
}

// Indices outside either list, or negative, are never read: such a triangle is skipped, as if
// it were not in the input at all.
TEST_F(Cut, SkipsTrianglesWithIndicesOutsideTheLists)
{
  Mesh input = meshOf({{SbVec3f(1, 0, 1), SbVec3f(2, 0, 1), SbVec3f(1, 0, 2)},
                       {SbVec3f(9, 0, 5), SbVec3f(13, 0, 5), SbVec3f(9, 0, 6)},
                       {SbVec3f(3, 0, 3), SbVec3f(4, 0, 3), SbVec3f(3, 0, 4)}});
  input.texCoords.pop_back();                        // vertex 8 has no texture coordinate
  input.coordIndex.insert(input.coordIndex.end(), {0, 1, 1000000, -1, -5, 0, 1, -1, 0, 2, 1, 7});
  input.coordIndex[5] = 100; // the second triangle reaches past the coordinates
  SbBSPTree border(64, 0);
  const Mesh chunk = cut(input, 0, 0, 10, 10, border);
  EXPECT_EQ(chunk.coordIndex, (std::vector<int32_t>{0, 1, 2, -1, 0, 2, 1, -1}));
  EXPECT_EQ(border.numPoints(), 0);
}

// The point tree splits forever on a non-finite point (with NaN it hangs and eats memory), so
// such a corner is never recorded; a kept corner with NaN height is a vertex of its own each
// time, since NaN equals nothing.
TEST_F(Cut, NonFiniteCoordinatesNeitherHangNorReachTheBorderSet)
{
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const SbVec3f nanHeight(10, nan, 1);
  const Mesh input = meshOf({{nanHeight, SbVec3f(12, 0, 1), SbVec3f(11, 0, 2)},
                             {SbVec3f(12, 0, 1), nanHeight, SbVec3f(11, 0, 0)},
                             {SbVec3f(inf, 0, 5), SbVec3f(9, 0, 5), SbVec3f(9, 0, 6)},
                             {SbVec3f(nan, 0, 5), SbVec3f(8, 0, 5), SbVec3f(8, 0, 6)},
                             {SbVec3f(-inf, 0, 1), SbVec3f(inf, 0, 2), SbVec3f(5, 0, 3)},
                             {SbVec3f(12, nan, 3), SbVec3f(11, 0, 3), SbVec3f(11, 0, 4)}});
  SbBSPTree border(4, 0);
  const Mesh chunk = cut(input, 0, 0, 12, 10, border);
  EXPECT_EQ(chunk.coordIndex, (std::vector<int32_t>{0, 1, 2, -1, 1, 3, 4, -1, 5, 6, 7, -1}));
  ASSERT_EQ(chunk.points.size(), 8u);
  EXPECT_TRUE(std::isnan(chunk.points[0][1]) && std::isnan(chunk.points[3][1]) &&
              std::isnan(chunk.points[5][1]));
  // Recorded: the kept triangles' corners that are not inside, except (12, NaN, 3), and the
  // finite inside corners of the three dropped triangles, whose centroids are not numbers.
  EXPECT_TRUE(samePoints({SbVec3f(12, 0, 1), SbVec3f(11, 0, 0), SbVec3f(9, 0, 5), SbVec3f(9, 0, 6),
                          SbVec3f(8, 0, 5), SbVec3f(8, 0, 6), SbVec3f(5, 0, 3)},
                         pointsOf(border)));

  // One input vertex with a NaN height, used by two triangles, still becomes two chunk vertices,
  // whether the cut looks vertices up by input index or, with few triangles among many
  // vertices, by position only.
  Mesh shared = {{SbVec3f(1, nan, 1), SbVec3f(2, 0, 1), SbVec3f(1, 0, 2), SbVec3f(2, 0, 2)},
                 {SbVec2f(0, 0), SbVec2f(1, 1), SbVec2f(2, 2), SbVec2f(3, 3)},
                 {0, 1, 2, -1, 0, 3, 1, -1}};
  SbBSPTree unused(4, 0);
  const Mesh byIndex = cut(shared, 0, 0, 10, 10, unused);
  EXPECT_EQ(byIndex.coordIndex, (std::vector<int32_t>{0, 1, 2, -1, 3, 4, 1, -1}));
  shared.points.resize(1000, SbVec3f(50, 0, 50));
  shared.texCoords.resize(1000);
  SoSeparator * byPosition = cutListed(shared, nullptr, {0, 0, 10, 10}, unused, false);
  EXPECT_TRUE(sameMesh(byIndex, readMesh(byPosition)));
  byPosition->unref();

  // A rectangle that is itself infinite keeps the triangles whose centroid is infinite.
  SbBSPTree all(4, 0);
  const Mesh everything = cut(input, -inf, -inf, inf, inf, all);
  EXPECT_EQ(everything.coordIndex.size(), 16u);
  for (const SbVec3f & p : pointsOf(all)) {
    EXPECT_TRUE(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]));
  }
}

// The cut over a list of triangle numbers gives what cutting a mesh made of just those
// triangles gives: the chunk, and the border points in the same order.
TEST_F(Cut, TriangleListCutsLikeAMeshOfTheListedTriangles)
{
  std::mt19937 random(7);
  const int nx = 150, nz = 120;
  const Mesh grid = randomGrid(random, nx, nz, 1.25f);
  const int numTriangles = int(grid.coordIndex.size() / 4);
  const int trianglesPerRow = 2 * (nx - 1);
  size_t keptSparse = 0, keptDense = 0;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    // A short list (part of one row of cells) makes the cut look vertices up by position only,
    // a long one by input index as well.
    const bool sparse = round % 2 == 0;
    const int row = int(random() % unsigned(nz - 3));
    std::vector<int32_t> listed;
    Mesh sub = grid;
    sub.coordIndex.clear();
    const int first = sparse ? row * trianglesPerRow : 0;
    const int end = sparse ? first + trianglesPerRow : numTriangles;
    for (int t = first; t < end; ++t) {
      if (random() % 3 == 0) continue;
      listed.push_back(t);
      sub.coordIndex.insert(sub.coordIndex.end(), &grid.coordIndex[4 * size_t(t)],
                            &grid.coordIndex[4 * size_t(t)] + 4);
    }
    float x1 = float(random() % 100) * 1.25f, x2 = x1 + float(random() % 60) * 1.25f;
    float y1 = float(random() % 90) * 1.25f, y2 = y1 + float(random() % 40) * 1.25f;
    if (sparse) {
      y1 = float(row + int(random() % 3) - 1) * 1.25f;
      y2 = y1 + float(1 + random() % 2) * 1.25f;
    }
    SbBSPTree expectedBorder(16, 0), border(16, 0);
    SoSeparator * subNode = makeChunk(sub);
    SoSeparator * expected = literal::cutRegion(subNode, x1, y1, x2, y2, &expectedBorder);
    subNode->unref();
    // The grid's positions are all distinct, which the cut may be told or not.
    SoSeparator * actual = cutListed(grid, &listed, {x1, y1, x2, y2}, border, round % 4 == 1);
    const Mesh chunk = readMesh(actual);
    EXPECT_TRUE(sameMesh(readMesh(expected), chunk));
    EXPECT_TRUE(samePoints(pointsOf(expectedBorder), pointsOf(border)));
    (sparse ? keptSparse : keptDense) += chunk.coordIndex.size() / 4;
    expected->unref();
    actual->unref();
  }
  EXPECT_GT(keptSparse, 100u);
  EXPECT_GT(keptDense, 1000u);
}

// Runs both cuts over the rectangle with a border set each, which may already hold points of
// earlier cuts, and compares chunks and sets.
void expectSameCut(SoNode * input, float x1, float y1, float x2, float y2,
                   SbBSPTree & expectedBorder, SbBSPTree & border, TerrainModel & model)
{
  SoSeparator * expected = literal::cutRegion(input, x1, y1, x2, y2, &expectedBorder);
  SoSeparator * actual = model.cutRegion(input, x1, y1, x2, y2, &border);
  ASSERT_NE(expected, nullptr);
  ASSERT_NE(actual, nullptr);
  EXPECT_TRUE(sameMesh(readMesh(expected), readMesh(actual)))
    << "rectangle " << x1 << " " << y1 << " " << x2 << " " << y2;
  EXPECT_TRUE(samePoints(pointsOf(expectedBorder), pointsOf(border)));
  expected->unref();
  actual->unref();
}

TEST_F(Cut, MatchesTheLiteralCutOnRandomMeshes)
{
  std::mt19937 random(11);
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    const Mesh mesh = round % 3 == 0 ? randomGrid(random, 9, 9, 1.25f)
                                     : randomSoup(random, 40 + round, 200 + 10 * round);
    SoSeparator * input = makeChunk(mesh);
    SbBSPTree expectedBorder(16, 0), border(16, 0);
    for (int r = 0; r < 5; ++r) {
      float x1 = randomCoordinate(random), x2 = randomCoordinate(random);
      float y1 = randomCoordinate(random), y2 = randomCoordinate(random);
      if (r != 4) { // the last one may be turned inside out
        if (x2 < x1) std::swap(x1, x2);
        if (y2 < y1) std::swap(y1, y2);
      }
      expectSameCut(input, x1, y1, x2, y2, expectedBorder, border, model());
    }
    input->unref();
  }
}

TEST_F(Cut, MatchesTheLiteralCutOnRealTerrain)
{
  for (const char * name : {"tiny_volcano.iv", "tiny_topobathy.iv"}) {
    SCOPED_TRACE(name);
    TerrainModel terrain;
    ASSERT_TRUE(loadSharedTerrain(terrain, name));
    float minX, minZ, maxX, maxZ;
    terrain.getExtent(terrain.getRoot(), minX, minZ, maxX, maxZ);
    SbBSPTree expectedBorder(64, 0), border(64, 0);
    expectSameCut(terrain.getRoot(), minX, minZ, maxX, maxZ, expectedBorder, border, terrain);

    std::mt19937 random(3);
    std::uniform_real_distribution<float> fx(minX, maxX), fz(minZ, maxZ);
    for (int r = 0; r < 30; ++r) {
      float x1 = fx(random), x2 = fx(random), y1 = fz(random), y2 = fz(random);
      if (x2 < x1) std::swap(x1, x2);
      if (y2 < y1) std::swap(y1, y2);
      if (r % 3 == 0) { // quadtree-like cells whose edges run through vertices and centroids
        x1 = std::floor(x1 / 40) * 40;
        y1 = std::floor(y1 / 40) * 40;
        x2 = x1 + 40 + 20 * float(r % 2);
        y2 = y1 + 40;
      }
      SbBSPTree cellExpected(16, 0), cell(16, 0);
      expectSameCut(terrain.getRoot(), x1, y1, x2, y2, cellExpected, cell, terrain);
    }
  }
}

} // namespace
