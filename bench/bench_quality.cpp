// Quality of a saved mesh or level-of-detail tree against the terrain it came from. The truth is
// the full mesh as the program loads it: the posts of a raster are its vertices. For every level
// of each saved file: chunks and triangles, triangles that face down or cover no ground, truth
// posts that no chunk of the level covers, height steps where a chunk's outline lies on the
// chunk of a neighbouring cell, and the vertical error of the level's surface at the posts.
// A reduced mesh counts as a tree of one level whose one cell is the whole extent. Positions
// are taken as the file gives them, rounded as text; a small tolerance absorbs the rounding.
// Over a raster every vertex is found on its post: triangles without ground area are those
// whose corners are posts on one line, and the error is measured the strict way, at every post
// against every triangle that holds it, edges included. --posts measures a mesh another
// program made of the raster (binary STL in post units, x east, y north) the same way.
// With --compare, it reduces the terrain itself, by each reducer to the same count (the
// shortest-edge reducer's result for each percentage) and by meshoptimizer with its border
// locked as a reference, and reports them side by side, with their speed.
// Usage: bench_quality TERRAIN SAVED.iv [SAVED2.iv ...]
//        bench_quality --compare TERRAIN [PERCENT ...]
//        bench_quality --posts RASTER MESH.stl

#include "containedrun.h"
#include "errorreduce.h"
#include "gridmesher.h"
#include "gridreduce.h"
#include "groundplane.h"
#include "postlookup.h"
#include "meshcut.h"
#include "meshreduce.h"
#include "vertexwelder.h"
#include "cutrules.h"
#include "flatmesh.h"
#include "meshextent.h"
#include "rasterloader.h"
#include "sceneloader.h"

#include <meshoptimizer.h>

#include <Inventor/SoDB.h>
#include <Inventor/SoInput.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoLOD.h>
#include <Inventor/nodes/SoSeparator.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using cutrules::Rectangle;

// A chunk's outline vertex that differs from a neighbour's surface by more than this steps.
const double stepLimit = 1e-3;

double seconds(void)
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A uniform grid over the ground plane; each cell lists the triangles whose box touches it.
struct Grid {
  double x0 = 0.0, z0 = 0.0, inv = 1.0;
  int32_t nx = 1, nz = 1;
  std::vector<int64_t> start; // nx * nz + 1 offsets into items, row by row
  std::vector<int32_t> items;

  int32_t column(double x) const { return along((x - x0) * inv, nx); }
  int32_t row(double z) const { return along((z - z0) * inv, nz); }
  int64_t cell(int32_t c, int32_t r) const { return int64_t(r) * nx + c; }
  static int32_t along(double v, int32_t n)
  {
    return !(v >= 0.0) ? 0 : v >= n ? n - 1 : int32_t(v);
  }
};

struct Truth {
  FlatMesh mesh;
  Extent extent;
  double spacingX = 0.0, spacingZ = 0.0;
  double tolerance = 0.0; // ground distance that still counts as on an edge or a post
  // X and Z of the vertices on an edge that only one triangle uses, sorted.
  std::vector<std::pair<float, float>> outline;
  // A raster's posts: where each position stands, and every post's height.
  std::unique_ptr<PostLookup> posts;
  std::vector<float> heights;
  PostWindow window;
};

struct Chunk {
  Rectangle rect;
  int32_t firstTriangle, numTriangles;
};

// The chunks of one level in contiguous lists.
struct Level {
  std::vector<Chunk> chunks;
  std::vector<SbVec3f> points;
  std::vector<int32_t> corners;  // three a triangle, into points
  std::vector<int32_t> chunkOf;  // per triangle
  Grid grid;                     // over the triangles that cover ground
};

// The figures of one level: counts add up over the levels, maxima take the largest. The worst
// layer is the largest error of any layer where a fold covers a post more than once.
struct Row {
  enum { CHUNKS, TRIANGLES, DOWN, FLAT, UNCOVERED, NEAR_BORDER, STEPS, SAME_LEVEL, COUNTS };
  enum { MAX_STEP, MAX_ERROR, WORST_LAYER, MAXIMA };
  int64_t count[COUNTS] = {};
  double max[MAXIMA] = {};
  int64_t measured = 0;
  double sumSquares = 0.0;
};

// Twice the signed ground area of u, v, p; positive when counter-clockwise in X (right), Z (up).
double orient(double ux, double uz, double vx, double vz, double px, double pz)
{
  return (vx - ux) * (pz - uz) - (vz - uz) * (px - ux);
}

// The Y component of (b - a) x (c - a): positive for a triangle facing up.
double upward(const SbVec3f & a, const SbVec3f & b, const SbVec3f & c)
{
  return -orient(a[0], a[2], b[0], b[2], c[0], c[2]);
}

// The height of the triangle's plane at (x, z) when the triangle covers it, edges inclusive.
bool heightIn(const SbVec3f & a, const SbVec3f & b, const SbVec3f & c, double x, double z,
              double tolerance, double & height)
{
  const double area = orient(a[0], a[2], b[0], b[2], c[0], c[2]);
  if (area == 0.0) return false;
  // Past the corners: a sliver's edges all but share one line, which the tolerance alone would
  // let run on beyond its ends.
  if (x < std::min({a[0], b[0], c[0]}) - tolerance || x > std::max({a[0], b[0], c[0]}) + tolerance ||
      z < std::min({a[2], b[2], c[2]}) - tolerance || z > std::max({a[2], b[2], c[2]}) + tolerance)
    return false;
  const double sign = area > 0.0 ? 1.0 : -1.0;
  // Beyond the edge from u to v by more than the tolerance; w is the corner's weight.
  const auto beyond = [&](const SbVec3f & u, const SbVec3f & v, double & w) {
    w = sign * orient(u[0], u[2], v[0], v[2], x, z);
    const double dx = double(v[0]) - u[0], dz = double(v[2]) - u[2];
    return w < 0.0 && w * w > tolerance * tolerance * (dx * dx + dz * dz);
  };
  double wa = 0.0, wb = 0.0, wc = 0.0;
  if (beyond(b, c, wa) || beyond(c, a, wb) || beyond(a, b, wc)) return false;
  height = (wa * a[1] + wb * b[1] + wc * c[1]) / (sign * area);
  return true;
}

// Calls found(triangle, height) for every triangle of the level that covers (x, z).
template <typename Found>
void forEachCover(const Level & level, double x, double z, double tolerance, const Found & found)
{
  const Grid & grid = level.grid;
  const int64_t cell = grid.cell(grid.column(x), grid.row(z));
  for (int64_t k = grid.start[cell]; k < grid.start[cell + 1]; ++k) {
    const int32_t t = grid.items[size_t(k)];
    const int32_t * corner = &level.corners[3 * size_t(t)];
    double height = 0.0;
    if (heightIn(level.points[corner[0]], level.points[corner[1]], level.points[corner[2]], x, z,
                 tolerance, height))
      found(t, height);
  }
}

// The vertices on edges that only one triangle uses; corners come stride entries a triangle.
std::vector<int32_t> outlineOf(const int32_t * corners, int32_t triangles, int stride)
{
  std::vector<uint64_t> edges;
  edges.reserve(3 * size_t(triangles));
  for (int32_t t = 0; t < triangles; ++t) {
    const int32_t * c = corners + size_t(t) * stride;
    for (int e = 0; e < 3; ++e) {
      const uint32_t a = uint32_t(c[e]), b = uint32_t(c[(e + 1) % 3]);
      edges.push_back(a < b ? uint64_t(a) << 32 | b : uint64_t(b) << 32 | a);
    }
  }
  std::sort(edges.begin(), edges.end());
  std::vector<int32_t> outline;
  for (size_t i = 0, j = 0; i < edges.size(); i = j) {
    while (j < edges.size() && edges[j] == edges[i]) ++j;
    if (j - i != 1) continue;
    outline.push_back(int32_t(edges[i] >> 32));
    outline.push_back(int32_t(edges[i] & 0xffffffffu));
  }
  std::sort(outline.begin(), outline.end());
  outline.erase(std::unique(outline.begin(), outline.end()), outline.end());
  return outline;
}

// At one of the terrain's outline vertices, give or take the rounding of text.
bool onTerrainOutline(const Truth & truth, const SbVec3f & p)
{
  const double tol = truth.tolerance;
  const std::pair<float, float> from(float(p[0] - tol), -HUGE_VALF);
  for (auto it = std::lower_bound(truth.outline.begin(), truth.outline.end(), from);
       it != truth.outline.end() && it->first <= p[0] + tol; ++it)
    if (std::fabs(it->second - p[2]) <= tol) return true;
  return false;
}

// The post spacing on each axis: the median extent of the triangles along it.
void estimateSpacing(Truth & truth)
{
  const MeshView mesh = viewOf(truth.mesh, true);
  const int32_t every = std::max(1, mesh.numTriangles() / 100000);
  std::vector<double> xs, zs;
  for (int32_t t = 0; t < mesh.numTriangles(); t += every) {
    const SbVec3f & a = mesh.points[mesh.coordIndex[4 * t]];
    const SbVec3f & b = mesh.points[mesh.coordIndex[4 * t + 1]];
    const SbVec3f & c = mesh.points[mesh.coordIndex[4 * t + 2]];
    xs.push_back(std::max({a[0], b[0], c[0]}) - double(std::min({a[0], b[0], c[0]})));
    zs.push_back(std::max({a[2], b[2], c[2]}) - double(std::min({a[2], b[2], c[2]})));
  }
  if (xs.empty()) return;
  std::nth_element(xs.begin(), xs.begin() + xs.size() / 2, xs.end());
  std::nth_element(zs.begin(), zs.begin() + zs.size() / 2, zs.end());
  truth.spacingX = xs[xs.size() / 2];
  truth.spacingZ = zs[zs.size() / 2];
}

bool loadTruth(const char * fileName, Truth & truth)
{
  ContainedProgress progress;
  std::string reason;
  bool loaded = false;
  if (looksLikeScene(fileName)) {
    loaded = loadScene(fileName, truth.mesh, progress, reason);
  } else {
    const RasterOutcome outcome =
      loadRaster(fileName, RasterOptions(), truth.mesh, progress, reason);
    loaded = outcome == RasterOutcome::LOADED ||
             (outcome == RasterOutcome::NOT_A_RASTER &&
              loadScene(fileName, truth.mesh, progress, reason));
  }
  if (!reason.empty()) std::fprintf(stderr, "%s\n", reason.c_str());
  if (!loaded || truth.mesh.points.empty()) return false;
  const std::vector<SbVec3f> & points = truth.mesh.points;
  truth.extent = extentOf(points.data(), int32_t(points.size()));
  estimateSpacing(truth);
  // Well above the rounding of positions written as text, far below a post spacing.
  truth.tolerance = std::max(1e-3 * std::min(truth.spacingX, truth.spacingZ), 1e-6);
  const RasterGrid & grid = truth.mesh.grid;
  if (grid.present() && truth.mesh.posts.size() == points.size()) {
    truth.posts = std::make_unique<PostLookup>(points.data(), int32_t(points.size()), truth.mesh.posts, grid);
    truth.heights.assign(size_t(grid.columns * grid.rows), NAN);
    for (size_t v = 0; v < points.size(); ++v) truth.heights[truth.mesh.posts[v]] = points[v][1];
    truth.window = {int32_t(grid.columns), int32_t(grid.rows), truth.heights.data()};
  }
  const MeshView mesh = viewOf(truth.mesh, true);
  for (const int32_t v : outlineOf(mesh.coordIndex, mesh.numTriangles(), 4))
    truth.outline.emplace_back(points[size_t(v)][0], points[size_t(v)][2]);
  std::sort(truth.outline.begin(), truth.outline.end());
  return true;
}

struct Reading {
  const Truth & truth;
  std::vector<Level> levels;
  int64_t vertices = 0;
};

template <typename Node>
Node * childOf(SoNode * node)
{
  if (node == nullptr || !node->isOfType(SoGroup::getClassTypeId())) return nullptr;
  SoGroup * group = static_cast<SoGroup *>(node);
  for (int i = 0; i < group->getNumChildren(); ++i)
    if (group->getChild(i)->isOfType(Node::getClassTypeId()))
      return static_cast<Node *>(group->getChild(i));
  return nullptr;
}

// Appends the chunk's lists to its level.
void addChunk(Reading & reading, int level, const Rectangle & rect, SoNode * node)
{
  if (reading.levels.size() < size_t(level)) reading.levels.resize(size_t(level));
  Level & into = reading.levels[size_t(level) - 1];
  Chunk chunk = {rect, int32_t(into.chunkOf.size()), 0};
  const SoCoordinate3 * coords = childOf<SoCoordinate3>(node);
  const SoIndexedFaceSet * faces = childOf<SoIndexedFaceSet>(node);
  if (coords != nullptr && faces != nullptr) {
    const int32_t first = int32_t(into.points.size());
    const int32_t count = coords->point.getNum();
    const SbVec3f * points = coords->point.getValues(0);
    into.points.insert(into.points.end(), points, points + count);
    reading.vertices += count;
    const int32_t * index = faces->coordIndex.getValues(0);
    const int32_t entries = faces->coordIndex.getNum();
    for (int32_t k = 0; k + 2 < entries; k += 4) {
      const int32_t a = index[k], b = index[k + 1], c = index[k + 2];
      if (a < 0 || b < 0 || c < 0 || a >= count || b >= count || c >= count) continue;
      into.corners.insert(into.corners.end(), {first + a, first + b, first + c});
      into.chunkOf.push_back(int32_t(into.chunks.size()));
    }
  }
  chunk.numTriangles = int32_t(into.chunkOf.size()) - chunk.firstTriangle;
  into.chunks.push_back(chunk);
}

void addLod(Reading & reading, int level, const Rectangle & r, SoLOD * lod);

// A cell above the last level holds one SoLOD; a cell on the last level is its chunk. The root
// of a reduced mesh holds its one chunk beside the texture.
void addCell(Reading & reading, int level, const Rectangle & rect, SoNode * node)
{
  SoLOD * lod = childOf<SoLOD>(node);
  SoSeparator * inner = childOf<SoSeparator>(node);
  if (lod != nullptr) addLod(reading, level, rect, lod);
  else if (childOf<SoCoordinate3>(node) == nullptr && inner != nullptr)
    addChunk(reading, level, rect, inner);
  else addChunk(reading, level, rect, node);
}

// Near: the four sub-cells in the quadrant order the builder uses; far: the cell's own chunk.
void addLod(Reading & reading, int level, const Rectangle & r, SoLOD * lod)
{
  if (lod->getNumChildren() > 1) addChunk(reading, level, r, lod->getChild(1));
  if (lod->getNumChildren() < 1 || !lod->getChild(0)->isOfType(SoGroup::getClassTypeId())) return;
  SoGroup * near = static_cast<SoGroup *>(lod->getChild(0));
  const float xm = r.x1 + (r.x2 - r.x1) / 2.0f, ym = r.y1 + (r.y2 - r.y1) / 2.0f;
  const Rectangle quadrants[4] = {
    {r.x1, r.y1, xm, ym}, {r.x1, ym, xm, r.y2}, {xm, r.y1, r.x2, ym}, {xm, ym, r.x2, r.y2}};
  for (int i = 0; i < std::min(4, near->getNumChildren()); ++i)
    addCell(reading, level + 1, quadrants[i], near->getChild(i));
}

bool readSaved(const char * fileName, Reading & reading)
{
  SoInput input;
  if (!input.openFile(fileName)) return false;
  SoSeparator * top = SoDB::readAll(&input);
  if (top == nullptr) return false;
  top->ref();
  // readAll wraps the file's own root in a separator of its own.
  SoNode * root = top->getNumChildren() == 1 ? top->getChild(0) : top;
  const Extent & e = reading.truth.extent;
  addCell(reading, 1, {e.minX, e.minZ, e.maxX, e.maxZ}, root);
  top->unref();
  return reading.vertices > 0;
}

// About one grid cell per triangle over the terrain. Triangles without ground area cover
// nothing and stay out; the others widen their box by the tolerance.
void indexLevel(const Truth & truth, Level & level)
{
  Grid & grid = level.grid;
  const Extent & e = truth.extent;
  const double width = double(e.maxX) - e.minX, depth = double(e.maxZ) - e.minZ;
  const size_t triangles = level.chunkOf.size();
  double size = std::sqrt(width * depth / double(std::max<size_t>(triangles, 1)));
  if (!(size > 0.0)) size = std::max(width + depth, 1.0);
  grid.inv = 1.0 / size;
  grid.x0 = e.minX;
  grid.z0 = e.minZ;
  grid.nx = int32_t(std::min(width / size + 1.0, 16384.0));
  grid.nz = int32_t(std::min(depth / size + 1.0, 16384.0));
  grid.start.assign(size_t(grid.nx) * grid.nz + 1, 0);
  const double tol = truth.tolerance;
  const auto visit = [&](const auto & add) {
    for (size_t t = 0; t < triangles; ++t) {
      const SbVec3f & a = level.points[level.corners[3 * t]];
      const SbVec3f & b = level.points[level.corners[3 * t + 1]];
      const SbVec3f & c = level.points[level.corners[3 * t + 2]];
      if (upward(a, b, c) == 0.0) continue;
      const int32_t c1 = grid.column(std::min({a[0], b[0], c[0]}) - tol);
      const int32_t c2 = grid.column(std::max({a[0], b[0], c[0]}) + tol);
      const int32_t r1 = grid.row(std::min({a[2], b[2], c[2]}) - tol);
      const int32_t r2 = grid.row(std::max({a[2], b[2], c[2]}) + tol);
      for (int32_t r = r1; r <= r2; ++r)
        for (int32_t col = c1; col <= c2; ++col) add(grid.cell(col, r), int32_t(t));
    }
  };
  // Two sweeps: how many triangles each cell lists, then the lists.
  visit([&](int64_t cell, int32_t) { ++grid.start[size_t(cell) + 1]; });
  for (size_t k = 1; k < grid.start.size(); ++k) grid.start[k] += grid.start[k - 1];
  grid.items.resize(size_t(grid.start.back()));
  std::vector<int64_t> fill(grid.start.begin(), grid.start.end() - 1);
  visit([&](int64_t cell, int32_t t) { grid.items[size_t(fill[size_t(cell)]++)] = t; });
}

// Triangles facing down, and those without ground area: of less area than rounding could make
// of three points on one line (standing on their edge).
void countFacing(const Level & level, Row & row)
{
  row.count[Row::CHUNKS] = int64_t(level.chunks.size());
  row.count[Row::TRIANGLES] = int64_t(level.chunkOf.size());
  for (size_t t = 0; t < level.chunkOf.size(); ++t) {
    const SbVec3f & a = level.points[level.corners[3 * t]], & b = level.points[level.corners[3 * t + 1]],
                  & c = level.points[level.corners[3 * t + 2]];
    const double up = upward(a, b, c);
    const bool flat = flatOnGround(a, b, c, up);
    row.count[Row::DOWN] += up < 0.0 && !flat;
    row.count[Row::FLAT] += flat;
  }
}

// The triangles as post numbers of the raster (three a triangle); false where a corner stands
// on no post.
bool postTriangles(const Truth & truth, const std::vector<SbVec3f> & points,
                   const std::vector<int32_t> & corners, std::vector<int32_t> & triangles)
{
  triangles.clear();
  for (const int32_t corner : corners) {
    int64_t column = 0, row = 0;
    if (!truth.posts->postAt(points[size_t(corner)], column, row)) return false;
    triangles.push_back(int32_t(row * truth.window.width + column));
  }
  return true;
}

// Over the raster's posts: triangles whose corners are posts on one line have no ground area,
// those turned against the raster's own cells face down, and the error is the strict one.
void measureOnPosts(const Truth & truth, const std::vector<int32_t> & triangles, Row & row)
{
  const int32_t w = truth.window.width;
  const auto orient = [w](const int32_t * t) {
    return (int64_t(t[1] % w) - t[0] % w) * (int64_t(t[2] / w) - t[0] / w) -
           (int64_t(t[1] / w) - t[0] / w) * (int64_t(t[2] % w) - t[0] % w);
  };
  const int32_t * cell = truth.mesh.coordIndex.data();
  std::vector<int32_t> first = {int32_t(truth.mesh.posts[size_t(cell[0])]), int32_t(truth.mesh.posts[size_t(cell[1])]),
                                int32_t(truth.mesh.posts[size_t(cell[2])])};
  const bool cellsTurnLeft = orient(first.data()) > 0;
  std::vector<int32_t> standing;
  row.count[Row::DOWN] = row.count[Row::FLAT] = 0;
  for (size_t i = 0; i < triangles.size(); i += 3) {
    const int64_t o = orient(&triangles[i]);
    row.count[Row::FLAT] += o == 0;
    row.count[Row::DOWN] += o != 0 && (o > 0) != cellsTurnLeft;
  }
  const GridError error = strictErrorOf(truth.window, triangles.data(), triangles.size() / 3);
  row.max[Row::MAX_ERROR] = error.largest;
  row.sumSquares = error.sumSquares;
  row.measured = error.posts;
}

// Within distance of a line between two of the cells that split [low, high] evenly.
bool nearInnerLine(double v, double low, double high, int cells, double distance)
{
  const double width = (high - low) / cells;
  const double k = std::round((v - low) / width);
  return k > 0.0 && k < cells && std::fabs(v - low - k * width) <= distance;
}

// Every truth post: covered by the level or not; where covered, its vertical error. A fold
// covers some posts more than once: the layer nearest the post counts (the fold itself shows
// among the triangles facing down), the farthest goes to the worst-layer figure.
void measurePosts(const Truth & truth, const Level & level, int cells, Row & row)
{
  const Extent & e = truth.extent;
  for (const SbVec3f & p : truth.mesh.points) {
    bool covered = false;
    double error = HUGE_VAL, worst = 0.0;
    forEachCover(level, p[0], p[2], truth.tolerance, [&](int32_t, double height) {
      covered = true;
      error = std::min(error, std::fabs(height - p[1]));
      worst = std::max(worst, std::fabs(height - p[1]));
    });
    if (!covered) {
      ++row.count[Row::UNCOVERED];
      // A post one spacing from a line counts, however the line's position was rounded.
      row.count[Row::NEAR_BORDER] +=
        nearInnerLine(p[0], e.minX, e.maxX, cells, truth.spacingX + truth.tolerance) ||
        nearInnerLine(p[2], e.minZ, e.maxZ, cells, truth.spacingZ + truth.tolerance);
      continue;
    }
    ++row.measured;
    row.sumSquares += error * error;
    row.max[Row::MAX_ERROR] = std::max(row.max[Row::MAX_ERROR], error);
    row.max[Row::WORST_LAYER] = std::max(row.max[Row::WORST_LAYER], worst);
  }
}

bool overlapInArea(const Rectangle & a, const Rectangle & b)
{
  return std::min(a.x2, b.x2) > std::max(a.x1, b.x1) && std::min(a.y2, b.y2) > std::max(a.y1, b.y1);
}

// The step at one outline vertex of a chunk of level own: against each neighbouring chunk (its
// cell does not overlap the chunk's own in area), at any level, the nearest of its layers there;
// the largest over the neighbours, and the largest over those of the same level. covers is
// scratch space.
void stepAt(const std::vector<Level> & levels, size_t own, const Rectangle & rect,
            const SbVec3f & p, double tolerance, std::vector<std::pair<uint64_t, double>> & covers,
            double & step, double & sameLevelStep)
{
  covers.clear();
  for (size_t m = 0; m < levels.size(); ++m) {
    const Level & other = levels[m];
    forEachCover(other, p[0], p[2], tolerance, [&](int32_t t, double height) {
      const int32_t chunk = other.chunkOf[size_t(t)];
      if (overlapInArea(other.chunks[size_t(chunk)].rect, rect)) return;
      covers.emplace_back(uint64_t(m) << 32 | uint32_t(chunk), std::fabs(height - p[1]));
    });
  }
  std::sort(covers.begin(), covers.end());
  step = sameLevelStep = 0.0;
  for (size_t i = 0; i < covers.size(); ++i) {
    if (i > 0 && covers[i].first == covers[i - 1].first) continue; // sorted: the nearest first
    step = std::max(step, covers[i].second);
    if (covers[i].first >> 32 == own) sameLevelStep = std::max(sameLevelStep, covers[i].second);
  }
}

// Outline vertices of the level's chunks against the chunks of neighbouring cells; those on
// the terrain's own outline have no neighbour.
void measureSteps(const Truth & truth, const std::vector<Level> & levels, size_t own, Row & row)
{
  const Level & level = levels[own];
  std::vector<std::pair<uint64_t, double>> covers;
  for (const Chunk & chunk : level.chunks) {
    const int32_t * corners = level.corners.data() + 3 * size_t(chunk.firstTriangle);
    for (const int32_t v : outlineOf(corners, chunk.numTriangles, 3)) {
      if (onTerrainOutline(truth, level.points[size_t(v)])) continue;
      double step = 0.0, sameLevelStep = 0.0;
      stepAt(levels, own, chunk.rect, level.points[size_t(v)], truth.tolerance, covers, step,
             sameLevelStep);
      row.count[Row::STEPS] += step > stepLimit;
      row.count[Row::SAME_LEVEL] += sameLevelStep > stepLimit;
      if (step > stepLimit) row.max[Row::MAX_STEP] = std::max(row.max[Row::MAX_STEP], step);
    }
  }
}

void printHeader(void)
{
  std::printf("level    chunks triangles    facing    ground uncovered      near    border      "
              "same       max       max       RMS     worst\n"
              "                                 down      zero     posts    border     steps     "
              "level  step (m) error (m) error (m) layer (m)\n");
}

void printRow(const char * name, const Row & row)
{
  std::printf("%5s", name);
  for (const int64_t count : row.count) std::printf(" %9lld", (long long)count);
  const double rms = row.measured > 0 ? std::sqrt(row.sumSquares / double(row.measured)) : 0.0;
  std::printf(" %9.3f %9.3f %9.4f %9.3f\n", row.max[Row::MAX_STEP], row.max[Row::MAX_ERROR],
              rms, row.max[Row::WORST_LAYER]);
}

void addTo(Row & total, const Row & row)
{
  for (int i = 0; i < Row::COUNTS; ++i) total.count[i] += row.count[i];
  for (int i = 0; i < Row::MAXIMA; ++i) total.max[i] = std::max(total.max[i], row.max[i]);
  total.measured += row.measured;
  total.sumSquares += row.sumSquares;
}

bool measureFile(const Truth & truth, const char * fileName)
{
  double start = seconds();
  Reading reading{truth, {}};
  if (!readSaved(fileName, reading)) {
    std::fprintf(stderr, "%s: cannot be read as a saved mesh or tree\n", fileName);
    return false;
  }
  const double readTime = seconds() - start;
  start = seconds();
  for (Level & level : reading.levels) indexLevel(truth, level);
  std::printf("\n%s: %zu level%s, %lld vertices\n", fileName, reading.levels.size(),
              reading.levels.size() == 1 ? "" : "s", (long long)reading.vertices);
  printHeader();
  Row total;
  std::vector<int32_t> onPosts;
  for (size_t l = 0; l < reading.levels.size(); ++l) {
    Row row;
    countFacing(reading.levels[l], row);
    measurePosts(truth, reading.levels[l], 1 << l, row);
    measureSteps(truth, reading.levels, l, row);
    if (truth.posts != nullptr && postTriangles(truth, reading.levels[l].points, reading.levels[l].corners, onPosts))
      measureOnPosts(truth, onPosts, row);
    printRow(std::to_string(l + 1).c_str(), row);
    addTo(total, row);
  }
  printRow("total", total);
  if (truth.posts != nullptr) std::printf("measured on the raster's posts, the strict way\n");
  std::printf("read in %.2f s, measured in %.2f s\n", readTime, seconds() - start);
  return true;
}

// A reduced mesh as a level of one chunk over the whole extent.
Level levelOf(const Truth & truth, const FlatMesh & mesh)
{
  Level level;
  level.chunks.push_back({{truth.extent.minX, truth.extent.minZ, truth.extent.maxX, truth.extent.maxZ},
                          0, 0});
  level.points = mesh.points;
  for (size_t t = 0; t + 3 < mesh.coordIndex.size(); t += 4) {
    level.corners.insert(level.corners.end(), mesh.coordIndex.begin() + long(t), mesh.coordIndex.begin() + long(t) + 3);
    level.chunkOf.push_back(0);
  }
  level.chunks[0].numTriangles = int32_t(level.chunkOf.size());
  indexLevel(truth, level);
  return level;
}

// Posts of the terrain's outline that are no vertex of the mesh any more.
int64_t outlineLost(const Truth & truth, const FlatMesh & mesh)
{
  std::vector<std::pair<float, float>> kept;
  for (const SbVec3f & p : mesh.points) kept.emplace_back(p[0], p[2]);
  std::sort(kept.begin(), kept.end());
  int64_t lost = 0;
  for (const auto & post : truth.outline) lost += !std::binary_search(kept.begin(), kept.end(), post);
  return lost;
}

void reportReduced(const Truth & truth, const char * name, const FlatMesh & mesh, double time,
                   int64_t input)
{
  const Level level = levelOf(truth, mesh);
  Row row;
  countFacing(level, row);
  measurePosts(truth, level, 1, row);
  std::vector<int32_t> onPosts;
  if (truth.posts != nullptr && postTriangles(truth, level.points, level.corners, onPosts))
    measureOnPosts(truth, onPosts, row);
  printRow(name, row);
  std::printf("      %lld outline posts lost; %.3f s, %.2f M input triangles/s\n",
              (long long)outlineLost(truth, mesh), time, double(input) / time / 1e6);
}

// Each reducer, and meshoptimizer with its border locked, to the count the shortest-edge
// reducer leaves at the percentage.
void compareReducers(const Truth & truth, int percent)
{
  std::vector<SbVec3f> border;
  FlatMesh whole;
  ListChunkWriter writer(whole);
  const Extent & e = truth.extent;
  cutMesh(viewOf(truth.mesh, true), nullptr, {e.minX, e.minZ, e.maxX, e.maxZ}, border, writer);
  const VertexWelder protectedPositions(border);
  const int64_t input = int64_t(whole.coordIndex.size() / 4);
  std::printf("\n-reduce %d of %lld triangles\n", percent, (long long)input);
  printHeader();

  FlatMesh shortest = whole;
  EditableMesh editable = editableViewOf(shortest);
  double start = seconds();
  reduceByShare(editable, protectedPositions, percent);
  double time = seconds() - start;
  resizeTo(shortest, editable);
  reportReduced(truth, "short", shortest, time, input);
  const int64_t count = int64_t(shortest.coordIndex.size() / 4);

  // A raster's posts meshed anew, its whole outline free as in run mode 2; any other terrain by
  // collapses.
  FlatMesh byError = whole;
  editable = editableViewOf(byError);
  start = seconds();
  if (truth.posts != nullptr) {
    GridLimits limits;
    limits.targetTriangles = count;
    reduceOnGrid(editable, VertexWelder(), *truth.posts, limits, nullptr);
  } else {
    ErrorLimits limits;
    limits.targetTriangles = count;
    reduceByError(editable, protectedPositions, limits);
  }
  time = seconds() - start;
  resizeTo(byError, editable);
  reportReduced(truth, "error", byError, time, input);

  std::vector<unsigned> indices, kept(size_t(input) * 3);
  for (size_t t = 0; t + 3 < whole.coordIndex.size(); t += 4)
    for (size_t k = 0; k < 3; ++k) indices.push_back(unsigned(whole.coordIndex[t + k]));
  start = seconds();
  const size_t n = meshopt_simplify(kept.data(), indices.data(), indices.size(), &whole.points[0][0],
                                    whole.points.size(), sizeof(SbVec3f), size_t(count) * 3, 1.0f,
                                    meshopt_SimplifyLockBorder, nullptr);
  time = seconds() - start;
  FlatMesh reference = whole;
  reference.coordIndex.clear();
  for (size_t i = 0; i + 2 < n; i += 3)
    reference.coordIndex.insert(reference.coordIndex.end(),
                                {int32_t(kept[i]), int32_t(kept[i + 1]), int32_t(kept[i + 2]), -1});
  reportReduced(truth, "mopt", reference, time, input);
}

// A mesh of the raster from another program, as binary STL whose x and y count posts (x east,
// y north from the raster's south-west post): its triangles and their strict error.
bool measureStl(const Truth & truth, const char * fileName)
{
  std::ifstream in(fileName, std::ios::binary);
  char header[80];
  uint32_t count = 0;
  if (truth.posts == nullptr || !in.read(header, sizeof header) || !in.read(reinterpret_cast<char *>(&count), 4))
    return false;
  std::vector<int32_t> triangles;
  for (uint32_t i = 0; i < count; ++i) {
    float values[12];
    uint16_t attribute = 0;
    if (!in.read(reinterpret_cast<char *>(values), sizeof values) || !in.read(reinterpret_cast<char *>(&attribute), 2))
      return false;
    for (int k = 0; k < 3; ++k) {
      const long column = std::lround(values[3 + 3 * k]), row = truth.window.height - 1 - std::lround(values[4 + 3 * k]);
      if (column < 0 || row < 0 || column >= truth.window.width || row >= truth.window.height) return false;
      triangles.push_back(int32_t(row * truth.window.width + column));
    }
  }
  Row row;
  row.count[Row::CHUNKS] = 1;
  row.count[Row::TRIANGLES] = int64_t(count);
  measureOnPosts(truth, triangles, row);
  printHeader();
  printRow("stl", row);
  return true;
}

} // namespace

int main(int argc, char ** argv)
{
  const bool compare = argc > 1 && std::string(argv[1]) == "--compare";
  const bool stl = argc > 1 && std::string(argv[1]) == "--posts";
  if (argc < 3) {
    std::fprintf(stderr, "Usage: %s TERRAIN SAVED.iv [SAVED2.iv ...]\n"
                         "       %s --compare TERRAIN [PERCENT ...]\n"
                         "       %s --posts RASTER MESH.stl\n", argv[0], argv[0], argv[0]);
    return 2;
  }
  if (compare || stl) {
    ++argv;
    --argc;
  }
  SoDB::init();
  const double start = seconds();
  Truth truth;
  if (!loadTruth(argv[1], truth)) {
    std::fprintf(stderr, "%s: cannot be loaded as a terrain\n", argv[1]);
    return 1;
  }
  const Extent & e = truth.extent;
  std::printf("%s: %zu posts, %zu triangles, post spacing %.2f m (X) by %.2f m (Z), "
              "extent %g %g %g %g, loaded in %.2f s\n",
              argv[1], truth.mesh.points.size(), truth.mesh.coordIndex.size() / 4,
              truth.spacingX, truth.spacingZ, e.minX, e.minZ, e.maxX, e.maxZ, seconds() - start);
  if (compare) {
    if (argc == 2) compareReducers(truth, 50);
    for (int i = 2; i < argc; ++i) compareReducers(truth, std::atoi(argv[i]));
    return 0;
  }
  if (stl) return measureStl(truth, argv[2]) ? 0 : 1;
  bool all = true;
  for (int i = 2; i < argc; ++i) all = measureFile(truth, argv[i]) && all;
  return all ? 0 : 1;
}
