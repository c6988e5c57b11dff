#ifndef TERRAVEL_MESHEXTENT_H
#define TERRAVEL_MESHEXTENT_H

#include <Inventor/SbVec3f.h>

#include <cstdint>

// The rectangle a mesh covers in the ground plane: X and Z, heights never count.
struct Extent {
  float minX, minZ, maxX, maxZ;
};

// The true smallest and largest finite X and Z. An axis without any finite value (an empty
// list among them) reports 999999 as its minimum and -999999 as its maximum.
Extent extentOf(const SbVec3f * points, int32_t count);

#endif
