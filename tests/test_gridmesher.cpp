#include "gridmesher.h"
#include "gridtriangulation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <vector>

namespace {

using Point = GridTriangulation::Point;

// The cells of a window whose four posts have heights, two triangles each over the diagonal
// from the cell's north-east post to its south-west one, as the raster loader makes them.
std::vector<int32_t> cellsOf(const std::vector<float> & z, int w, int h)
{
  std::vector<int32_t> region;
  for (int r = 0; r + 1 < h; ++r)
    for (int c = 0; c + 1 < w; ++c) {
      const int32_t a = r * w + c, b = a + 1, d = a + w, e = d + 1;
      if (std::isnan(z[a]) || std::isnan(z[b]) || std::isnan(z[d]) || std::isnan(z[e])) continue;
      region.insert(region.end(), {a, d, b, b, d, e});
    }
  return region;
}

int64_t orientOf(const std::vector<int32_t> & t, size_t i, int w)
{
  const Point p[3] = {{t[i] % w, t[i] / w}, {t[i + 1] % w, t[i + 1] / w}, {t[i + 2] % w, t[i + 2] / w}};
  return GridTriangulation::orient(p[0], p[1], p[2]);
}

// Twice the area of each triangle, all turned as the region's triangles are (clockwise in
// column and row, so counter-clockwise on the ground); false at a triangle without area.
bool areaOf(const std::vector<int32_t> & t, int w, int64_t & area)
{
  area = 0;
  for (size_t i = 0; i < t.size(); i += 3) {
    const int64_t o = orientOf(t, i, w);
    if (o >= 0) return false;
    area -= o;
  }
  return true;
}

// Every edge two triangles share is Delaunay: neither's far corner inside the other's circle.
int nonDelaunayEdges(const std::vector<int32_t> & t, int w)
{
  std::map<std::pair<int32_t, int32_t>, int32_t> across; // directed edge -> far corner
  for (size_t i = 0; i < t.size(); i += 3)
    for (int k = 0; k < 3; ++k) across[{t[i + k], t[i + (k + 1) % 3]}] = t[i + (k + 2) % 3];
  int bad = 0;
  for (const auto & [edge, c] : across) {
    const auto other = across.find({edge.second, edge.first});
    if (other == across.end()) continue;
    // The triangles run clockwise: reversed, (b, a, c) is counter-clockwise.
    const int32_t v[4] = {edge.second, edge.first, c, other->second};
    __int128 m[3][3];
    for (int k = 0; k < 3; ++k) {
      const int64_t dx = v[k] % w - v[3] % w, dy = v[k] / w - v[3] / w;
      m[k][0] = dx;
      m[k][1] = dy;
      m[k][2] = __int128(dx) * dx + __int128(dy) * dy;
    }
    const __int128 det = m[0][2] * (m[1][0] * m[2][1] - m[2][0] * m[1][1]) +
                         m[1][2] * (m[2][0] * m[0][1] - m[0][0] * m[2][1]) +
                         m[2][2] * (m[0][0] * m[1][1] - m[1][0] * m[0][1]);
    bad += det > 0;
  }
  return bad;
}

} // namespace

// A 5 x 4 window, flat but for one post that rises 3 m; a bound of 1 m keeps it, the four
// corners and, of the posts about it, those that hold the slopes to it narrow; a bound of 3 m
// the corners alone:
//
//   0 . . . 4
//   . 6 ^ 8 .      ^ post 7
//   . . 12. .
//  15 . . . 19
TEST(GridMesher, KeepsWhatRisesAboveTheBoundAndNothingElse)
{
  const int w = 5, h = 4;
  std::vector<float> z(w * h, 10.0f);
  z[7] = 13.0f;
  const PostWindow window = {w, h, z.data()};
  GridLimits limits;
  limits.maxError = 1.0;
  GridMesh mesh;
  ASSERT_TRUE(meshRegion(window, cellsOf(z, w, h), {}, limits, mesh));
  std::vector<int32_t> posts(mesh.triangles);
  std::sort(posts.begin(), posts.end());
  posts.erase(std::unique(posts.begin(), posts.end()), posts.end());
  EXPECT_EQ(posts, (std::vector<int32_t>{0, 4, 6, 7, 8, 12, 15, 19}));
  int64_t area = 0;
  EXPECT_TRUE(areaOf(mesh.triangles, w, area));
  EXPECT_EQ(area, 2 * (w - 1) * (h - 1));
  EXPECT_EQ(strictErrorOf(window, mesh.triangles.data(), mesh.triangles.size() / 3).largest, 0.0);
  limits.maxError = 3.0;
  ASSERT_TRUE(meshRegion(window, cellsOf(z, w, h), {}, limits, mesh));
  EXPECT_EQ(mesh.triangles.size(), 6u);
}

// Rough terrain with holes of nodata, a pinch where two cells meet at a corner, and fixed posts:
// within every bound the mesh covers exactly the region's cells, keeps the fixed posts, stays
// Delaunay, has no triangle without area, and no post lies farther off than the bound.
TEST(GridMesher, CoversTheRegionWithinTheBound)
{
  const int w = 40, h = 30;
  std::mt19937 random(7);
  std::vector<float> z(w * h);
  for (int i = 0; i < w * h; ++i)
    z[i] = float(int(20.0 * std::sin(i % w * 0.3) * std::cos(i / w * 0.2)) + int(random() % 7));
  // Holes, and two cells that meet at post (10, 15) alone, their neighbours gone.
  for (const int hole : {5 * w + 5, 5 * w + 6, 6 * w + 5, 6 * w + 6, 20 * w + 30, 16 * w + 9, 14 * w + 11})
    z[size_t(hole)] = NAN;
  const std::vector<int32_t> region = cellsOf(z, w, h), fixed = {3 * w + 3, 29 * w + 17};
  int64_t regionArea = 0;
  ASSERT_TRUE(areaOf(region, w, regionArea));
  const PostWindow window = {w, h, z.data()};
  size_t previous = region.size() + 1;
  for (const double bound : {0.0, 0.5, 2.0, 8.0}) {
    GridLimits limits;
    limits.maxError = bound;
    GridMesh mesh;
    ASSERT_TRUE(meshRegion(window, region, fixed, limits, mesh));
    int64_t area = 0;
    EXPECT_TRUE(areaOf(mesh.triangles, w, area)) << bound;
    EXPECT_EQ(area, regionArea) << bound;
    EXPECT_EQ(nonDelaunayEdges(mesh.triangles, w), 0) << bound;
    const GridError error = strictErrorOf(window, mesh.triangles.data(), mesh.triangles.size() / 3);
    EXPECT_LE(error.largest, bound);
    EXPECT_EQ(error.posts, std::count_if(z.begin(), z.end(), [](float v) { return !std::isnan(v); }));
    for (const int32_t f : fixed)
      EXPECT_NE(std::find(mesh.triangles.begin(), mesh.triangles.end(), f), mesh.triangles.end());
    EXPECT_LT(mesh.triangles.size(), previous) << "a looser bound needs fewer triangles";
    previous = mesh.triangles.size();
  }
}

// Meshing to a count stops at the count (one more where a post went in on the outline), also
// past the point where every post lies on the surface, which changes nothing there.
TEST(GridMesher, MeshesToACount)
{
  const int w = 30, h = 30;
  std::vector<float> z(w * h, 0.0f);
  for (int i = 0; i < w * h; ++i)
    if (i % w > 20) z[size_t(i)] = float((i % w - 20) * (i / w % 4));
  const PostWindow window = {w, h, z.data()};
  const std::vector<int32_t> region = cellsOf(z, w, h);
  for (const int64_t count : {10, 200, 1200}) {
    GridLimits limits;
    limits.targetTriangles = count;
    GridMesh mesh;
    ASSERT_TRUE(meshRegion(window, region, {}, limits, mesh));
    const int64_t made = int64_t(mesh.triangles.size() / 3);
    EXPECT_TRUE(made == count || made == count + 1) << count << ": " << made;
    if (count == 1200) {
      EXPECT_EQ(strictErrorOf(window, mesh.triangles.data(), mesh.triangles.size() / 3).largest, 0.0);
    }
  }
}

// A measure that finds a triangle without area says so.
TEST(GridMesher, StrictErrorSeesStandingTriangles)
{
  std::vector<float> z(9, 1.0f);
  const PostWindow window = {3, 3, z.data()};
  const int32_t standing[3] = {0, 4, 8}; // on the diagonal
  EXPECT_TRUE(std::isinf(strictErrorOf(window, standing, 1).largest));
}
