// Lowering a chunk's triangle count by collapsing short edges, one pass per call. Every list is
// rewritten in one sweep (survivors keep their order), so a pass costs a sort plus a few linear
// walks instead of one list move per deleted triangle or vertex.

#include "meshreduce.h"

#include "groundplane.h"
#include "hugepages.h"
#include "middlepivotsort.h"
#include "vertexwelder.h"

#include <Inventor/SbLine.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace {

// A proposed collapse: the vertex `from` merged into `to`; the squared edge length orders them.
struct Candidate {
  float length;
  int32_t from;
  int32_t to;
};

// Squared distance below which a third corner counts as lying on the line of the first two.
const float collinearTolerance = 1e-9f;
// Triangles counted as gone per accepted collapse: the two that shared the collapsed edge.
const int trianglesPerCollapse = 2;

bool onOneLine(const SbVec3f & p0, const SbVec3f & p1, const SbVec3f & p2)
{
  SbLine line;
  line.setValue(p0, p1);
  return line.getClosestPoint(p2).equals(p2, collinearTolerance);
}

bool isValidIndex(int32_t index, int numPoints)
{
  return uint32_t(index) < uint32_t(numPoints);
}

// Protection depends on a vertex's position only, so it is looked up once per vertex in a hash
// of the protected positions, rather than once per triangle corner.
hugepages::Vector<uint8_t> markProtected(const SbVec3f * points, int numPoints,
                                         const VertexWelder & protectedPositions)
{
  hugepages::Vector<uint8_t> isProtected(size_t(numPoints), 0);
  if (protectedPositions.numPoints() == 0) return isProtected;
  for (int v = 0; v < numPoints; ++v)
    isProtected[size_t(v)] = protectedPositions.findPoint(points[v]) >= 0;
  return isProtected;
}

// Each triangle proposes its shortest edge whose start vertex is not protected; of equal ones the
// first in corner order. Every edge with a finite squared length can win, and an edge from a
// vertex to itself never does, since collapsing it would delete a vertex still in use.
hugepages::Vector<Candidate>
collectCandidates(const int32_t * coordIndex, int numTriangles, const SbVec3f * points,
                  int numPoints, const hugepages::Vector<uint8_t> & isProtected)
{
  hugepages::Vector<Candidate> candidates;
  candidates.reserve(size_t(numTriangles));
  for (int t = 0; t < numTriangles; ++t) {
    const int32_t * corner = coordIndex + 4 * size_t(t);
    // A triangle that names a vertex outside the list proposes nothing.
    if (!isValidIndex(corner[0], numPoints) || !isValidIndex(corner[1], numPoints) ||
        !isValidIndex(corner[2], numPoints)) {
      continue;
    }
    Candidate best = {std::numeric_limits<float>::infinity(), -1, -1};
    for (int j = 0; j < 3; ++j) {
      const int32_t from = corner[j];
      const int32_t to = corner[j == 2 ? 0 : j + 1];
      if (isProtected[size_t(from)] || from == to) continue;
      const float dx = points[to][0] - points[from][0];
      const float dy = points[to][1] - points[from][1];
      const float dz = points[to][2] - points[from][2];
      const float length = (dx * dx + dy * dy) + dz * dz;
      if (length < best.length) best = {length, from, to};
    }
    if (best.from >= 0) candidates.push_back(best);
  }
  return candidates;
}

// For every vertex the triangles that use it, as the chunk stands at the start of the pass,
// each as the two corners that follow the vertex and the vertex's place among the corners:
// those of vertex v are entries start[v] up to start[v + 1]. The corners are kept here rather
// than looked up, since the choice reads them in no order a cache would foresee.
struct Incidence {
  // The vertex's place among the triangle's corners is kept in the sign bits of the two.
  struct Entry {
    int32_t next, last;
  };
  hugepages::Vector<int32_t> start;
  hugepages::Vector<Entry> entries;
};

bool validTriangle(const int32_t * corner, int numPoints)
{
  return isValidIndex(corner[0], numPoints) && isValidIndex(corner[1], numPoints) &&
         isValidIndex(corner[2], numPoints);
}

// The lists live on between the passes of a thread: mapping tens of megabytes afresh, page by
// page, for every pass of a large chunk would cost more than filling them. Lists four times
// larger than a chunk needs are given back.
const Incidence & incidenceOf(const int32_t * coordIndex, int numTriangles, int numPoints)
{
  thread_local Incidence incidence;
  // What a far larger chunk left behind goes back, so that a thread holds no more than its
  // chunks need as the tree comes to its smaller cells.
  if (incidence.entries.capacity() > size_t(numTriangles) * 3 * 4) {
    hugepages::Vector<Incidence::Entry>().swap(incidence.entries);
    hugepages::Vector<int32_t>().swap(incidence.start);
  }
  incidence.start.assign(size_t(numPoints) + 1, 0);
  for (int t = 0; t < numTriangles; ++t) {
    const int32_t * corner = coordIndex + 4 * size_t(t);
    if (!validTriangle(corner, numPoints)) continue;
    for (int k = 0; k < 3; ++k) ++incidence.start[size_t(corner[k])];
  }
  // Running sums to the end of each vertex's entries; filling backwards from there leaves each
  // vertex's start in place and its triangles in order.
  for (size_t v = 1; v <= size_t(numPoints); ++v) incidence.start[v] += incidence.start[v - 1];
  incidence.entries.resize(size_t(incidence.start[size_t(numPoints)]));
  for (int t = numTriangles - 1; t >= 0; --t) {
    const int32_t * corner = coordIndex + 4 * size_t(t);
    if (!validTriangle(corner, numPoints)) continue;
    static const int after[3] = {1, 2, 0}, before[3] = {2, 0, 1};
    for (int k = 0; k < 3; ++k) {
      const size_t at = size_t(--incidence.start[size_t(corner[k])]);
      const int32_t next = corner[after[k]], last = corner[before[k]];
      incidence.entries[at] = {k & 2 ? ~next : next, k & 1 ? ~last : last};
    }
  }
  return incidence;
}

// The final sweep's decision, worked out quickly where it is plain: a third corner farther off
// the line on the ground than the toolkit's single-precision arithmetic can err about the
// chunk's largest coordinate is never taken for lying on it, and its line need not be worked
// out.
class SweepTest {
public:
  SweepTest(const SbVec3f * points, int numPoints)
  {
    double largest = 0.0;
    for (int v = 0; v < numPoints; ++v)
      for (int k = 0; k < 3; ++k)
        if (std::isfinite(points[v][k])) largest = std::max(largest, std::fabs(double(points[v][k])));
    const double margin = 1e-4 + 1e-5 * largest;
    marginSquared = margin * margin;
  }

  // area: the triangle's ground area as groundArea gives it.
  bool sweptAway(const SbVec3f & p0, const SbVec3f & p1, const SbVec3f & p2, double area) const
  {
    const double dx = double(p1[0]) - double(p0[0]), dz = double(p1[2]) - double(p0[2]);
    const double base = dx * dx + dz * dz;
    if (base > 0.0 && area * area > marginSquared * base) return false;
    return onOneLine(p0, p1, p2);
  }

  bool sweptAway(const SbVec3f & p0, const SbVec3f & p1, const SbVec3f & p2) const
  {
    return sweptAway(p0, p1, p2, groundArea(p0, p1, p2));
  }

private:
  double marginSquared = 0.0;
};

// Chooses the collapses of one pass: a candidate is taken unless a vertex of it already took
// part in a collapse (merges never chain), or it would turn a triangle over, flatten it on the
// ground or leave it for the final sweep to delete (the fold rule), or fold the surface onto
// itself (the link condition).
// Every vertex merged so far counts at its target.
class CollapseChoice {
public:
  CollapseChoice(const EditableMesh & mesh, const SweepTest & sweep)
    : mesh(mesh), sweep(sweep),
      incidence(incidenceOf(mesh.coordIndex, mesh.numIndices / 4, mesh.numPoints)),
      collapseTarget(size_t(mesh.numPoints), free)
  {
  }

  bool accept(int32_t a, int32_t b)
  {
    if (collapseTarget[size_t(a)] != free || collapseTarget[size_t(b)] != free) return false;
    if (!keepsTriangles(a, b)) return false;
    // The link condition holds for every collapse: around an outline (a hole, the chunk's
    // edge) no other rule implies it.
    Ring ofA, ofB;
    if (!ringOf(a, b, ofA) || !ringOf(b, a, ofB) || !keepsLink(ofA, ofB)) return false;
    collapseTarget[size_t(a)] = b;
    collapseTarget[size_t(b)] = target;
    return true;
  }

  // Asks for what a later candidate will read, so that it is at hand when its turn comes: the
  // vertices' flags and lists first, then the lists' entries.
  void prefetch(int32_t a, int32_t b, int step) const
  {
    for (const int32_t v : {a, b}) {
      if (step == 0) {
        __builtin_prefetch(&collapseTarget[size_t(v)]);
        __builtin_prefetch(&incidence.start[size_t(v)]);
      } else {
        __builtin_prefetch(&incidence.entries[size_t(incidence.start[size_t(v)])]);
      }
    }
  }

  hugepages::Vector<int32_t> & targets(void) { return collapseTarget; }

private:
  // The vertices joined to a vertex now, apart from the other vertex of the collapse, and the
  // third corners of the triangles that hold both. Short lists: repeats do no harm.
  struct Ring {
    int32_t joined[96];
    int numJoined = 0;
    int32_t opposite[16];
    int numOpposite = 0;
  };

  int32_t at(int32_t v) const { return collapseTarget[size_t(v)] >= 0 ? collapseTarget[size_t(v)] : v; }

  // The corners of entry i of vertex v in the triangle's own order, and where they stand now.
  void cornersOf(int32_t v, int32_t i, int32_t (&corner)[3], int32_t (&now)[3]) const
  {
    const Incidence::Entry & entry = incidence.entries[size_t(i)];
    const int k = (entry.next < 0 ? 2 : 0) + (entry.last < 0 ? 1 : 0);
    static const int after[3] = {1, 2, 0}, before[3] = {2, 0, 1};
    corner[k] = v;
    corner[after[k]] = entry.next < 0 ? ~entry.next : entry.next;
    corner[before[k]] = entry.last < 0 ? ~entry.last : entry.last;
    for (int j = 0; j < 3; ++j) now[j] = at(corner[j]);
  }

  // Adds the corners of a triangle of v as it stands now; false when the lists are full.
  static bool join(int32_t v, int32_t other, const int32_t (&now)[3], Ring & ring)
  {
    if (now[0] == now[1] || now[1] == now[2] || now[2] == now[0]) return true; // flattened
    const bool holdsOther = now[0] == other || now[1] == other || now[2] == other;
    for (const int32_t u : now) {
      if (u == v || u == other) continue;
      if (holdsOther && ring.numOpposite < 16) ring.opposite[ring.numOpposite++] = u;
      else if (!holdsOther && ring.numJoined < 96) ring.joined[ring.numJoined++] = u;
      else return false;
    }
    return true;
  }

  bool ringOf(int32_t v, int32_t other, Ring & ring) const
  {
    for (int32_t i = incidence.start[size_t(v)]; i < incidence.start[size_t(v) + 1]; ++i) {
      int32_t corner[3], now[3];
      cornersOf(v, i, corner, now);
      if (!join(v, other, now, ring)) return false;
    }
    return true;
  }

  // The fold rule over the triangles that use a but not b, as the pass started.
  bool keepsTriangles(int32_t a, int32_t b) const
  {
    for (int32_t i = incidence.start[size_t(a)]; i < incidence.start[size_t(a) + 1]; ++i) {
      int32_t corner[3], now[3];
      cornersOf(a, i, corner, now);
      if (corner[0] == b || corner[1] == b || corner[2] == b) continue;
      SbVec3f before[3], after[3];
      for (int k = 0; k < 3; ++k) {
        before[k] = mesh.points[now[k]];
        after[k] = corner[k] == a ? mesh.points[b] : before[k];
      }
      const double sBefore = groundArea(before[0], before[1], before[2]);
      const double sAfter = groundArea(after[0], after[1], after[2]);
      // Flat on the ground before, a triangle is left to the sweep; otherwise it keeps its side
      // and more area than rounding could make of three points on one line (the cheap test
      // first).
      if (((sAfter > 0.0) != (sBefore > 0.0) || flatOnGround(after[0], after[1], after[2], sAfter)) &&
          !flatOnGround(before[0], before[1], before[2], sBefore))
        return false;
      if (sweep.sweptAway(after[0], after[1], after[2], sAfter) &&
          !sweep.sweptAway(before[0], before[1], before[2], sBefore))
        return false;
    }
    return true;
  }

  // The link condition: a vertex joined to both a and b must be the third corner of a triangle
  // that holds both, or the triangles about a would come to lie over those about b.
  static bool keepsLink(const Ring & ofA, const Ring & ofB)
  {
    const auto within = [](const int32_t * list, int count, int32_t u) {
      return std::find(list, list + count, u) != list + count;
    };
    for (int i = 0; i < ofA.numJoined; ++i) {
      const int32_t u = ofA.joined[i];
      if (!within(ofA.opposite, ofA.numOpposite, u) &&
          (within(ofB.joined, ofB.numJoined, u) || within(ofB.opposite, ofB.numOpposite, u)))
        return false;
    }
    return true;
  }

  const EditableMesh & mesh;
  const SweepTest & sweep;
  const Incidence & incidence;
  // For every vertex the vertex it is merged into, or free, or target when another is merged
  // into it.
  static constexpr int32_t free = -1, target = -2;
  hugepages::Vector<int32_t> collapseTarget;
};

// Accepts collapses shortest first until the triangles counted as removed reach the quota (see
// CollapseChoice). Gives for every vertex the vertex it is merged into, or a negative number;
// or nothing when no collapse was accepted.
hugepages::Vector<int32_t> chooseCollapses(const hugepages::Vector<Candidate> & candidates,
                                           const EditableMesh & mesh, const SweepTest & sweep,
                                           int64_t quota)
{
  CollapseChoice choice(mesh, sweep);
  int64_t removedCount = 0;
  const size_t ahead[2] = {16, 8};
  for (size_t k = 0; k < candidates.size() && removedCount < quota; ++k) {
    for (int step = 0; step < 2; ++step)
      if (k + ahead[step] < candidates.size())
        choice.prefetch(candidates[k + ahead[step]].from, candidates[k + ahead[step]].to, step);
    if (choice.accept(candidates[k].from, candidates[k].to)) removedCount += trianglesPerCollapse;
  }
  hugepages::Vector<int32_t> collapseTarget = std::move(choice.targets());
  if (removedCount == 0) collapseTarget.clear();
  return collapseTarget;
}

// Rewrites the triangles in place in one sweep: drops those a collapse flattens and, as the
// final straight-line sweep would, those whose corners lie on one line (that test looks only at
// the triangle's own corners, so it can run here on the positions before the vertex lists
// shrink); renumbers the rest. Returns the new number of entries. An empty target list means
// no collapse.
int rewriteFaces(int32_t * coordIndex, int numIndices, const SbVec3f * points, int numPoints,
                 const hugepages::Vector<int32_t> & collapseTarget, const SweepTest & sweep)
{
  const bool collapses = !collapseTarget.empty();
  // Index shifts: a surviving vertex moves down by the number of removed vertices before it.
  hugepages::Vector<int32_t> newIndex;
  if (collapses) {
    newIndex.resize(size_t(numPoints));
    int32_t removedBelow = 0;
    for (int v = 0; v < numPoints; ++v) {
      newIndex[size_t(v)] = v - removedBelow;
      if (collapseTarget[size_t(v)] >= 0) ++removedBelow;
    }
  }
  const int numTriangles = numIndices / 4;
  int out = 0;
  for (int t = 0; t < numTriangles; ++t) {
    int32_t entry[4];
    for (int k = 0; k < 4; ++k) entry[k] = coordIndex[4 * size_t(t) + size_t(k)];
    bool valid[3];
    int32_t target[3];
    for (int k = 0; k < 3; ++k) {
      valid[k] = isValidIndex(entry[k], numPoints);
      target[k] = collapses && valid[k] ? collapseTarget[size_t(entry[k])] : -1;
    }
    // Flattened: a corner is merged into one of the other two corners.
    if ((target[0] >= 0 && (target[0] == entry[1] || target[0] == entry[2])) ||
        (target[1] >= 0 && (target[1] == entry[2] || target[1] == entry[0])) ||
        (target[2] >= 0 && (target[2] == entry[0] || target[2] == entry[1]))) {
      continue;
    }
    int32_t survivor[3];
    for (int k = 0; k < 3; ++k) survivor[k] = target[k] >= 0 ? target[k] : entry[k];
    // A triangle naming a vertex outside the list cannot be measured and is kept as it is,
    // apart from the renumbering of its other corners.
    if (valid[0] && valid[1] && valid[2] &&
        sweep.sweptAway(points[survivor[0]], points[survivor[1]], points[survivor[2]])) {
      continue;
    }
    for (int k = 0; k < 3; ++k) {
      coordIndex[out + k] = collapses && valid[k] ? newIndex[size_t(survivor[k])] : survivor[k];
    }
    coordIndex[out + 3] = entry[3];
    out += 4;
  }
  // Entries that do not fill a group of four stay behind the last triangle.
  for (int rest = 4 * numTriangles; rest < numIndices; ++rest) coordIndex[out++] = coordIndex[rest];
  return out;
}

// Drops the removed vertices from a per-vertex list in one sweep; entries past the vertex count
// (a longer list) are kept.
template <typename Value>
int compactVertices(Value * values, int numValues,
                           const hugepages::Vector<int32_t> & collapseTarget)
{
  int out = 0;
  for (int v = 0; v < numValues; ++v) {
    if (size_t(v) < collapseTarget.size() && collapseTarget[size_t(v)] >= 0) continue;
    values[out++] = values[v];
  }
  return out;
}

} // namespace

int reducePass(EditableMesh & mesh, const VertexWelder & protectedPositions, int percent)
{
  return reducePassWithQuota(mesh, protectedPositions, int64_t(mesh.numIndices / 4) * percent / 100);
}

int reducePassWithQuota(EditableMesh & mesh, const VertexWelder & protectedPositions, int64_t quota)
{
  const int numPoints = mesh.numPoints;
  const int numIndices = mesh.numIndices;

  const SweepTest sweep(mesh.points, numPoints);
  hugepages::Vector<int32_t> collapseTarget;
  if (quota > 0) {
    // With a quota of zero no collapse is accepted, so there is nothing to propose or sort.
    hugepages::Vector<Candidate> candidates =
      collectCandidates(mesh.coordIndex, numIndices / 4, mesh.points, numPoints,
                        markProtected(mesh.points, numPoints, protectedPositions));
    middlePivotSort(candidates.data(), 0, int(candidates.size()) - 1,
                    [](const Candidate & c) { return c.length; });
    collapseTarget = chooseCollapses(candidates, mesh, sweep, quota);
  }

  mesh.numIndices =
    rewriteFaces(mesh.coordIndex, numIndices, mesh.points, numPoints, collapseTarget, sweep);
  if (collapseTarget.empty()) return 0;
  mesh.numPoints = compactVertices(mesh.points, numPoints, collapseTarget);
  mesh.numTexCoords = compactVertices(mesh.texCoords, mesh.numTexCoords, collapseTarget);
  return numPoints - mesh.numPoints;
}

void reduceByShare(EditableMesh & mesh, const VertexWelder & protectedPositions, int percent)
{
  const int64_t first = mesh.numIndices / 4;
  const int64_t target = first * percent / 100;
  int accepted = reducePassWithQuota(mesh, protectedPositions, target);
  while (accepted > 0 && first - mesh.numIndices / 4 < target)
    accepted = reducePassWithQuota(mesh, protectedPositions, target - (first - mesh.numIndices / 4));
}
