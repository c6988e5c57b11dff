#ifndef TERRAVEL_CHUNKREDUCTION_H
#define TERRAVEL_CHUNKREDUCTION_H

#include "flatmesh.h"
#include "verticalerror.h"

class PostLookup;
class VertexWelder;

// Which reduction a chunk gets, and how far it goes.
enum class Reducer {
  SHORTEST_EDGE, // passes that collapse the shortest edges first
  ERROR          // collapses in the order of the vertical error they cause
};

struct ReductionSettings {
  Reducer reducer = Reducer::SHORTEST_EDGE;
  // Above zero: the error reducer removes what it can while every input vertex stays within
  // this many metres, vertically, of the surface (the tree doubles it for each level up).
  double maxError = 0.0;
  // Measure each reduced chunk against the vertices it was made from.
  bool measure = false;
  // For a raster's mesh, the posts its positions stand on: the error reducer then meshes a
  // chunk's posts anew by greedy insertion (see gridreduce.h), and measures it the strict way.
  const PostLookup * posts = nullptr;
};

// Reduces the chunk as `passes` shortest-edge passes of `percent` do; the error reducer to as
// many triangles as those passes would leave, or within `budget` metres when one is given
// (above zero). Protected positions stay. When settings.measure, gives the chunk's vertical
// error against its vertices before the reduction; otherwise nothing is measured.
VerticalError reduceChunk(EditableMesh & mesh, const VertexWelder & protectedPositions,
                          const ReductionSettings & settings, int percent, int passes,
                          double budget);

// Run mode 2's reduction of the whole terrain: percent of the chunk's triangles go (by passes
// in a row, or by the error reducer), or, with settings.maxError, as many as that allows.
VerticalError reduceShare(EditableMesh & mesh, const VertexWelder & protectedPositions,
                          const ReductionSettings & settings, int percent);

// The triangles that `passes` shortest-edge passes of `percent` aim to leave of `triangles`:
// each pass's quota taken from what the last one left.
int64_t trianglesAfterPasses(int64_t triangles, int percent, int passes);

#endif
