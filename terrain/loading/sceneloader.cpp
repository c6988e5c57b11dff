#include "sceneloader.h"

#include "containedrun.h"
#include "hugepages.h"
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

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// A triangle as the traversal delivers it, in its shape's coordinates, before welding.
struct RawTriangle {
  SbVec3f corner[3];
  SbVec2f texCoord[3];
  uint32_t matrix; // the shape's model matrix, in Flattening::matrices
};
using Block = std::vector<RawTriangle>;
const size_t blockSize = 8192;
// Blocks in flight at most: the traversal waits for the welding rather than fill memory.
const size_t blocksInFlight = 32;
// The estimate counts every child of a switch: room is made for no more than this up front.
const uint64_t reservedTriangles = uint64_t(1) << 25;

// Hands blocks of triangles from the traversal to the welding thread, in order: the toolkit's
// traversal and the welding each keep a core busy instead of taking turns on one.
class TriangleQueue {
public:
  void push(Block && block)
  {
    std::unique_lock<std::mutex> lock(mutex);
    room.wait(lock, [this]() { return full.size() < blocksInFlight; });
    full.push_back(std::move(block));
    ready.notify_one();
  }

  // False once the traversal has ended and every block is taken.
  bool pop(Block & block)
  {
    std::unique_lock<std::mutex> lock(mutex);
    ready.wait(lock, [this]() { return !full.empty() || closed; });
    if (full.empty()) return false;
    block = std::move(full.front());
    full.pop_front();
    room.notify_one();
    return true;
  }

  void close(void)
  {
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
    ready.notify_one();
  }

  void recycle(Block && block)
  {
    block.clear();
    std::lock_guard<std::mutex> lock(mutex);
    if (spares.size() < blocksInFlight) spares.push_back(std::move(block));
  }

  Block spare(void)
  {
    std::lock_guard<std::mutex> lock(mutex);
    Block block;
    if (!spares.empty()) {
      block = std::move(spares.back());
      spares.pop_back();
    }
    block.reserve(blockSize);
    return block;
  }

private:
  std::mutex mutex;
  std::condition_variable ready, room;
  std::deque<Block> full;
  std::vector<Block> spares;
  bool closed = false;
};

// What the traversal's callbacks fill, and the welding of what they deliver.
struct Flattening {
  FlatMesh & mesh;
  ContainedProgress & progress;
  TriangleQueue queue;
  Block current;
  uint64_t triangles = 0;
  // The model matrix of every shape traversed; the welding thread takes corners into world
  // coordinates with them, so the traversal only copies.
  std::deque<SbMatrix> matrices;
  std::mutex matricesMutex;
  bool full = false;   // the lists reached what they can hold
  bool broken = false; // a shape's counts or indices ran past its data
  VertexWelder welder;

  // Room for the expected triangles up front: growing the lists and the welder's table while
  // the traversal runs copies them over and over. A grid has about half as many vertices as
  // triangles.
  Flattening(FlatMesh & mesh, ContainedProgress & progress, uint64_t expectedTriangles)
    : mesh(mesh), progress(progress),
      welder(int(std::min(expectedTriangles, reservedTriangles) / 2))
  {
    const size_t triangles = size_t(std::min(expectedTriangles, reservedTriangles));
    mesh.coordIndex.reserve(triangles * 4);
    mesh.texCoords.reserve(triangles / 2);
    hugepages::advise(mesh.coordIndex.data(), mesh.coordIndex.capacity() * sizeof(int32_t));
    hugepages::advise(mesh.texCoords.data(), mesh.texCoords.capacity() * sizeof(SbVec2f));
    current = queue.spare();
  }

  // Corners of neighbouring triangles meet again soon: a small table of recent positions
  // answers most of them without a look into the welder's large one.
  struct Recent {
    SbVec3f point;
    int32_t index = -1;
  };
  static constexpr size_t recentSize = 8192;

  int32_t weldCorner(const SbVec3f & p, std::vector<Recent> & recent)
  {
    const uint32_t bits[3] = {VertexWelder::bitsOf(p[0]), VertexWelder::bitsOf(p[1]),
                              VertexWelder::bitsOf(p[2])};
    Recent & r = recent[(bits[0] * 73856093u ^ bits[1] * 19349663u ^ bits[2] * 83492791u) &
                        (recentSize - 1)];
    if (r.index >= 0 && r.point[0] == p[0] && r.point[1] == p[1] && r.point[2] == p[2])
      return r.index;
    const int32_t index = welder.weld(p);
    r.point = p;
    r.index = index;
    return index;
  }

  // Runs on its own thread: every corner gets the number of its position, in delivery order.
  void weld(void)
  {
    std::vector<Recent> recent(recentSize);
    std::vector<SbVec2f> & texCoords = mesh.texCoords;
    const SbMatrix * matrix = nullptr;
    uint32_t matrixIndex = UINT32_MAX;
    Block block;
    while (queue.pop(block)) {
      for (const RawTriangle & t : block) {
        if (t.matrix != matrixIndex) {
          matrix = &matrixOf(t.matrix);
          matrixIndex = t.matrix;
        }
        int32_t index[3];
        for (int k = 0; k < 3; ++k) {
          SbVec3f world;
          matrix->multVecMatrix(t.corner[k], world);
          index[k] = weldCorner(world, recent);
          if (int32_t(texCoords.size()) - 1 < index[k]) texCoords.resize(size_t(index[k]) + 1);
          // A vertex shared by several corners keeps the texture coordinate of the last one.
          texCoords[size_t(index[k])] = t.texCoord[k];
        }
        mesh.coordIndex.insert(mesh.coordIndex.end(), {index[0], index[1], index[2], -1});
      }
      progress.ticks.fetch_add(1, std::memory_order_relaxed);
      queue.recycle(std::move(block));
    }
  }

  // Deques keep their elements in place as they grow: a reference stays good, and only the
  // growth itself needs the lock.
  const SbMatrix & matrixOf(uint32_t index)
  {
    std::lock_guard<std::mutex> lock(matricesMutex);
    return matrices[index];
  }

  void newShape(const SbMatrix & matrix)
  {
    std::lock_guard<std::mutex> lock(matricesMutex);
    matrices.push_back(matrix);
  }

  void deliver(void)
  {
    if (!current.empty()) queue.push(std::move(current));
    current = queue.spare();
  }
};

void addTriangle(void * data, SoCallbackAction * action, const SoPrimitiveVertex * v1,
                 const SoPrimitiveVertex * v2, const SoPrimitiveVertex * v3)
{
  Flattening & f = *static_cast<Flattening *>(data);
  // The traversal stops at the next shape, and the load fails.
  if (f.triangles >= scenecheck::maxTriangles) {
    f.full = true;
    return;
  }
  // Now and then a sign of life, for a traversal that is slow to fill a block.
  if ((++f.triangles & 1023) == 0) f.progress.ticks.fetch_add(1, std::memory_order_relaxed);
  (void)action; // the matrix was taken before the shape
  const SoPrimitiveVertex * const corners[3] = {v1, v2, v3};
  f.current.emplace_back();
  RawTriangle & t = f.current.back();
  for (int k = 0; k < 3; ++k) {
    t.corner[k] = corners[k]->getPoint();
    const SbVec4f & texCoord = corners[k]->getTextureCoords();
    t.texCoord[k].setValue(texCoord[0], texCoord[1]);
  }
  t.matrix = uint32_t(f.matrices.size() - 1);
  if (f.current.size() == blockSize) f.deliver();
}

// Before each shape: stop when the lists are full or the shape's data would be read past.
SoCallbackAction::Response beforeShape(void * data, SoCallbackAction * action, const SoNode * node)
{
  Flattening & f = *static_cast<Flattening *>(data);
  if (f.full) return SoCallbackAction::ABORT;
  f.newShape(action->getModelMatrix());
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

bool loadScene(const char * fileName, FlatMesh & mesh, ContainedProgress & progress,
               std::string & reason)
{
  // File nodes of the scene may name only regular files.
  static const bool fileNodesChecked = (SoCheckedFile::initClass(), true);
  (void)fileNodesChecked;
  SoCheckedFile::resetRefusals();
  SoInput input;
  if (!input.openFile(fileName, FALSE)) {
    reason = "the file cannot be opened";
    return false;
  }
  SoSeparator * scene = SoDB::readAll(&input);
  // A scene that names a device or a FIFO, or whose shared subgraphs expand past what the
  // lists can hold, would read or traverse without end.
  const uint64_t expected = scene != nullptr ? scenecheck::estimateTriangles(scene) : 0;
  if (scene == nullptr || SoCheckedFile::refusedAName() || expected > scenecheck::maxTriangles) {
    reason = SoCheckedFile::refusedAName()
               ? "a File node of the scene names something other than a regular file"
             : scene == nullptr ? "neither an elevation raster nor an Inventor scene that can be read"
                                : "its shared parts expand to more triangles than a mesh can hold";
    if (scene != nullptr) scene->unref();
    return false;
  }
  scene->ref();
  progress.ticks.fetch_add(1, std::memory_order_relaxed);
  Flattening flattening(mesh, progress, expected);
  std::thread welding([&flattening]() { flattening.weld(); });
  SoCallbackAction action;
  action.addPreCallback(SoShape::getClassTypeId(), beforeShape, &flattening);
  action.addTriangleCallback(SoShape::getClassTypeId(), addTriangle, &flattening);
  action.addPostCallback(SoTexture2::getClassTypeId(), afterTexture, &mesh.texture);
  action.apply(scene);
  flattening.deliver();
  flattening.queue.close();
  welding.join();
  scene->unref();
  if (flattening.full || flattening.broken) {
    reason = flattening.full ? "it holds more triangles than a mesh can hold"
                             : "a shape's counts or indices run past its data";
    return false;
  }
  mesh.points = flattening.welder.releasePoints();
  mesh.sources.push_back(fileName);
  return true;
}
