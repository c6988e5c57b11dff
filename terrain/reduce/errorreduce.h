#ifndef TERRAVEL_ERRORREDUCE_H
#define TERRAVEL_ERRORREDUCE_H

#include "flatmesh.h"

#include <cstdint>
#include <limits>

class VertexWelder;

// How far the error-driven reduction goes: down to a number of triangles, and never so far that
// an input vertex lies farther than maxError (metres, vertically) from the reduced surface.
struct ErrorLimits {
  int64_t targetTriangles = 0; // 0: as far as maxError allows
  double maxError = std::numeric_limits<double>::infinity();
};

// Reduces a chunk by collapsing edges, the one that moves the surface least first: a collapse
// merges a vertex into a neighbour (no new positions), and its cost is the largest vertical
// distance that any input vertex it covers comes to lie from the new surface. Every removed
// input vertex is followed to the triangle it lies under, so the cost is exact, not estimated.
// Never moves or removes a vertex whose position is protected (the cut's border) or that lies
// on the mesh's open outline (coastlines, nodata borders); never turns a triangle over or
// flattens it on the ground; never folds the surface onto itself. Vertices that survive and
// triangles keep their order; the counts of the view shrink to what is left. The result
// depends only on the chunk: it is the same whatever thread runs it.
void reduceByError(EditableMesh & mesh, const VertexWelder & protectedPositions,
                   const ErrorLimits & limits);

#endif
