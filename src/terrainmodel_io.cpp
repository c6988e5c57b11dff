// Loading a scene file into the flat mesh, and saving scene graphs.

#include "terrainmodel.h"

#include <Inventor/SbMatrix.h>
#include <Inventor/SoDB.h>
#include <Inventor/SoInput.h>
#include <Inventor/SoOutput.h>
#include <Inventor/SoPrimitiveVertex.h>
#include <Inventor/actions/SoCallbackAction.h>
#include <Inventor/actions/SoWriteAction.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoShape.h>
#include <Inventor/nodes/SoTexture2.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

#include <cstdio>

void triangleCallback(void * userData, SoCallbackAction * action, const SoPrimitiveVertex * v1,
                      const SoPrimitiveVertex * v2, const SoPrimitiveVertex * v3)
{
  TerrainModel * model = static_cast<TerrainModel *>(userData);
  const SoPrimitiveVertex * const corners[3] = {v1, v2, v3};
  const SbMatrix matrix = action->getModelMatrix();
  std::vector<SbVec2f> & texCoords = model->loadingTexCoords;

  int32_t index[3];
  for (int k = 0; k < 3; ++k) {
    SbVec3f world;
    matrix.multVecMatrix(corners[k]->getPoint(), world);
    const SbVec4f & t = corners[k]->getTextureCoords();
    index[k] = model->pointTree->weld(world);
    if (int32_t(texCoords.size()) - 1 < index[k]) texCoords.resize(size_t(index[k]) + 1);
    // A vertex shared by several corners keeps the texture coordinate of the last one.
    texCoords[size_t(index[k])].setValue(t[0], t[1]);
  }
  model->loadingIndices.insert(model->loadingIndices.end(), {index[0], index[1], index[2], -1});
}

static SoCallbackAction::Response textureCallback(void * userData, SoCallbackAction *,
                                                  const SoNode * node)
{
  // Only a plain texture counts: derived kinds carry fields the model cannot take over.
  if (node->getTypeId() == SoTexture2::getClassTypeId()) {
    SoTexture2 * modelTexture = static_cast<SoTexture2 *>(userData);
    const SoTexture2 * found = static_cast<const SoTexture2 *>(node);
    // The inline image is not copied: the model's texture names its picture by file only.
    modelTexture->filename = found->filename;
    modelTexture->wrapS = found->wrapS;
    modelTexture->wrapT = found->wrapT;
    modelTexture->model = found->model;
    modelTexture->blendColor = found->blendColor;
  }
  return SoCallbackAction::CONTINUE;
}

bool TerrainModel::load(const char * fileName)
{
  std::printf("Loading %s ...", fileName);
  std::fflush(stdout);

  SoInput input;
  if (!input.openFile(fileName, FALSE)) {
    std::printf(" Failed\n");
    return false;
  }
  SoSeparator * scene = SoDB::readAll(&input);
  if (scene == NULL) {
    // A file that opens but holds no scene is as unusable as one that does not open.
    std::printf(" Failed\n");
    return false;
  }
  scene->ref();

  SoCallbackAction action;
  action.addTriangleCallback(SoShape::getClassTypeId(), triangleCallback, this);
  action.addPostCallback(SoTexture2::getClassTypeId(), textureCallback, texture);
  action.apply(scene);

  const int32_t numPoints = pointTree->numPoints();
  coords->point.setValues(0, numPoints, pointTree->getPoints().data());
  texCoords->point.setValues(0, int(loadingTexCoords.size()), loadingTexCoords.data());
  faceSet->coordIndex.setValues(0, int(loadingIndices.size()), loadingIndices.data());
  std::vector<int32_t>().swap(loadingIndices);
  std::vector<SbVec2f>().swap(loadingTexCoords);

  scene->unref();

  addTexture(root);
  root->addChild(coords);
  root->addChild(texCoords);
  root->addChild(faceSet);
  root->ref();
  loaded = true;

  std::printf(" Done\n");
  return true;
}

void TerrainModel::save(SoSeparator * node, const char * fileName)
{
  SoOutput output;
  std::printf("Saving %s ...", fileName);
  std::fflush(stdout);
  if (!output.openFile(fileName)) {
    std::printf("Failed\n");
    return;
  }
  SoWriteAction writer(&output);
  writer.apply(node);
  std::printf("Done\n");
}
