// Loading cost on a large terrain: the toolkit's read alone, read plus the triangle traversal
// with an empty callback, and the full load (traversal, welding, filling the fields).
// Then the same terrain as an elevation raster, and the ratio of the two loads.
// Usage: bench_load [terrain.iv[.gz] [raster [rounds]]]

#include "shownpath.h"
#include "terrainmodel.h"

#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/SbTime.h>
#include <Inventor/SoDB.h>
#include <Inventor/SoInput.h>
#include <Inventor/SoPrimitiveVertex.h>
#include <Inventor/actions/SoCallbackAction.h>
#include <Inventor/nodes/SoShape.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

double now(void) { return SbTime::getTimeOfDay().getValue(); }

void countTriangle(void * data, SoCallbackAction *, const SoPrimitiveVertex *,
                   const SoPrimitiveVertex *, const SoPrimitiveVertex *)
{
  ++*static_cast<long *>(data);
}

} // namespace

int main(int argc, char ** argv)
{
  const char * path = argc > 1 ? argv[1] : TERRAVEL_SHARED_DATA "/terrain/large_srtm3_N57E011.iv.gz";
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
  SoDB::init();

  // The machine is shared and noisy: each figure is the best of several rounds, taken in turn,
  // so that both sides of a ratio meet the same conditions.
  double read = 1e30, readAndTraversal = 1e30, load = 1e30;
  long triangles = 0;
  for (int round = 0; round < rounds; ++round) {
    double t0 = now();
    SoInput input;
    if (!input.openFile(path)) return 1;
    SoSeparator * scene = SoDB::readAll(&input);
    if (scene == nullptr) return 1;
    scene->ref();
    const double readTime = now() - t0;
    t0 = now();
    triangles = 0;
    SoCallbackAction action;
    action.addTriangleCallback(SoShape::getClassTypeId(), countTriangle, &triangles);
    action.apply(scene);
    const double traversalTime = now() - t0;
    scene->unref();
    read = std::min(read, readTime);
    readAndTraversal = std::min(readAndTraversal, readTime + traversalTime);

    t0 = now();
    TerrainModel model;
    if (!model.load(path)) return 1;
    load = std::min(load, now() - t0);
  }

  std::printf("file:                 %s\n", shownPath(path).c_str());
  std::printf("triangles:            %ld\n", triangles);
  std::printf("read alone:           %.2f s (best of %d)\n", read, rounds);
  std::printf("read + traversal:     %.2f s\n", readAndTraversal);
  std::printf("full load:            %.2f s\n", load);
  std::printf("load / (read + trav): %.2f\n", load / readAndTraversal);

  // The same terrain as an elevation raster, read by GDAL instead of the toolkit.
  const char * raster = argc > 2 ? argv[2] : TERRAVEL_SHARED_DATA "/dem/N57E011.hgt";
  double rasterLoad = 1e30;
  for (int round = 0; round < rounds; ++round) {
    const double t0 = now();
    TerrainModel fromRaster;
    if (!fromRaster.load(raster)) return 1;
    rasterLoad = std::min(rasterLoad, now() - t0);
  }
  std::printf("raster:               %s\n", shownPath(raster).c_str());
  std::printf("raster load:          %.2f s\n", rasterLoad);
  std::printf("raster / scene load:  %.2f\n", rasterLoad / load);
  return 0;
}
