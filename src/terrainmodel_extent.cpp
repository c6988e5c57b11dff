// The rectangle a mesh covers in the ground plane (X and Z; heights do not count).

#include "terrainmodel.h"

#include "nodesearch.h"

#include <Inventor/actions/SoSearchAction.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/SoFullPath.h>

#include <cassert>
#include <cmath>
#include <limits>

// Reported on an axis that has no finite value at all, such as for an empty coordinate list.
static const float noMinimum = 999999.0f;
static const float noMaximum = -999999.0f;

void TerrainModel::getExtent(SoNode * node, float & minX, float & minZ, float & maxX, float & maxZ)
{
  assert(node != NULL);
  SoSearchAction search;
  const SoCoordinate3 * coordinates =
    static_cast<const SoCoordinate3 *>(findFirst(search, node, SoCoordinate3::getClassTypeId()));
  if (coordinates == NULL) return;

  // Start beyond every finite value so that coordinates of any size are measured; infinities
  // and NaNs are left out, as they would make the rectangle unusable for cutting.
  const float infinity = std::numeric_limits<float>::infinity();
  float lowX = infinity, lowZ = infinity, highX = -infinity, highZ = -infinity;
  const int count = coordinates->point.getNum();
  const SbVec3f * points = coordinates->point.getValues(0);
  for (int i = 0; i < count; ++i) {
    const float x = points[i][0];
    const float z = points[i][2];
    if (std::isfinite(x)) {
      if (x < lowX) lowX = x;
      if (x > highX) highX = x;
    }
    if (std::isfinite(z)) {
      if (z < lowZ) lowZ = z;
      if (z > highZ) highZ = z;
    }
  }
  minX = lowX == infinity ? noMinimum : lowX;
  maxX = highX == -infinity ? noMaximum : highX;
  minZ = lowZ == infinity ? noMinimum : lowZ;
  maxZ = highZ == -infinity ? noMaximum : highZ;
}
