// Greedy insertion over scattered posts: the posts sorted row by row, a triangle's posts found
// by walking its rows (each row's span exact, from its edges), a heap of every triangle's worst
// post, and only the triangles an insertion makes or flips scanned again. Then a check of the
// whole (crossings of the children's edges) inserts what still lies too far, until nothing does.

#include "surfacemesher.h"

#include "gridtriangulation.h"
#include "trianglerows.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

using Point = GridTriangulation::Point;

int next(int k) { return k == 2 ? 0 : k + 1; }

struct Candidate {
  double error;
  int32_t triangle;
  uint32_t stamp;
  int32_t point;
  bool operator<(const Candidate & o) const
  {
    return error != o.error ? error < o.error : triangle > o.triangle;
  }
};

// The tile's four border lines: which of them a post lies on (bits west, east, south, north).
unsigned bordersOf(const SurfacePoint & p, int32_t width, int32_t height)
{
  return (p.x == 0 ? 1u : 0u) | (p.x == width ? 2u : 0u) | (p.y == 0 ? 4u : 0u) | (p.y == height ? 8u : 0u);
}

// How far a post lies from the chord between two others, vertically: the shift along its
// vertical that brings it closest to the chord's line.
double distanceToChord(const SurfacePoint & p, const SurfacePoint & a, const SurfacePoint & b)
{
  double d[3], w[3], n[3];
  for (int k = 0; k < 3; ++k) {
    d[k] = b.at[k] - a.at[k];
    w[k] = p.at[k] - a.at[k];
    n[k] = p.up[k];
  }
  const double dd = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
  const double wd = (w[0] * d[0] + w[1] * d[1] + w[2] * d[2]) / dd, nd = (n[0] * d[0] + n[1] * d[1] + n[2] * d[2]) / dd;
  double wn = 0.0, nn = 0.0;
  for (int k = 0; k < 3; ++k) {
    const double wk = w[k] - wd * d[k], nk = n[k] - nd * d[k];
    wn += wk * nk;
    nn += nk * nk;
  }
  return nn > 0.0 ? std::fabs(wn / nn) : 0.0;
}

class SurfaceMesher {
public:
  explicit SurfaceMesher(const SurfaceInput & input)
    : in(input), triangulation(-1, -1, input.width + 1, input.height + 1), vertexOfPoint(input.points.size(), -1),
      excluded(input.points.size(), 0)
  {
    pointOfVertex.assign(4, -1);
  }

  bool start(std::string & reason);
  void run(void);
  void output(SurfaceMesh & mesh) const;

private:
  Point pointOf(int32_t p) const { return {in.points[size_t(p)].x, in.points[size_t(p)].y}; }
  const SurfacePoint & at(int32_t p) const { return in.points[size_t(p)]; }
  int32_t cornerPoint(int32_t t, int k) const { return pointOfVertex[size_t(triangulation.corner(t, k))]; }
  bool insertable(int32_t p) const { return vertexOfPoint[size_t(p)] < 0 && !excluded[size_t(p)]; }
  void sortRows(void);
  bool outline(std::vector<int32_t> & corners, std::vector<std::vector<int32_t>> & runs, std::string & reason) const;
  void simplifyBorder(const std::vector<int32_t> & run, std::vector<int32_t> & kept) const;
  int32_t addVertex(int32_t p, int32_t near);
  int32_t holding(int32_t p);
  void scan(int32_t t);
  void scanAll(void);
  void insert(int32_t t, int32_t p);
  void greedy(void);
  double measure(bool fix);
  void fixEdge(int32_t u, int32_t v);
  double walkEdge(int32_t u, int32_t v, bool & stuck);
  double crossingError(int32_t u, int32_t v, int32_t a, int32_t b) const;

  const SurfaceInput & in;
  GridTriangulation triangulation;
  std::vector<int32_t> vertexOfPoint, pointOfVertex;
  std::vector<uint8_t> excluded; // on the border and left out of it: never a vertex
  // The posts row by row (south to north), west to east in a row: rowStart[y] is the first of
  // row y in sorted; their places and verticals in that order, for scans that run along rows.
  std::vector<int32_t> rowStart, sorted, sortedX;
  static constexpr int32_t stretch = 32; // lattice columns a stretch of a row
  int32_t stretches = 0;
  std::vector<int32_t> stretchStart;
  std::vector<double> sortedAt;
  std::vector<float> sortedUp;
  std::vector<uint32_t> stamps;
  std::vector<double> farthest; // each triangle's farthest post, border posts left out included
  std::vector<Candidate> heap;
  std::vector<int32_t> touched;
  std::vector<int32_t> toInsert;
  std::vector<std::pair<int32_t, int32_t>> toConstrain;
  std::vector<std::pair<int32_t, int32_t>> childEdges; // each edge of the children once
  std::vector<double> edgeError;                      // as last measured
  std::vector<uint8_t> changed;                       // triangles changed since then
  int32_t recent = 0;                                 // a triangle to start walks from
  double largest = 0.0;
};

void SurfaceMesher::sortRows(void)
{
  const size_t n = in.points.size();
  rowStart.assign(size_t(in.height) + 2, 0);
  for (const SurfacePoint & p : in.points) ++rowStart[size_t(p.y) + 1];
  for (size_t y = 1; y < rowStart.size(); ++y) rowStart[y] += rowStart[y - 1];
  sorted.assign(n, -1);
  std::vector<int32_t> fill(rowStart.begin(), rowStart.end() - 1);
  for (size_t p = 0; p < n; ++p) sorted[size_t(fill[size_t(in.points[p].y)]++)] = int32_t(p);
  for (int32_t y = 0; y <= in.height; ++y)
    std::sort(sorted.begin() + rowStart[size_t(y)], sorted.begin() + rowStart[size_t(y) + 1],
              [this](int32_t a, int32_t b) { return in.points[size_t(a)].x < in.points[size_t(b)].x; });
  // Where each stretch of a row begins: the first post at or east of it.
  stretches = in.width / stretch + 1;
  stretchStart.assign(size_t(in.height + 1) * size_t(stretches), 0);
  for (int32_t y = 0; y <= in.height; ++y) {
    int32_t i = rowStart[size_t(y)];
    for (int32_t k = 0; k < stretches; ++k) {
      while (i < rowStart[size_t(y) + 1] && in.points[size_t(sorted[size_t(i)])].x < k * stretch) ++i;
      stretchStart[size_t(y) * size_t(stretches) + size_t(k)] = i;
    }
  }
  sortedX.resize(n);
  sortedAt.resize(3 * n);
  sortedUp.resize(3 * n);
  for (size_t i = 0; i < n; ++i) {
    const SurfacePoint & p = in.points[size_t(sorted[i])];
    sortedX[i] = p.x;
    std::copy(p.at, p.at + 3, &sortedAt[3 * i]);
    std::copy(p.up, p.up + 3, &sortedUp[3 * i]);
  }
}

// The outline of the children's triangles: their edges that no triangle shares the other way
// round, the region on their left. Corners are where it turns, branches, reaches a corner of the
// tile or a post to keep on the border; runs are the straight stretches between corners.
bool SurfaceMesher::outline(std::vector<int32_t> & corners, std::vector<std::vector<int32_t>> & runs,
                            std::string & reason) const
{
  const size_t n = in.points.size();
  // Every post's edges out, in one list by post.
  std::vector<int32_t> first(n + 1, 0), targets(in.triangles.size());
  for (size_t i = 0; i + 2 < in.triangles.size(); i += 3)
    for (int k = 0; k < 3; ++k) ++first[size_t(in.triangles[i + size_t(k)]) + 1];
  for (size_t v = 1; v <= n; ++v) first[v] += first[v - 1];
  {
    std::vector<int32_t> fill(first.begin(), first.end() - 1);
    for (size_t i = 0; i + 2 < in.triangles.size(); i += 3)
      for (int k = 0; k < 3; ++k)
        targets[size_t(fill[size_t(in.triangles[i + size_t(k)])]++)] = in.triangles[i + size_t(next(k))];
  }
  const auto hasEdge = [&](int32_t a, int32_t b) {
    for (int32_t i = first[size_t(a)]; i < first[size_t(a) + 1]; ++i)
      if (targets[size_t(i)] == b) return true;
    return false;
  };
  std::vector<int32_t> outTarget(n, -1), inSource(n, -1);
  std::vector<uint8_t> outCount(n, 0), inCount(n, 0);
  for (size_t a = 0; a < n; ++a)
    for (int32_t i = first[a]; i < first[a + 1]; ++i) {
      const int32_t b = targets[size_t(i)];
      for (int32_t j = first[a]; j < i; ++j)
        if (targets[size_t(j)] == b) return reason = "two of the children's triangles overlap", false;
      if (hasEdge(b, int32_t(a))) continue;
      outTarget[a] = b;
      inSource[size_t(b)] = int32_t(a);
      outCount[a] = uint8_t(std::min(outCount[a] + 1, 9));
      inCount[size_t(b)] = uint8_t(std::min(inCount[size_t(b)] + 1, 9));
    }
  std::vector<uint8_t> isCorner(n, 0);
  for (size_t v = 0; v < n; ++v) {
    if (outCount[v] == 0 && inCount[v] == 0) continue;
    const SurfacePoint & p = in.points[v];
    const bool tileCorner = (p.x == 0 || p.x == in.width) && (p.y == 0 || p.y == in.height);
    bool corner = outCount[v] != 1 || inCount[v] != 1 || tileCorner || (p.keep && bordersOf(p, in.width, in.height));
    if (!corner) corner = GridTriangulation::orient(pointOf(inSource[v]), pointOf(int32_t(v)), pointOf(outTarget[v])) != 0;
    if (corner) {
      isCorner[v] = 1;
      corners.push_back(int32_t(v));
    }
  }
  // Each run from a corner along its edges out, to the next corner. A post with two edges out
  // (the outline touching itself) is a corner, so between corners the single edge out leads on.
  for (const int32_t c : corners)
    for (int32_t i = first[size_t(c)]; i < first[size_t(c) + 1]; ++i) {
      const int32_t b = targets[size_t(i)];
      if (hasEdge(b, c)) continue;
      std::vector<int32_t> run = {c, b};
      while (!isCorner[size_t(run.back())]) {
        run.push_back(outTarget[size_t(run.back())]);
        if (run.size() > n + 1) return reason = "the children's outline does not close", false;
      }
      runs.push_back(std::move(run));
    }
  return true;
}

// Keeps the posts of a stretch of border that the chord between its ends would pass too far
// from, by halving (the farthest first), in the order of the posts along the line, so that
// the tile on either side keeps the same ones.
void SurfaceMesher::simplifyBorder(const std::vector<int32_t> & run, std::vector<int32_t> & kept) const
{
  std::vector<int32_t> line = run;
  const bool alongX = at(run.front()).y == at(run.back()).y;
  std::sort(line.begin(), line.end(), [&](int32_t a, int32_t b) {
    return alongX ? at(a).x < at(b).x : at(a).y < at(b).y;
  });
  std::vector<uint8_t> keep(line.size(), 0);
  keep.front() = keep.back() = 1;
  std::vector<std::pair<size_t, size_t>> spans = {{0, line.size() - 1}};
  while (!spans.empty()) {
    const auto [i, j] = spans.back();
    spans.pop_back();
    double worst = in.borderTolerance;
    size_t farthest = 0;
    for (size_t k = i + 1; k < j; ++k) {
      const double d = distanceToChord(at(line[k]), at(line[i]), at(line[j]));
      if (d > worst) {
        worst = d;
        farthest = k;
      }
    }
    if (farthest == 0) continue;
    keep[farthest] = 1;
    spans.push_back({i, farthest});
    spans.push_back({farthest, j});
  }
  for (size_t k = 0; k < line.size(); ++k)
    if (keep[k]) kept.push_back(line[k]);
}

int32_t SurfaceMesher::addVertex(int32_t p, int32_t near)
{
  if (vertexOfPoint[size_t(p)] >= 0) return vertexOfPoint[size_t(p)];
  const int32_t t = triangulation.locate(pointOf(p), near);
  if (t < 0) return -1;
  touched.clear();
  pointOfVertex.push_back(p);
  const int32_t v = triangulation.insertIn(t, pointOf(p), touched);
  vertexOfPoint[size_t(p)] = v;
  return v;
}

// A marked triangle whose closure holds the post (one beside the outline may be found first
// from outside).
int32_t SurfaceMesher::holding(int32_t p)
{
  const Point q = pointOf(p);
  int32_t t = triangulation.locate(q, recent);
  if (t >= 0 && !triangulation.marked(t))
    for (int k = 0; k < 3; ++k) {
      const int32_t u = triangulation.neighbour(t, k);
      if (u >= 0 && triangulation.marked(u) &&
          GridTriangulation::orient(triangulation.point(triangulation.corner(t, k)),
                                    triangulation.point(triangulation.corner(t, next(k))), q) == 0) {
        t = u;
        break;
      }
    }
  if (t >= 0) recent = t;
  return t;
}

bool SurfaceMesher::start(std::string & reason)
{
  std::vector<int32_t> corners;
  std::vector<std::vector<int32_t>> runs;
  if (in.triangles.size() < 3 || !outline(corners, runs, reason)) {
    if (reason.empty()) reason = "the children have no triangle";
    return false;
  }
  if (in.overlay)
    for (size_t i = 0; i + 2 < in.triangles.size(); i += 3)
      for (int k = 0; k < 3; ++k) {
        // Each once, from its smaller end; those along the outline lie on the tile's own.
        const int32_t u = in.triangles[i + size_t(k)], v = in.triangles[i + size_t(next(k))];
        if (u < v) childEdges.emplace_back(u, v);
      }
  // Row by row, so that each walk starts near where the last one ended.
  std::sort(childEdges.begin(), childEdges.end(), [this](const std::pair<int32_t, int32_t> & a, const std::pair<int32_t, int32_t> & b) {
    const SurfacePoint & p = at(a.first), & q = at(b.first);
    return p.y != q.y ? p.y < q.y : p.x != q.x ? p.x < q.x : a.second < b.second;
  });
  sortRows();
  triangulation.reserve(in.points.size() / 4 + corners.size());
  // Stretches of the tile's border keep what the border alone decides; the rest of the outline
  // keeps its corners, its straight stretches constrained whole.
  std::vector<std::pair<int32_t, int32_t>> segments;
  int32_t near = 0;
  for (const int32_t c : corners) {
    if (addVertex(c, near) < 0) return reason = "a corner of the outline lies outside the tile", false;
    near = triangulation.triangleAt(vertexOfPoint[size_t(c)]);
  }
  for (const auto & run : runs) {
    const unsigned line = bordersOf(at(run.front()), in.width, in.height) & bordersOf(at(run.back()), in.width, in.height);
    bool onBorder = line != 0;
    for (const int32_t p : run) onBorder = onBorder && (bordersOf(at(p), in.width, in.height) & line);
    if (!onBorder || run.size() == 2) {
      segments.emplace_back(run.front(), run.back());
      continue;
    }
    std::vector<int32_t> kept;
    simplifyBorder(run, kept);
    for (const int32_t p : run) excluded[size_t(p)] = 1;
    for (const int32_t p : kept) {
      excluded[size_t(p)] = 0;
      if (addVertex(p, near) < 0) return reason = "a border post lies outside the tile", false;
    }
    // The stretch in its own direction, the region on its left.
    if (kept.front() != run.front()) std::reverse(kept.begin(), kept.end());
    for (size_t i = 0; i + 1 < kept.size(); ++i) segments.emplace_back(kept[i], kept[i + 1]);
  }
  for (const auto & s : segments)
    if (!triangulation.constrain(vertexOfPoint[size_t(s.first)], vertexOfPoint[size_t(s.second)]))
      return reason = "the children's outline crosses itself", false;
  for (const auto & s : segments) {
    int k = 0;
    const int32_t t = triangulation.triangleLeftOf(vertexOfPoint[size_t(s.first)], vertexOfPoint[size_t(s.second)], k);
    if (t < 0) return reason = "an edge of the outline is missing", false;
    if (!triangulation.marked(t)) triangulation.markFrom(t);
  }
  scanAll();
  return true;
}

// Scans every marked triangle afresh, the heap rebuilt.
void SurfaceMesher::scanAll(void)
{
  heap.clear();
  stamps.resize(size_t(triangulation.numTriangles()), 0);
  for (uint32_t & stamp : stamps) ++stamp;
  farthest.assign(size_t(triangulation.numTriangles()), 0.0);
  for (int32_t t = 0; t < triangulation.numTriangles(); ++t)
    if (triangulation.marked(t)) scan(t);
}

// The triangle's posts by its rows: the farthest from its plane noted, and the farthest of those
// it may take pushed where it lies beyond the tolerance.
void SurfaceMesher::scan(int32_t t)
{
  Point c[3];
  int32_t cornerPost[3];
  for (int k = 0; k < 3; ++k) {
    cornerPost[k] = cornerPoint(t, k);
    c[k] = pointOf(cornerPost[k]);
  }
  const double * a = at(cornerPost[0]).at, * b = at(cornerPost[1]).at, * d = at(cornerPost[2]).at;
  const double u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]}, v[3] = {d[0] - a[0], d[1] - a[1], d[2] - a[2]};
  const double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
  Candidate best = {in.tolerance, t, stamps[size_t(t)], -1};
  double far = 0.0;
  // Corners on one place (posts of a row at a pole) make no triangle: every post it holds in
  // the lattice is infinitely far from it.
  const bool flat = n[0] == 0.0 && n[1] == 0.0 && n[2] == 0.0;
  forEachRowIn(c, INT64_MIN, INT64_MAX, 0, in.height, [&](int32_t y, int32_t x0, int32_t x1) {
    const int32_t begin = rowStart[size_t(y)], end = rowStart[size_t(y) + 1];
    if (begin == end) return;
    // A whole row of posts is found by its numbers; a row with gaps from its stretch's start.
    int32_t i;
    if (sortedX[size_t(end - 1)] - sortedX[size_t(begin)] == end - begin - 1) {
      i = begin + std::max(0, x0 - sortedX[size_t(begin)]);
    } else {
      i = stretchStart[size_t(y) * size_t(stretches) + size_t(std::max(0, x0) / stretch)];
      while (i < end && sortedX[size_t(i)] < x0) ++i;
    }
    for (; i < end && sortedX[size_t(i)] <= x1; ++i) {
      const double * p = &sortedAt[3 * size_t(i)];
      const float * up = &sortedUp[3 * size_t(i)];
      const double num = (a[0] - p[0]) * n[0] + (a[1] - p[1]) * n[1] + (a[2] - p[2]) * n[2];
      const double den = double(up[0]) * n[0] + double(up[1]) * n[1] + double(up[2]) * n[2];
      const double e = flat ? HUGE_VAL : std::fabs(num / den);
      if (!(e > far) && !(e > best.error)) continue;
      const int32_t post = sorted[size_t(i)];
      if (vertexOfPoint[size_t(post)] >= 0) continue;
      far = std::max(far, e);
      if (excluded[size_t(post)]) continue;
      if (e > best.error || (e == best.error && best.point >= 0 && post < best.point)) {
        best.error = e;
        best.point = post;
      }
    }
  });
  farthest[size_t(t)] = far;
  if (best.point < 0) return;
  heap.push_back(best);
  std::push_heap(heap.begin(), heap.end());
}

// Inserts a post of triangle t and scans the triangles it made or flipped.
void SurfaceMesher::insert(int32_t t, int32_t p)
{
  touched.clear();
  pointOfVertex.push_back(p);
  vertexOfPoint[size_t(p)] = triangulation.insertIn(t, pointOf(p), touched);
  const size_t count = size_t(triangulation.numTriangles());
  stamps.resize(count, 0);
  farthest.resize(count, 0.0);
  changed.resize(count, 0);
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  for (const int32_t u : touched) {
    ++stamps[size_t(u)];
    changed[size_t(u)] = 1;
    farthest[size_t(u)] = 0.0;
    if (triangulation.marked(u)) scan(u);
  }
  recent = touched.front();
}

void SurfaceMesher::greedy(void)
{
  while (!heap.empty()) {
    const Candidate top = heap.front();
    std::pop_heap(heap.begin(), heap.end());
    heap.pop_back();
    if (top.stamp != stamps[size_t(top.triangle)] || vertexOfPoint[size_t(top.point)] >= 0) continue;
    insert(top.triangle, top.point);
  }
}

// The distance between the tile's surface and a child's where the child's edge u-v crosses the
// tile's edge a-b: both interpolated to the crossing, compared along the vertical there.
double SurfaceMesher::crossingError(int32_t u, int32_t v, int32_t a, int32_t b) const
{
  const Point pu = pointOf(u), pv = pointOf(v), pa = pointOf(a), pb = pointOf(b);
  const double au = double(GridTriangulation::orient(pa, pb, pu)), av = double(GridTriangulation::orient(pa, pb, pv));
  const double ua = double(GridTriangulation::orient(pu, pv, pa)), ub = double(GridTriangulation::orient(pu, pv, pb));
  const double s = au / (au - av), r = ua / (ua - ub);
  double child[3], tile[3], up[3], length = 0.0;
  for (int k = 0; k < 3; ++k) {
    child[k] = at(u).at[k] + s * (at(v).at[k] - at(u).at[k]);
    tile[k] = at(a).at[k] + r * (at(b).at[k] - at(a).at[k]);
    up[k] = double(at(u).up[k]) + s * (double(at(v).up[k]) - double(at(u).up[k]));
    length += up[k] * up[k];
  }
  length = std::sqrt(length);
  if (false) fprintf(stderr, "  cross u %d (%d,%d) v %d (%d,%d) a %d (%d,%d) b %d (%d,%d) s %.4f r %.4f\n", u, pu.x, pu.y, v, pv.x, pv.y, a, pa.x, pa.y, b, pb.x, pb.y, s, r);
  return std::fabs(((child[0] - tile[0]) * up[0] + (child[1] - tile[1]) * up[1] + (child[2] - tile[2]) * up[2]) / length);
}

// Walks the child's edge from post u to post v through the tile's triangles; the largest
// distance where it crosses their edges. stuck: the walk lost its way (it should not).
double SurfaceMesher::walkEdge(int32_t u, int32_t v, bool & stuck)
{
  const Point pu = pointOf(u), pv = pointOf(v);
  const auto point = [&](int32_t t, int k) { return triangulation.point(triangulation.corner(t, k)); };
  const auto holds = [&](int32_t t) {
    for (int k = 0; k < 3; ++k)
      if (GridTriangulation::orient(point(t, k), point(t, next(k)), pv) < 0) return false;
    return true;
  };
  // Into the triangle across edge k of t; into: the edge it came in by.
  const auto crossEdge = [&](int32_t & t, int k, int32_t & into) {
    const int32_t across = triangulation.neighbour(t, k);
    if (across < 0) return false;
    into = triangulation.edgeTowards(across, t);
    t = across;
    return true;
  };
  double worst = 0.0;
  int32_t t = -1, entry = -1;
  const int32_t vu = vertexOfPoint[size_t(u)];
  if (vu >= 0) {
    // The triangle about u whose corner there opens towards v.
    int32_t first = triangulation.triangleAt(vu), r = first;
    for (int step = 0; step < 4096; ++step) {
      int k = 0;
      while (triangulation.corner(r, k) != vu) ++k;
      const Point b = point(r, next(k)), c = point(r, next(next(k)));
      const int64_t ob = GridTriangulation::orient(pu, b, pv), oc = GridTriangulation::orient(pu, c, pv);
      const auto along = [&](const Point & q) {
        return (int64_t(q.x) - pu.x) * (int64_t(pv.x) - pu.x) + (int64_t(q.y) - pu.y) * (int64_t(pv.y) - pu.y) > 0;
      };
      if ((ob == 0 && along(b)) || (oc == 0 && along(c))) return 0.0; // along an edge of the tile
      if (ob > 0 && oc < 0) {
        if (holds(r)) return 0.0;
        t = r;
        const int e = next(k); // the edge opposite u
        worst = std::max(worst, crossingError(u, v, pointOfVertex[size_t(triangulation.corner(t, e))],
                                              pointOfVertex[size_t(triangulation.corner(t, next(e)))]));
        if (!crossEdge(t, e, entry)) return stuck = true, worst;
        break;
      }
      r = triangulation.neighbour(r, next(next(k)));
      if (r < 0 || r == first) return stuck = true, worst;
    }
    if (t < 0) return stuck = true, worst;
  } else {
    t = holding(u);
    if (t < 0) return stuck = true, worst;
    // From inside (or on an edge of) the triangle that holds u: out through the edge v lies
    // beyond that the segment meets.
    for (int step = 0; step < 8 && entry < 0; ++step) {
      if (holds(t)) return worst;
      int exit = -1;
      bool onEdge = false;
      for (int k = 0; k < 3 && exit < 0; ++k) {
        const Point a = point(t, k), b = point(t, next(k));
        if (GridTriangulation::orient(a, b, pv) >= 0) continue;
        const int64_t oa = GridTriangulation::orient(pu, pv, a), ob = GridTriangulation::orient(pu, pv, b);
        if ((oa > 0 && ob < 0) || (oa < 0 && ob > 0)) {
          exit = k;
          onEdge = GridTriangulation::orient(a, b, pu) == 0;
        }
      }
      if (exit < 0) return stuck = true, worst;
      if (!onEdge)
        worst = std::max(worst, crossingError(u, v, pointOfVertex[size_t(triangulation.corner(t, exit))],
                                              pointOfVertex[size_t(triangulation.corner(t, next(exit)))]));
      int32_t into = -1;
      if (!crossEdge(t, exit, into)) return stuck = true, worst;
      if (!onEdge) entry = into;
    }
    if (entry < 0) return stuck = true, worst;
  }
  // Across the triangles the segment passes, out through the edge on the far side of the line.
  for (int step = 0; step < (1 << 22); ++step) {
    if (holds(t)) return worst;
    const int e = entry;
    const Point p = point(t, e), d = point(t, next(next(e)));
    const int64_t op = GridTriangulation::orient(pu, pv, p), od = GridTriangulation::orient(pu, pv, d);
    if (od == 0) return stuck = true, worst;
    const int exit = (od > 0) == (op > 0) ? next(e) : next(next(e));
    worst = std::max(worst, crossingError(u, v, pointOfVertex[size_t(triangulation.corner(t, exit))],
                                          pointOfVertex[size_t(triangulation.corner(t, next(exit)))]));
    if (!crossEdge(t, exit, entry)) return stuck = true, worst;
  }
  stuck = true;
  return worst;
}

// The largest distance of the surface from the children's: every post against every triangle
// that holds it (as the scans found it), and, for children that are meshes, where their edges
// cross the tile's. Only the children's edges whose box meets a cell of a coarse grid that a
// triangle changed since the last time meets are walked again. With fix, a crossing beyond the
// tolerance is put right: an end of the child's edge inserted, or with both in, the edge made
// an edge of the tile.
double SurfaceMesher::measure(bool fix)
{
  toInsert.clear();
  toConstrain.clear();
  double worst = 0.0;
  for (int32_t t = 0; t < triangulation.numTriangles(); ++t)
    if (triangulation.marked(t)) worst = std::max(worst, farthest[size_t(t)]);
  if (!in.overlay) return worst;
  const bool all = edgeError.empty();
  const int32_t side = 64, cw = in.width / side + 1, ch = in.height / side + 1;
  std::vector<uint8_t> dirty(all ? 0 : size_t(side + 1) * size_t(side + 1), 0);
  if (!all)
    for (int32_t t = 0; t < int32_t(changed.size()); ++t) {
      if (!changed[size_t(t)]) continue;
      int32_t x0 = INT32_MAX, y0 = INT32_MAX, x1 = INT32_MIN, y1 = INT32_MIN;
      for (int k = 0; k < 3; ++k) {
        const Point c = triangulation.point(triangulation.corner(t, k));
        x0 = std::min(x0, c.x);
        x1 = std::max(x1, c.x);
        y0 = std::min(y0, c.y);
        y1 = std::max(y1, c.y);
      }
      for (int32_t cy = std::max(0, y0) / ch; cy <= std::min(side, std::max(0, y1) / ch); ++cy)
        for (int32_t cx = std::max(0, x0) / cw; cx <= std::min(side, std::max(0, x1) / cw); ++cx)
          dirty[size_t(cy) * size_t(side + 1) + size_t(cx)] = 1;
    }
  std::fill(changed.begin(), changed.end(), 0);
  if (all) edgeError.assign(childEdges.size(), 0.0);
  for (size_t e = 0; e < childEdges.size(); ++e) {
    const int32_t u = childEdges[e].first, v = childEdges[e].second;
    bool again = all;
    if (!again) {
      const Point a = pointOf(u), b = pointOf(v);
      for (int32_t cy = std::min(a.y, b.y) / ch; cy <= std::max(a.y, b.y) / ch && !again; ++cy)
        for (int32_t cx = std::min(a.x, b.x) / cw; cx <= std::max(a.x, b.x) / cw && !again; ++cx)
          again = dirty[size_t(cy) * size_t(side + 1) + size_t(cx)] != 0;
    }
    if (again) {
      bool stuck = false;
      edgeError[e] = walkEdge(u, v, stuck);
    }
    worst = std::max(worst, edgeError[e]);
    if (fix && edgeError[e] > in.tolerance) fixEdge(u, v);
  }
  return worst;
}

// A child's edge the tile's surface strays too far from where they cross: an end comes in, or
// with both ends in, the edge itself.
void SurfaceMesher::fixEdge(int32_t u, int32_t v)
{
  if (insertable(u)) toInsert.push_back(u);
  else if (insertable(v)) toInsert.push_back(v);
  else if (vertexOfPoint[size_t(u)] >= 0 && vertexOfPoint[size_t(v)] >= 0) toConstrain.emplace_back(u, v);
}

void SurfaceMesher::run(void)
{
  greedy();
  // A few rounds at most: each inserts what the last left too far, or fixes a child's edge.
  for (int round = 0; round < 64; ++round) {
    largest = measure(true);
    if (toInsert.empty() && toConstrain.empty()) return;
    std::sort(toInsert.begin(), toInsert.end());
    toInsert.erase(std::unique(toInsert.begin(), toInsert.end()), toInsert.end());
    for (const int32_t p : toInsert)
      if (vertexOfPoint[size_t(p)] < 0) {
        const int32_t t = holding(p);
        if (t >= 0) insert(t, p);
      }
    bool constrained = false;
    for (const auto & [u, v] : toConstrain)
      constrained = triangulation.constrain(vertexOfPoint[size_t(u)], vertexOfPoint[size_t(v)]) || constrained;
    if (constrained) {
      changed.assign(size_t(triangulation.numTriangles()), 1);
      scanAll();
    }
    greedy();
  }
  largest = measure(false);
}

void SurfaceMesher::output(SurfaceMesh & mesh) const
{
  mesh.triangles.clear();
  for (int32_t t = 0; t < triangulation.numTriangles(); ++t)
    if (triangulation.marked(t))
      mesh.triangles.insert(mesh.triangles.end(), {cornerPoint(t, 0), cornerPoint(t, 1), cornerPoint(t, 2)});
  mesh.largest = largest;
}

} // namespace

double distanceToPlane(const double * at, const float * up, const double * a, const double * b, const double * c)
{
  const double u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]}, v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
  const double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
  const double num = (a[0] - at[0]) * n[0] + (a[1] - at[1]) * n[1] + (a[2] - at[2]) * n[2];
  const double den = double(up[0]) * n[0] + double(up[1]) * n[1] + double(up[2]) * n[2];
  return num / den;
}

bool meshSurface(const SurfaceInput & input, SurfaceMesh & mesh, std::string & reason)
{
  if (input.width < 1 || input.height < 1 || input.points.empty()) {
    reason = "the tile has no posts";
    return false;
  }
  SurfaceMesher mesher(input);
  if (!mesher.start(reason)) return false;
  mesher.run();
  mesher.output(mesh);
  return true;
}
