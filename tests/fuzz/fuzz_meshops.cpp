// Fuzz target: a small mesh made from the input bytes (any float bit patterns, any indices) is
// cut by a rectangle from the input and reduced several times with the cut's border points;
// the raw mesh is reduced too. Every result must keep the chunk's invariants.

#include "terrainmodel.h"

#include <Inventor/SbBSPTree.h>
#include <Inventor/SoDB.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

class Bytes {
public:
  Bytes(const uint8_t * data, size_t size) : at(data), end(data + size) {}
  template <typename T>
  T take(void)
  {
    T value{};
    const size_t n = size_t(end - at) < sizeof(T) ? size_t(end - at) : sizeof(T);
    std::memcpy(&value, at, n);
    at += n;
    return value;
  }
  bool empty(void) const { return at == end; }

private:
  const uint8_t * at;
  const uint8_t * end;
};

void require(bool condition)
{
  if (!condition) std::abort();
}

// A chunk made by the cut: as many texture coordinates as vertices, groups of four ending in
// -1, every corner naming an existing vertex.
void checkChunk(SoSeparator * chunk)
{
  require(chunk->getNumChildren() == 3);
  const SoMFVec3f & points = static_cast<SoCoordinate3 *>(chunk->getChild(0))->point;
  const SoMFVec2f & tex = static_cast<SoTextureCoordinate2 *>(chunk->getChild(1))->point;
  const SoMFInt32 & index = static_cast<SoIndexedFaceSet *>(chunk->getChild(2))->coordIndex;
  require(points.getNum() == tex.getNum());
  require(index.getNum() % 4 == 0);
  for (int i = 0; i < index.getNum(); ++i) {
    if (i % 4 == 3) require(index[i] == -1);
    else require(index[i] >= 0 && index[i] < points.getNum());
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * data, size_t size)
{
  static bool initialised = false;
  if (!initialised) {
    SoDB::init();
    initialised = true;
  }
  static TerrainModel model;
  Bytes bytes(data, size);

  const int numPoints = bytes.take<uint8_t>() % 48;
  const int numTex = bytes.take<uint8_t>() % 2 == 0 ? numPoints : bytes.take<uint8_t>() % 48;
  const int numIndices = bytes.take<uint8_t>() % 160;
  const float x1 = bytes.take<float>(), y1 = bytes.take<float>();
  const float x2 = bytes.take<float>(), y2 = bytes.take<float>();
  const int percent = bytes.take<uint8_t>() % 101;
  const int passes = 1 + bytes.take<uint8_t>() % 4;

  SoSeparator * mesh = new SoSeparator;
  mesh->ref();
  SoCoordinate3 * coords = new SoCoordinate3;
  SoTextureCoordinate2 * texCoords = new SoTextureCoordinate2;
  SoIndexedFaceSet * faces = new SoIndexedFaceSet;
  coords->point.setNum(numPoints);
  for (int i = 0; i < numPoints; ++i) {
    // Mostly a small grid of exact values (so positions repeat and edges tie), sometimes raw bits.
    const uint8_t kind = bytes.take<uint8_t>();
    if (kind < 200) {
      coords->point.set1Value(i, float(kind % 7), float(kind % 3), float(kind / 7 % 7));
    } else {
      coords->point.set1Value(i, bytes.take<float>(), bytes.take<float>(), bytes.take<float>());
    }
  }
  texCoords->point.setNum(numTex);
  for (int i = 0; i < numTex; ++i) texCoords->point.set1Value(i, float(i), float(-i));
  faces->coordIndex.setNum(numIndices);
  for (int i = 0; i < numIndices; ++i)
    faces->coordIndex.set1Value(i, int32_t(bytes.take<int8_t>()) % (numPoints + 3));
  mesh->addChild(coords);
  mesh->addChild(texCoords);
  mesh->addChild(faces);

  SbBSPTree border(16, 0);
  float minX = 0, minZ = 0, maxX = 0, maxZ = 0;
  model.getExtent(mesh, minX, minZ, maxX, maxZ);
  const bool whole = percent % 2 == 0;
  SoSeparator * chunk = whole ? model.cutRegion(mesh, minX, minZ, maxX, maxZ, &border)
                              : model.cutRegion(mesh, x1, y1, x2, y2, &border);
  require(chunk != nullptr);
  checkChunk(chunk);
  for (int pass = 0; pass < passes; ++pass) {
    const int before = static_cast<SoCoordinate3 *>(chunk->getChild(0))->point.getNum();
    model.reduce(chunk, &border, percent);
    checkChunk(chunk);
    require(static_cast<SoCoordinate3 *>(chunk->getChild(0))->point.getNum() <= before);
  }
  chunk->unref();

  // The raw mesh, broken indices and all: reduction must neither crash nor read out of bounds.
  model.reduce(mesh, &border, percent);
  require(coords->point.getNum() <= numPoints);
  mesh->unref();
  return 0;
}
