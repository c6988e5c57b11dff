#ifndef TERRAVEL_VERTICALERROR_H
#define TERRAVEL_VERTICALERROR_H

#include "flatmesh.h"

#include <cstdint>

// How far points lie, vertically, from a surface.
struct VerticalError {
  double largest = 0.0;
  double rms = 0.0;
  int64_t measured = 0;  // points the surface lies above or below
  int64_t uncovered = 0; // points beside it on the ground
};

// The vertical distance of every point from the surface's triangle above or below it on the
// ground (X and Z), the largest and the root mean square.
VerticalError verticalErrorOf(const SbVec3f * points, int32_t numPoints, const MeshView & surface);

#endif
