#ifndef TERRAVEL_MESHREDUCE_H
#define TERRAVEL_MESHREDUCE_H

#include "flatmesh.h"

#include <cstdint>

class VertexWelder;

// One reduction pass over a chunk, in place: every triangle proposes its shortest edge whose
// start vertex is not protected (its position is in protectedPositions); the proposals are
// taken shortest first, each vertex in at most one collapse, until the triangles counted as
// removed (two per collapse) reach percent of the chunk's; the removed vertices go, the
// triangles a collapse flattens go, and so does every triangle whose corners lie on one line.
// Survivors keep their order. The counts of the view shrink to what is left. A collapse that
// would turn a triangle over or flatten it on the ground (the sign of its area in X and Z) is
// passed over and costs nothing. Returns the number of collapses accepted.
int reducePass(EditableMesh & mesh, const VertexWelder & protectedPositions, int percent);
// The same pass with the number of triangles to count as removed given outright.
int reducePassWithQuota(EditableMesh & mesh, const VertexWelder & protectedPositions, int64_t quota);

// Passes in a row over the chunk, the first as reducePass, each further one asked for what is
// still missing, until percent of the chunk's triangles are gone or a pass accepts no collapse.
void reduceByShare(EditableMesh & mesh, const VertexWelder & protectedPositions, int percent);

#endif
