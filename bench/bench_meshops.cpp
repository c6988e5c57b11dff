// Speed of the mesh operations on a large terrain, in one run: the extent, a cut of the whole
// extent, one reduction pass at 50 % with the cut's border points (input triangles per second),
// and on a smaller chunk the literal step-by-step cut and pass beside the fast ones, with the
// ratio and a check that both give the same chunk.
// Usage: bench_meshops [terrain.iv[.gz] [triangles in the smaller chunk]]

#include "literal_meshops.h"
#include "terrainmodel.h"

#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/SbBSPTree.h>
#include <Inventor/SoDB.h>
#include <Inventor/SoFullPath.h>
#include <Inventor/actions/SoSearchAction.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

double seconds(void)
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

template <typename Node>
Node * first(SoNode * node)
{
  SoSearchAction search;
  search.setType(Node::getClassTypeId(), TRUE);
  search.setInterest(SoSearchAction::FIRST);
  search.setSearchingAll(TRUE);
  search.apply(node);
  return search.getPath() == NULL
           ? NULL
           : static_cast<Node *>(static_cast<SoFullPath *>(search.getPath())->getTail());
}

int trianglesOf(SoNode * node)
{
  SoIndexedFaceSet * faces = first<SoIndexedFaceSet>(node);
  return faces == NULL ? 0 : faces->coordIndex.getNum() / 4;
}

// Equal lists, bit for bit.
bool sameChunk(SoNode * a, SoNode * b)
{
  const SoMFVec3f & pa = first<SoCoordinate3>(a)->point;
  const SoMFVec3f & pb = first<SoCoordinate3>(b)->point;
  const SoMFVec2f & ta = first<SoTextureCoordinate2>(a)->point;
  const SoMFVec2f & tb = first<SoTextureCoordinate2>(b)->point;
  const SoMFInt32 & ia = first<SoIndexedFaceSet>(a)->coordIndex;
  const SoMFInt32 & ib = first<SoIndexedFaceSet>(b)->coordIndex;
  if (pa.getNum() != pb.getNum() || ta.getNum() != tb.getNum() || ia.getNum() != ib.getNum()) {
    return false;
  }
  return std::memcmp(pa.getValues(0), pb.getValues(0), sizeof(SbVec3f) * pa.getNum()) == 0 &&
         std::memcmp(ta.getValues(0), tb.getValues(0), sizeof(SbVec2f) * ta.getNum()) == 0 &&
         std::memcmp(ia.getValues(0), ib.getValues(0), sizeof(int32_t) * ia.getNum()) == 0;
}

bool sameBorder(const SbBSPTree & a, const SbBSPTree & b)
{
  if (a.numPoints() != b.numPoints()) return false;
  for (int i = 0; i < a.numPoints(); ++i) {
    if (a.getPoint(i) != b.getPoint(i)) return false;
  }
  return true;
}

} // namespace

int main(int argc, char ** argv)
{
  const std::string path = argc > 1 ? argv[1]
                                    : std::string(TERRAVEL_SHARED_DATA) +
                                        "/terrain/large_srtm3_N57E011.iv.gz";
  const int smallTarget = argc > 2 ? std::atoi(argv[2]) : 50000;
  SoDB::init();

  TerrainModel model;
  double start = seconds();
  if (!model.load(path.c_str())) return 1;
  const double loadTime = seconds() - start;
  SoSeparator * root = model.getRoot();
  const int modelTriangles = trianglesOf(root);
  std::printf("model: %d triangles, loaded in %.2f s\n", modelTriangles, loadTime);

  float minX, minZ, maxX, maxZ;
  start = seconds();
  model.getExtent(root, minX, minZ, maxX, maxZ);
  std::printf("extent: %g %g %g %g in %.1f ms\n", minX, minZ, maxX, maxZ,
              (seconds() - start) * 1e3);

  // The whole extent, then one pass at 50 % with the border points the cut recorded.
  SbBSPTree border(64, 0);
  start = seconds();
  SoSeparator * whole = model.cutRegion(root, minX, minZ, maxX, maxZ, &border);
  const double cutTime = seconds() - start;
  const int wholeTriangles = trianglesOf(whole);
  std::printf("full-extent cut: %d triangles, %d border points in %.3f s (%.2f M input "
              "triangles/s)\n",
              wholeTriangles, border.numPoints(), cutTime, modelTriangles / cutTime / 1e6);
  start = seconds();
  model.reduce(whole, &border, 50);
  const double reduceTime = seconds() - start;
  std::printf("reduction pass at 50 %%: %d -> %d triangles in %.3f s (%.2f M input triangles/s)\n",
              wholeTriangles, trianglesOf(whole), reduceTime, wholeTriangles / reduceTime / 1e6);
  whole->unref();

  // A centred rectangle of about the asked number of triangles, literal against fast.
  const float side = std::sqrt(float(smallTarget) / float(modelTriangles));
  const float cx = (minX + maxX) / 2, cz = (minZ + maxZ) / 2;
  const float hx = (maxX - minX) * side / 2, hz = (maxZ - minZ) * side / 2;
  const float x1 = cx - hx, x2 = cx + hx, y1 = cz - hz, y2 = cz + hz;

  SbBSPTree literalBorder(16, 0), fastBorder(16, 0);
  start = seconds();
  SoSeparator * literalChunk = literal::cutRegion(root, x1, y1, x2, y2, &literalBorder);
  const double literalCut = seconds() - start;
  start = seconds();
  SoSeparator * fastChunk = model.cutRegion(root, x1, y1, x2, y2, &fastBorder);
  const double fastCut = seconds() - start;
  const int chunkTriangles = trianglesOf(fastChunk);
  std::printf("cut of %d triangles from the model: literal %.3f s, fast %.3f s, ratio %.1f, "
              "identical: %s\n",
              chunkTriangles, literalCut, fastCut, literalCut / fastCut,
              sameChunk(literalChunk, fastChunk) && sameBorder(literalBorder, fastBorder) ? "yes"
                                                                                        : "NO");

  start = seconds();
  literal::reduce(literalChunk, &literalBorder, 50);
  const double literalPass = seconds() - start;
  start = seconds();
  model.reduce(fastChunk, &fastBorder, 50);
  const double fastPass = seconds() - start;
  const bool same = sameChunk(literalChunk, fastChunk);
  std::printf("pass at 50 %% on %d triangles (-> %d): literal %.3f s, fast %.4f s, ratio %.0f, "
              "identical: %s\n",
              chunkTriangles, trianglesOf(fastChunk), literalPass, fastPass,
              literalPass / fastPass, same ? "yes" : "NO");
  literalChunk->unref();
  fastChunk->unref();
  return same ? 0 : 1;
}
