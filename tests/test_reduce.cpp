#include "literal_meshops.h"
#include "mesh_fixtures.h"
#include "meshreduce.h"
#include "middlepivotsort.h"
#include "vertexwelder.h"
#include "terrainmodel.h"

#include <Inventor/SbBSPTree.h>
#include <Inventor/SoDB.h>
#include <Inventor/fields/SoMFFloat.h>
#include <Inventor/fields/SoMFInt32.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

class Reduce : public testing::Test {
protected:
  static void SetUpTestSuite() { SoDB::init(); }

  // The mesh after one pass with the given protected positions. Texture coordinate (n, n) marks
  // input vertex n unless the mesh brings its own.
  Mesh reduced(Mesh mesh, const std::vector<SbVec3f> & protectedPoints, int percent)
  {
    if (mesh.texCoords.empty()) {
      for (size_t n = 0; n < mesh.points.size(); ++n) {
        mesh.texCoords.emplace_back(float(n), float(n));
      }
    }
    SbBSPTree border(64, 0);
    for (const SbVec3f & p : protectedPoints) border.addPoint(p);
    SoSeparator * chunk = makeChunk(mesh);
    model.reduce(chunk, &border, percent);
    const Mesh result = readMesh(chunk);
    chunk->unref();
    return result;
  }

  // The same pass, step by step.
  static Mesh reducedLiterally(Mesh mesh, const std::vector<SbVec3f> & protectedPoints, int percent)
  {
    for (size_t n = mesh.texCoords.size(); n < mesh.points.size(); ++n)
      mesh.texCoords.emplace_back(float(n), float(n));
    SbBSPTree border(64, 0);
    for (const SbVec3f & p : protectedPoints) border.addPoint(p);
    SoSeparator * chunk = makeChunk(mesh);
    literal::reduce(chunk, &border, percent);
    const Mesh result = readMesh(chunk);
    chunk->unref();
    return result;
  }

  static std::vector<SbVec2f> marks(std::initializer_list<int> vertices)
  {
    std::vector<SbVec2f> result;
    for (int n : vertices) result.emplace_back(float(n), float(n));
    return result;
  }

  TerrainModel model;
};

//   4 ------- 3      Vertex 0 in the middle, the four outer vertices protected; every triangle
//   | \     / |      proposes its edge from 0, all of squared length 50. The sort leaves
//   |   \ /   |      0->3 first, which flattens triangles (0, 2, 3) and (0, 3, 4).
//   |    0    |
//   |   / \   |
//   | /     \ |
//   1 ------- 2
TEST_F(Reduce, WorkedExample)
{
  const Mesh input = {{SbVec3f(5, 0, 5), SbVec3f(0, 0, 0), SbVec3f(10, 0, 0), SbVec3f(10, 0, 10),
                       SbVec3f(0, 0, 10)},
                      {},
                      {0, 1, 2, -1, 0, 2, 3, -1, 0, 3, 4, -1, 0, 4, 1, -1}};
  const std::vector<SbVec3f> border(input.points.begin() + 1, input.points.end());
  const Mesh expected = {{SbVec3f(0, 0, 0), SbVec3f(10, 0, 0), SbVec3f(10, 0, 10),
                          SbVec3f(0, 0, 10)},
                         marks({1, 2, 3, 4}),
                         {2, 0, 1, -1, 2, 3, 0, -1}};
  EXPECT_TRUE(sameMesh(expected, reduced(input, border, 50)));
  // The quota of 3 lets the other three candidates be tried; all touch vertex 0 and are refused.
  EXPECT_TRUE(sameMesh(expected, reduced(input, border, 90)));
  Mesh unchanged = input;
  unchanged.texCoords = marks({0, 1, 2, 3, 4});
  EXPECT_TRUE(sameMesh(unchanged, reduced(input, border, 0)));
}

// A flat fan about vertex 0 (a), its ring protected, seen from above (X right, Z down):
//
//        q(0, 1)
//        |  p(0.1, 0.4)      a->b is the shortest edge, but the line through p and q passes
//        | /                 between a and b: with a at b, triangle (a, p, q) would face the
//   r ---a--b(0.3, 0)        other way. a->p and a->q would turn (a, s, b) and (a, b, p) over;
//   (-1,-1) \                a->r turns nothing, and triangles (a, q, r) and (a, r, s) go.
//            s(1, -1)
TEST_F(Reduce, NoCollapseTurnsATriangleOver)
{
  const Mesh input = {{SbVec3f(0, 0, 0), SbVec3f(0.3f, 0, 0), SbVec3f(0.1f, 0, 0.4f),
                       SbVec3f(0, 0, 1), SbVec3f(-1, 0, -1), SbVec3f(1, 0, -1)},
                      {},
                      {0, 1, 2, -1, 0, 2, 3, -1, 0, 3, 4, -1, 0, 4, 5, -1, 0, 5, 1, -1}};
  const std::vector<SbVec3f> ring(input.points.begin() + 1, input.points.end());
  const Mesh expected = {{SbVec3f(0.3f, 0, 0), SbVec3f(0.1f, 0, 0.4f), SbVec3f(0, 0, 1),
                          SbVec3f(-1, 0, -1), SbVec3f(1, 0, -1)},
                         marks({1, 2, 3, 4, 5}),
                         {3, 0, 1, -1, 3, 1, 2, -1, 3, 4, 0, -1}};
  EXPECT_TRUE(sameMesh(expected, reduced(input, ring, 50)));
  EXPECT_TRUE(sameMesh(expected, reducedLiterally(input, ring, 50)));
}

// A row of protected vertices along a cell's border (Z = 0) and v (3) just inside:
//
//   w0(0, 2) ------------ w1(2, 2)      v->u2 is the shortest edge, but it would lay triangle
//      |   \             / |            (u0, u1, v) flat on the border line, and the border
//      |       \        /   |            edge u0-u1 would go; v->u1 keeps every triangle.
//      |      v(1.8, 0.1)   |
//   u0(0, 0) --- u1(1, 0) --- u2(2, 0)
TEST_F(Reduce, NoCollapseLaysATriangleFlatOnTheBorder)
{
  const Mesh input = {{SbVec3f(0, 0, 0), SbVec3f(1, 0, 0), SbVec3f(2, 0, 0), SbVec3f(1.8f, 0, 0.1f),
                       SbVec3f(0, 0, 2), SbVec3f(2, 0, 2)},
                      {},
                      {0, 1, 3, -1, 1, 2, 3, -1, 0, 3, 4, -1, 3, 2, 5, -1, 3, 5, 4, -1}};
  const std::vector<SbVec3f> border = {input.points[0], input.points[1], input.points[2],
                                       input.points[4], input.points[5]};
  const Mesh expected = {{SbVec3f(0, 0, 0), SbVec3f(1, 0, 0), SbVec3f(2, 0, 0), SbVec3f(0, 0, 2),
                          SbVec3f(2, 0, 2)},
                         marks({0, 1, 2, 4, 5}),
                         {0, 1, 3, -1, 1, 2, 4, -1, 1, 4, 3, -1}};
  EXPECT_TRUE(sameMesh(expected, reduced(input, border, 50)));
  EXPECT_TRUE(sameMesh(expected, reducedLiterally(input, border, 50)));
}

// A hole (the open triangle 3, 4, 6) whose corner 3 is joined to both 4 and 6: the collapse
// 4 -> 6 would close it over triangles that fold onto each other. It is refused whether or not
// another collapse touched the mesh first (7 -> 8, in the second mesh, beside the hole).
//
//   0 --- 2           3 .... 4       (the hole's side 4-6 is no edge of a triangle)
//    \   /           / \    | \     (drawn roughly)
//      1 --------- 3   5 -- 6 -- 7 -- 8 -- 9
TEST_F(Reduce, NoCollapseClosesAHoleOverItsNeighbours)
{
  Mesh hole = {{SbVec3f(0, 17, 0), SbVec3f(0, 2, 11), SbVec3f(9, 17, 8), SbVec3f(0, 7, 18),
                SbVec3f(8, 4, 22), SbVec3f(0, 20, 32), SbVec3f(9, 3, 30), SbVec3f(22, 18, 28)},
               {},
               {0, 1, 2, -1, 1, 3, 4, -1, 3, 5, 6, -1, 4, 6, 7, -1}};
  Mesh withNeighbour = hole;
  withNeighbour.points.insert(withNeighbour.points.end(), {SbVec3f(24, 18, 28), SbVec3f(24, 18, 31)});
  withNeighbour.coordIndex.insert(withNeighbour.coordIndex.end(), {7, 8, 9, -1});
  for (const Mesh & input : {hole, withNeighbour}) {
    const Mesh fast = reduced(input, {}, 90), literal = reducedLiterally(input, {}, 90);
    EXPECT_TRUE(sameMesh(literal, fast));
    EXPECT_NE(std::find(fast.points.begin(), fast.points.end(), input.points[4]), fast.points.end())
      << "vertex 4 went into 6 and closed the hole";
  }
}

TEST_F(Reduce, SortOrdersEqualLengthsByItsOwnSteps)
{
  struct Candidate {
    float length;
    int32_t from;
    int32_t to;
  };
  const auto sortCandidates = [](Candidate * candidates, int lo, int hi) {
    middlePivotSort(candidates, lo, hi, [](const Candidate & c) { return c.length; });
  };
  std::vector<Candidate> four = {{50, 0, 0}, {50, 1, 1}, {50, 2, 2}, {50, 3, 3}};
  sortCandidates(four.data(), 0, 3);
  std::vector<int32_t> order;
  for (const Candidate & c : four) order.push_back(c.from);
  EXPECT_EQ(order, (std::vector<int32_t>{2, 3, 0, 1}));

  // On lengths with many ties, sorted whole or in part, the order is the step-by-step one.
  std::mt19937 random(5);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    const int n = 1 + int(random() % 300);
    const int distinct = 1 + int(random() % 12);
    std::vector<float> values(static_cast<size_t>(n));
    std::vector<int32_t> ids(static_cast<size_t>(n)), others(static_cast<size_t>(n));
    std::vector<Candidate> actual;
    for (int k = 0; k < n; ++k) {
      values[size_t(k)] = float(random() % unsigned(distinct)) * 0.5f;
      ids[size_t(k)] = k;
      others[size_t(k)] = int32_t(random() % 1000);
      actual.push_back({values[size_t(k)], ids[size_t(k)], others[size_t(k)]});
    }
    SoMFFloat expectedLengths;
    SoMFInt32 expectedFrom, expectedTo;
    expectedLengths.setValues(0, n, values.data());
    expectedFrom.setValues(0, n, ids.data());
    expectedTo.setValues(0, n, others.data());
    const int lo = round % 4 == 0 ? int(random() % unsigned(n)) : 0;
    const int hi = round % 5 == 0 ? lo + int(random() % unsigned(n - lo)) : n - 1;
    literal::sortCandidates(expectedLengths, expectedFrom, expectedTo, lo, hi);
    sortCandidates(actual.data(), lo, hi);
    for (int k = 0; k < n; ++k) {
      ASSERT_EQ(expectedFrom[k], actual[size_t(k)].from) << "entry " << k;
      ASSERT_EQ(expectedTo[k], actual[size_t(k)].to) << "entry " << k;
      ASSERT_EQ(expectedLengths[k], actual[size_t(k)].length) << "entry " << k;
      if (k > lo && k <= hi) {
        ASSERT_LE(actual[size_t(k) - 1].length, actual[size_t(k)].length);
      }
    }
  }
}

TEST_F(Reduce, LeavesChunksWithoutTrianglesOrWithoutANodeAlone)
{
  const Mesh strip = {{SbVec3f(0, 0, 0), SbVec3f(1, 0, 0), SbVec3f(0, 0, 1), SbVec3f(1, 0, 1)},
                      marks({0, 1, 2, 3}),
                      {0, 1, 2, -1, 2, 1, 3, -1}};
  // No texture coordinates: nothing changes, although the pass could remove half.
  SoSeparator * chunk = makeChunk(strip);
  chunk->removeChild(1);
  SbBSPTree border(64, 0);
  model.reduce(chunk, &border, 90);
  Mesh withoutTexCoords = strip;
  withoutTexCoords.texCoords.clear();
  EXPECT_TRUE(sameMesh(withoutTexCoords, readMesh(chunk)));
  chunk->unref();

  Mesh noTriangles = strip;
  noTriangles.coordIndex.clear();
  EXPECT_TRUE(sameMesh(noTriangles, reduced(noTriangles, {}, 90)));
}

// Squared lengths from 1000000 up were never proposed while the search started at 999999.
TEST_F(Reduce, CollapsesEdgesOfAThousandUnitsAndMore)
{
  //  0 ---- 1      Triangles (0, 1, 2) and (1, 3, 2) propose 0->1 and 3->2, both 1000 long;
  //  |    / |      the sort puts 3->2 first, which flattens the second triangle.
  //  |  /   |
  //  2 ---- 3
  const Mesh input = {{SbVec3f(0, 0, 0), SbVec3f(1000, 0, 0), SbVec3f(0, 0, 1500),
                       SbVec3f(1000, 0, 1500)},
                      {},
                      {0, 1, 2, -1, 1, 3, 2, -1}};
  const Mesh expected = {{SbVec3f(0, 0, 0), SbVec3f(1000, 0, 0), SbVec3f(0, 0, 1500)},
                         marks({0, 1, 2}),
                         {0, 1, 2, -1}};
  EXPECT_TRUE(sameMesh(expected, reduced(input, {}, 50)));

  // Far from the origin and with huge edges alike.
  Mesh far = input;
  for (SbVec3f & p : far.points) p = p * 1000.0f + SbVec3f(3.0e6f, 0, -3.0e6f);
  EXPECT_EQ(reduced(far, {}, 50).points.size(), 3u);
}

TEST_F(Reduce, EachTriangleProposesItsShortestUnprotectedEdge)
{
  // A triangle whose edges 0->1 and 2->0 are equally short proposes 0->1, so vertex 0 goes; the
  // second triangle is only there to make the quota 1.
  const Mesh pair = {{SbVec3f(0, 0, 0), SbVec3f(1, 0, 0), SbVec3f(0, 0, 1), SbVec3f(10, 0, 0),
                      SbVec3f(13, 0, 0), SbVec3f(10, 0, 4)},
                     {},
                     {0, 1, 2, -1, 3, 4, 5, -1}};
  Mesh expected = {{SbVec3f(1, 0, 0), SbVec3f(0, 0, 1), SbVec3f(10, 0, 0), SbVec3f(13, 0, 0),
                    SbVec3f(10, 0, 4)},
                   marks({1, 2, 3, 4, 5}),
                   {2, 3, 4, -1}};
  EXPECT_TRUE(sameMesh(expected, reduced(pair, {}, 50)));

  // With corner 0 protected the edge 2->0 is proposed, and vertex 2 merges into vertex 0.
  expected = {{SbVec3f(0, 0, 0), SbVec3f(1, 0, 0), SbVec3f(10, 0, 0), SbVec3f(13, 0, 0),
               SbVec3f(10, 0, 4)},
              marks({0, 1, 3, 4, 5}),
              {2, 3, 4, -1}};
  EXPECT_TRUE(sameMesh(expected, reduced(pair, {SbVec3f(0, 0, 0)}, 50)));

  // A triangle with all three corners protected proposes nothing: the longer edge 3->4 goes.
  expected = {{SbVec3f(0, 0, 0), SbVec3f(1, 0, 0), SbVec3f(0, 0, 1), SbVec3f(13, 0, 0),
               SbVec3f(10, 0, 4)},
              marks({0, 1, 2, 4, 5}),
              {0, 1, 2, -1}};
  EXPECT_TRUE(sameMesh(expected,
                       reduced(pair, {SbVec3f(0, 0, 0), SbVec3f(1, 0, 0), SbVec3f(0, 0, 1)}, 50)));
}

// Triangle k stands alone at X = 10k and proposes its edge 0->1 of length 1 + k/10; each
// accepted collapse flattens one triangle and removes its first vertex.
Mesh separateTriangles(int count)
{
  Mesh mesh;
  for (int k = 0; k < count; ++k) {
    const float x = 10.0f * float(k);
    const int32_t first = int32_t(mesh.points.size());
    const float length = 1.0f + 0.1f * float(k);
    mesh.points.insert(mesh.points.end(),
                       {SbVec3f(x, 0, 0), SbVec3f(x + length, 0, 0), SbVec3f(x, 0, 3)});
    mesh.coordIndex.insert(mesh.coordIndex.end(), {first, first + 1, first + 2, -1});
  }
  return mesh;
}

TEST_F(Reduce, QuotaCountsTwoTrianglesPerCollapse)
{
  // T = 7 at 50 %: quota 3, two collapses (counted 4); T = 2 at 50 %: one; T = 1 at 90 %: none.
  const struct {
    int triangles, percent, collapses;
  } cases[] = {{7, 50, 2}, {2, 50, 1}, {1, 90, 0}, {7, 0, 0}, {7, 90, 3}};
  for (const auto & c : cases) {
    SCOPED_TRACE(testing::Message() << c.triangles << " triangles at " << c.percent << " %");
    const Mesh result = reduced(separateTriangles(c.triangles), {}, c.percent);
    // Only the collapsed vertices go; their triangles, the shortest, go with them.
    ASSERT_EQ(result.points.size(), size_t(3 * c.triangles - c.collapses));
    ASSERT_EQ(result.coordIndex.size(), size_t(4 * (c.triangles - c.collapses)));
    for (int k = c.collapses; k < c.triangles; ++k) {
      const int32_t first = result.coordIndex[size_t(4 * (k - c.collapses))];
      EXPECT_EQ(first, 3 * k - c.collapses);
      EXPECT_EQ(result.texCoords[size_t(first)][0], float(3 * k));
    }
  }
}

TEST_F(Reduce, RefusedCandidateDoesNotCountTowardsTheQuota)
{
  // Triangle A proposes 0->1 (length 1), B proposes 3->1 (1.1) but vertex 1 is already a
  // target, C proposes 5->6 (1.5) and is taken; D, E and F (5 long) are not reached: with
  // T = 6 at 50 % the quota is 3.
  Mesh input = {{SbVec3f(0, 0, 0), SbVec3f(1, 0, 0), SbVec3f(0, 0, 3), SbVec3f(1, 0, 1.1f),
                 SbVec3f(3, 0, 1), SbVec3f(10, 0, 0), SbVec3f(11.5f, 0, 0), SbVec3f(10, 0, 3)},
                {},
                {0, 1, 2, -1, 3, 1, 4, -1, 5, 6, 7, -1}};
  for (int k = 1; k <= 3; ++k) {
    const int32_t first = int32_t(input.points.size());
    const float x = 100.0f * float(k);
    input.points.insert(input.points.end(), {SbVec3f(x, 0, 0), SbVec3f(x + 5, 0, 0),
                                             SbVec3f(x, 0, 7)});
    input.coordIndex.insert(input.coordIndex.end(), {first, first + 1, first + 2, -1});
  }
  const Mesh result = reduced(input, {}, 50);
  EXPECT_EQ(result.texCoords, marks({1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
  EXPECT_EQ(result.coordIndex,
            (std::vector<int32_t>{2, 0, 3, -1, 6, 7, 8, -1, 9, 10, 11, -1, 12, 13, 14, -1}));
}

// A triangle that names vertex 0 twice once proposed the zero-length edge 0->0, whose collapse
// deleted vertex 0 while triangles still named it.
TEST_F(Reduce, NeverProposesAnEdgeFromAVertexToItself)
{
  const Mesh input = {{SbVec3f(0, 0, 0), SbVec3f(5, 0, 0), SbVec3f(0, 0, 5), SbVec3f(0, 0, 20)},
                      {},
                      {0, 0, 1, -1, 0, 1, 2, -1, 0, 2, 3, -1}};
  // Proposed: 0->1, 0->1 and 0->2, all 25 long; the sort puts the second 0->1 first.
  const Mesh expected = {{SbVec3f(5, 0, 0), SbVec3f(0, 0, 5), SbVec3f(0, 0, 20)},
                         marks({1, 2, 3}),
                         {0, 1, 2, -1}};
  EXPECT_TRUE(sameMesh(expected, reduced(input, {}, 90)));

  // On random meshes full of such triangles no surviving triangle names a missing vertex.
  std::mt19937 random(17);
  for (int round = 0; round < 30; ++round) {
    const Mesh result = reduced(randomSoup(random, 30, 120), {}, 90);
    for (size_t i = 0; i < result.coordIndex.size(); ++i) {
      if (i % 4 == 3) {
        ASSERT_EQ(result.coordIndex[i], -1);
      } else {
        ASSERT_GE(result.coordIndex[i], 0);
        ASSERT_LT(result.coordIndex[i], int32_t(result.points.size()));
      }
    }
    ASSERT_EQ(result.texCoords.size(), result.points.size());
  }
}

TEST_F(Reduce, FinalSweepDeletesTrianglesWhoseCornersLieOnOneLine)
{
  //  Three triangles over shared first corners: the third corner between the first two, beyond
  //  them, and 0.1 off the line. Vertices are never deleted by the sweep.
  const Mesh input = {{SbVec3f(0, 0, 0), SbVec3f(2, 0, 0), SbVec3f(1, 0, 0), SbVec3f(5, 0, 0),
                       SbVec3f(1, 0, 0.1f)},
                      {},
                      {0, 1, 2, -1, 0, 1, 3, -1, 0, 1, 4, -1}};
  Mesh expected = input;
  expected.texCoords = marks({0, 1, 2, 3, 4});
  expected.coordIndex = {0, 1, 4, -1};
  EXPECT_TRUE(sameMesh(expected, reduced(input, {}, 0)));

  // Where the first two corners coincide, the line is a point; the triangle goes only if the
  // third corner coincides too. Entries that do not fill a group of four stay behind.
  Mesh points = {{SbVec3f(1, 1, 1), SbVec3f(1, 1, 1), SbVec3f(2, 1, 1)},
                 marks({0, 1, 2}),
                 {0, 1, 0, -1, 0, 1, 2, -1, 0, 0, 1, 7, 4, 5}};
  const Mesh swept = reduced(points, {}, 0);
  points.coordIndex = {0, 1, 2, -1, 4, 5};
  EXPECT_TRUE(sameMesh(points, swept));
}

// Indices outside the vertex list are never read: such a triangle proposes nothing, is never
// measured for the straight-line sweep, and is kept with its other corners renumbered.
TEST_F(Reduce, KeepsTrianglesWithIndicesOutsideTheList)
{
  const Mesh input = {{SbVec3f(0, 0, 0), SbVec3f(1, 0, 0), SbVec3f(0, 0, 2), SbVec3f(4, 0, 4)},
                      {},
                      {0, 1, 2, -1, 0, 99, 3, -1, 3, -7, 1, -1, 2, 2, 2000000000, -1}};
  const Mesh expected = {{SbVec3f(1, 0, 0), SbVec3f(0, 0, 2), SbVec3f(4, 0, 4)},
                         marks({1, 2, 3}),
                         {0, 99, 2, -1, 2, -7, 0, -1, 1, 1, 2000000000, -1}};
  EXPECT_TRUE(sameMesh(expected, reduced(input, {}, 50)));
}

// Non-finite lengths are never proposed, so a vertex with an infinite or NaN coordinate takes
// part in no collapse; protection lookups of such positions find nothing and never hang.
TEST_F(Reduce, NonFiniteCoordinatesNeitherHangNorCollapse)
{
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::mt19937 random(23);
  Mesh mesh = randomGrid(random, 20, 20, 1.0f);
  mesh.points[45][1] = nan;
  mesh.points[46][0] = inf;
  mesh.points[200][2] = -inf;
  mesh.points[201] = SbVec3f(nan, nan, nan);
  Mesh result = mesh;
  for (int pass = 0; pass < 4; ++pass) {
    result = reduced(result, {SbVec3f(5, 0, 5), SbVec3f(0, 0, 0)}, 90);
  }
  EXPECT_LT(result.coordIndex.size(), mesh.coordIndex.size() / 2);
  int nonFinite = 0;
  for (const SbVec3f & p : result.points) {
    nonFinite += !(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]));
  }
  EXPECT_EQ(nonFinite, 4);
  for (size_t i = 0; i < result.coordIndex.size(); ++i) {
    if (i % 4 != 3) {
      ASSERT_LT(result.coordIndex[i], int32_t(result.points.size()));
    }
  }
}

// Runs both passes on copies of the chunk, each with its own copy of the border points, and
// compares the chunks bit for bit.
void expectSamePass(SoSeparator * expected, SoSeparator * actual, SbBSPTree & expectedBorder,
                    SbBSPTree & border, int percent, TerrainModel & model)
{
  literal::reduce(expected, &expectedBorder, percent);
  model.reduce(actual, &border, percent);
  const Mesh result = readMesh(actual);
  EXPECT_TRUE(sameMesh(readMesh(expected), result)) << "at " << percent << " %";
  EXPECT_EQ(result.points.size(), result.texCoords.size());
}

TEST_F(Reduce, MatchesTheLiteralPassOnRandomMeshes)
{
  std::mt19937 random(29);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  size_t before = 0, after = 0;
  for (int round = 0; round < 80; ++round) {
    SCOPED_TRACE(round);
    Mesh mesh = round % 2 == 0 ? randomGrid(random, 6 + round % 7, 5 + round % 5, 1.0f)
                               : randomSoup(random, 20 + round, 60 + 4 * round);
    if (round % 10 == 9) mesh.points[3][1] = nan; // the literal pass copes with NaN as well
    // Protect some of the mesh's positions and a few that are not in it.
    SbBSPTree expectedBorder(16, 0), border(16, 0);
    for (size_t v = 0; v < mesh.points.size(); ++v) {
      if (random() % 5 == 0 && std::isfinite(mesh.points[v][1])) {
        expectedBorder.addPoint(mesh.points[v]);
        border.addPoint(mesh.points[v]);
      }
    }
    expectedBorder.addPoint(SbVec3f(-3, 0, -3));
    border.addPoint(SbVec3f(-3, 0, -3));
    SoSeparator * expected = makeChunk(mesh);
    SoSeparator * actual = makeChunk(mesh);
    before += mesh.coordIndex.size();
    for (int pass = 0; pass < 3; ++pass) {
      expectSamePass(expected, actual, expectedBorder, border, int(random() % 91), model);
    }
    after += readMesh(actual).coordIndex.size();
    expected->unref();
    actual->unref();
  }
  EXPECT_LT(after, before * 3 / 4); // the passes did remove triangles
}

TEST_F(Reduce, MatchesTheLiteralPassOnCutsOfRealTerrain)
{
  for (const char * name : {"tiny_volcano.iv", "tiny_topobathy.iv"}) {
    SCOPED_TRACE(name);
    TerrainModel terrain;
    ASSERT_TRUE(loadSharedTerrain(terrain, name));
    float minX, minZ, maxX, maxZ;
    terrain.getExtent(terrain.getRoot(), minX, minZ, maxX, maxZ);
    std::mt19937 random(31);
    std::uniform_real_distribution<float> fx(minX, maxX), fz(minZ, maxZ);
    for (int r = 0; r < 12; ++r) {
      SCOPED_TRACE(r);
      float x1 = minX, y1 = minZ, x2 = maxX, y2 = maxZ; // the whole extent first
      if (r > 0) {
        x1 = fx(random), x2 = fx(random), y1 = fz(random), y2 = fz(random);
        if (x2 < x1) std::swap(x1, x2);
        if (y2 < y1) std::swap(y1, y2);
      }
      SbBSPTree expectedBorder(16, 0), border(16, 0);
      SoSeparator * expected =
        literal::cutRegion(terrain.getRoot(), x1, y1, x2, y2, &expectedBorder);
      SoSeparator * actual = terrain.cutRegion(terrain.getRoot(), x1, y1, x2, y2, &border);
      const Mesh cut = readMesh(actual);
      for (int pass = 0; pass < 3; ++pass) {
        expectSamePass(expected, actual, expectedBorder, border, r == 0 ? 50 : int(random() % 91),
                       terrain);
      }
      // Every chunk vertex the cut recorded is still there after all passes.
      const Mesh result = readMesh(actual);
      VertexWelder remaining;
      for (const SbVec3f & p : result.points) remaining.weld(p);
      for (const SbVec3f & p : cut.points) {
        if (border.findPoint(p) >= 0) {
          ASSERT_GE(remaining.findPoint(p), 0);
        }
      }
      if (r == 0) {
        EXPECT_LT(result.coordIndex.size(), cut.coordIndex.size() / 2);
      }
      expected->unref();
      actual->unref();
    }
  }
}

} // namespace
