#include "terrainmodel.h"

#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoTexture2.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

TerrainModel::TerrainModel(void)
  : lodRoot(NULL), progressCount(0), progressTotal(0), loaded(false)
{
  root = new SoSeparator;
  coords = new SoCoordinate3;
  coords->point.setNum(0);
  faceSet = new SoIndexedFaceSet;
  faceSet->coordIndex.setNum(0);
  texCoords = new SoTextureCoordinate2;
  texCoords->point.setNum(0);
  pointTree = std::make_unique<VertexWelder>();
  texture = new SoTexture2;
}

TerrainModel::~TerrainModel(void)
{
  // After a successful load the nodes belong to the scene graph (root carries load's
  // reference, which the main flow may already have released); before it they are still ours.
  if (!loaded) {
    SoNode * const nodes[] = {root, coords, faceSet, texCoords, texture};
    for (SoNode * node : nodes) {
      node->ref();
      node->unref();
    }
  }
}

SoSeparator * TerrainModel::getRoot(void) const
{
  return root;
}

void TerrainModel::addTexture(SoGroup * group)
{
  group->addChild(texture);
}
