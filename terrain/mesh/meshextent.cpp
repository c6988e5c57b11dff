#include "meshextent.h"

#include <cassert>
#include <cmath>
#include <limits>

namespace {

const float noMinimum = 999999.0f;
const float noMaximum = -999999.0f;

} // namespace

Extent extentOf(const SbVec3f * points, int32_t count)
{
  assert(count == 0 || points != nullptr);
  // Start beyond every finite value so that coordinates of any size are measured; infinities
  // and NaNs are left out, as they would make the rectangle unusable for cutting.
  const float infinity = std::numeric_limits<float>::infinity();
  float lowX = infinity, lowZ = infinity, highX = -infinity, highZ = -infinity;
  for (int32_t i = 0; i < count; ++i) {
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
  return {lowX == infinity ? noMinimum : lowX, lowZ == infinity ? noMinimum : lowZ,
          highX == -infinity ? noMaximum : highX, highZ == -infinity ? noMaximum : highZ};
}
