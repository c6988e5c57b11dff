#include "mesh_fixtures.h"

#include "terrainmodel.h"

#include <string>

#include <Inventor/SbBSPTree.h>
#include <Inventor/SoFullPath.h>
#include <Inventor/actions/SoSearchAction.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

#include <algorithm>
#include <cstring>

SoSeparator * makeChunk(const Mesh & mesh)
{
  SoSeparator * chunk = new SoSeparator;
  chunk->ref();
  SoCoordinate3 * coords = new SoCoordinate3;
  SoTextureCoordinate2 * texCoords = new SoTextureCoordinate2;
  SoIndexedFaceSet * faces = new SoIndexedFaceSet;
  coords->point.setNum(0);
  texCoords->point.setNum(0);
  faces->coordIndex.setNum(0);
  coords->point.setValues(0, int(mesh.points.size()), mesh.points.data());
  texCoords->point.setValues(0, int(mesh.texCoords.size()), mesh.texCoords.data());
  faces->coordIndex.setValues(0, int(mesh.coordIndex.size()), mesh.coordIndex.data());
  chunk->addChild(coords);
  chunk->addChild(texCoords);
  chunk->addChild(faces);
  return chunk;
}

static SoNode * first(SoNode * node, SoType type)
{
  SoSearchAction search;
  search.setType(type, TRUE);
  search.setInterest(SoSearchAction::FIRST);
  search.setSearchingAll(TRUE);
  search.apply(node);
  return search.getPath() == NULL ? NULL
                                  : static_cast<SoFullPath *>(search.getPath())->getTail();
}

Mesh readMesh(SoNode * node)
{
  Mesh mesh;
  if (SoNode * found = first(node, SoCoordinate3::getClassTypeId())) {
    const SoMFVec3f & f = static_cast<SoCoordinate3 *>(found)->point;
    mesh.points.assign(f.getValues(0), f.getValues(0) + f.getNum());
  }
  if (SoNode * found = first(node, SoTextureCoordinate2::getClassTypeId())) {
    const SoMFVec2f & f = static_cast<SoTextureCoordinate2 *>(found)->point;
    mesh.texCoords.assign(f.getValues(0), f.getValues(0) + f.getNum());
  }
  if (SoNode * found = first(node, SoIndexedFaceSet::getClassTypeId())) {
    const SoMFInt32 & f = static_cast<SoIndexedFaceSet *>(found)->coordIndex;
    mesh.coordIndex.assign(f.getValues(0), f.getValues(0) + f.getNum());
  }
  return mesh;
}

std::vector<SbVec3f> pointsOf(const SbBSPTree & tree)
{
  std::vector<SbVec3f> points;
  for (int i = 0; i < tree.numPoints(); ++i) points.push_back(tree.getPoint(i));
  return points;
}

template <typename Value>
static testing::AssertionResult sameList(const char * what, const std::vector<Value> & expected,
                                         const std::vector<Value> & actual)
{
  if (expected.size() != actual.size()) {
    return testing::AssertionFailure() << what << ": " << actual.size() << " entries, expected "
                                       << expected.size();
  }
  for (size_t i = 0; i < expected.size(); ++i) {
    if (std::memcmp(&expected[i], &actual[i], sizeof(Value)) != 0) {
      return testing::AssertionFailure() << what << ": first difference at entry " << i;
    }
  }
  return testing::AssertionSuccess();
}

testing::AssertionResult sameMesh(const Mesh & expected, const Mesh & actual)
{
  testing::AssertionResult result = sameList("coordIndex", expected.coordIndex, actual.coordIndex);
  if (!result) return result;
  result = sameList("points", expected.points, actual.points);
  if (!result) return result;
  return sameList("texCoords", expected.texCoords, actual.texCoords);
}

testing::AssertionResult samePoints(const std::vector<SbVec3f> & expected,
                                    const std::vector<SbVec3f> & actual)
{
  return sameList("points", expected, actual);
}

Mesh randomGrid(std::mt19937 & random, int nx, int nz, float step)
{
  std::uniform_int_distribution<int> height(-6, 3);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  Mesh mesh;
  for (int j = 0; j < nz; ++j) {
    for (int i = 0; i < nx; ++i) {
      const int h = height(random);
      mesh.points.emplace_back(float(i) * step, h > 0 ? float(h) : 0.0f, float(j) * step);
      mesh.texCoords.emplace_back(unit(random), unit(random));
    }
  }
  std::uniform_int_distribution<int> coin(0, 1);
  std::uniform_int_distribution<int> rotation(0, 2);
  auto add = [&](int32_t a, int32_t b, int32_t c) {
    const int32_t corners[3] = {a, b, c};
    const int r = rotation(random);
    for (int k = 0; k < 3; ++k) mesh.coordIndex.push_back(corners[(k + r) % 3]);
    mesh.coordIndex.push_back(-1);
  };
  for (int j = 0; j + 1 < nz; ++j) {
    for (int i = 0; i + 1 < nx; ++i) {
      const int32_t v00 = j * nx + i, v10 = v00 + 1, v01 = v00 + nx, v11 = v01 + 1;
      if (coin(random)) {
        add(v00, v01, v10);
        add(v10, v01, v11);
      } else {
        add(v00, v11, v10);
        add(v00, v01, v11);
      }
    }
  }
  return mesh;
}

float randomCoordinate(std::mt19937 & random)
{
  std::uniform_int_distribution<int> lattice(0, 8);
  std::uniform_int_distribution<int> odd(0, 9);
  if (odd(random) == 0) return std::uniform_real_distribution<float>(-1.0f, 11.0f)(random);
  return float(lattice(random)) * 1.25f;
}

Mesh randomSoup(std::mt19937 & random, int numPoints, int numTriangles)
{
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::uniform_int_distribution<int> height(0, 2);
  Mesh mesh;
  for (int i = 0; i < numPoints; ++i) {
    const float x = randomCoordinate(random);
    const float z = randomCoordinate(random);
    mesh.points.emplace_back(x, float(height(random)), z);
    mesh.texCoords.emplace_back(unit(random), unit(random));
  }
  std::uniform_int_distribution<int32_t> vertex(0, numPoints - 1);
  std::uniform_int_distribution<int> repeat(0, 19);
  for (int t = 0; t < numTriangles; ++t) {
    int32_t a = vertex(random), b = vertex(random), c = vertex(random);
    if (repeat(random) == 0) b = a;
    if (repeat(random) == 0) c = b;
    mesh.coordIndex.insert(mesh.coordIndex.end(), {a, b, c, -1});
  }
  return mesh;
}

bool loadSharedTerrain(TerrainModel & model, const char * name)
{
  const std::string path = std::string(TERRAVEL_SHARED_DATA) + "/terrain/" + name;
  return model.load(path.c_str()).loaded;
}
