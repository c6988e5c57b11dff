#include "terrainmodel.h"

#include "chunknodes.h"
#include "containedrun.h"
#include "lodtreebuilder.h"
#include "meshcut.h"
#include "meshextent.h"
#include "meshreduce.h"
#include "nodesearch.h"
#include "picturefile.h"
#include "postlookup.h"
#include "rasterloader.h"
#include "sceneloader.h"
#include "paths.h"
#include "safewrite.h"
#include "scenesaving.h"
#include "tilesetexport.h"
#include "vertexwelder.h"
#include "workerthreads.h"

#include <Inventor/SbBSPTree.h>
#include <Inventor/SoInput.h>
#include <Inventor/actions/SoSearchAction.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoTexture2.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
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
    const std::string directory = folderOf(sceneFile);
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
  : progressCount(0), progressTotal(0)
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
  if (loadedBytes != nullptr) {
    root->unref();
    return;
  }
  SoNode * const nodes[] = {root, coords, faceSet, texCoords, texture};
  for (SoNode * node : nodes) {
    node->ref();
    node->unref();
  }
}

namespace {

// Why a file cannot even be handed to a reader.
std::string unreadable(const char * fileName)
{
  struct stat info;
  if (stat(fileName, &info) != 0) return errno == ENOENT ? "no such file" : std::strerror(errno);
  if (S_ISDIR(info.st_mode)) return "a folder, not a file";
  if (access(fileName, R_OK) != 0) return std::string("not readable (") + std::strerror(errno) + ")";
  return std::string();
}

// In the reading child: the mesh as bytes, or the reason it was refused.
bool readInChild(const char * fileName, const RasterOptions & raster, int fd,
                 ContainedProgress & progress)
{
  FlatMesh mesh;
  std::string reason;
  bool loaded = false;
  // An Inventor file goes to the toolkit; anything else to GDAL first.
  if (looksLikeScene(fileName)) {
    loaded = loadScene(fileName, mesh, progress, reason);
  } else {
    const RasterOutcome asRaster = loadRaster(fileName, raster, mesh, progress, reason);
    loaded = asRaster == RasterOutcome::LOADED ||
             (asRaster == RasterOutcome::NOT_A_RASTER && loadScene(fileName, mesh, progress, reason));
  }
  if (loaded && writeFlatMesh(fd, mesh)) return true;
  writeReason(fd, loaded ? "the mesh could not be handed over" : reason);
  return false;
}

std::string reasonOf(ContainedOutcome outcome, const ContainedOutput & output,
                     const ContainedLimits & limits)
{
  char text[160];
  switch (outcome) {
  case ContainedOutcome::REFUSED:
    return output.size() > 0 ? std::string(output.data(), output.size()) : "refused by the reader";
  case ContainedOutcome::STALLED:
    std::snprintf(text, sizeof text, "the reader made no progress for %.0f s and was stopped",
                  limits.stallSeconds);
    return text;
  case ContainedOutcome::OUTGREW:
    std::snprintf(text, sizeof text,
                  "reading it needed more than the %.1f GiB of memory this run may use, and was "
                  "stopped",
                  double(limits.memoryBytes) / 1073741824.0);
    return text;
  case ContainedOutcome::UNSTARTED:
    return "no process could be started to read it";
  case ContainedOutcome::CRASHED:
    return "the reader crashed on it";
  case ContainedOutcome::FINISHED:
    break;
  }
  return "what the reader handed over is not a whole mesh";
}

} // namespace

LoadOutcome TerrainModel::load(const char * fileName, const RasterOptions & raster)
{
  LoadOutcome outcome;
  outcome.reason = unreadable(fileName);
  if (!outcome.reason.empty()) return outcome;
  // The child opens the file too: opening a FIFO that nobody writes blocks, and only the
  // child may be stuck.
  ContainedLimits limits;
  limits.memoryBytes = memoryBudget();
  std::unique_ptr<ContainedOutput> output = std::make_unique<ContainedOutput>();
  const ContainedOutcome contained = runContained(
    [&](int fd, ContainedProgress & progress) { return readInChild(fileName, raster, fd, progress); },
    *output, limits);
  MeshView mesh;
  MeshDetails details;
  if (contained != ContainedOutcome::FINISHED ||
      !parseFlatMesh(output->data(), output->size(), mesh, details)) {
    outcome.reason = reasonOf(contained, *output, limits);
    return outcome;
  }

  fill(coords->point, mesh.points, mesh.numPoints);
  fill(texCoords->point, mesh.texCoords, mesh.numTexCoords);
  fill(faceSet->coordIndex, mesh.coordIndex, mesh.numIndices);
  applyTexture(texture, details.texture, fileName);

  addTexture(root);
  root->addChild(coords);
  root->addChild(texCoords);
  root->addChild(faceSet);
  root->ref();
  loadedFrom = fileName;
  sources = details.sources;
  geoOrigin = details.origin;
  grid = details.grid;
  posts = std::move(details.posts);
  placementOfRaster = details.placement;
  sources.push_back(fileName);
  // A scene's texture names a picture the run reads as well.
  const std::string & picture = details.texture.filename;
  if (!picture.empty()) {
    sources.push_back(picture);
    if (picture[0] != '/') sources.push_back(folderOf(fileName) + "/" + picture);
  }
  loadedBytes = std::move(output);
  outcome.loaded = true;
  outcome.raster = !details.note.empty();
  outcome.note = details.note;
  return outcome;
}

SoSeparator * TerrainModel::getRoot(void) const
{
  return root;
}

void TerrainModel::addTexture(SoGroup * group)
{
  group->addChild(texture);
}

const std::vector<std::string> & TerrainModel::readFiles(void) const
{
  return sources;
}

WriteOutcome TerrainModel::saveTiles(SoSeparator * tree, const char * tilesetPath,
                                     const SaveProgress & progress)
{
  SbVec2s size;
  int components = 0;
  texture->image.getValue(size, components);
  TilePlacement placement;
  if (placementOfRaster.placed && grid.present() && !posts.empty()) {
    if (postLookup == nullptr)
      postLookup = std::make_unique<PostLookup>(coords->point.getValues(0), coords->point.getNum(), posts, grid);
    placement = {&placementOfRaster, &grid, postLookup.get()};
  }
  return saveTileset(tree, size[0] > 0 ? texture : nullptr, geoOrigin, tilesetPath, sources, progress,
                     placement.posts != nullptr ? &placement : nullptr);
}

WriteOutcome TerrainModel::save(SoSeparator * node, const char * fileName, bool binary,
                                const SaveProgress & progress)
{
  const bool holdsTexture = node->getNumChildren() > 0 && node->getChild(0) == texture;
  SbVec2s size;
  int components = 0;
  texture->image.getValue(size, components);
  const bool madePicture = texture->filename.getValue().getLength() == 0 && size[0] > 0;
  std::vector<FileToWrite> files;
  std::string name;
  if (holdsTexture && madePicture) {
    const std::string picture = pictureNameFor(fileName);
    files.push_back({picture, [this](int fd) { return writePicture(texture->image, fd); }});
    name = fileNameOf(picture);
  } else if (holdsTexture) {
    name = relocatedName(texture->filename.getValue().getString(), loadedFrom.c_str(), fileName);
  }
  files.insert(files.begin(), {fileName, [node, binary, &progress](int fd) {
                                 return writeScene(node, fd, binary, progress);
                               }});
  // Beside the input, the model's own texture node writes itself as it was read.
  if (!holdsTexture || (!madePicture && name == texture->filename.getValue().getString()))
    return writeTogether(files, sources);
  SoTexture2 * named = namedCopy(texture, name);
  named->ref();
  node->replaceChild(0, named);
  const WriteOutcome written = writeTogether(files, sources);
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
  reduceWith(node, borderPoints, [percent](EditableMesh & mesh, const VertexWelder & border) {
    reducePass(mesh, border, percent);
  });
}

VerticalError TerrainModel::reduceToShare(SoNode * node, SbBSPTree * borderPoints, int percent,
                                          const ReductionSettings & settings)
{
  VerticalError error;
  const ReductionSettings reduction = withPosts(settings);
  reduceWith(node, borderPoints, [&](EditableMesh & mesh, const VertexWelder & border) {
    error = reduceShare(mesh, border, reduction, percent);
  });
  return error;
}

ReductionSettings TerrainModel::withPosts(const ReductionSettings & settings)
{
  ReductionSettings with = settings;
  if (settings.reducer != Reducer::ERROR || !grid.present() || posts.empty()) return with;
  if (postLookup == nullptr)
    postLookup = std::make_unique<PostLookup>(coords->point.getValues(0), coords->point.getNum(), posts, grid);
  with.posts = postLookup.get();
  return with;
}

void TerrainModel::reduceWith(SoNode * node, SbBSPTree * borderPoints,
                              const std::function<void(EditableMesh &, const VertexWelder &)> & pass)
{
  assert(node != nullptr && borderPoints != nullptr);
  ChunkNodes nodes;
  if (!findChunkNodes(node, nodes)) return;
  // The model itself is never reduced: its lists do not change size (see load).
  if (nodes.coords == coords || nodes.faceSet == faceSet || nodes.texCoords == texCoords) return;
  const SbVec3f * border = borderPoints->getPointsArrayPtr();
  const VertexWelder protectedPositions(
    std::vector<SbVec3f>(border, border + borderPoints->numPoints()));
  editInPlace(nodes, [&](EditableMesh & mesh) { pass(mesh, protectedPositions); });
}

const std::vector<LevelSummary> & TerrainModel::treeLevels(void) const
{
  return levels;
}

SoSeparator * TerrainModel::buildTree(int maxLevel, int percent, const TreeProgress & progress,
                                      const ReductionSettings & settings)
{
  assert(maxLevel >= 2);
  progressCount = 0;
  progressTotal = LodTreeBuilder::progressSteps(maxLevel);
  float minX = 0.0f, minZ = 0.0f, maxX = 0.0f, maxZ = 0.0f;
  getExtent(root, minX, minZ, maxX, maxZ);
  // The model's positions were welded while loading: no two are equal.
  ChunkNodes nodes = {coords, faceSet, texCoords};
  LodTreeBuilder builder(viewOf(nodes, true), texture, maxLevel, percent,
                         [this, &progress]() {
                           ++progressCount;
                           if (progress) progress(progressCount, progressTotal);
                         },
                         withPosts(settings));
  SoSeparator * tree = builder.build({minX, minZ, maxX, maxZ}, workerThreads());
  tree->ref();
  levels = builder.levels();
  return tree;
}
