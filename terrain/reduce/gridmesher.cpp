// Greedy insertion over a raster's posts: a heap of every triangle's worst post, the worst of
// all inserted first; only the triangles an insertion makes or flips are scanned again.

#include "gridmesher.h"

#include "gridtriangulation.h"
#include "trianglerows.h"

#include <algorithm>
#include <cmath>

namespace {

using Point = GridTriangulation::Point;

// Heights over a counter-clockwise triangle of posts, from its corners' by barycentric weights
// that are whole numbers, stepped exactly along a row, as the height times the triangle's doubled
// area: of heights that are whole numbers (as a raster's mostly are) a post's distance comes out
// exact, so a bound is met or not the same way whatever measures it.
struct Interpolation {
  Point c[3];
  double z[3];
  int64_t area;
  Interpolation(const Point (&corners)[3], const double (&heights)[3])
  {
    for (int k = 0; k < 3; ++k) {
      c[k] = corners[k];
      z[k] = heights[k];
    }
    area = GridTriangulation::orient(c[0], c[1], c[2]);
  }
  // The weight of corner k at post (x, y), and how much it grows a step east.
  int64_t weight(int k, int32_t x, int32_t y) const
  {
    return GridTriangulation::orient(c[k == 2 ? 0 : k + 1], c[k == 0 ? 2 : k - 1], {x, y});
  }
  int64_t stepEast(int k) const
  {
    const Point & b = c[k == 2 ? 0 : k + 1], & a = c[k == 0 ? 2 : k - 1];
    return -(int64_t(a.y) - b.y);
  }
  // The numerator at (x, y) and its growth a step east, in floating point: exact for whole heights,
  // within rounding otherwise.
  void numerator(int32_t x, int32_t y, double & value, double & step) const
  {
    value = step = 0.0;
    for (int k = 0; k < 3; ++k) {
      value += double(weight(k, x, y)) * z[k];
      step += double(stepEast(k)) * z[k];
    }
  }
  // Calls visit(x, numerator) along the row from x0 to x1: the height there is numerator / area.
  template <typename Visit>
  void row(int32_t y, int32_t x0, int32_t x1, Visit && visit) const
  {
    int64_t w[3], dw[3];
    for (int k = 0; k < 3; ++k) {
      w[k] = weight(k, x0, y);
      dw[k] = stepEast(k);
    }
    for (int32_t x = x0; x <= x1; ++x) {
      visit(x, double(w[0]) * z[0] + double(w[1]) * z[1] + double(w[2]) * z[2]);
      for (int k = 0; k < 3; ++k) w[k] += dw[k];
    }
  }
};

// The eight directions of a cell's edges, numbered 0 to 7; -1 for any other step.
int directionOf(int32_t dx, int32_t dy)
{
  static const int numbers[9] = {0, 1, 2, 3, -1, 4, 5, 6, 7};
  return dx < -1 || dx > 1 || dy < -1 || dy > 1 ? -1 : numbers[(dy + 1) * 3 + dx + 1];
}
const int32_t stepX[8] = {-1, 0, 1, -1, 1, -1, 0, 1}, stepY[8] = {-1, -1, -1, 0, 0, 1, 1, 1};
int opposite(int d) { return 7 - d; }

// A triangle's worst post and what it is ranked by.
struct Candidate {
  double error;
  int64_t spread; // meshing to a count: of errors alike, larger triangles (doubled area) first
  int32_t triangle;
  uint32_t stamp;
  int32_t post;
  bool operator<(const Candidate & o) const
  {
    if (error != o.error) return error < o.error;
    if (spread != o.spread) return spread < o.spread;
    return triangle > o.triangle;
  }
};

class GreedyMesher {
public:
  GreedyMesher(const PostWindow & window)
    : window(window), triangulation(-1, -1, window.width, window.height),
      vertexOfPost(size_t(window.width) * size_t(window.height), -1)
  {
    postOfVertex.assign(4, -1);
  }

  bool start(const std::vector<int32_t> & region, const std::vector<int32_t> & fixed);
  void run(const GridLimits & limits);
  // Meshing to a count ranks errors alike by the triangle's size, so that flat ground is split
  // evenly; within a bound that order costs triangles.
  bool bySize = false;
  void output(GridMesh & mesh) const;

private:
  Point pointOf(int32_t post) const { return {post % window.width, post / window.width}; }
  double heightOf(int32_t post) const { return window.heights[size_t(post)]; }
  bool outline(const std::vector<int32_t> & region, const std::vector<int32_t> & fixed,
               std::vector<int32_t> & corners, std::vector<std::pair<int32_t, int32_t>> & runs);
  int32_t addVertex(int32_t post, int32_t near, std::vector<int32_t> & touched);
  void scan(int32_t t);
  int32_t postNearestCentre(int32_t t) const;
  void push(const Candidate & candidate);
  void insert(int32_t t, int32_t post, std::vector<int32_t> & touched);
  void fillFlat(int64_t targetTriangles, std::vector<int32_t> & touched);
  static bool inOnePlane(const void * self, int32_t a, int32_t b, int32_t c, int32_t d);

  const PostWindow & window;
  GridTriangulation triangulation;
  std::vector<int32_t> vertexOfPost, postOfVertex;
  std::vector<uint32_t> stamps;
  std::vector<Candidate> heap; // a heap by std::push_heap, its room made beforehand
  // Where every post lies on the surface: triangles in the order they came, so that older,
  // larger ones go first, which needs no heap; each with its stamp when it came.
  std::vector<std::pair<int32_t, uint32_t>> inLine;
  int64_t regionTriangles = 0;
  bool turned = false; // the region's triangles run clockwise
  bool flat = false;   // every post lies on the surface: what is inserted now changes nothing
};

// The region's outline: its directed boundary edges (region on the left) from the edges that no
// triangle shares in the other direction. Corners are where the outline turns or meets itself,
// and the fixed posts on it; runs are its straight stretches from corner to corner. Per post:
// its edges out (low byte) and out along the outline (high byte); and how many outline edges
// come in (low four bits), from which direction (three bits) and whether it is a corner (top).
bool GreedyMesher::outline(const std::vector<int32_t> & region, const std::vector<int32_t> & fixed,
                           std::vector<int32_t> & corners, std::vector<std::pair<int32_t, int32_t>> & runs)
{
  const size_t posts = vertexOfPost.size();
  std::vector<uint16_t> edges(posts, 0);
  for (size_t i = 0; i + 2 < region.size(); i += 3) {
    const int32_t a = region[i], b = region[i + (turned ? 2 : 1)], c = region[i + (turned ? 1 : 2)];
    const int32_t corner[4] = {a, b, c, a};
    for (int k = 0; k < 3; ++k) {
      const Point pu = pointOf(corner[k]), pv = pointOf(corner[k + 1]);
      const int d = directionOf(pv.x - pu.x, pv.y - pu.y);
      uint16_t & out = edges[size_t(corner[k])];
      if (d < 0 || (out >> d & 1)) return false; // no cell's edge, or overlapping
      out = uint16_t(out | 1 << d);
    }
  }
  const uint8_t cornerBit = 0x80;
  std::vector<uint8_t> incoming(posts, 0);
  for (const int32_t f : fixed)
    if (f >= 0 && size_t(f) < posts) incoming[size_t(f)] = cornerBit;
  for (size_t u = 0; u < posts; ++u)
    for (unsigned bits = edges[u] & 0xff; bits != 0; bits &= bits - 1) {
      const int d = __builtin_ctz(bits);
      const size_t v = size_t(int64_t(u) + stepY[d] * int64_t(window.width) + stepX[d]);
      if (edges[v] >> opposite(d) & 1) continue;
      edges[u] = uint16_t(edges[u] | 1 << (8 + d));
      incoming[v] = uint8_t(((incoming[v] & 0x0f) + 1) | d << 4 | (incoming[v] & cornerBit));
    }
  for (size_t u = 0; u < posts; ++u) {
    const unsigned along = edges[u] >> 8, in = incoming[u] & 0x0f;
    if (in == 0 && along == 0) {
      if (incoming[u] & cornerBit) corners.push_back(int32_t(u)); // a fixed post inside the region
      continue;
    }
    if (in != 1 || along != 1u << (incoming[u] >> 4 & 7)) incoming[u] |= cornerBit;
    if (incoming[u] & cornerBit) corners.push_back(int32_t(u));
  }
  for (const int32_t c : corners)
    for (unsigned bits = edges[size_t(c)] >> 8; bits != 0; bits &= bits - 1) {
      const int d = __builtin_ctz(bits);
      int32_t v = c;
      size_t steps = 0;
      do v += stepY[d] * window.width + stepX[d];
      while (!(incoming[size_t(v)] & cornerBit) && ++steps < posts);
      if (!(incoming[size_t(v)] & cornerBit)) return false;
      runs.emplace_back(c, v);
    }
  return true;
}

int32_t GreedyMesher::addVertex(int32_t post, int32_t near, std::vector<int32_t> & touched)
{
  const Point p = pointOf(post);
  const int32_t t = triangulation.locate(p, near);
  if (t < 0) return -1;
  postOfVertex.push_back(post);
  const int32_t v = triangulation.insertIn(t, p, touched);
  vertexOfPost[size_t(post)] = v;
  return v;
}

bool GreedyMesher::start(const std::vector<int32_t> & region, const std::vector<int32_t> & fixed)
{
  const int32_t posts = int32_t(vertexOfPost.size());
  for (size_t i = 0; i + 2 < region.size(); i += 3) {
    const int32_t a = region[i], b = region[i + 1], c = region[i + 2];
    if (std::min({a, b, c}) < 0 || std::max({a, b, c}) >= posts) return false;
    const int64_t o = GridTriangulation::orient(pointOf(a), pointOf(b), pointOf(c));
    if (o == 0) return false; // no cell's triangle
    if (i == 0) turned = o < 0;
    if ((o < 0) != turned) return false;
  }
  std::vector<int32_t> corners;
  std::vector<std::pair<int32_t, int32_t>> runs;
  if (region.size() < 3 || !outline(region, fixed, corners, runs)) return false;
  std::vector<int32_t> touched;
  int32_t near = 0;
  for (const int32_t c : corners) {
    touched.clear();
    if (addVertex(c, near, touched) < 0) return false;
    near = touched.front();
  }
  for (const auto & run : runs)
    if (!triangulation.constrain(vertexOfPost[size_t(run.first)], vertexOfPost[size_t(run.second)])) return false;
  for (const auto & run : runs) {
    int k = 0;
    const int32_t t = triangulation.triangleLeftOf(vertexOfPost[size_t(run.first)], vertexOfPost[size_t(run.second)], k);
    if (t < 0) return false;
    if (!triangulation.marked(t)) triangulation.markFrom(t);
  }
  stamps.assign(size_t(triangulation.numTriangles()), 0);
  regionTriangles = 0;
  for (int32_t t = 0; t < triangulation.numTriangles(); ++t)
    if (triangulation.marked(t)) {
      ++regionTriangles;
      scan(t);
    }
  return true;
}

// Puts the triangle's worst post on the heap: the farthest from its plane; of posts alike, the
// nearest its centre, so that flat ground is split evenly.
void GreedyMesher::scan(int32_t t)
{
  Point c[3];
  double z[3];
  int32_t cornerPost[3];
  for (int k = 0; k < 3; ++k) {
    cornerPost[k] = postOfVertex[size_t(triangulation.corner(t, k))];
    c[k] = pointOf(cornerPost[k]);
    z[k] = heightOf(cornerPost[k]);
  }
  const Interpolation surface(c, z);
  const int64_t sx = int64_t(c[0].x) + c[1].x + c[2].x, sy = int64_t(c[0].y) + c[1].y + c[2].y;
  Candidate best = {-1.0, bySize ? surface.area : 0, t, stamps[size_t(t)], -1};
  // Distances are compared times the triangle's doubled area, which spares a division a post.
  const double area = double(surface.area);
  double bestScaled = -1.0;
  int64_t bestSpread = 0;
  forEachRowIn(c, 0, window.width - 1, 0, window.height - 1, [&](int32_t y, int32_t x0, int32_t x1) {
    const float * heights = window.heights + int64_t(y) * window.width;
    // The row's largest distance first, in a loop without branches; only a row that may hold
    // the worst post is walked again, exactly, post by post.
    double at = 0.0, step = 0.0, rowLargest = -1.0;
    surface.numerator(x0, y, at, step);
    for (int32_t x = x0; x <= x1; ++x, at += step)
      rowLargest = std::max(rowLargest, std::fabs(at - double(heights[x]) * area));
    if (rowLargest * (1.0 + 1e-12) < bestScaled) return;
    surface.row(y, x0, x1, [&](int32_t x, double numerator) {
      const double scaled = std::fabs(numerator - double(heights[x]) * area);
      if (!(scaled >= bestScaled)) return; // smaller, or no post (NaN)
      const int32_t post = y * window.width + x;
      if (post == cornerPost[0] || post == cornerPost[1] || post == cornerPost[2]) return;
      const int64_t dx = 3 * int64_t(x) - sx, dy = 3 * int64_t(y) - sy, spread = dx * dx + dy * dy;
      if (scaled > bestScaled || spread < bestSpread) {
        bestScaled = scaled;
        best.post = post;
        bestSpread = spread;
      }
    });
  });
  best.error = bestScaled / area;
  if (best.post >= 0) push(best);
}

// The post nearest the triangle's centre that is no corner of it, or -1: the rounded centre
// where it lies in the triangle, found by a scan otherwise.
int32_t GreedyMesher::postNearestCentre(int32_t t) const
{
  Point c[3];
  int32_t cornerPost[3];
  for (int k = 0; k < 3; ++k) {
    cornerPost[k] = postOfVertex[size_t(triangulation.corner(t, k))];
    c[k] = pointOf(cornerPost[k]);
  }
  const int64_t sx = int64_t(c[0].x) + c[1].x + c[2].x, sy = int64_t(c[0].y) + c[1].y + c[2].y;
  const Point centre = {int32_t(floorDiv(2 * sx + 3, 6)), int32_t(floorDiv(2 * sy + 3, 6))};
  bool inside = true;
  for (int k = 0; k < 3; ++k) inside = inside && GridTriangulation::orient(c[k], c[k == 2 ? 0 : k + 1], centre) >= 0;
  const int32_t rounded = centre.y * window.width + centre.x;
  if (inside && rounded != cornerPost[0] && rounded != cornerPost[1] && rounded != cornerPost[2] &&
      !std::isnan(heightOf(rounded)))
    return rounded;
  int32_t best = -1;
  int64_t bestSpread = 0;
  forEachRowIn(c, 0, window.width - 1, 0, window.height - 1, [&](int32_t y, int32_t x0, int32_t x1) {
    for (int32_t x = x0; x <= x1; ++x) {
      const int32_t post = y * window.width + x;
      const int64_t dx = 3 * int64_t(x) - sx, dy = 3 * int64_t(y) - sy, spread = dx * dx + dy * dy;
      if ((best >= 0 && spread >= bestSpread) || post == cornerPost[0] || post == cornerPost[1] ||
          post == cornerPost[2] || std::isnan(heightOf(post)))
        continue;
      best = post;
      bestSpread = spread;
    }
  });
  return best;
}

// Whether vertex d's post lies on the plane of a, b and c, exactly as the interpolation gives it.
bool GreedyMesher::inOnePlane(const void * self, int32_t a, int32_t b, int32_t c, int32_t d)
{
  const GreedyMesher & m = *static_cast<const GreedyMesher *>(self);
  // A corner of the frame round the window has no post: both triangles lie outside the region
  // (no constraint parts them), so the flip changes nothing there.
  for (const int32_t v : {a, b, c, d})
    if (m.postOfVertex[size_t(v)] < 0) return true;
  Point p[3];
  double z[3];
  const int32_t corners[3] = {a, b, c};
  for (int k = 0; k < 3; ++k) {
    const int32_t post = m.postOfVertex[size_t(corners[k])];
    p[k] = m.pointOf(post);
    z[k] = m.heightOf(post);
  }
  const Interpolation surface(p, z);
  const int32_t post = m.postOfVertex[size_t(d)];
  const Point q = m.pointOf(post);
  bool same = false;
  surface.row(q.y, q.x, q.x,
              [&](int32_t, double numerator) { same = numerator == m.heightOf(post) * double(surface.area); });
  return same;
}

void GreedyMesher::push(const Candidate & candidate)
{
  heap.push_back(candidate);
  std::push_heap(heap.begin(), heap.end());
}

// Inserts the post in triangle t and puts the triangles it made or flipped back in line.
void GreedyMesher::insert(int32_t t, int32_t post, std::vector<int32_t> & touched)
{
  touched.clear();
  const int32_t before = triangulation.numTriangles();
  // The new vertex's post is known before the flips that follow its insertion look at it.
  postOfVertex.push_back(post);
  vertexOfPost[size_t(post)] = triangulation.insertIn(t, pointOf(post), touched);
  stamps.resize(size_t(triangulation.numTriangles()), 0);
  for (int32_t u = before; u < triangulation.numTriangles(); ++u) regionTriangles += triangulation.marked(u);
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  for (const int32_t u : touched) {
    ++stamps[size_t(u)];
    if (!triangulation.marked(u)) continue;
    if (flat) inLine.emplace_back(u, stamps[size_t(u)]);
    else scan(u);
  }
}

// Meshing to a count past the point where every post lies on the surface: what goes in now
// changes nothing, so triangles are split in turn, largest first, at the post nearest their
// centre, and a flip is made only where it changes nothing either (its four corners in one
// plane).
void GreedyMesher::fillFlat(int64_t targetTriangles, std::vector<int32_t> & touched)
{
  flat = true;
  triangulation.setFlipRule(&GreedyMesher::inOnePlane, this);
  // Largest first of those waiting, then in line.
  std::sort_heap(heap.begin(), heap.end());
  inLine.reserve(heap.size() + size_t(std::max<int64_t>(0, targetTriangles - regionTriangles)) * 3);
  for (auto it = heap.rbegin(); it != heap.rend(); ++it)
    if (it->stamp == stamps[size_t(it->triangle)]) inLine.emplace_back(it->triangle, it->stamp);
  std::vector<Candidate>().swap(heap);
  for (size_t next = 0; regionTriangles < targetTriangles && next < inLine.size(); ++next) {
    const auto [t, stamp] = inLine[next];
    if (stamp != stamps[size_t(t)]) continue;
    const int32_t post = postNearestCentre(t);
    if (post >= 0) insert(t, post, touched);
  }
}

void GreedyMesher::run(const GridLimits & limits)
{
  const bool bounded = std::isfinite(limits.maxError);
  std::vector<int32_t> touched;
  // Room for the points a run is likely to insert, and a tenth more.
  const int64_t expected = std::min<int64_t>(
    bounded ? int64_t(vertexOfPost.size()) / 8 : limits.targetTriangles / 2 * 11 / 10, int64_t(vertexOfPost.size()));
  triangulation.reserve(size_t(expected));
  stamps.reserve(size_t(2 * expected + triangulation.numTriangles()));
  heap.reserve(size_t(2 * expected));
  while (!heap.empty()) {
    const Candidate top = heap.front();
    if (bounded ? top.error <= limits.maxError : regionTriangles >= limits.targetTriangles) break;
    if (!bounded && top.error == 0.0) return fillFlat(limits.targetTriangles, touched);
    std::pop_heap(heap.begin(), heap.end());
    heap.pop_back();
    if (top.stamp == stamps[size_t(top.triangle)]) insert(top.triangle, top.post, touched);
  }
}

void GreedyMesher::output(GridMesh & mesh) const
{
  mesh.triangles.clear();
  for (int32_t t = 0; t < triangulation.numTriangles(); ++t) {
    if (!triangulation.marked(t)) continue;
    const int32_t a = postOfVertex[size_t(triangulation.corner(t, 0))];
    const int32_t b = postOfVertex[size_t(triangulation.corner(t, 1))];
    const int32_t c = postOfVertex[size_t(triangulation.corner(t, 2))];
    mesh.triangles.insert(mesh.triangles.end(), {a, turned ? c : b, turned ? b : c});
  }
}

} // namespace

bool meshRegion(const PostWindow & window, const std::vector<int32_t> & region,
                const std::vector<int32_t> & fixed, const GridLimits & limits, GridMesh & mesh)
{
  if (window.width < 1 || window.height < 1 || window.heights == nullptr) return false;
  GreedyMesher mesher(window);
  mesher.bySize = !std::isfinite(limits.maxError);
  if (!mesher.start(region, fixed)) return false;
  mesher.run(limits);
  mesher.output(mesh);
  return true;
}

GridError strictErrorOf(const PostWindow & window, const int32_t * triangles, size_t numTriangles)
{
  GridError result;
  std::vector<float> worst(size_t(window.width) * size_t(window.height), -1.0f);
  for (size_t i = 0; i < numTriangles; ++i) {
    Point c[3];
    double z[3];
    for (int k = 0; k < 3; ++k) {
      const int32_t post = triangles[3 * i + size_t(k)];
      c[k] = {post % window.width, post / window.width};
      z[k] = window.heights[size_t(post)];
    }
    const int64_t area = GridTriangulation::orient(c[0], c[1], c[2]);
    if (area == 0) {
      result.largest = std::numeric_limits<double>::infinity();
      continue;
    }
    if (area < 0) {
      std::swap(c[1], c[2]);
      std::swap(z[1], z[2]);
    }
    const Interpolation surface(c, z);
    forEachRowIn(c, 0, window.width - 1, 0, window.height - 1, [&](int32_t y, int32_t x0, int32_t x1) {
      surface.row(y, x0, x1, [&](int32_t x, double numerator) {
        const size_t post = size_t(y) * size_t(window.width) + size_t(x);
        const double h = window.heights[post];
        if (std::isnan(h)) return;
        const double error = std::fabs(numerator - h * double(surface.area)) / double(surface.area);
        result.largest = std::max(result.largest, error);
        worst[post] = std::max(worst[post], float(error));
      });
    });
  }
  for (const float e : worst)
    if (e >= 0.0f) {
      result.sumSquares += double(e) * e;
      ++result.posts;
    }
  return result;
}
