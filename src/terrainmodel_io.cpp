// Loading a scene file into the flat mesh, and saving scene graphs.

#include "terrainmodel.h"

#include "containedrun.h"
#include "scenecheck.h"
#include "socheckedfile.h"

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

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <string>

void triangleCallback(void * userData, SoCallbackAction * action, const SoPrimitiveVertex * v1,
                      const SoPrimitiveVertex * v2, const SoPrimitiveVertex * v3)
{
  TerrainModel * model = static_cast<TerrainModel *>(userData);
  // The lists are full: the traversal stops at the next shape, and the load fails.
  if (model->loadingIndices.size() >= 4 * scenecheck::maxTriangles) {
    model->loadingFull = true;
    return;
  }
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

// Before each shape: stop when the lists are full or the shape's data would be read past.
SoCallbackAction::Response shapeCallback(void * userData, SoCallbackAction * action,
                                         const SoNode * node)
{
  TerrainModel * model = static_cast<TerrainModel *>(userData);
  if (model->loadingFull) return SoCallbackAction::ABORT;
  return scenecheck::checkShape(&model->loadingBroken, action, node);
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
  // A scene that names a device or a FIFO, or whose shared subgraphs expand past what the
  // lists can hold, would read or traverse without end.
  if (SoCheckedFile::refusedAName() ||
      scenecheck::estimateTriangles(scene) > scenecheck::maxTriangles) {
    scene->unref();
    return false;
  }
  loadingProgress = &progress;

  SoCallbackAction action;
  action.addPreCallback(SoShape::getClassTypeId(), shapeCallback, this);
  action.addTriangleCallback(SoShape::getClassTypeId(), triangleCallback, this);
  action.addPostCallback(SoTexture2::getClassTypeId(), textureCallback, texture);
  action.apply(scene);
  scene->unref();
  loadingProgress = NULL;
  if (loadingFull || loadingBroken) return false;

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

  // File nodes of the scene may name only regular files.
  static const bool fileNodesChecked = (SoCheckedFile::initClass(), true);
  (void)fileNodesChecked;

  if (access(fileName, R_OK) != 0) {
    std::printf(" Failed\n");
    return false;
  }
  // The toolkit's reader and shape traversal crash or loop forever on some broken files; they
  // run in a child process, and only the flat lists come back. The child opens the file too:
  // opening a FIFO that nobody writes blocks, and only the child may be stuck.
  ContainedOutput output;
  const ContainedOutcome outcome = runContained(
      [&](int fd, ContainedProgress & progress) {
        SoInput input;
        return input.openFile(fileName, FALSE) && flattenScene(input, fd, progress);
      },
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

  // A texture named relative to the file is found wherever the program was started.
  const std::string name(fileName);
  const size_t slash = name.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : name.substr(0, std::max<size_t>(slash, 1));
  SoInput::addDirectoryFirst(directory.c_str());
  texture->filename.setValue(std::string(file, size_t(header->filenameLength)).c_str());
  SoInput::removeDirectory(directory.c_str());
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

namespace {

// The temporary file of a save in progress, removed if a signal ends the program meanwhile.
volatile sig_atomic_t savingInProgress = 0;
char pendingTemporary[4096];
const int cleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removePendingTemporary(int signal)
{
  if (savingInProgress) unlink(pendingTemporary);
  // Then end the way the signal would have ended the program.
  ::signal(signal, SIG_DFL);
  raise(signal);
}

// A temporary file beside the target, made with the clean-up installed for the lifetime of one
// save; what was installed before comes back afterwards.
class PendingTemporary {
public:
  explicit PendingTemporary(const std::string & target)
  {
    const std::string pattern = target + ".XXXXXX";
    if (pattern.size() >= sizeof pendingTemporary) return;
    std::memcpy(pendingTemporary, pattern.c_str(), pattern.size() + 1);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = removePendingTemporary;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < 3; ++i) sigaction(cleanupSignals[i], &action, &previous[i]);
    installed = true;
    // The name is in place before the file exists, so a signal never misses it.
    savingInProgress = 1;
    fd = mkstemp(pendingTemporary);
    if (fd < 0) savingInProgress = 0;
  }
  ~PendingTemporary()
  {
    if (!installed) return;
    savingInProgress = 0;
    for (size_t i = 0; i < 3; ++i) sigaction(cleanupSignals[i], &previous[i], nullptr);
  }
  PendingTemporary(const PendingTemporary &) = delete;
  PendingTemporary & operator=(const PendingTemporary &) = delete;

  int descriptor(void) const { return fd; }
  const char * name(void) const { return pendingTemporary; }

private:
  bool installed = false;
  int fd = -1;
  struct sigaction previous[3];
};

bool sameFile(const char * a, const char * b)
{
  struct stat first, second;
  return stat(a, &first) == 0 && stat(b, &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

// A file that is replaced keeps its permissions; a new one gets those of any new file.
mode_t modeForTarget(const char * fileName)
{
  struct stat existing;
  if (stat(fileName, &existing) == 0 && S_ISREG(existing.st_mode)) return existing.st_mode & 07777;
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

} // namespace

void TerrainModel::save(SoSeparator * node, const char * fileName, const char * keepIntact)
{
  std::printf("Saving %s ...", fileName);
  std::fflush(stdout);
  if (keepIntact != nullptr && sameFile(fileName, keepIntact)) {
    std::printf("Failed\n");
    return;
  }

  // The scene goes into a temporary file beside the target, which replaces the target only once
  // it is complete: a failed or interrupted save leaves any earlier file of that name intact.
  PendingTemporary pending(fileName);
  const int fd = pending.descriptor();
  const std::string temporary = fd >= 0 ? pending.name() : "";
  FILE * file = fd >= 0 ? fdopen(fd, "w") : NULL;
  if (file == NULL) {
    if (fd >= 0) {
      close(fd);
      unlink(temporary.c_str());
    }
    std::printf("Failed\n");
    return;
  }
  fchmod(fd, modeForTarget(fileName));

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
