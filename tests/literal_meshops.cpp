#include "literal_meshops.h"

#include "groundplane.h"

#include <Inventor/SbBSPTree.h>
#include <Inventor/SbLine.h>
#include <Inventor/SoFullPath.h>
#include <Inventor/actions/SoSearchAction.h>
#include <Inventor/fields/SoMFFloat.h>
#include <Inventor/fields/SoMFInt32.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

#include <cmath>
#include <limits>
#include <set>

namespace literal {

static SoNode * searchFirst(SoSearchAction * search, SoNode * node, SoType type)
{
  search->setType(type, TRUE);
  search->setInterest(SoSearchAction::FIRST);
  search->setSearchingAll(TRUE);
  search->apply(node);
  if (search->getPath() == NULL) return NULL;
  return static_cast<SoFullPath *>(search->getPath())->getTail();
}

static void addBorderPoint(SbBSPTree * borderPoints, const SbVec3f & p)
{
  if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) return;
  if (borderPoints->findPoint(p) == -1) borderPoints->addPoint(p, NULL);
}

SoSeparator * cutRegion(SoNode * node, float x1, float y1, float x2, float y2,
                        SbBSPTree * borderPoints)
{
  SoSeparator * chunk = new SoSeparator;
  SoCoordinate3 * coords = new SoCoordinate3;
  SbBSPTree * numbering = new SbBSPTree(16, 0);
  SoIndexedFaceSet * faces = new SoIndexedFaceSet;
  SoTextureCoordinate2 * texCoords = new SoTextureCoordinate2;
  chunk->ref();
  coords->point.setNum(0);
  faces->coordIndex.setNum(0);

  SoSearchAction * search = new SoSearchAction;
  SoCoordinate3 * inCoords =
    static_cast<SoCoordinate3 *>(searchFirst(search, node, SoCoordinate3::getClassTypeId()));
  SoIndexedFaceSet * inFaces = inCoords == NULL ? NULL :
    static_cast<SoIndexedFaceSet *>(searchFirst(search, node, SoIndexedFaceSet::getClassTypeId()));
  SoTextureCoordinate2 * inTex = inFaces == NULL ? NULL :
    static_cast<SoTextureCoordinate2 *>(
      searchFirst(search, node, SoTextureCoordinate2::getClassTypeId()));
  if (inTex == NULL) {
    delete numbering;
    delete search;
    chunk->unref();
    coords->ref();
    coords->unref();
    faces->ref();
    faces->unref();
    texCoords->ref();
    texCoords->unref();
    return NULL;
  }

  const int n = inFaces->coordIndex.getNum() / 4;
  for (int t = 0; t < n; t++) {
    SbVec3f p[3];
    int inside[3];
    int index[3];
    for (int k = 0; k < 3; k++) {
      index[k] = inFaces->coordIndex[4 * t + k];
      p[k] = inCoords->point[index[k]];
      inside[k] = (x1 < p[k][0] && p[k][0] < x2 && y1 < p[k][2] && p[k][2] < y2) ? 1 : 0;
    }
    float cx = 0.0f;
    cx = cx + p[0][0];
    cx = cx + p[1][0];
    cx = cx + p[2][0];
    cx = cx / 3.0f;
    float cz = 0.0f;
    cz = cz + p[0][2];
    cz = cz + p[1][2];
    cz = cz + p[2][2];
    cz = cz / 3.0f;
    const int keep = (x1 <= cx && cx <= x2 && y1 <= cz && cz <= y2) ? 1 : 0;

    if (keep == 1) {
      for (int k = 0; k < 3; k++) {
        int v = numbering->findPoint(p[k]);
        if (v == -1) v = numbering->addPoint(p[k], NULL);
        const int num = faces->coordIndex.getNum();
        faces->coordIndex.set1Value(num, v);
        if (texCoords->point.getNum() < v + 1) texCoords->point.setNum(v + 1);
        texCoords->point.set1Value(v, inTex->point[index[k]]);
      }
      faces->coordIndex.set1Value(faces->coordIndex.getNum(), -1);
    }

    const int c = inside[0] + inside[1] + inside[2];
    for (int k = 0; k < 3; k++) {
      bool record = false;
      if (c == 0) record = keep == 1;
      else if (c == 1 || c == 2) record = keep == 1 ? inside[k] == 0 : inside[k] == 1;
      if (record) addBorderPoint(borderPoints, p[k]);
    }
  }

  coords->point.setNum(numbering->numPoints());
  for (int j = 0; j < numbering->numPoints(); j++) {
    coords->point.set1Value(j, numbering->getPoint(j));
  }
  delete numbering;
  chunk->addChild(coords);
  chunk->addChild(texCoords);
  chunk->addChild(faces);
  delete search;
  return chunk;
}

void sortCandidates(SoMFFloat & lengths, SoMFInt32 & from, SoMFInt32 & to, int lo, int hi)
{
  const float pivot = lengths[(lo + hi) / 2];
  int i = lo;
  int j = hi;
  do {
    while (lengths[i] < pivot) i++;
    while (pivot < lengths[j]) j--;
    if (i <= j) {
      const float l = lengths[i];
      lengths.set1Value(i, lengths[j]);
      lengths.set1Value(j, l);
      const int32_t f = from[i];
      from.set1Value(i, from[j]);
      from.set1Value(j, f);
      const int32_t d = to[i];
      to.set1Value(i, to[j]);
      to.set1Value(j, d);
      i++;
      j--;
    }
  } while (i < j);
  if (lo < j) sortCandidates(lengths, from, to, lo, j);
  if (i < hi) sortCandidates(lengths, from, to, i, hi);
}

void removeCollinearTriangles(SoCoordinate3 * coordinates, SoIndexedFaceSet * faceSet)
{
  for (int i = 0; i < faceSet->coordIndex.getNum() / 4; i++) {
    const SbVec3f p0 = coordinates->point[faceSet->coordIndex[4 * i]];
    const SbVec3f p1 = coordinates->point[faceSet->coordIndex[4 * i + 1]];
    const SbVec3f p2 = coordinates->point[faceSet->coordIndex[4 * i + 2]];
    SbLine line;
    line.setValue(p0, p1);
    if (line.getClosestPoint(p2).equals(p2, 1e-9f)) {
      faceSet->coordIndex.deleteValues(4 * i, 4);
      i--;
    }
  }
}

// The fold rule, triangle by triangle over the whole chunk: true when a triangle that uses a
// but not b has a ground area of one sign with a in place and zero or the other sign with a at
// b, or becomes one that the final sweep deletes, every vertex already accepted for removal
// standing at its target.
static bool foldsATriangle(SoCoordinate3 * coords, SoIndexedFaceSet * faces,
                           const SoMFInt32 & collapseTarget, int32_t a, int32_t b)
{
  for (int i = 0; i < faces->coordIndex.getNum() / 4; i++) {
    int32_t t[3];
    for (int j = 0; j < 3; j++) t[j] = faces->coordIndex[4 * i + j];
    if (t[0] != a && t[1] != a && t[2] != a) continue;
    if (t[0] == b || t[1] == b || t[2] == b) continue;
    double before[3][2], after[3][2];
    for (int j = 0; j < 3; j++) {
      const int32_t moved = collapseTarget[t[j]] != -1 ? collapseTarget[t[j]] : t[j];
      const SbVec3f p = coords->point[moved];
      const SbVec3f q = t[j] == a ? coords->point[b] : p;
      before[j][0] = p[0];
      before[j][1] = p[2];
      after[j][0] = q[0];
      after[j][1] = q[2];
    }
    const double sBefore = (before[1][0] - before[0][0]) * (before[2][1] - before[0][1]) -
                           (before[2][0] - before[0][0]) * (before[1][1] - before[0][1]);
    const double sAfter = (after[1][0] - after[0][0]) * (after[2][1] - after[0][1]) -
                          (after[2][0] - after[0][0]) * (after[1][1] - after[0][1]);
    const SbVec3f & p0 = coords->point[collapseTarget[t[0]] != -1 ? collapseTarget[t[0]] : t[0]];
    const SbVec3f & p1 = coords->point[collapseTarget[t[1]] != -1 ? collapseTarget[t[1]] : t[1]];
    const SbVec3f & p2 = coords->point[collapseTarget[t[2]] != -1 ? collapseTarget[t[2]] : t[2]];
    const SbVec3f q0 = t[0] == a ? coords->point[b] : p0, q1 = t[1] == a ? coords->point[b] : p1,
                  q2 = t[2] == a ? coords->point[b] : p2;
    if (!flatOnGround(p0, p1, p2, sBefore) && (flatOnGround(q0, q1, q2, sAfter) || (sBefore < 0) != (sAfter < 0)))
      return true;
    const SbVec3f b0 = coords->point[collapseTarget[t[0]] != -1 ? collapseTarget[t[0]] : t[0]];
    const SbVec3f b1 = coords->point[collapseTarget[t[1]] != -1 ? collapseTarget[t[1]] : t[1]];
    const SbVec3f b2 = coords->point[collapseTarget[t[2]] != -1 ? collapseTarget[t[2]] : t[2]];
    const SbVec3f a0 = t[0] == a ? coords->point[b] : b0;
    const SbVec3f a1 = t[1] == a ? coords->point[b] : b1;
    const SbVec3f a2 = t[2] == a ? coords->point[b] : b2;
    SbLine lineBefore, lineAfter;
    lineBefore.setValue(b0, b1);
    lineAfter.setValue(a0, a1);
    if (lineAfter.getClosestPoint(a2).equals(a2, 1e-9f) &&
        !lineBefore.getClosestPoint(b2).equals(b2, 1e-9f))
      return true;
  }
  return false;
}

// The link condition, over the whole chunk as the pass has left it so far: every vertex joined
// by an edge to both a and b is the third corner of a triangle that holds both.
static bool breaksTheSurface(SoIndexedFaceSet * faces, const SoMFInt32 & collapseTarget,
                             const SoMFInt32 &, int32_t a, int32_t b)
{
  std::set<int32_t> ofA, ofB, opposite;
  for (int i = 0; i < faces->coordIndex.getNum() / 4; i++) {
    int32_t t[3];
    for (int j = 0; j < 3; j++) {
      t[j] = faces->coordIndex[4 * i + j];
      if (collapseTarget[t[j]] != -1) t[j] = collapseTarget[t[j]];
    }
    if (t[0] == t[1] || t[1] == t[2] || t[2] == t[0]) continue;
    const bool holdsA = t[0] == a || t[1] == a || t[2] == a;
    const bool holdsB = t[0] == b || t[1] == b || t[2] == b;
    for (int j = 0; j < 3; j++) {
      if (t[j] == a || t[j] == b) continue;
      if (holdsA && holdsB) opposite.insert(t[j]);
      else if (holdsA) ofA.insert(t[j]);
      else if (holdsB) ofB.insert(t[j]);
    }
  }
  for (const int32_t u : ofA)
    if (opposite.count(u) == 0 && ofB.count(u) != 0) return true;
  return false;
}

void reduce(SoNode * node, SbBSPTree * borderPoints, int percent)
{
  SoSearchAction * search = new SoSearchAction;
  SoCoordinate3 * coords =
    static_cast<SoCoordinate3 *>(searchFirst(search, node, SoCoordinate3::getClassTypeId()));
  SoIndexedFaceSet * faces = coords == NULL ? NULL :
    static_cast<SoIndexedFaceSet *>(searchFirst(search, node, SoIndexedFaceSet::getClassTypeId()));
  SoTextureCoordinate2 * tex = faces == NULL ? NULL :
    static_cast<SoTextureCoordinate2 *>(
      searchFirst(search, node, SoTextureCoordinate2::getClassTypeId()));
  if (tex == NULL) {
    delete search;
    return;
  }

  SoMFFloat * candidateLength = new SoMFFloat;
  SoMFInt32 * candidateFrom = new SoMFInt32;
  SoMFInt32 * candidateTo = new SoMFInt32;
  SoMFInt32 * vertexRemoved = new SoMFInt32;
  SoMFInt32 * collapseTarget = new SoMFInt32;
  SoMFInt32 * vertexIsTarget = new SoMFInt32;

  const int T = faces->coordIndex.getNum() / 4;
  for (int i = 0; i < T; i++) {
    SbVec3f p[3];
    for (int j = 0; j < 3; j++) p[j] = coords->point[faces->coordIndex[4 * i + j]];
    float best = std::numeric_limits<float>::infinity();
    bool taken = false;
    int32_t bestFrom = -1;
    int32_t bestTo = -1;
    for (int j = 0; j < 3; j++) {
      if (borderPoints->findPoint(p[j]) != -1) continue;
      const int32_t from = faces->coordIndex[4 * i + j];
      const int32_t to = faces->coordIndex[4 * i + (j + 1) % 3];
      if (from == to) continue;
      const SbVec3f & a = p[j];
      const SbVec3f & b = p[(j + 1) % 3];
      float d = (a[0] - b[0]) * (a[0] - b[0]);
      d = d + (a[1] - b[1]) * (a[1] - b[1]);
      d = d + (a[2] - b[2]) * (a[2] - b[2]);
      if (d < best) {
        best = d;
        bestFrom = from;
        bestTo = to;
        taken = true;
      }
    }
    if (taken) {
      const int k = candidateLength->getNum();
      candidateLength->set1Value(k, best);
      candidateFrom->set1Value(k, bestFrom);
      candidateTo->set1Value(k, bestTo);
    }
  }

  if (candidateLength->getNum() > 0) {
    sortCandidates(*candidateLength, *candidateFrom, *candidateTo, 0,
                   candidateLength->getNum() - 1);
  }

  const int numVertices = coords->point.getNum();
  vertexRemoved->setNum(numVertices);
  collapseTarget->setNum(numVertices);
  vertexIsTarget->setNum(numVertices);
  for (int v = 0; v < numVertices; v++) {
    vertexRemoved->set1Value(v, -1);
    collapseTarget->set1Value(v, -1);
    vertexIsTarget->set1Value(v, -1);
  }

  const int32_t quota = T * percent / 100;
  int32_t removedCount = 0;
  for (int k = 0; k < candidateLength->getNum() && removedCount < quota; k++) {
    const int32_t a = (*candidateFrom)[k];
    const int32_t b = (*candidateTo)[k];
    if ((*vertexRemoved)[a] == -1 && (*vertexRemoved)[b] == -1 && (*vertexIsTarget)[a] == -1 &&
        (*vertexIsTarget)[b] == -1 && !foldsATriangle(coords, faces, *collapseTarget, a, b) &&
        !breaksTheSurface(faces, *collapseTarget, *vertexIsTarget, a, b)) {
      vertexRemoved->set1Value(a, 1);
      collapseTarget->set1Value(a, b);
      vertexIsTarget->set1Value(b, 1);
      removedCount += 2;
    }
  }

  int c = 0;
  for (int v = 0; v < numVertices; v++) {
    if ((*vertexRemoved)[v] == 1) {
      vertexRemoved->set1Value(v, c);
      c++;
    } else {
      vertexRemoved->set1Value(v, c);
    }
  }

  for (int i = 0; i < faces->coordIndex.getNum() / 4; i++) {
    int32_t t[3];
    for (int j = 0; j < 3; j++) t[j] = faces->coordIndex[4 * i + j];
    bool degenerate = false;
    for (int j = 0; j < 3; j++) {
      const int32_t target = (*collapseTarget)[t[j]];
      if (target != -1 && (target == t[(j + 1) % 3] || target == t[(j + 2) % 3])) {
        degenerate = true;
      }
    }
    if (degenerate) {
      faces->coordIndex.deleteValues(4 * i, 4);
      i--;
      continue;
    }
    for (int j = 0; j < 3; j++) {
      int32_t u = (*collapseTarget)[t[j]];
      if (u == -1) u = t[j];
      faces->coordIndex.set1Value(4 * i + j, u - (*vertexRemoved)[u]);
    }
  }

  int deletions = 0;
  for (int v = 0; v < numVertices; v++) {
    if ((*collapseTarget)[v] != -1) {
      coords->point.deleteValues(v - deletions, 1);
      tex->point.deleteValues(v - deletions, 1);
      deletions++;
    }
  }

  removeCollinearTriangles(coords, faces);

  delete candidateLength;
  delete candidateFrom;
  delete candidateTo;
  delete vertexRemoved;
  delete collapseTarget;
  delete vertexIsTarget;
  delete search;
}

} // namespace literal
