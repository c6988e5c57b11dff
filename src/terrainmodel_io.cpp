// Loading a scene file into the flat mesh, and saving scene graphs.

#include "terrainmodel.h"

#include "containedrun.h"

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
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <string>

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
  if (model->loadingProgress != NULL)
    model->loadingProgress->ticks.fetch_add(1, std::memory_order_relaxed);
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

namespace {

// What a contained read hands back: the flat lists and the fields of the last texture.
struct FlatHeader {
  uint32_t magic;
  int32_t numPoints;
  int32_t numTexCoords;
  int32_t numIndices;
  int32_t wrapS;
  int32_t wrapT;
  int32_t model;
  float blendColor[3];
  int32_t filenameLength;
};
const uint32_t FLAT_MAGIC = 0x54524e31;

// Points at the next count values of the output, or null when it is too short.
template <typename T>
const T * take(const ContainedOutput & output, size_t & at, size_t count)
{
  const size_t size = sizeof(T) * count;
  if (output.size() < at || output.size() - at < size) return nullptr;
  const T * values = reinterpret_cast<const T *>(output.data() + at);
  at += size;
  return values;
}

} // namespace

bool TerrainModel::flattenScene(SoInput & input, int fd, ContainedProgress & progress)
{
  SoSeparator * scene = SoDB::readAll(&input);
  if (scene == NULL) return false;
  scene->ref();
  progress.ticks.fetch_add(1, std::memory_order_relaxed);
  loadingProgress = &progress;

  SoCallbackAction action;
  action.addTriangleCallback(SoShape::getClassTypeId(), triangleCallback, this);
  action.addPostCallback(SoTexture2::getClassTypeId(), textureCallback, texture);
  action.apply(scene);
  scene->unref();
  loadingProgress = NULL;

  const SbColor & blend = texture->blendColor.getValue();
  const SbString & file = texture->filename.getValue();
  const FlatHeader header = {FLAT_MAGIC,
                             pointTree->numPoints(),
                             int32_t(loadingTexCoords.size()),
                             int32_t(loadingIndices.size()),
                             texture->wrapS.getValue(),
                             texture->wrapT.getValue(),
                             texture->model.getValue(),
                             {blend[0], blend[1], blend[2]},
                             file.getLength()};
  return writeAll(fd, &header, sizeof header) &&
         writeAll(fd, pointTree->getPoints().data(), sizeof(SbVec3f) * size_t(header.numPoints)) &&
         writeAll(fd, loadingTexCoords.data(), sizeof(SbVec2f) * loadingTexCoords.size()) &&
         writeAll(fd, loadingIndices.data(), sizeof(int32_t) * loadingIndices.size()) &&
         writeAll(fd, file.getString(), size_t(file.getLength()));
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
  // The toolkit's reader and shape traversal crash or loop forever on some broken files; they
  // run in a child process, and only the flat lists come back.
  ContainedOutput output;
  const ContainedOutcome outcome = runContained(
      [&](int fd, ContainedProgress & progress) { return flattenScene(input, fd, progress); },
      output);
  size_t at = 0;
  const FlatHeader * header =
      outcome == ContainedOutcome::FINISHED ? take<FlatHeader>(output, at, 1) : nullptr;
  const bool sane = header != nullptr && header->magic == FLAT_MAGIC &&
                    header->numPoints >= 0 && header->numTexCoords >= 0 &&
                    header->numIndices >= 0 && header->filenameLength >= 0;
  const SbVec3f * points = sane ? take<SbVec3f>(output, at, size_t(header->numPoints)) : nullptr;
  const SbVec2f * texPoints =
      points ? take<SbVec2f>(output, at, size_t(header->numTexCoords)) : nullptr;
  const int32_t * indices =
      texPoints ? take<int32_t>(output, at, size_t(header->numIndices)) : nullptr;
  const char * file = indices ? take<char>(output, at, size_t(header->filenameLength)) : nullptr;
  // A file that opens but holds no scene is as unusable as one that does not open.
  if (file == nullptr) {
    std::printf(" Failed\n");
    return false;
  }

  coords->point.setValues(0, header->numPoints, points);
  texCoords->point.setValues(0, header->numTexCoords, texPoints);
  faceSet->coordIndex.setValues(0, header->numIndices, indices);
  pointTree->assign(points, header->numPoints);

  // The file's directory is on the toolkit's search path while the input is open, so a texture
  // named relative to the file is found wherever the program was started.
  texture->filename.setValue(std::string(file, size_t(header->filenameLength)).c_str());
  texture->wrapS.setValue(header->wrapS);
  texture->wrapT.setValue(header->wrapT);
  texture->model.setValue(header->model);
  texture->blendColor.setValue(header->blendColor);

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
  std::printf("Saving %s ...", fileName);
  std::fflush(stdout);

  // The scene goes into a temporary file beside the target, which replaces the target only once
  // it is complete: a failed or interrupted save leaves any earlier file of that name intact.
  std::string temporary = std::string(fileName) + ".XXXXXX";
  const int fd = mkstemp(&temporary[0]);
  FILE * file = fd >= 0 ? fdopen(fd, "w") : NULL;
  if (file == NULL) {
    if (fd >= 0) {
      close(fd);
      unlink(temporary.c_str());
    }
    std::printf("Failed\n");
    return;
  }
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask); // what an ordinary new file would get

  bool written = false;
  {
    SoOutput output;
    output.setFilePointer(file);
    SoWriteAction writer(&output);
    writer.apply(node);
    written = std::fflush(file) == 0 && std::ferror(file) == 0;
  }
  written = written && fsync(fd) == 0;
  written = std::fclose(file) == 0 && written;
  if (written && std::rename(temporary.c_str(), fileName) == 0) {
    std::printf("Done\n");
    return;
  }
  unlink(temporary.c_str());
  std::printf("Failed\n");
}
