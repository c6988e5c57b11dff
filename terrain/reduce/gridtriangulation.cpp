// Incremental constrained Delaunay triangulation over whole-number points: points go in by
// splitting the triangle (or the edge) they lie on and flipping until every unconstrained edge
// is locally Delaunay; a constraint goes in by flipping away the edges that cross it.

#include "gridtriangulation.h"

#include <algorithm>
#include <deque>
#include <utility>

namespace {

int next(int k) { return k == 2 ? 0 : k + 1; }
int prev(int k) { return k == 0 ? 2 : k - 1; }

} // namespace

GridTriangulation::GridTriangulation(int32_t x0, int32_t y0, int32_t x1, int32_t y1)
{
  points = {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
  triangleOf.assign(4, 0);
  const int32_t lower = newTriangle(0, 1, 2, 0), upper = newTriangle(0, 2, 3, 0);
  link(lower, 2, upper, 0);
}

void GridTriangulation::reserve(size_t more)
{
  points.reserve(points.size() + more);
  triangleOf.reserve(triangleOf.size() + more);
  flags.reserve(flags.size() + 2 * more);
  corners.reserve(corners.size() + 6 * more);
  neighbours.reserve(neighbours.size() + 6 * more);
}

int32_t GridTriangulation::newTriangle(int32_t a, int32_t b, int32_t c, uint8_t mark)
{
  const int32_t t = int32_t(flags.size());
  flags.push_back(mark);
  for (int k = 0; k < 3; ++k) {
    corners.push_back(-1);
    neighbours.push_back(-1);
  }
  setCorners(t, a, b, c);
  return t;
}

void GridTriangulation::setCorners(int32_t t, int32_t a, int32_t b, int32_t c)
{
  int32_t * corner = &corners[3 * size_t(t)];
  corner[0] = a;
  corner[1] = b;
  corner[2] = c;
  triangleOf[size_t(a)] = triangleOf[size_t(b)] = triangleOf[size_t(c)] = t;
}

void GridTriangulation::link(int32_t t, int k, int32_t u, int j)
{
  neighbours[3 * size_t(t) + size_t(k)] = u;
  if (u >= 0) neighbours[3 * size_t(u) + size_t(j)] = t;
}

// Across edge k of t now lies u, which named the triangle `before` across that edge.
void GridTriangulation::linkAcross(int32_t t, int k, int32_t u, int32_t before)
{
  neighbours[3 * size_t(t) + size_t(k)] = u;
  if (u < 0 || before == t) return;
  int32_t * across = &neighbours[3 * size_t(u)];
  for (int j = 0; j < 3; ++j)
    if (across[j] == before) {
      across[j] = t;
      return;
    }
}

int GridTriangulation::edgeTowards(int32_t t, int32_t u) const
{
  for (int k = 0; k < 3; ++k)
    if (neighbour(t, k) == u) return k;
  return -1;
}

void GridTriangulation::setConstrained(int32_t t, int k, bool on)
{
  flags[size_t(t)] = uint8_t(on ? flags[size_t(t)] | (1u << k) : flags[size_t(t)] & ~(1u << k));
}

bool GridTriangulation::inCircle(int32_t t, int32_t v) const
{
  const Point & d = points[size_t(v)];
  int64_t dx[3], dy[3], reach = 0;
  for (int k = 0; k < 3; ++k) {
    const Point & p = points[size_t(corner(t, k))];
    dx[k] = int64_t(p.x) - d.x;
    dy[k] = int64_t(p.y) - d.y;
    reach = std::max({reach, dx[k] < 0 ? -dx[k] : dx[k], dy[k] < 0 ? -dy[k] : dy[k]});
  }
  // Below 2^14 every product and sum fits 64 bits; farther apart, 128.
  if (reach < 16384) {
    const int64_t det = (dx[0] * dx[0] + dy[0] * dy[0]) * (dx[1] * dy[2] - dx[2] * dy[1]) +
                        (dx[1] * dx[1] + dy[1] * dy[1]) * (dx[2] * dy[0] - dx[0] * dy[2]) +
                        (dx[2] * dx[2] + dy[2] * dy[2]) * (dx[0] * dy[1] - dx[1] * dy[0]);
    return det > 0;
  }
  __int128 m[3][3];
  for (int k = 0; k < 3; ++k) {
    m[k][0] = dx[k];
    m[k][1] = dy[k];
    m[k][2] = __int128(dx[k]) * dx[k] + __int128(dy[k]) * dy[k];
  }
  const __int128 det = m[0][2] * (m[1][0] * m[2][1] - m[2][0] * m[1][1]) +
                       m[1][2] * (m[2][0] * m[0][1] - m[0][0] * m[2][1]) +
                       m[2][2] * (m[0][0] * m[1][1] - m[1][0] * m[0][1]);
  return det > 0;
}

// Turns the edge k of t, from a to b, into the other diagonal of the quadrilateral that t and
// its neighbour make: t = (a, b, c) and u = (b, a, d) become t = (a, d, c) and u = (d, b, c).
void GridTriangulation::flip(int32_t t, int k)
{
  const int32_t u = neighbour(t, k);
  const int j = edgeTowards(u, t);
  const int32_t a = corner(t, k), b = corner(t, next(k)), c = corner(t, prev(k));
  const int32_t d = corner(u, prev(j));
  const int32_t acrossBC = neighbour(t, next(k)), acrossCA = neighbour(t, prev(k));
  const int32_t acrossAD = neighbour(u, next(j)), acrossDB = neighbour(u, prev(j));
  const bool fixedBC = constrained(t, next(k)), fixedCA = constrained(t, prev(k));
  const bool fixedAD = constrained(u, next(j)), fixedDB = constrained(u, prev(j));
  const uint8_t markT = flags[size_t(t)] & markBit, markU = flags[size_t(u)] & markBit;
  flags[size_t(t)] = uint8_t(markT | (fixedAD ? 1 : 0) | (fixedCA ? 4 : 0));
  flags[size_t(u)] = uint8_t(markU | (fixedDB ? 1 : 0) | (fixedBC ? 2 : 0));
  setCorners(t, a, d, c);
  setCorners(u, d, b, c);
  linkAcross(t, 0, acrossAD, u);
  link(t, 1, u, 2);
  linkAcross(t, 2, acrossCA, t);
  linkAcross(u, 0, acrossDB, u);
  linkAcross(u, 1, acrossBC, t);
}

// Flips every listed edge whose far side's corner lies inside its triangle's circle, and the
// edges that flip brings up; each edge is given with the new point opposite it.
void GridTriangulation::legalize(std::vector<int32_t> & touched)
{
  std::vector<std::pair<int32_t, int>> & edges = pendingEdges;
  while (!edges.empty()) {
    const auto [t, k] = edges.back();
    edges.pop_back();
    const int32_t u = neighbour(t, k);
    if (u < 0 || constrained(t, k) || !inCircle(u, corner(t, prev(k)))) continue;
    if (flipRule != nullptr &&
        !flipRule(flipContext, corner(t, k), corner(t, next(k)), corner(t, prev(k)), corner(u, prev(edgeTowards(u, t)))))
      continue;
    flip(t, k);
    touched.push_back(u);
    // The new point is corner 2 of both; the edges facing it are their edges 0.
    edges.emplace_back(t, 0);
    edges.emplace_back(u, 0);
  }
}

int32_t GridTriangulation::splitInside(int32_t t, int32_t v, std::vector<int32_t> & touched)
{
  const int32_t a = corner(t, 0), b = corner(t, 1), c = corner(t, 2);
  const int32_t n1 = neighbour(t, 1), n2 = neighbour(t, 2);
  const uint8_t f = flags[size_t(t)], mark = f & markBit;
  const int32_t t1 = newTriangle(b, c, v, uint8_t(mark | ((f >> 1) & 1)));
  const int32_t t2 = newTriangle(c, a, v, uint8_t(mark | ((f >> 2) & 1)));
  flags[size_t(t)] = uint8_t(mark | (f & 1));
  setCorners(t, a, b, v);
  linkAcross(t1, 0, n1, t);
  linkAcross(t2, 0, n2, t);
  link(t, 1, t1, 2);
  link(t1, 1, t2, 2);
  link(t2, 1, t, 2);
  touched.insert(touched.end(), {t, t1, t2});
  pendingEdges.assign({{t, 0}, {t1, 0}, {t2, 0}});
  legalize(touched);
  return v;
}

// Splits edge k of t, from a to b, at v: t = (a, b, c) and its neighbour u = (b, a, d) become
// t = (a, v, c), t1 = (v, b, c), u = (b, v, d) and u1 = (v, a, d).
int32_t GridTriangulation::splitEdge(int32_t t, int k, int32_t v, std::vector<int32_t> & touched)
{
  const int32_t u = neighbour(t, k);
  const int32_t a = corner(t, k), b = corner(t, next(k)), c = corner(t, prev(k));
  const int32_t acrossBC = neighbour(t, next(k)), acrossCA = neighbour(t, prev(k));
  const bool fixedAB = constrained(t, k), fixedBC = constrained(t, next(k)), fixedCA = constrained(t, prev(k));
  const uint8_t markT = flags[size_t(t)] & markBit, ab = fixedAB ? 1 : 0;
  const int32_t t1 = newTriangle(v, b, c, uint8_t(markT | ab | (fixedBC ? 2 : 0)));
  flags[size_t(t)] = uint8_t(markT | ab | (fixedCA ? 4 : 0));
  setCorners(t, a, v, c);
  linkAcross(t, 2, acrossCA, t);
  linkAcross(t1, 1, acrossBC, t);
  link(t, 1, t1, 2);
  touched.insert(touched.end(), {t, t1});
  pendingEdges.assign({{t, 2}, {t1, 1}});
  if (u < 0) {
    link(t, 0, -1, 0);
    link(t1, 0, -1, 0);
  } else {
    const int j = edgeTowards(u, t);
    const int32_t d = corner(u, prev(j));
    const int32_t acrossAD = neighbour(u, next(j)), acrossDB = neighbour(u, prev(j));
    const bool fixedAD = constrained(u, next(j)), fixedDB = constrained(u, prev(j));
    const uint8_t markU = flags[size_t(u)] & markBit;
    const int32_t u1 = newTriangle(v, a, d, uint8_t(markU | ab | (fixedAD ? 2 : 0)));
    flags[size_t(u)] = uint8_t(markU | ab | (fixedDB ? 4 : 0));
    setCorners(u, b, v, d);
    linkAcross(u, 2, acrossDB, u);
    linkAcross(u1, 1, acrossAD, u);
    link(u, 1, u1, 2);
    link(t, 0, u1, 0);
    link(t1, 0, u, 0);
    touched.insert(touched.end(), {u, u1});
    pendingEdges.insert(pendingEdges.end(), {{u, 2}, {u1, 1}});
  }
  legalize(touched);
  return v;
}

int32_t GridTriangulation::insertIn(int32_t t, Point p, std::vector<int32_t> & touched)
{
  const int32_t v = int32_t(points.size());
  points.push_back(p);
  triangleOf.push_back(t);
  for (int k = 0; k < 3; ++k)
    if (orient(points[size_t(corner(t, k))], points[size_t(corner(t, next(k)))], p) == 0)
      return splitEdge(t, k, v, touched);
  return splitInside(t, v, touched);
}

int32_t GridTriangulation::locate(Point p, int32_t start) const
{
  int32_t t = start;
  // Starting from a different edge each step keeps the walk from circling.
  for (int64_t step = 0, limit = 4 * int64_t(flags.size()) + 16; step < limit; ++step) {
    bool moved = false;
    for (int i = 0; i < 3 && !moved; ++i) {
      const int k = int((step + i) % 3);
      const int32_t u = neighbour(t, k);
      if (u >= 0 && orient(points[size_t(corner(t, k))], points[size_t(corner(t, next(k)))], p) < 0) {
        t = u;
        moved = true;
      }
    }
    if (!moved) return t;
  }
  for (t = 0; t < numTriangles(); ++t) {
    bool inside = true;
    for (int k = 0; k < 3; ++k)
      inside = inside && orient(points[size_t(corner(t, k))], points[size_t(corner(t, next(k)))], p) >= 0;
    if (inside) return t;
  }
  return -1;
}

int32_t GridTriangulation::triangleLeftOf(int32_t a, int32_t b, int & k) const
{
  // Around a in both turning directions, so that a fan cut open by the box's outline is seen
  // whole.
  for (int direction = 0; direction < 2; ++direction) {
    int32_t t = triangleOf[size_t(a)];
    for (int guard = 0; t >= 0 && guard < 1 << 20; ++guard) {
      int i = 0;
      while (corner(t, i) != a) ++i;
      if (corner(t, next(i)) == b) {
        k = i;
        return t;
      }
      t = neighbour(t, direction == 0 ? i : prev(i));
      if (t == triangleOf[size_t(a)]) break;
    }
  }
  return -1;
}

void GridTriangulation::markFrom(int32_t start)
{
  std::vector<int32_t> stack = {start};
  while (!stack.empty()) {
    const int32_t t = stack.back();
    stack.pop_back();
    if (marked(t)) continue;
    flags[size_t(t)] |= markBit;
    for (int k = 0; k < 3; ++k)
      if (!constrained(t, k) && neighbour(t, k) >= 0 && !marked(neighbour(t, k))) stack.push_back(neighbour(t, k));
  }
}

// The edges that the open segment from a to b crosses, in order, as pairs of vertices (the one
// right of the segment first); through names a vertex that lies on the segment, where the walk
// stops. Nothing crosses when a and b are joined.
bool GridTriangulation::crossingEdges(int32_t a, int32_t b, std::vector<std::pair<int32_t, int>> & crossing,
                                      int32_t & through) const
{
  crossing.clear();
  through = -1;
  const Point & pa = points[size_t(a)], & pb = points[size_t(b)];
  // The triangle about a whose corner at a holds the direction to b.
  int32_t t = triangleOf[size_t(a)], right = -1, left = -1;
  for (int guard = 0; guard < 1 << 20; ++guard) {
    int i = 0;
    while (corner(t, i) != a) ++i;
    const int32_t v1 = corner(t, next(i)), v2 = corner(t, prev(i));
    if (v1 == b || v2 == b) return true;
    const Point & p1 = points[size_t(v1)];
    const int64_t o1 = orient(pa, p1, pb);
    if (o1 == 0 && (int64_t(p1.x) - pa.x) * (int64_t(pb.x) - pa.x) + (int64_t(p1.y) - pa.y) * (int64_t(pb.y) - pa.y) > 0) {
      through = v1;
      return true;
    }
    if (o1 > 0 && orient(points[size_t(v2)], pa, pb) > 0) {
      right = v1;
      left = v2;
      break;
    }
    t = neighbour(t, i);
    if (t < 0) return false;
  }
  if (right < 0) return false;
  for (;;) {
    crossing.emplace_back(right, left);
    int k = 0;
    const int32_t here = triangleLeftOf(left, right, k);
    if (here < 0) return false;
    const int32_t w = corner(here, prev(k));
    if (w == b) return true;
    const int64_t side = orient(pa, pb, points[size_t(w)]);
    if (side == 0) {
      through = w;
      return true;
    }
    if (side > 0) left = w;
    else right = w;
  }
}

bool GridTriangulation::constrain(int32_t a, int32_t b)
{
  std::vector<std::pair<int32_t, int>> crossing;
  int32_t through = -1;
  if (!crossingEdges(a, b, crossing, through)) return false;
  if (through >= 0) return constrain(a, through) && constrain(through, b);
  const Point & pa = points[size_t(a)], & pb = points[size_t(b)];
  std::deque<std::pair<int32_t, int32_t>> pending(crossing.begin(), crossing.end());
  // Each crossing edge is flipped once its quadrilateral is convex; a new diagonal that still
  // crosses goes back in line. Without a vertex on the segment this always ends.
  for (size_t stalled = 0; !pending.empty() && stalled <= pending.size();) {
    const auto [v1, v2] = pending.front();
    pending.pop_front();
    int k = 0;
    const int32_t t = triangleLeftOf(v1, v2, k);
    if (t < 0 || constrained(t, k)) return false;
    const int32_t u = neighbour(t, k);
    const int32_t c = corner(t, prev(k)), d = corner(u, prev(edgeTowards(u, t)));
    const Point & pc = points[size_t(c)], & pd = points[size_t(d)];
    const bool convex = orient(pc, pd, points[size_t(v1)]) < 0 && orient(pc, pd, points[size_t(v2)]) > 0;
    if (!convex) {
      pending.emplace_back(v1, v2);
      ++stalled;
      continue;
    }
    stalled = 0;
    flip(t, k);
    const int64_t sc = orient(pa, pb, pc), sd = orient(pa, pb, pd);
    if (c != a && c != b && d != a && d != b && ((sc > 0 && sd < 0) || (sc < 0 && sd > 0)))
      pending.emplace_back(sd < 0 ? d : c, sd < 0 ? c : d);
  }
  int k = 0;
  const int32_t t = triangleLeftOf(a, b, k);
  if (t < 0) return false;
  setConstrained(t, k, true);
  const int32_t u = neighbour(t, k);
  if (u >= 0) setConstrained(u, edgeTowards(u, t), true);
  return true;
}
