#include "terrainmodel.h"

#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoTexture2.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>
#include <Inventor/sensors/SoNodeSensor.h>

static void rootDeleted(void * data, SoSensor *)
{
  *static_cast<bool *>(data) = true;
}

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
  rootWatch = std::make_unique<SoNodeSensor>();
  rootWatch->setPriority(0); // changes below root need no scheduled work
  rootWatch->setDeleteCallback(rootDeleted, &rootDestroyed);
  rootWatch->attach(root);
}

TerrainModel::~TerrainModel(void)
{
  // After a successful load the nodes belong to root, which carries load's reference unless
  // the main flow has released it already; before a load they are still the model's own.
  if (loaded) {
    if (!rootDestroyed) {
      rootWatch->detach();
      root->unref();
    }
  } else {
    rootWatch->detach();
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
