// Lowering a chunk's triangle count by collapsing short edges, one pass per call. Every list is
// rewritten in one sweep (survivors keep their order), so a pass costs a sort plus a few linear
// walks instead of one list move per deleted triangle or vertex.

#include "meshreduce.h"

#include "hugepages.h"
#include "vertexwelder.h"

#include <Inventor/SbLine.h>

#include <cassert>
#include <limits>
#include <utility>
#include <vector>

namespace {

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

// Accepts collapses shortest first until the triangles counted as removed reach the quota; a
// vertex takes part in at most one collapse per pass, so merges never chain. Gives for every
// vertex the vertex it is merged into, or -1; or nothing when no collapse was accepted.
hugepages::Vector<int32_t> chooseCollapses(const hugepages::Vector<Candidate> & candidates,
                                                  int numPoints, int64_t quota)
{
  hugepages::Vector<int32_t> collapseTarget(size_t(numPoints), -1);
  hugepages::Vector<uint8_t> taken(size_t(numPoints), 0); // removed, or the target of a collapse
  int64_t removedCount = 0;
  for (size_t k = 0; k < candidates.size() && removedCount < quota; ++k) {
    const int32_t a = candidates[k].from;
    const int32_t b = candidates[k].to;
    if (taken[size_t(a)] || taken[size_t(b)]) continue;
    taken[size_t(a)] = 1;
    taken[size_t(b)] = 1;
    collapseTarget[size_t(a)] = b;
    removedCount += trianglesPerCollapse;
  }
  if (removedCount == 0) collapseTarget.clear();
  return collapseTarget;
}

// Rewrites the triangles in place in one sweep: drops those a collapse flattens and, as the
// final straight-line sweep would, those whose corners lie on one line (that test looks only at
// the triangle's own corners, so it can run here on the positions before the vertex lists
// shrink); renumbers the rest. Returns the new number of entries. An empty target list means
// no collapse.
int rewriteFaces(int32_t * coordIndex, int numIndices, const SbVec3f * points, int numPoints,
                        const hugepages::Vector<int32_t> & collapseTarget)
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
        onOneLine(points[survivor[0]], points[survivor[1]], points[survivor[2]])) {
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

// Middle entry as pivot, entries equal to it swapped, the lower part sorted before the upper
// one. The two parts may share one entry, so their order matters; a stack of pending upper parts
// keeps that order without deep recursion on unlucky input.
void sortCandidates(Candidate * candidates, int lo, int hi)
{
  assert(candidates != nullptr || lo >= hi);
  std::vector<std::pair<int, int>> pending;
  for (;;) {
    if (lo < hi) {
      const float pivot = candidates[(lo + hi) / 2].length;
      int i = lo;
      int j = hi;
      do {
        while (candidates[i].length < pivot) ++i;
        while (pivot < candidates[j].length) --j;
        if (i <= j) {
          std::swap(candidates[i], candidates[j]);
          ++i;
          --j;
        }
      } while (i < j);
      if (i < hi) pending.emplace_back(i, hi);
      hi = j; // the lower part next; nothing to do when lo >= j
      continue;
    }
    if (pending.empty()) return;
    lo = pending.back().first;
    hi = pending.back().second;
    pending.pop_back();
  }
}

void reducePass(EditableMesh & mesh, const VertexWelder & protectedPositions, int percent)
{
  const int numPoints = mesh.numPoints;
  const int numIndices = mesh.numIndices;
  const int numTriangles = numIndices / 4;
  const int64_t quota = int64_t(numTriangles) * percent / 100;

  hugepages::Vector<int32_t> collapseTarget;
  if (quota > 0) {
    // With a quota of zero no collapse is accepted, so there is nothing to propose or sort.
    hugepages::Vector<Candidate> candidates =
      collectCandidates(mesh.coordIndex, numTriangles, mesh.points, numPoints,
                        markProtected(mesh.points, numPoints, protectedPositions));
    sortCandidates(candidates.data(), 0, int(candidates.size()) - 1);
    collapseTarget = chooseCollapses(candidates, numPoints, quota);
  }

  mesh.numIndices =
    rewriteFaces(mesh.coordIndex, numIndices, mesh.points, numPoints, collapseTarget);
  if (collapseTarget.empty()) return;
  mesh.numPoints = compactVertices(mesh.points, numPoints, collapseTarget);
  mesh.numTexCoords = compactVertices(mesh.texCoords, mesh.numTexCoords, collapseTarget);
}
