#include "chunkreduction.h"

#include "errorreduce.h"
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

// The error reducer down to the count, or within the budget when one is given (above zero).
void reduceWithin(EditableMesh & mesh, const VertexWelder & protectedPositions, int64_t count,
                  double budget)
{
  ErrorLimits limits;
  if (budget > 0.0)
    limits.maxError = budget;
  else
    limits.targetTriangles = count;
  reduceByError(mesh, protectedPositions, limits);
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
  return measured(mesh, settings.measure, [&](EditableMesh & m) {
    if (settings.reducer == Reducer::ERROR)
      reduceWithin(m, protectedPositions, trianglesAfterPasses(m.numIndices / 4, percent, passes),
                   budget);
    else
      for (int pass = 0; pass < passes; ++pass) reducePass(m, protectedPositions, percent);
  });
}

VerticalError reduceShare(EditableMesh & mesh, const VertexWelder & protectedPositions,
                          const ReductionSettings & settings, int percent)
{
  return measured(mesh, settings.measure, [&](EditableMesh & m) {
    const int64_t count = m.numIndices / 4;
    if (settings.reducer == Reducer::ERROR)
      reduceWithin(m, protectedPositions, count - count * percent / 100, settings.maxError);
    else
      reduceByShare(m, protectedPositions, percent);
  });
}
