#include "firstview.h"

#include <Inventor/SbBox3f.h>
#include <Inventor/SbLinear.h>
#include <Inventor/SbViewportRegion.h>
#include <Inventor/actions/SoGetBoundingBoxAction.h>
#include <Inventor/SoPath.h>
#include <Inventor/actions/SoSearchAction.h>
#include <Inventor/lists/SoPathList.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoOrthographicCamera.h>
#include <Inventor/nodes/SoPerspectiveCamera.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

// A little room around the terrain, so that its edges do not touch the window's.
const float margin = 1.04f;
// Enough of a terrain's vertices to stand for its outline and its peaks.
const int samplesToFit = 8192;

std::vector<SbVec3f> boxCorners(const SbVec3f & low, const SbVec3f & high)
{
  std::vector<SbVec3f> corners;
  for (int c = 0; c < 8; ++c)
    corners.emplace_back(c & 1 ? high[0] : low[0], c & 2 ? high[1] : low[1],
                         c & 4 ? high[2] : low[2]);
  return corners;
}

// The points the view must hold: a sample of the terrain's own vertices (the scene's
// coordinate nodes hold world coordinates: the model's, a chunk's, the tree's chunks), so that
// tall peaks do not stretch the frame over corners no terrain reaches; the corners of the
// bounding box where there are none.
std::vector<SbVec3f> pointsToFit(SoNode * scene, const SbVec3f & low, const SbVec3f & high)
{
  SoSearchAction search;
  search.setType(SoCoordinate3::getClassTypeId(), TRUE);
  search.setInterest(SoSearchAction::ALL);
  search.setSearchingAll(TRUE);
  search.apply(scene);
  const SoPathList & paths = search.getPaths();
  int64_t total = 0;
  for (int i = 0; i < paths.getLength(); ++i)
    total += static_cast<SoCoordinate3 *>(paths[i]->getTail())->point.getNum();
  const int64_t stride = std::max<int64_t>(1, total / samplesToFit);
  std::vector<SbVec3f> points;
  int64_t next = 0, seen = 0;
  for (int i = 0; i < paths.getLength(); ++i) {
    const SoMFVec3f & coordinates = static_cast<SoCoordinate3 *>(paths[i]->getTail())->point;
    const int64_t count = coordinates.getNum();
    for (; next < seen + count; next += stride) {
      const SbVec3f & p = coordinates[int(next - seen)];
      if (std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2])) points.push_back(p);
    }
    seen += count;
  }
  if (points.size() < 3) points = boxCorners(low, high);
  return points;
}

} // namespace

void viewFromAbove(SoCamera * camera, SoNode * scene, const SbViewportRegion & viewport)
{
  if (camera == nullptr || scene == nullptr) return;
  SoGetBoundingBoxAction measure(viewport);
  measure.apply(scene);
  const SbBox3f box = measure.getBoundingBox();
  if (box.isEmpty()) return;
  SbVec3f low, high;
  box.getBounds(low, high);
  for (int k = 0; k < 3; ++k)
    if (!std::isfinite(low[k]) || !std::isfinite(high[k])) return;
  const SbVec3f centre = (low + high) * 0.5f;
  // A terrain of one point has no size to frame: a unit box about it is framed instead.
  const bool pointLike = !((high - low).length() > 0.0f);
  if (pointLike) {
    low = centre - SbVec3f(0.5f, 0.5f, 0.5f);
    high = centre + SbVec3f(0.5f, 0.5f, 0.5f);
  }

  // Looking along -Z, turned down about the X axis.
  const float tilt = viewFromAboveTilt * float(M_PI) / 180.0f;
  const SbRotation orientation(SbVec3f(1.0f, 0.0f, 0.0f), -tilt);
  SbVec3f forward, right, up;
  orientation.multVec(SbVec3f(0.0f, 0.0f, -1.0f), forward);
  orientation.multVec(SbVec3f(1.0f, 0.0f, 0.0f), right);
  orientation.multVec(SbVec3f(0.0f, 1.0f, 0.0f), up);

  const float aspect = std::max(viewport.getViewportAspectRatio(), 1e-3f);
  const std::vector<SbVec3f> corners =
    pointLike ? boxCorners(low, high) : pointsToFit(scene, low, high);

  SbVec3f position;
  float distance = 0.0f; // from the focal point
  if (camera->isOfType(SoPerspectiveCamera::getClassTypeId())) {
    // The box seen in perspective is lopsided: the near edge looks wider than the far one. So
    // the eye is moved in steps: back or forth until the widest corner just fits, and across
    // until the box stands in the middle of the window.
    const float t = std::tan(static_cast<SoPerspectiveCamera *>(camera)->heightAngle.getValue() / 2);
    SbVec3f focus = centre;
    distance = (high - low).length();
    for (int step = 0; step < 40; ++step) {
      const SbVec3f eye = focus - forward * distance;
      float minX = 1e30f, maxX = -1e30f, minY = 1e30f, maxY = -1e30f;
      for (const SbVec3f & corner : corners) {
        const SbVec3f d = corner - eye;
        const float depth = std::max(d.dot(forward), 1e-6f * distance);
        const float x = d.dot(right) / (depth * aspect * t), y = d.dot(up) / (depth * t);
        minX = std::min(minX, x);
        maxX = std::max(maxX, x);
        minY = std::min(minY, y);
        maxY = std::max(maxY, y);
      }
      // Across: the middle of what is seen moves to the middle of the window.
      focus += right * ((minX + maxX) / 2 * aspect * t * distance) +
               up * ((minY + maxY) / 2 * t * distance);
      // Back or forth: the larger half-extent becomes 1 / margin.
      const float extent = std::max((maxX - minX) / 2, (maxY - minY) / 2);
      distance *= std::max(0.5f, std::min(2.0f, extent * margin));
    }
    position = focus - forward * distance;
    const SbVec3f toCentre = centre - position;
    distance = std::max(toCentre.dot(forward), 1e-3f);
  } else {
    float height = 0.0f, depth = 0.0f;
    for (const SbVec3f & corner : corners) {
      const SbVec3f d = corner - centre;
      height = std::max(height, 2.0f * std::max(std::fabs(d.dot(right)) / aspect, std::fabs(d.dot(up))));
      depth = std::max(depth, std::fabs(d.dot(forward)));
    }
    distance = 2.0f * depth + 1.0f;
    position = centre - forward * distance;
    if (camera->isOfType(SoOrthographicCamera::getClassTypeId()))
      static_cast<SoOrthographicCamera *>(camera)->height.setValue(height * margin);
  }
  camera->orientation.setValue(orientation);
  camera->position.setValue(position);
  // The examiner viewer turns about the point this far ahead: the box's centre, near enough.
  camera->focalDistance.setValue(distance);
}
