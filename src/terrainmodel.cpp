#include "terrainmodel.h"

#include "chunknodes.h"
#include "containedrun.h"
#include "lodtreebuilder.h"
#include "meshcut.h"
#include "meshextent.h"
#include "meshreduce.h"
#include "nodesearch.h"
#include "sceneloader.h"
#include "scenesaving.h"
#include "vertexwelder.h"

#include <Inventor/SbBSPTree.h>
#include <Inventor/SoInput.h>
#include <Inventor/actions/SoSearchAction.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoTexture2.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

#include <cassert>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A texture named relative to the scene file is found wherever the program was started.
void applyTexture(SoTexture2 * texture, const TextureFields & fields, const char * sceneFile)
{
  const std::string name(sceneFile);
  const size_t slash = name.rfind('/');
  const std::string directory =
    slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
  SoInput::addDirectoryFirst(directory.c_str());
  texture->filename.setValue(fields.filename.c_str());
  SoInput::removeDirectory(directory.c_str());
  texture->wrapS.setValue(fields.wrapS);
  texture->wrapT.setValue(fields.wrapT);
  texture->model.setValue(fields.model);
  texture->blendColor.setValue(fields.blendColor);
}

// The model's fields start empty; one copy fills each.
template <typename Field, typename Value>
void fill(Field & field, const Value * values, int32_t count)
{
  assert(field.getNum() == 0);
  if (count > 0) field.setValues(0, count, values);
}

} // namespace

TerrainModel::TerrainModel(void)
  : progressCount(0), progressTotal(0), loaded(false)
{
  root = new SoSeparator;
  coords = new SoCoordinate3;
  coords->point.setNum(0);
  faceSet = new SoIndexedFaceSet;
  faceSet->coordIndex.setNum(0);
  texCoords = new SoTextureCoordinate2;
  texCoords->point.setNum(0);
  texture = new SoTexture2;
}

TerrainModel::~TerrainModel(void)
{
  // After a successful load the nodes belong to root, which carries load's reference; before,
  // they are still the model's own.
  if (loaded) {
    root->unref();
    return;
  }
  SoNode * const nodes[] = {root, coords, faceSet, texCoords, texture};
  for (SoNode * node : nodes) {
    node->ref();
    node->unref();
  }
}

bool TerrainModel::load(const char * fileName)
{
  std::printf("Loading %s ...", fileName);
  std::fflush(stdout);
  if (access(fileName, R_OK) != 0) {
    std::printf(" Failed\n");
    return false;
  }
  // The child opens the file too: opening a FIFO that nobody writes blocks, and only the
  // child may be stuck.
  ContainedOutput output;
  const ContainedOutcome outcome = runContained(
    [&](int fd, ContainedProgress & progress) {
      FlatMesh mesh;
      return loadScene(fileName, mesh, progress) && writeFlatMesh(fd, mesh);
    },
    output);
  MeshView mesh;
  TextureFields textureFields;
  if (outcome != ContainedOutcome::FINISHED ||
      !parseFlatMesh(output.data(), output.size(), mesh, textureFields)) {
    std::printf(" Failed\n");
    return false;
  }

  fill(coords->point, mesh.points, mesh.numPoints);
  fill(texCoords->point, mesh.texCoords, mesh.numTexCoords);
  fill(faceSet->coordIndex, mesh.coordIndex, mesh.numIndices);
  applyTexture(texture, textureFields, fileName);

  addTexture(root);
  root->addChild(coords);
  root->addChild(texCoords);
  root->addChild(faceSet);
  root->ref();
  loaded = true;
  std::printf(" Done\n");
  return true;
}

SoSeparator * TerrainModel::getRoot(void) const
{
  return root;
}

void TerrainModel::addTexture(SoGroup * group)
{
  group->addChild(texture);
}

bool TerrainModel::save(SoSeparator * node, const char * fileName, const char * keepIntact)
{
  return saveScene(node, fileName, keepIntact);
}

void TerrainModel::getExtent(SoNode * node, float & minX, float & minZ, float & maxX,
                             float & maxZ)
{
  assert(node != nullptr);
  SoSearchAction search;
  const SoCoordinate3 * found =
    static_cast<const SoCoordinate3 *>(findFirst(search, node, SoCoordinate3::getClassTypeId()));
  if (found == nullptr) return;
  const Extent extent = extentOf(found->point.getValues(0), found->point.getNum());
  minX = extent.minX;
  minZ = extent.minZ;
  maxX = extent.maxX;
  maxZ = extent.maxZ;
}

SoSeparator * TerrainModel::cutRegion(SoNode * node, float x1, float y1, float x2, float y2,
                                      SbBSPTree * borderPoints)
{
  assert(node != nullptr && borderPoints != nullptr);
  ChunkNodes nodes;
  if (!findChunkNodes(node, nodes)) return nullptr;
  std::vector<SbVec3f> border;
  NodeChunkWriter chunk;
  // Positions the model welded itself are known to be distinct, which spares the cut a hash
  // of every vertex; of any other mesh nothing is assumed.
  const bool welded = nodes.coords == coords;
  cutMesh(viewOf(nodes, welded), nullptr, {x1, y1, x2, y2}, border, chunk);
  for (const SbVec3f & p : border)
    if (borderPoints->findPoint(p) < 0) borderPoints->addPoint(p);
  return chunk.release();
}

void TerrainModel::reduce(SoNode * node, SbBSPTree * borderPoints, int percent)
{
  assert(node != nullptr && borderPoints != nullptr);
  ChunkNodes nodes;
  if (!findChunkNodes(node, nodes)) return;
  const SbVec3f * border = borderPoints->getPointsArrayPtr();
  const VertexWelder protectedPositions(
    std::vector<SbVec3f>(border, border + borderPoints->numPoints()));

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
  reducePass(mesh, protectedPositions, percent);
  points.finishEditing();
  texPoints.finishEditing();
  indices.finishEditing();
  if (mesh.numPoints != points.getNum()) points.setNum(mesh.numPoints);
  if (mesh.numTexCoords != texPoints.getNum()) texPoints.setNum(mesh.numTexCoords);
  if (mesh.numIndices != indices.getNum()) indices.setNum(mesh.numIndices);
}

SoSeparator * TerrainModel::buildTree(int maxLevel, int percent)
{
  assert(maxLevel >= 2);
  progressCount = 0;
  progressTotal = LodTreeBuilder::progressSteps(maxLevel);
  float minX = 0.0f, minZ = 0.0f, maxX = 0.0f, maxZ = 0.0f;
  getExtent(root, minX, minZ, maxX, maxZ);
  // The model's positions were welded while loading: no two are equal.
  ChunkNodes nodes = {coords, faceSet, texCoords};
  LodTreeBuilder builder(viewOf(nodes, true), texture, maxLevel, percent,
                         [this]() { progressStep(); });
  SoSeparator * tree = builder.build({minX, minZ, maxX, maxZ});
  tree->ref();
  std::printf("\rBuilding Terravel tree ... Done\n");
  return tree;
}

void TerrainModel::progressStep(void)
{
  ++progressCount;
  std::printf("\rBuilding Terravel tree ... %d%%", progressCount * 100 / progressTotal);
}
