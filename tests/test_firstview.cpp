#include "firstview.h"

#include <Inventor/SbViewVolume.h>
#include <Inventor/SbViewportRegion.h>
#include <Inventor/SoDB.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoFaceSet.h>
#include <Inventor/nodes/SoOrthographicCamera.h>
#include <Inventor/nodes/SoPerspectiveCamera.h>
#include <Inventor/nodes/SoSeparator.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// One triangle fan of the given corners, as a scene of its own.
SoSeparator * sceneOf(const std::vector<SbVec3f> & corners)
{
  SoSeparator * scene = new SoSeparator;
  scene->ref();
  SoCoordinate3 * coords = new SoCoordinate3;
  coords->point.setValues(0, int(corners.size()), corners.data());
  scene->addChild(coords);
  scene->addChild(new SoFaceSet);
  return scene;
}

bool finite(const SbVec3f & v)
{
  return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

} // namespace

// Over a table of terrains and both kinds of camera: the camera looks north and down at the
// chosen angle, sees every corner of the terrain, and the terrain fills most of the window.
TEST(FirstView, LooksDownNorthAndFramesTheWholeTerrain)
{
  SoDB::init();
  const std::vector<std::vector<SbVec3f>> terrains = {
    {{0, 0, 0}, {100, 0, 0}, {100, 0, 100}, {0, 0, 100}},                // flat square
    {{-5000, 20, -300}, {5000, 900, -300}, {5000, 20, 300}, {-5000, 0, 300}}, // wide strip
    {{0, 0, 0}, {1, 0, 0}, {1, 50, 1}, {0, 0, 1}},                           // a spike
  };
  const SbViewportRegion viewport(800, 600);
  for (const std::vector<SbVec3f> & terrain : terrains) {
    for (const bool perspective : {true, false}) {
      SoSeparator * scene = sceneOf(terrain);
      SoCamera * camera = perspective ? static_cast<SoCamera *>(new SoPerspectiveCamera)
                                      : static_cast<SoCamera *>(new SoOrthographicCamera);
      camera->ref();
      viewFromAbove(camera, scene, viewport);

      SbVec3f direction;
      camera->orientation.getValue().multVec(SbVec3f(0, 0, -1), direction);
      EXPECT_NEAR(direction[0], 0.0f, 1e-5f);
      EXPECT_LT(direction[2], 0.0f);
      const float below = std::atan2(-direction[1], -direction[2]) * 180.0f / float(M_PI);
      EXPECT_NEAR(below, viewFromAboveTilt, 1e-3f);

      const SbViewVolume volume = camera->getViewVolume(viewport.getViewportAspectRatio());
      float minX = 1, maxX = 0, minY = 1, maxY = 0;
      for (const SbVec3f & corner : terrain) {
        SbVec3f seen;
        volume.projectToScreen(corner, seen);
        minX = std::min(minX, seen[0]);
        maxX = std::max(maxX, seen[0]);
        minY = std::min(minY, seen[1]);
        maxY = std::max(maxY, seen[1]);
      }
      EXPECT_GE(minX, -1e-3f);
      EXPECT_LE(maxX, 1 + 1e-3f);
      EXPECT_GE(minY, -1e-3f);
      EXPECT_LE(maxY, 1 + 1e-3f);
      EXPECT_GT(std::max(maxX - minX, maxY - minY), 0.6f) << "perspective " << perspective;
      camera->unref();
      scene->unref();
    }
  }
}

// A terrain whose every vertex is one point has no size: the camera still stands back from it.
TEST(FirstView, ATerrainOfOnePointLeavesAUsableCamera)
{
  SoDB::init();
  SoSeparator * scene = sceneOf({{3, 4, 5}, {3, 4, 5}, {3, 4, 5}});
  SoPerspectiveCamera * camera = new SoPerspectiveCamera;
  camera->ref();
  viewFromAbove(camera, scene, SbViewportRegion(800, 600));
  ASSERT_TRUE(finite(camera->position.getValue()));
  // Far enough to see it, and seen near the middle of the window.
  EXPECT_GT((camera->position.getValue() - SbVec3f(3, 4, 5)).length(), 0.5f);
  SbVec3f seen;
  camera->getViewVolume(800.0f / 600.0f).projectToScreen(SbVec3f(3, 4, 5), seen);
  EXPECT_NEAR(seen[0], 0.5f, 0.05f);
  EXPECT_NEAR(seen[1], 0.5f, 0.05f);
  camera->unref();
  scene->unref();
}
