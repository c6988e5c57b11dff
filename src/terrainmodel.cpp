#include "terrainmodel.h"

#include "chunknodes.h"
#include "containedrun.h"
#include "lodtreebuilder.h"
#include "meshcut.h"
#include "meshextent.h"
#include "meshreduce.h"
#include "nodesearch.h"
#include "picturefile.h"
#include "rasterloader.h"
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

// A texture named relative to the scene file is found wherever the program was started; a
// raster's picture comes along as an image.
void applyTexture(SoTexture2 * texture, const TextureFields & fields, const char * sceneFile)
{
  if (!fields.image.empty()) {
    texture->image.setValue(SbVec2s(short(fields.imageWidth), short(fields.imageHeight)),
                            fields.imageComponents, fields.image.data());
  } else {
    const std::string name(sceneFile);
    const size_t slash = name.rfind('/');
    const std::string directory =
      slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    SoInput::addDirectoryFirst(directory.c_str());
    texture->filename.setValue(fields.filename.c_str());
    SoInput::removeDirectory(directory.c_str());
  }
  texture->wrapS.setValue(fields.wrapS);
  texture->wrapT.setValue(fields.wrapT);
  texture->model.setValue(fields.model);
  texture->blendColor.setValue(fields.blendColor);
}

// A texture node like the model's, naming the picture by the given name; it is not told of the
// name, so it does not go looking for the picture. Fields at their defaults stay so, and are
// written as the model's are.
SoTexture2 * namedCopy(const SoTexture2 * texture, const std::string & name)
{
  SoTexture2 * named = new SoTexture2;
  named->filename.enableNotify(FALSE);
  named->filename.setValue(name.c_str());
  named->filename.enableNotify(TRUE);
  const auto copy = [](auto & to, const auto & from) {
    to.setValue(from.getValue());
    to.setDefault(from.isDefault());
  };
  copy(named->wrapS, texture->wrapS);
  copy(named->wrapT, texture->wrapT);
  copy(named->model, texture->model);
  copy(named->blendColor, texture->blendColor);
  return named;
}

// The model's fields start empty and read their values where the child left them, without a
// copy. Such a field must never change size: the toolkit would free memory it does not own.
template <typename Field, typename Value>
void fill(Field & field, const Value * values, int32_t count)
{
  assert(field.getNum() == 0);
  if (count > 0) field.setValuesPointer(count, values);
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

bool TerrainModel::load(const char * fileName, const RasterOptions & raster)
{
  std::printf("Loading %s ...", fileName);
  std::fflush(stdout);
  if (access(fileName, R_OK) != 0) {
    std::printf(" Failed\n");
    return false;
  }
  // The child opens the file too: opening a FIFO that nobody writes blocks, and only the
  // child may be stuck. An Inventor file goes to the toolkit; anything else to GDAL first.
  std::unique_ptr<ContainedOutput> output = std::make_unique<ContainedOutput>();
  const ContainedOutcome outcome = runContained(
    [&](int fd, ContainedProgress & progress) {
      FlatMesh mesh;
      bool loaded = false;
      if (looksLikeScene(fileName)) {
        loaded = loadScene(fileName, mesh, progress);
      } else {
        const RasterOutcome asRaster = loadRaster(fileName, raster, mesh, progress);
        loaded = asRaster == RasterOutcome::LOADED ||
                 (asRaster == RasterOutcome::NOT_A_RASTER && loadScene(fileName, mesh, progress));
      }
      return loaded && writeFlatMesh(fd, mesh);
    },
    *output);
  MeshView mesh;
  TextureFields textureFields;
  std::string note;
  if (outcome != ContainedOutcome::FINISHED ||
      !parseFlatMesh(output->data(), output->size(), mesh, textureFields, note)) {
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
  loadedFrom = fileName;
  loadedBytes = std::move(output);
  std::printf(" Done\n");
  if (!note.empty()) std::printf("%s\n", note.c_str());
  // A scene brings its own texture; the image is for rasters.
  if (note.empty() && !raster.texture.empty())
    std::fprintf(stderr, "--texture drapes elevation rasters; %s is a scene and keeps its own.\n",
                 fileName);
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
  const bool holdsTexture = node->getNumChildren() > 0 && node->getChild(0) == texture;
  SbVec2s size;
  int components = 0;
  texture->image.getValue(size, components);
  const bool madePicture = texture->filename.getValue().getLength() == 0 && size[0] > 0;
  std::string name;
  if (holdsTexture && madePicture) {
    const std::string picture = pictureNameFor(fileName);
    if (!savePicture(texture->image, picture)) {
      std::printf("Saving %s ...Failed\n", fileName);
      return false;
    }
    const size_t slash = picture.rfind('/');
    name = slash == std::string::npos ? picture : picture.substr(slash + 1);
  } else if (holdsTexture) {
    name = relocatedName(texture->filename.getValue().getString(), loadedFrom.c_str(), fileName);
  }
  // Beside the input, the model's own texture node writes itself as it was read.
  if (!holdsTexture || (!madePicture && name == texture->filename.getValue().getString()))
    return saveScene(node, fileName, keepIntact);
  SoTexture2 * named = namedCopy(texture, name);
  named->ref();
  node->replaceChild(0, named);
  const bool written = saveScene(node, fileName, keepIntact);
  node->replaceChild(0, texture);
  named->unref();
  return written;
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
  // The model itself is never reduced: its lists do not change size (see load).
  if (nodes.coords == coords || nodes.faceSet == faceSet || nodes.texCoords == texCoords) return;
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
  SoSeparator * tree = builder.build({minX, minZ, maxX, maxZ}, LodTreeBuilder::defaultThreads());
  tree->ref();
  std::printf("\rBuilding Terravel tree ... Done\n");
  return tree;
}

void TerrainModel::progressStep(void)
{
  ++progressCount;
  std::printf("\rBuilding Terravel tree ... %d%%", progressCount * 100 / progressTotal);
}
