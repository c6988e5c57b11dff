#include "sceneloader.h"

#include "containedrun.h"
#include "scenecheck.h"
#include "socheckedfile.h"
#include "vertexwelder.h"

#include <Inventor/SbMatrix.h>
#include <Inventor/SoDB.h>
#include <Inventor/SoInput.h>
#include <Inventor/SoPrimitiveVertex.h>
#include <Inventor/actions/SoCallbackAction.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoShape.h>
#include <Inventor/nodes/SoTexture2.h>

namespace {

// What the traversal's callbacks fill.
struct Flattening {
  FlatMesh & mesh;
  ContainedProgress & progress;
  VertexWelder welder;
  bool full = false;   // the lists reached what they can hold
  bool broken = false; // a shape's counts or indices ran past its data
};

void addTriangle(void * data, SoCallbackAction * action, const SoPrimitiveVertex * v1,
                 const SoPrimitiveVertex * v2, const SoPrimitiveVertex * v3)
{
  Flattening & f = *static_cast<Flattening *>(data);
  // The traversal stops at the next shape, and the load fails.
  if (f.mesh.coordIndex.size() >= 4 * scenecheck::maxTriangles) {
    f.full = true;
    return;
  }
  const SoPrimitiveVertex * const corners[3] = {v1, v2, v3};
  const SbMatrix matrix = action->getModelMatrix();
  std::vector<SbVec2f> & texCoords = f.mesh.texCoords;
  int32_t index[3];
  for (int k = 0; k < 3; ++k) {
    SbVec3f world;
    matrix.multVecMatrix(corners[k]->getPoint(), world);
    const SbVec4f & t = corners[k]->getTextureCoords();
    index[k] = f.welder.weld(world);
    if (int32_t(texCoords.size()) - 1 < index[k]) texCoords.resize(size_t(index[k]) + 1);
    // A vertex shared by several corners keeps the texture coordinate of the last one.
    texCoords[size_t(index[k])].setValue(t[0], t[1]);
  }
  f.mesh.coordIndex.insert(f.mesh.coordIndex.end(), {index[0], index[1], index[2], -1});
  f.progress.ticks.fetch_add(1, std::memory_order_relaxed);
}

// Before each shape: stop when the lists are full or the shape's data would be read past.
SoCallbackAction::Response beforeShape(void * data, SoCallbackAction * action, const SoNode * node)
{
  Flattening & f = *static_cast<Flattening *>(data);
  if (f.full) return SoCallbackAction::ABORT;
  return scenecheck::checkShape(&f.broken, action, node);
}

SoCallbackAction::Response afterTexture(void * data, SoCallbackAction *, const SoNode * node)
{
  // Only a plain texture counts: derived kinds carry fields the model cannot take over.
  if (node->getTypeId() == SoTexture2::getClassTypeId()) {
    TextureFields & texture = *static_cast<TextureFields *>(data);
    const SoTexture2 * found = static_cast<const SoTexture2 *>(node);
    // The inline image is not copied: the model's texture names its picture by file only.
    texture.filename = found->filename.getValue().getString();
    texture.wrapS = found->wrapS.getValue();
    texture.wrapT = found->wrapT.getValue();
    texture.model = found->model.getValue();
    texture.blendColor = found->blendColor.getValue();
  }
  return SoCallbackAction::CONTINUE;
}

} // namespace

bool loadScene(const char * fileName, FlatMesh & mesh, ContainedProgress & progress)
{
  // File nodes of the scene may name only regular files.
  static const bool fileNodesChecked = (SoCheckedFile::initClass(), true);
  (void)fileNodesChecked;

  SoInput input;
  if (!input.openFile(fileName, FALSE)) return false;
  SoSeparator * scene = SoDB::readAll(&input);
  if (scene == nullptr) return false;
  scene->ref();
  progress.ticks.fetch_add(1, std::memory_order_relaxed);
  // A scene that names a device or a FIFO, or whose shared subgraphs expand past what the
  // lists can hold, would read or traverse without end.
  if (SoCheckedFile::refusedAName() ||
      scenecheck::estimateTriangles(scene) > scenecheck::maxTriangles) {
    scene->unref();
    return false;
  }

  Flattening flattening = {mesh, progress, VertexWelder(), false, false};
  SoCallbackAction action;
  action.addPreCallback(SoShape::getClassTypeId(), beforeShape, &flattening);
  action.addTriangleCallback(SoShape::getClassTypeId(), addTriangle, &flattening);
  action.addPostCallback(SoTexture2::getClassTypeId(), afterTexture, &mesh.texture);
  action.apply(scene);
  scene->unref();
  if (flattening.full || flattening.broken) return false;
  mesh.points = flattening.welder.releasePoints();
  return true;
}
