#include "chunkerror.h"

#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoGroup.h>
#include <Inventor/nodes/SoInfo.h>
#include <Inventor/nodes/SoLOD.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>

namespace {

const char * const format = "coarse chunk: largest vertical error %lf m, RMS %lf m";

// The bounds of the first coordinate node below a chunk: their centre and radius.
bool boundsOf(SoNode * chunk, SbVec3f & centre, double & radius)
{
  if (!chunk->isOfType(SoGroup::getClassTypeId())) return false;
  SoGroup * group = static_cast<SoGroup *>(chunk);
  for (int i = 0; i < group->getNumChildren(); ++i) {
    if (!group->getChild(i)->isOfType(SoCoordinate3::getClassTypeId())) continue;
    const SoMFVec3f & points = static_cast<SoCoordinate3 *>(group->getChild(i))->point;
    if (points.getNum() == 0) return false;
    SbVec3f low = points[0], high = points[0];
    for (int k = 1; k < points.getNum(); ++k)
      for (int axis = 0; axis < 3; ++axis) {
        low[axis] = std::min(low[axis], points[k][axis]);
        high[axis] = std::max(high[axis], points[k][axis]);
      }
    double squares = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
      centre[axis] = float((double(low[axis]) + high[axis]) / 2.0);
      squares += (double(high[axis]) - low[axis]) * (double(high[axis]) - low[axis]);
    }
    radius = std::sqrt(squares) / 2.0;
    return true;
  }
  return false;
}

} // namespace

SoInfo * errorInfo(const VerticalError & error)
{
  char text[128];
  std::snprintf(text, sizeof text, "coarse chunk: largest vertical error %.6f m, RMS %.6f m",
                error.largest, error.rms);
  SoInfo * info = new SoInfo;
  info->string.setValue(text);
  return info;
}

bool errorOfInfo(const SoNode * node, double & largest, double & rms)
{
  if (node == nullptr || !node->isOfType(SoInfo::getClassTypeId())) return false;
  return std::sscanf(static_cast<const SoInfo *>(node)->string.getValue().getString(), format,
                     &largest, &rms) == 2;
}

double distanceForPixelError(double error, double pixels, double heightAngle, int viewportHeight)
{
  return error * double(viewportHeight) / (2.0 * pixels * std::tan(heightAngle / 2.0));
}

int setRangesForPixelError(SoNode * tree, double pixels, double heightAngle, int viewportHeight)
{
  if (tree == nullptr || !tree->isOfType(SoGroup::getClassTypeId())) return 0;
  SoGroup * group = static_cast<SoGroup *>(tree);
  int set = 0;
  double largest = 0.0, rms = 0.0;
  bool measured = false;
  for (int i = 0; i < group->getNumChildren(); ++i) {
    SoNode * child = group->getChild(i);
    if (errorOfInfo(child, largest, rms)) {
      measured = true;
    } else if (child->isOfType(SoLOD::getClassTypeId()) &&
               static_cast<SoLOD *>(child)->getNumChildren() == 2) {
      SoLOD * lod = static_cast<SoLOD *>(child);
      SbVec3f centre;
      double radius = 0.0;
      if (measured && boundsOf(lod->getChild(1), centre, radius)) {
        lod->center.setValue(centre);
        // Farther than single precision reaches: the coarse chunk is never drawn.
        const double range = distanceForPixelError(largest, pixels, heightAngle, viewportHeight) + radius;
        lod->range.setValue(float(std::min(range, double(FLT_MAX))));
        ++set;
      }
      set += setRangesForPixelError(lod->getChild(0), pixels, heightAngle, viewportHeight);
    } else {
      set += setRangesForPixelError(child, pixels, heightAngle, viewportHeight);
    }
  }
  return set;
}
