#include "scenecheck.h"

#include <Inventor/actions/SoCallbackAction.h>
#include <Inventor/elements/SoCoordinateElement.h>
#include <Inventor/elements/SoTextureCoordinateElement.h>
#include <Inventor/misc/SoChildList.h>
#include <Inventor/nodes/SoFaceSet.h>
#include <Inventor/nodes/SoIndexedLineSet.h>
#include <Inventor/nodes/SoIndexedPointSet.h>
#include <Inventor/nodes/SoIndexedShape.h>
#include <Inventor/nodes/SoNonIndexedShape.h>
#include <Inventor/nodes/SoQuadMesh.h>
#include <Inventor/nodes/SoTriangleStripSet.h>
#include <Inventor/nodes/SoVertexProperty.h>
#include <Inventor/nodes/SoVertexShape.h>

#include <algorithm>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

const uint64_t withoutEnd = std::numeric_limits<uint64_t>::max();

uint64_t saturatingAdd(uint64_t a, uint64_t b)
{
  return a > withoutEnd - b ? withoutEnd : a + b;
}

uint64_t saturatingMultiply(uint64_t a, uint64_t b)
{
  return b != 0 && a > withoutEnd / b ? withoutEnd : a * b;
}

// Shapes that are not vertex-based (spheres, text, NURBS) make a few hundred triangles at the
// usual complexity.
const uint64_t otherShapeTriangles = 1000;

uint64_t verticesListed(const SoMFInt32 & numVertices)
{
  uint64_t sum = 0;
  for (int i = 0; i < numVertices.getNum(); ++i)
    if (numVertices[i] > 0) sum = saturatingAdd(sum, uint64_t(numVertices[i]));
  return sum;
}

uint64_t shapeTriangles(const SoNode * node)
{
  if (node->isOfType(SoIndexedShape::getClassTypeId()))
    return uint64_t(static_cast<const SoIndexedShape *>(node)->coordIndex.getNum());
  if (node->isOfType(SoFaceSet::getClassTypeId()))
    return std::max<uint64_t>(1, verticesListed(static_cast<const SoFaceSet *>(node)->numVertices));
  if (node->isOfType(SoTriangleStripSet::getClassTypeId()))
    return std::max<uint64_t>(
      1, verticesListed(static_cast<const SoTriangleStripSet *>(node)->numVertices));
  if (node->isOfType(SoQuadMesh::getClassTypeId())) {
    const SoQuadMesh * mesh = static_cast<const SoQuadMesh *>(node);
    const int64_t rows = std::max(0, mesh->verticesPerColumn.getValue());
    const int64_t columns = std::max(0, mesh->verticesPerRow.getValue());
    return saturatingMultiply(saturatingMultiply(uint64_t(rows), uint64_t(columns)), 2);
  }
  if (node->isOfType(SoShape::getClassTypeId())) return otherShapeTriangles;
  return 0;
}

// The coordinates a vertex shape reads: its own vertex property's, when it has any, else the
// current ones.
int32_t coordinatesFor(const SoVertexShape * shape, SoState * state)
{
  const SoNode * property = shape->vertexProperty.getValue();
  if (property != nullptr && property->isOfType(SoVertexProperty::getClassTypeId())) {
    const SoVertexProperty * vp = static_cast<const SoVertexProperty *>(property);
    if (vp->vertex.getNum() > 0) return vp->vertex.getNum();
  }
  return SoCoordinateElement::getInstance(state)->getNum();
}

// The explicit texture coordinates a shape reads, or -1 when they are made some other way
// (generated from the bounding box or by a function) and cannot run out.
int32_t textureCoordinatesFor(const SoVertexShape * shape, SoState * state)
{
  const SoNode * property = shape->vertexProperty.getValue();
  if (property != nullptr && property->isOfType(SoVertexProperty::getClassTypeId())) {
    const SoVertexProperty * vp = static_cast<const SoVertexProperty *>(property);
    if (vp->texCoord.getNum() > 0) return vp->texCoord.getNum();
    if (vp->texCoord3.getNum() > 0) return vp->texCoord3.getNum();
  }
  const SoTextureCoordinateElement * element = SoTextureCoordinateElement::getInstance(state);
  if (element->getType(0) != SoTextureCoordinateElement::EXPLICIT) return -1;
  return element->getNum(0);
}

int32_t largestIndex(const SoMFInt32 & indices)
{
  int32_t largest = -1;
  for (int i = 0; i < indices.getNum(); ++i) largest = std::max(largest, indices[i]);
  return largest;
}

bool indexedShapeFits(const SoIndexedShape * shape, int32_t coordinates, int32_t texCoords)
{
  if (largestIndex(shape->coordIndex) >= coordinates) return false;
  if (texCoords < 0) return true;
  // Texture coordinates follow their own indices when there are any, else the vertex indices.
  const SoMFInt32 & own = shape->textureCoordIndex;
  const bool ownIndices = own.getNum() > 0 && own[0] >= 0;
  return largestIndex(ownIndices ? own : shape->coordIndex) < texCoords;
}

// Non-indexed shapes take their vertices one after the other from startIndex on.
bool runFits(int64_t start, int64_t count, int32_t available)
{
  return start >= 0 && count >= 0 && start + count <= int64_t(available);
}

bool listedVerticesFit(const SoMFInt32 & numVertices, int64_t start, int32_t coordinates)
{
  int64_t count = 0;
  for (int i = 0; i < numVertices.getNum(); ++i) {
    // A count of -1 takes the rest of the coordinates, whatever is left.
    if (numVertices[i] < 0) return start >= 0 && start + count <= int64_t(coordinates);
    count += numVertices[i];
  }
  return runFits(start, count, coordinates);
}

bool vertexShapeFits(const SoVertexShape * shape, SoState * state)
{
  const int32_t coordinates = coordinatesFor(shape, state);
  const int32_t texCoords = textureCoordinatesFor(shape, state);
  // Lines and points make no triangles.
  if (shape->isOfType(SoIndexedLineSet::getClassTypeId()) ||
      shape->isOfType(SoIndexedPointSet::getClassTypeId()))
    return true;
  if (shape->isOfType(SoIndexedShape::getClassTypeId()))
    return indexedShapeFits(static_cast<const SoIndexedShape *>(shape), coordinates, texCoords);
  if (!shape->isOfType(SoNonIndexedShape::getClassTypeId())) return true;
  const int64_t start = static_cast<const SoNonIndexedShape *>(shape)->startIndex.getValue();
  if (shape->isOfType(SoQuadMesh::getClassTypeId())) {
    const SoQuadMesh * mesh = static_cast<const SoQuadMesh *>(shape);
    const int64_t count =
      int64_t(mesh->verticesPerColumn.getValue()) * int64_t(mesh->verticesPerRow.getValue());
    return runFits(start, count, coordinates) && (texCoords < 0 || runFits(start, count, texCoords));
  }
  const SoMFInt32 * numVertices = nullptr;
  if (shape->isOfType(SoFaceSet::getClassTypeId()))
    numVertices = &static_cast<const SoFaceSet *>(shape)->numVertices;
  else if (shape->isOfType(SoTriangleStripSet::getClassTypeId()))
    numVertices = &static_cast<const SoTriangleStripSet *>(shape)->numVertices;
  else
    return true;
  return listedVerticesFit(*numVertices, start, coordinates) &&
         (texCoords < 0 || listedVerticesFit(*numVertices, start, texCoords));
}

} // namespace

namespace scenecheck {

uint64_t estimateTriangles(SoNode * scene)
{
  if (scene == nullptr) return 0;
  // Post-order over the distinct nodes with an explicit stack: a file may nest deeper than the
  // call stack reaches. A node on the stack that is met again closes a cycle.
  const uint64_t onStack = withoutEnd - 1;
  std::unordered_map<const SoNode *, uint64_t> total;
  std::vector<std::pair<SoNode *, int>> stack;
  stack.emplace_back(scene, 0);
  total[scene] = onStack;
  while (!stack.empty()) {
    SoNode * node = stack.back().first;
    const int next = stack.back().second;
    const SoChildList * children = node->getChildren();
    if (children != nullptr && next < children->getLength()) {
      ++stack.back().second;
      SoNode * child = (*children)[next];
      const auto known = total.find(child);
      if (known == total.end()) {
        total[child] = onStack;
        stack.emplace_back(child, 0);
      } else if (known->second == onStack) {
        return withoutEnd;
      }
      continue;
    }
    uint64_t sum = shapeTriangles(node);
    if (children != nullptr)
      for (int i = 0; i < children->getLength(); ++i) sum = saturatingAdd(sum, total[(*children)[i]]);
    total[node] = std::min(sum, onStack - 1);
    stack.pop_back();
  }
  return total[scene];
}

SoCallbackAction::Response checkShape(void * bad, SoCallbackAction * action, const SoNode * node)
{
  if (!node->isOfType(SoVertexShape::getClassTypeId())) return SoCallbackAction::CONTINUE;
  if (vertexShapeFits(static_cast<const SoVertexShape *>(node), action->getState()))
    return SoCallbackAction::CONTINUE;
  *static_cast<bool *>(bad) = true;
  return SoCallbackAction::ABORT;
}

} // namespace scenecheck
