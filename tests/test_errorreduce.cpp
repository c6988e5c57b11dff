// The error-driven reduction on meshes made here: how far it goes, what it never moves, and the
// error it keeps to.

#include "errorreduce.h"
#include "verticalerror.h"
#include "vertexwelder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// A grid of n x n posts one unit apart, heights from the function, two triangles a cell except
// where the hole function says the cell is missing; texture coordinate (v, v) marks vertex v.
FlatMesh grid(int n, double (*height)(int, int), bool (*hole)(int, int) = nullptr)
{
  FlatMesh mesh;
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c) {
      mesh.points.emplace_back(float(c), float(height(c, r)), float(r));
      mesh.texCoords.emplace_back(float(r * n + c), float(r * n + c));
    }
  for (int r = 0; r + 1 < n; ++r)
    for (int c = 0; c + 1 < n; ++c) {
      if (hole != nullptr && hole(c, r)) continue;
      const int32_t a = r * n + c;
      mesh.coordIndex.insert(mesh.coordIndex.end(), {a, a + n, a + 1, -1, a + 1, a + n, a + n + 1, -1});
    }
  return mesh;
}

double hill(int c, int r)
{
  return 10.0 * std::exp(-((c - 7) * (c - 7) + (r - 9) * (r - 9)) / 18.0) + 0.3 * std::sin(c * 1.7 + r);
}

// The outline of the grid's posts: the border of the square and of the hole.
bool holeInTheMiddle(int c, int r)
{
  return c >= 6 && c < 9 && r >= 6 && r < 9;
}

int32_t facingDown(const FlatMesh & mesh)
{
  int32_t down = 0;
  for (size_t t = 0; t + 3 < mesh.coordIndex.size(); t += 4) {
    const SbVec3f & a = mesh.points[size_t(mesh.coordIndex[t])];
    const SbVec3f & b = mesh.points[size_t(mesh.coordIndex[t + 1])];
    const SbVec3f & c = mesh.points[size_t(mesh.coordIndex[t + 2])];
    down += !((b - a).cross(c - a)[1] > 0.0f);
  }
  return down;
}

FlatMesh reduced(const FlatMesh & mesh, const std::vector<SbVec3f> & border, const ErrorLimits & limits)
{
  FlatMesh copy = mesh;
  EditableMesh editable = editableViewOf(copy);
  reduceByError(editable, VertexWelder(border), limits);
  resizeTo(copy, editable);
  return copy;
}

} // namespace

// Down to a number of triangles: it gets there exactly, turns nothing over, and keeps the
// vertices of the outline (the square's border and the hole's) and the protected ones where
// they are, with their texture coordinates.
TEST(ErrorReduce, ReachesTheCountKeepingTheOutlineAndWhatIsProtected)
{
  const FlatMesh mesh = grid(16, hill, holeInTheMiddle);
  const std::vector<SbVec3f> border = {mesh.points[5 * 16 + 3], mesh.points[12 * 16 + 12]};
  ErrorLimits limits;
  limits.targetTriangles = int64_t(mesh.coordIndex.size() / 4) / 2;
  const FlatMesh result = reduced(mesh, border, limits);
  EXPECT_EQ(int64_t(result.coordIndex.size() / 4), limits.targetTriangles);
  EXPECT_EQ(facingDown(result), 0);
  ASSERT_EQ(result.points.size(), result.texCoords.size());
  std::vector<SbVec3f> mustStay = border;
  for (int i = 0; i < 16; ++i)
    for (const int v : {i, 15 * 16 + i, i * 16, i * 16 + 15}) mustStay.push_back(mesh.points[size_t(v)]);
  for (int i = 6; i <= 9; ++i)
    for (const int v : {6 * 16 + i, 9 * 16 + i, i * 16 + 6, i * 16 + 9}) mustStay.push_back(mesh.points[size_t(v)]);
  for (const SbVec3f & p : mustStay) {
    bool kept = false;
    for (size_t v = 0; v < result.points.size(); ++v) {
      if (result.points[v] != p) continue;
      kept = true;
      EXPECT_EQ(result.texCoords[v][0], float(p[2] * 16 + p[0])) << "texture coordinate";
    }
    EXPECT_TRUE(kept) << p[0] << ", " << p[2];
  }
  // The hole stays open: nothing covers its middle.
  const SbVec3f middle(7.5f, 0.0f, 7.5f);
  EXPECT_EQ(verticalErrorOf(&middle, 1, viewOf(result, true)).uncovered, 1);
}

// Within an error budget: every input vertex stays within it, measured on the result, and a
// larger budget leaves fewer triangles. A flat mesh loses all it can at no error at all.
TEST(ErrorReduce, KeepsEveryVertexWithinTheBudget)
{
  const FlatMesh mesh = grid(20, hill);
  int64_t previous = int64_t(mesh.coordIndex.size() / 4) + 1;
  for (const double budget : {0.05, 0.5, 2.0}) {
    ErrorLimits limits;
    limits.maxError = budget;
    const FlatMesh result = reduced(mesh, {}, limits);
    const VerticalError error =
      verticalErrorOf(mesh.points.data(), int32_t(mesh.points.size()), viewOf(result, true));
    EXPECT_LE(error.largest, budget) << budget;
    EXPECT_EQ(error.uncovered, 0);
    EXPECT_EQ(facingDown(result), 0);
    EXPECT_LT(int64_t(result.coordIndex.size() / 4), previous) << budget;
    previous = int64_t(result.coordIndex.size() / 4);
  }
  ErrorLimits none;
  none.maxError = 0.0;
  const FlatMesh flat = reduced(grid(20, [](int, int) { return 3.0; }), {}, none);
  EXPECT_LT(flat.coordIndex.size() / 4, 2u * 19u * 19u / 4u);
  EXPECT_EQ(facingDown(flat), 0);
}

// Far from the origin, three posts on a diagonal are not quite on one line in single precision:
// no collapse may leave a triangle of such posts standing on its edge, where it would hide a
// step between the triangles on either side of it.
TEST(ErrorReduce, LeavesNoTriangleStandingOnItsEdge)
{
  const int n = 24;
  FlatMesh mesh = grid(n, [](int c, int r) { return 40.0 * std::sin(c * 0.9) * std::cos(r * 0.7) + (c * r) % 5; });
  for (SbVec3f & p : mesh.points) p.setValue(52000.0f + p[0] * 93.1f, p[1], 41000.0f + p[2] * 92.7f);
  const auto postOf = [&](const SbVec3f & p) {
    return std::make_pair(std::lround((p[0] - 52000.0f) / 93.1f), std::lround((p[2] - 41000.0f) / 92.7f));
  };
  for (const double budget : {1.0, 3.0, 8.0}) {
    ErrorLimits limits;
    limits.maxError = budget;
    const FlatMesh result = reduced(mesh, {}, limits);
    int standing = 0;
    for (size_t t = 0; t + 3 < result.coordIndex.size(); t += 4) {
      const auto a = postOf(result.points[size_t(result.coordIndex[t])]);
      const auto b = postOf(result.points[size_t(result.coordIndex[t + 1])]);
      const auto c = postOf(result.points[size_t(result.coordIndex[t + 2])]);
      standing += (b.first - a.first) * (c.second - a.second) == (c.first - a.first) * (b.second - a.second);
    }
    EXPECT_EQ(standing, 0) << budget;
  }
}
