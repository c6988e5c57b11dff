#include "chunkreduction.h"

#include "errorreduce.h"
#include "gridreduce.h"
#include "meshreduce.h"
#include "vertexwelder.h"

#include <functional>
#include <vector>

namespace {

// Runs the reduction; measures the result against the vertices as they were, when asked to.
VerticalError measured(EditableMesh & mesh, bool measure,
                       const std::function<void(EditableMesh &)> & reduce)
{
  std::vector<SbVec3f> before;
  if (measure) before.assign(mesh.points, mesh.points + mesh.numPoints);
  reduce(mesh);
  if (!measure) return VerticalError();
  MeshView surface;
  surface.points = mesh.points;
  surface.numPoints = mesh.numPoints;
  surface.coordIndex = mesh.coordIndex;
  surface.numIndices = mesh.numIndices;
  return verticalErrorOf(before.data(), int32_t(before.size()), surface);
}

// The error reducer down to the count, or within the budget when one is given (above zero):
// over a raster's posts where they are known, by collapses otherwise.
VerticalError reduceWithin(EditableMesh & mesh, const VertexWelder & protectedPositions,
                           const ReductionSettings & settings, int64_t count, double budget)
{
  if (settings.posts != nullptr) {
    GridLimits limits;
    if (budget > 0.0) limits.maxError = budget;
    else limits.targetTriangles = count;
    VerticalError error;
    if (reduceOnGrid(mesh, protectedPositions, *settings.posts, limits, settings.measure ? &error : nullptr))
      return error;
  }
  return measured(mesh, settings.measure, [&](EditableMesh & m) {
    ErrorLimits limits;
    if (budget > 0.0)
      limits.maxError = budget;
    else
      limits.targetTriangles = count;
    reduceByError(m, protectedPositions, limits);
  });
}

} // namespace

int64_t trianglesAfterPasses(int64_t triangles, int percent, int passes)
{
  for (int pass = 0; pass < passes; ++pass) triangles -= triangles * percent / 100;
  return triangles;
}

VerticalError reduceChunk(EditableMesh & mesh, const VertexWelder & protectedPositions,
                          const ReductionSettings & settings, int percent, int passes,
                          double budget)
{
  if (settings.reducer == Reducer::ERROR)
    return reduceWithin(mesh, protectedPositions, settings,
                        trianglesAfterPasses(mesh.numIndices / 4, percent, passes), budget);
  return measured(mesh, settings.measure, [&](EditableMesh & m) {
    for (int pass = 0; pass < passes; ++pass) reducePass(m, protectedPositions, percent);
  });
}

VerticalError reduceShare(EditableMesh & mesh, const VertexWelder & protectedPositions,
                          const ReductionSettings & settings, int percent)
{
  const int64_t count = mesh.numIndices / 4;
  // The whole terrain's cut lies along its own outline, which meshing its posts keeps in shape:
  // there nothing else needs holding.
  const VertexWelder none;
  if (settings.reducer == Reducer::ERROR)
    return reduceWithin(mesh, settings.posts != nullptr ? none : protectedPositions, settings,
                        count - count * percent / 100, settings.maxError);
  return measured(mesh, settings.measure,
                  [&](EditableMesh & m) { reduceByShare(m, protectedPositions, percent); });
}
