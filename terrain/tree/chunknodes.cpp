#include "chunknodes.h"

#include "nodesearch.h"

#include <Inventor/actions/SoSearchAction.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

#include <algorithm>
#include <vector>

bool findChunkNodes(SoNode * node, ChunkNodes & found)
{
  SoSearchAction search;
  found.coords = static_cast<SoCoordinate3 *>(findFirst(search, node, SoCoordinate3::getClassTypeId()));
  found.faceSet = found.coords == nullptr ? nullptr
                                          : static_cast<SoIndexedFaceSet *>(findFirst(
                                              search, node, SoIndexedFaceSet::getClassTypeId()));
  found.texCoords = found.faceSet == nullptr
                      ? nullptr
                      : static_cast<SoTextureCoordinate2 *>(
                          findFirst(search, node, SoTextureCoordinate2::getClassTypeId()));
  if (found.texCoords != nullptr) return true;
  found = ChunkNodes();
  return false;
}

MeshView viewOf(const ChunkNodes & nodes, bool distinctPositions)
{
  MeshView view;
  view.points = nodes.coords->point.getValues(0);
  view.numPoints = nodes.coords->point.getNum();
  view.texCoords = nodes.texCoords->point.getValues(0);
  view.numTexCoords = nodes.texCoords->point.getNum();
  view.coordIndex = nodes.faceSet->coordIndex.getValues(0);
  view.numIndices = nodes.faceSet->coordIndex.getNum();
  view.distinctPositions = distinctPositions;
  return view;
}

NodeChunkWriter::NodeChunkWriter(void)
  : chunk(new SoSeparator)
{
  chunk->ref();
  nodes.coords = new SoCoordinate3;
  nodes.texCoords = new SoTextureCoordinate2;
  nodes.faceSet = new SoIndexedFaceSet;
  nodes.coords->point.setNum(0);
  nodes.texCoords->point.setNum(0);
  nodes.faceSet->coordIndex.setNum(0);
  chunk->addChild(nodes.coords);
  chunk->addChild(nodes.texCoords);
  chunk->addChild(nodes.faceSet);
}

NodeChunkWriter::~NodeChunkWriter(void)
{
  finish();
  if (chunk != nullptr) chunk->unref();
}

int32_t * NodeChunkWriter::indices(int32_t count)
{
  nodes.faceSet->coordIndex.setNum(count);
  return nodes.faceSet->coordIndex.startEditing();
}

void NodeChunkWriter::vertices(int32_t count, SbVec3f *& points, SbVec2f *& texCoords)
{
  nodes.coords->point.setNum(count);
  nodes.texCoords->point.setNum(count);
  points = nodes.coords->point.startEditing();
  texCoords = nodes.texCoords->point.startEditing();
  editing = true;
}

void NodeChunkWriter::finish(void)
{
  if (!editing) return;
  nodes.faceSet->coordIndex.finishEditing();
  nodes.coords->point.finishEditing();
  nodes.texCoords->point.finishEditing();
  editing = false;
}

SoSeparator * NodeChunkWriter::release(void)
{
  finish();
  SoSeparator * released = chunk;
  chunk = nullptr;
  return released;
}

namespace {

// Fields start with a default value; the list replaces it whole, however short.
template <typename Field, typename Value>
void assign(Field & field, const std::vector<Value> & values)
{
  field.setNum(int(values.size()));
  if (values.empty()) return;
  std::copy(values.begin(), values.end(), field.startEditing());
  field.finishEditing();
}

} // namespace

SoSeparator * makeChunkNode(const FlatMesh & lists)
{
  NodeChunkWriter writer;
  SoSeparator * chunk = writer.release();
  assign(static_cast<SoCoordinate3 *>(chunk->getChild(0))->point, lists.points);
  assign(static_cast<SoTextureCoordinate2 *>(chunk->getChild(1))->point, lists.texCoords);
  assign(static_cast<SoIndexedFaceSet *>(chunk->getChild(2))->coordIndex, lists.coordIndex);
  return chunk;
}

void editInPlace(const ChunkNodes & nodes, const std::function<void(EditableMesh &)> & edit)
{
  SoMFVec3f & points = nodes.coords->point;
  SoMFVec2f & texPoints = nodes.texCoords->point;
  SoMFInt32 & indices = nodes.faceSet->coordIndex;
  EditableMesh mesh;
  mesh.numPoints = points.getNum();
  mesh.numTexCoords = texPoints.getNum();
  mesh.numIndices = indices.getNum();
  mesh.points = points.startEditing();
  mesh.texCoords = texPoints.startEditing();
  mesh.coordIndex = indices.startEditing();
  edit(mesh);
  points.finishEditing();
  texPoints.finishEditing();
  indices.finishEditing();
  if (mesh.numPoints != points.getNum()) points.setNum(mesh.numPoints);
  if (mesh.numTexCoords != texPoints.getNum()) texPoints.setNum(mesh.numTexCoords);
  if (mesh.numIndices != indices.getNum()) indices.setNum(mesh.numIndices);
}
