// Reduction driven by the vertical error: edges collapse in the order of the error they cause,
// measured at every input vertex they move the surface under. A lazy queue keeps it cheap: a
// vertex whose neighbourhood changed is measured again only when it comes up.

#include "errorreduce.h"

#include "groundplane.h"
#include "hugepages.h"
#include "vertexwelder.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <queue>
#include <vector>

namespace {

const int32_t none = -1;
// The triangles a collapse leaves may come to stand for this many input vertices each, on
// average, at most: so that a flat sea, where every collapse costs nothing, does not end as a
// few triangles over thousands of posts that every later collapse about them would have to
// place again.
const size_t pointsPerTriangle = 32;

bool isValidIndex(int32_t index, int numPoints)
{
  return uint32_t(index) < uint32_t(numPoints);
}

// A triangle about a vertex as it stands now: its number and its corners in its own order.
struct FanTriangle {
  int32_t triangle;
  int32_t v[3];
  bool holds(int32_t u) const { return v[0] == u || v[1] == u || v[2] == u; }
};

class ErrorCollapser {
public:
  ErrorCollapser(EditableMesh & mesh, const VertexWelder & protectedPositions);
  void run(const ErrorLimits & limits);
  void writeBack(void);

private:
  // Of collapses that cost alike (a flat sea's cost nothing), those that move the surface over
  // fewer points come first: the sea coarsens evenly, and each collapse has few points to place.
  struct Candidate {
    double error;
    int32_t vertex, target;
    uint32_t stamp;
    uint32_t points;
    bool operator>(const Candidate & o) const
    {
      if (error != o.error) return error > o.error;
      return points != o.points ? points > o.points : vertex > o.vertex;
    }
  };

  void link(void);
  void lockOutline(const VertexWelder & protectedPositions);
  void collectFan(int32_t v, std::vector<FanTriangle> & fan);
  void collectPoints(int32_t a, const std::vector<FanTriangle> & fan);
  bool keepsTriangles(int32_t a, int32_t b, const std::vector<FanTriangle> & fan) const;
  double errorAt(int32_t a, int32_t b, const std::vector<FanTriangle> & fan) const;
  bool keepsLink(int32_t a, int32_t b, const std::vector<FanTriangle> & fan);
  void planesFor(int32_t a, int32_t b, const std::vector<FanTriangle> & fan);
  int32_t locate(size_t i, int32_t b, const std::vector<FanTriangle> & fan, double & height) const;
  double errorOf(int32_t a, int32_t b, const std::vector<FanTriangle> & fan, double bound,
                 int32_t * slots);
  size_t pointsUnder(int32_t a, const std::vector<FanTriangle> & fan, bool & flat) const;
  Candidate evaluate(int32_t a);
  void collapse(int32_t a, int32_t b);

  EditableMesh & mesh;
  const int numPoints;
  const int numTriangles;
  int64_t liveTriangles = 0;
  hugepages::Vector<int32_t> cornerVertex, nextCorner, firstCorner;
  hugepages::Vector<uint8_t> alive, locked, removed;
  hugepages::Vector<int32_t> firstPoint, nextPoint; // input vertices under each triangle
  hugepages::Vector<int32_t> pointCount;            // how many
  hugepages::Vector<float> pointLevel;              // their common height, or NaN
  hugepages::Vector<uint32_t> stamp; // bumped when a vertex's neighbourhood changes
  std::priority_queue<Candidate, std::vector<Candidate>, std::greater<Candidate>> queue;
  // Scratch lists, kept between calls.
  std::vector<FanTriangle> fanA, fanB;
  struct Target {
    double error; // of a alone
    int32_t vertex;
  };
  std::vector<int32_t> points, pointSlot, ring, neighbours, into;
  std::vector<Target> targets;
  std::vector<GroundPlane> planes;
};

ErrorCollapser::ErrorCollapser(EditableMesh & mesh, const VertexWelder & protectedPositions)
  : mesh(mesh), numPoints(mesh.numPoints), numTriangles(mesh.numIndices / 4)
{
  link();
  lockOutline(protectedPositions);
  firstPoint.assign(size_t(numTriangles), none);
  pointCount.assign(size_t(numTriangles), 0);
  pointLevel.assign(size_t(numTriangles), 0.0f);
  nextPoint.assign(size_t(numPoints), none);
  stamp.assign(size_t(numPoints), 0);
}

// Every usable triangle (three valid, distinct corners) on the lists of its corners; the
// vertices of any other triangle stay where they are.
void ErrorCollapser::link(void)
{
  cornerVertex.assign(size_t(numTriangles) * 3, none);
  nextCorner.assign(size_t(numTriangles) * 3, none);
  firstCorner.assign(size_t(numPoints), none);
  alive.assign(size_t(numTriangles), 0);
  locked.assign(size_t(numPoints), 0);
  removed.assign(size_t(numPoints), 0);
  for (int t = numTriangles - 1; t >= 0; --t) {
    const int32_t * c = mesh.coordIndex + 4 * size_t(t);
    const bool usable = isValidIndex(c[0], numPoints) && isValidIndex(c[1], numPoints) &&
                        isValidIndex(c[2], numPoints) && c[0] != c[1] && c[1] != c[2] &&
                        c[2] != c[0];
    for (int k = 0; k < 3; ++k) {
      if (!usable) {
        if (isValidIndex(c[k], numPoints)) locked[size_t(c[k])] = 1;
        continue;
      }
      const size_t corner = 3 * size_t(t) + size_t(k);
      cornerVertex[corner] = c[k];
      nextCorner[corner] = firstCorner[size_t(c[k])];
      firstCorner[size_t(c[k])] = int32_t(corner);
    }
    alive[size_t(t)] = usable;
    liveTriangles += usable;
  }
}

// Protected positions stay, and so does every vertex on an edge that one triangle alone uses
// (the outline, holes included) or more than two use, and every vertex of a triangle without
// ground area: around those the surface's shape is not one a collapse may change.
void ErrorCollapser::lockOutline(const VertexWelder & protectedPositions)
{
  std::vector<FanTriangle> fan;
  std::vector<int32_t> seen;
  for (int32_t v = 0; v < numPoints; ++v) {
    if (protectedPositions.numPoints() > 0 && protectedPositions.findPoint(mesh.points[v]) >= 0)
      locked[size_t(v)] = 1;
    if (locked[size_t(v)]) continue;
    collectFan(v, fan);
    seen.clear();
    for (const FanTriangle & t : fan) {
      const SbVec3f * p = mesh.points;
      if (flatOnGround(p[t.v[0]], p[t.v[1]], p[t.v[2]])) locked[size_t(v)] = 1;
      for (const int32_t u : t.v)
        if (u != v) seen.push_back(u);
    }
    std::sort(seen.begin(), seen.end());
    for (size_t i = 0; i < seen.size(); i += 2)
      if (i + 1 >= seen.size() || seen[i] != seen[i + 1] || (i + 2 < seen.size() && seen[i + 2] == seen[i]))
        locked[size_t(v)] = 1;
    if (fan.empty()) locked[size_t(v)] = 1;
  }
}

// The live triangles about v; dead ones are taken off v's list on the way.
void ErrorCollapser::collectFan(int32_t v, std::vector<FanTriangle> & fan)
{
  fan.clear();
  int32_t * link = &firstCorner[size_t(v)];
  while (*link != none) {
    const int32_t corner = *link;
    const int32_t t = corner / 3;
    if (!alive[size_t(t)]) {
      *link = nextCorner[size_t(corner)];
      continue;
    }
    const int32_t * c = &cornerVertex[3 * size_t(t)];
    fan.push_back({t, {c[0], c[1], c[2]}});
    link = &nextCorner[size_t(corner)];
  }
}

// The input vertices a collapse of a moves the surface under: a itself and those under its
// triangles, each with the place in the fan of the triangle it lies under now.
void ErrorCollapser::collectPoints(int32_t a, const std::vector<FanTriangle> & fan)
{
  points.clear();
  pointSlot.clear();
  points.push_back(a);
  pointSlot.push_back(none);
  for (size_t i = 0; i < fan.size(); ++i)
    for (int32_t q = firstPoint[size_t(fan[i].triangle)]; q != none; q = nextPoint[size_t(q)]) {
      points.push_back(q);
      pointSlot.push_back(int32_t(i));
    }
}

// The fold rule: every triangle of a that does not hold b keeps the sign of its ground area,
// and more area than rounding could make of none, with a at b: none comes to stand on its edge.
bool ErrorCollapser::keepsTriangles(int32_t a, int32_t b, const std::vector<FanTriangle> & fan) const
{
  const SbVec3f * p = mesh.points;
  for (const FanTriangle & t : fan) {
    if (t.holds(b)) continue;
    const SbVec3f * c[3], * moved[3];
    for (int k = 0; k < 3; ++k) {
      c[k] = &p[t.v[k]];
      moved[k] = t.v[k] == a ? &p[b] : c[k];
    }
    const double before = groundArea(*c[0], *c[1], *c[2]);
    const double after = groundArea(*moved[0], *moved[1], *moved[2]);
    if (flatOnGround(*moved[0], *moved[1], *moved[2], after) || (after > 0.0) != (before > 0.0))
      return false;
  }
  return true;
}

// The vertical error at a itself with a moved to b: a lower bound of the collapse's error.
double ErrorCollapser::errorAt(int32_t a, int32_t b, const std::vector<FanTriangle> & fan) const
{
  const SbVec3f * p = mesh.points;
  const SbVec3f & q = p[a];
  double bestInside = -std::numeric_limits<double>::infinity(), error = 0.0;
  for (const FanTriangle & t : fan) {
    if (t.holds(b)) continue;
    const SbVec3f * moved[3];
    for (int k = 0; k < 3; ++k) moved[k] = t.v[k] == a ? &p[b] : &p[t.v[k]];
    if (flatOnGround(*moved[0], *moved[1], *moved[2])) continue;
    double height = 0.0;
    const double inside = GroundPlane(*moved[0], *moved[1], *moved[2]).inside(q[0], q[2], height);
    if (inside <= bestInside) continue;
    bestInside = inside;
    error = std::fabs(height - double(q[1]));
    if (inside >= 0.0) break;
  }
  return error;
}

// The link condition: a vertex joined to both a and b is the third corner of a triangle that
// holds both.
bool ErrorCollapser::keepsLink(int32_t a, int32_t b, const std::vector<FanTriangle> & fan)
{
  ring.clear();
  for (const FanTriangle & t : fan)
    if (!t.holds(b))
      for (const int32_t u : t.v)
        if (u != a) ring.push_back(u);
  collectFan(b, fanB);
  for (const FanTriangle & t : fanB) {
    if (t.holds(a)) continue;
    for (const int32_t u : t.v) {
      if (u == b || std::find(ring.begin(), ring.end(), u) == ring.end()) continue;
      // Joined to both: allowed only as the third corner of a triangle of a and b.
      bool opposite = false;
      for (const FanTriangle & s : fan) opposite = opposite || (s.holds(b) && s.holds(u));
      if (!opposite) return false;
    }
  }
  return true;
}

// The triangles of a with a moved to b, ready for points: planes[i] stands for fan[i], or is
// unused where fan[i] holds b.
void ErrorCollapser::planesFor(int32_t a, int32_t b, const std::vector<FanTriangle> & fan)
{
  const SbVec3f * p = mesh.points;
  planes.clear();
  for (const FanTriangle & t : fan) {
    const SbVec3f & c0 = t.v[0] == a ? p[b] : p[t.v[0]];
    const SbVec3f & c1 = t.v[1] == a ? p[b] : p[t.v[1]];
    const SbVec3f & c2 = t.v[2] == a ? p[b] : p[t.v[2]];
    planes.push_back(t.holds(b) ? GroundPlane() : GroundPlane(c0, c1, c2));
  }
}

// The new triangle (its place in the fan) above point i of the collapse, and its height there:
// the triangle it lay under first, then the others.
int32_t ErrorCollapser::locate(size_t i, int32_t b, const std::vector<FanTriangle> & fan,
                               double & height) const
{
  const SbVec3f & q = mesh.points[points[i]];
  double bestInside = -std::numeric_limits<double>::infinity();
  int32_t found = none;
  const int32_t first = pointSlot[i];
  for (int32_t k = -1; k < int32_t(fan.size()); ++k) {
    const int32_t slot = k < 0 ? first : k;
    if (slot == none || (k >= 0 && slot == first) || fan[size_t(slot)].holds(b)) continue;
    double h = 0.0;
    const double inside = planes[size_t(slot)].inside(q[0], q[2], h);
    if (inside > bestInside) {
      bestInside = inside;
      height = h;
      found = slot;
    }
    if (inside >= 0.0) break;
  }
  return found;
}

// The largest vertical error of the points under a's triangles with a moved to b, giving up
// once it reaches bound. slots, when given, receives the place in the fan of each point's new
// triangle.
double ErrorCollapser::errorOf(int32_t a, int32_t b, const std::vector<FanTriangle> & fan,
                               double bound, int32_t * slots)
{
  planesFor(a, b, fan);
  const SbVec3f * p = mesh.points;
  double largest = 0.0;
  for (size_t i = 0; i < points.size(); ++i) {
    double height = p[points[i]][1];
    const int32_t slot = locate(i, b, fan, height);
    if (slots != nullptr) slots[i] = slot;
    largest = std::max(largest, std::fabs(height - double(p[points[i]][1])));
    if (largest >= bound && slots == nullptr) return largest;
  }
  return largest;
}

// How many input vertices a collapse of a moves the surface under (a itself among them), and
// whether a's triangles and all of them are at a's height.
size_t ErrorCollapser::pointsUnder(int32_t a, const std::vector<FanTriangle> & fan, bool & flat) const
{
  const float height = mesh.points[a][1];
  size_t count = 1;
  flat = true;
  for (const FanTriangle & t : fan) {
    count += size_t(pointCount[size_t(t.triangle)]);
    flat = flat && (pointCount[size_t(t.triangle)] == 0 || pointLevel[size_t(t.triangle)] == height);
    for (const int32_t u : t.v) flat = flat && mesh.points[u][1] == height;
  }
  return count;
}

// The cheapest collapse of a: the neighbour to merge it into, and the error it would cause.
// The error of a alone is a lower bound of a collapse's error: targets are tried in its order
// and given up once it reaches the best found. Where a's triangles and every point under them
// are at one height, every collapse leaves them there: the first target that keeps the
// surface whole costs nothing, and the points need not be placed.
ErrorCollapser::Candidate ErrorCollapser::evaluate(int32_t a)
{
  Candidate best = {std::numeric_limits<double>::infinity(), a, none, stamp[size_t(a)], 0};
  if (locked[size_t(a)] || removed[size_t(a)]) return best;
  collectFan(a, fanA);
  bool flat = false;
  const size_t count = pointsUnder(a, fanA, flat);
  best.points = uint32_t(count);
  if (!flat && count > 1) collectPoints(a, fanA);
  targets.clear();
  neighbours.clear();
  for (const FanTriangle & t : fanA)
    for (const int32_t b : t.v) {
      if (b == a || std::find(neighbours.begin(), neighbours.end(), b) != neighbours.end()) continue;
      neighbours.push_back(b);
      size_t remaining = 0;
      for (const FanTriangle & s : fanA) remaining += !s.holds(b);
      // Where all is at one height, every collapse keeps it there: no error to work out.
      if (count <= pointsPerTriangle * remaining) targets.push_back({flat ? 0.0 : errorAt(a, b, fanA), b});
    }
  std::sort(targets.begin(), targets.end(), [](const Target & x, const Target & y) {
    return x.error != y.error ? x.error < y.error : x.vertex < y.vertex;
  });
  for (const Target & target : targets) {
    if (target.error >= best.error) break;
    if (!keepsTriangles(a, target.vertex, fanA)) continue;
    // With no other point under a's triangles, a's own error is the collapse's.
    const double error = count == 1 || flat
                           ? target.error
                           : errorOf(a, target.vertex, fanA, best.error, nullptr);
    if (error >= best.error || !keepsLink(a, target.vertex, fanA)) continue;
    best.error = error;
    best.target = target.vertex;
  }
  return best;
}

// Merges a into b: a's triangles that hold b go, the others take b for a; the points under
// them, and a, are placed under the new triangles.
void ErrorCollapser::collapse(int32_t a, int32_t b)
{
  collectFan(a, fanA);
  collectPoints(a, fanA);
  into.assign(points.size(), none);
  errorOf(a, b, fanA, std::numeric_limits<double>::infinity(), into.data());
  for (int32_t & slot : into)
    if (slot != none) slot = fanA[size_t(slot)].triangle;
  for (const FanTriangle & t : fanA) {
    firstPoint[size_t(t.triangle)] = none;
    pointCount[size_t(t.triangle)] = 0;
    if (t.holds(b)) {
      alive[size_t(t.triangle)] = 0;
      --liveTriangles;
      continue;
    }
    for (int k = 0; k < 3; ++k)
      if (t.v[k] == a) cornerVertex[3 * size_t(t.triangle) + size_t(k)] = b;
  }
  // a's corners join b's list.
  for (int32_t corner = firstCorner[size_t(a)]; corner != none;) {
    const int32_t next = nextCorner[size_t(corner)];
    if (alive[size_t(corner / 3)]) {
      nextCorner[size_t(corner)] = firstCorner[size_t(b)];
      firstCorner[size_t(b)] = corner;
    }
    corner = next;
  }
  firstCorner[size_t(a)] = none;
  removed[size_t(a)] = 1;
  const SbVec3f * p = mesh.points;
  for (size_t i = 0; i < points.size(); ++i) {
    const int32_t q = points[i], t = into[i];
    if (t == none) continue;
    nextPoint[size_t(q)] = firstPoint[size_t(t)];
    firstPoint[size_t(t)] = q;
    // The height all of a triangle's points share, or NaN.
    pointLevel[size_t(t)] = pointCount[size_t(t)] == 0 || pointLevel[size_t(t)] == p[q][1]
                              ? p[q][1]
                              : std::numeric_limits<float>::quiet_NaN();
    ++pointCount[size_t(t)];
  }
  // Every vertex about b has a new neighbourhood now.
  collectFan(b, fanB);
  ++stamp[size_t(b)];
  for (const FanTriangle & t : fanB)
    for (const int32_t u : t.v) stamp[size_t(u)] += u != b;
}

void ErrorCollapser::run(const ErrorLimits & limits)
{
  // Every vertex's cheapest collapse, heaped at once rather than pushed one by one.
  std::vector<Candidate> first;
  first.reserve(size_t(numPoints));
  for (int32_t v = 0; v < numPoints; ++v) {
    const Candidate c = evaluate(v);
    if (c.target != none) first.push_back(c);
  }
  queue = decltype(queue)(std::greater<Candidate>(), std::move(first));
  // A millionth short of the budget, so that the measured surface, whose rounding may differ
  // in the last bits from the reduction's own, still keeps within it.
  const double allowed = std::isinf(limits.maxError)
                           ? limits.maxError
                           : std::max(0.0, limits.maxError - 1e-6 * std::max(1.0, limits.maxError));
  while (!queue.empty() && liveTriangles > limits.targetTriangles) {
    Candidate top = queue.top();
    queue.pop();
    const int32_t a = top.vertex;
    if (removed[size_t(a)]) continue;
    if (top.stamp != stamp[size_t(a)]) {
      // The neighbourhood changed since it was measured: measure it again. Still the cheapest,
      // it is taken at once rather than put back only to come up next.
      top = evaluate(a);
      if (top.target == none) continue;
      if (!queue.empty() && top > queue.top()) {
        queue.push(top);
        continue;
      }
    }
    if (top.error > allowed) break;
    collapse(a, top.target);
  }
}

// Survivors keep their order: vertices move down over the removed ones, live triangles over
// the dead ones.
void ErrorCollapser::writeBack(void)
{
  std::vector<int32_t> newIndex(size_t(numPoints), none);
  int32_t kept = 0;
  for (int32_t v = 0; v < numPoints; ++v) {
    if (removed[size_t(v)]) continue;
    newIndex[size_t(v)] = kept;
    mesh.points[kept++] = mesh.points[v];
  }
  // Texture coordinates in step; entries past the vertices (a longer list) stay.
  int32_t keptTexCoords = 0;
  for (int32_t v = 0; v < mesh.numTexCoords; ++v)
    if (v >= numPoints || !removed[size_t(v)]) mesh.texCoords[keptTexCoords++] = mesh.texCoords[v];
  int out = 0;
  for (int t = 0; t < numTriangles; ++t) {
    const int32_t * c = mesh.coordIndex + 4 * size_t(t);
    const bool usable = cornerVertex[3 * size_t(t)] != none;
    if (usable && !alive[size_t(t)]) continue;
    int32_t entry[4];
    for (int k = 0; k < 3; ++k) {
      const int32_t v = usable ? cornerVertex[3 * size_t(t) + size_t(k)] : c[k];
      entry[k] = isValidIndex(v, numPoints) ? newIndex[size_t(v)] : v;
    }
    entry[3] = c[3];
    std::copy(entry, entry + 4, mesh.coordIndex + out);
    out += 4;
  }
  for (int rest = 4 * numTriangles; rest < mesh.numIndices; ++rest) mesh.coordIndex[out++] = mesh.coordIndex[rest];
  mesh.numPoints = kept;
  mesh.numTexCoords = keptTexCoords;
  mesh.numIndices = out;
}

} // namespace

void reduceByError(EditableMesh & mesh, const VertexWelder & protectedPositions,
                   const ErrorLimits & limits)
{
  assert(limits.targetTriangles >= 0);
  ErrorCollapser collapser(mesh, protectedPositions);
  collapser.run(limits);
  collapser.writeBack();
}
