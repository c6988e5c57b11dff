#ifndef TERRAVEL_GRIDREDUCE_H
#define TERRAVEL_GRIDREDUCE_H

#include "flatmesh.h"
#include "gridmesher.h"
#include "verticalerror.h"

class PostLookup;
class VertexWelder;

// Reduces a chunk of a raster's mesh, in place, by meshing its posts anew (see gridmesher.h):
// within limits.maxError, or down to limits.targetTriangles. Protected positions stay, and so
// does the chunk's outline in shape. Vertices that stay keep their order, and their texture
// coordinates with them. False, with the chunk untouched, when a vertex stands on no post or
// the chunk is no union of the raster's cell triangles. error, when given, is the chunk's
// strict vertical error against its posts.
bool reduceOnGrid(EditableMesh & mesh, const VertexWelder & protectedPositions,
                  const PostLookup & posts, const GridLimits & limits, VerticalError * error);

#endif
