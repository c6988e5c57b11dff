// The work of run modes 2 and 3: one chunk cut out of the model, reduced in run mode 2, saved
// beside the input and handed back as the scene to show.

#include "runmodes.h"

#include "steps.h"
#include "terrainmodel.h"

#include <Inventor/SbBSPTree.h>
#include <Inventor/nodes/SoSeparator.h>

#include <cstdio>
#include <cstring>
#include <string>

std::string outputFileName(const char * inputFileName, const char * suffix)
{
  // Only the file's own name counts: a folder such as scenes.iv/ is part of where it lives.
  const char * slash = std::strrchr(inputFileName, '/');
  const char * name = slash == nullptr ? inputFileName : slash + 1;
  const char * found = std::strstr(name, ".iv");
  if (found == nullptr) return std::string(inputFileName) + suffix;
  return std::string(inputFileName, size_t(found - inputFileName)) + suffix;
}

namespace {

// The output separator, referenced once: the model's texture, then the chunk once it is made.
SoSeparator * startOutput(TerrainModel & model, const char * activity)
{
  SoSeparator * output = new SoSeparator;
  output->ref();
  model.addTexture(output);
  std::printf("%s", activity);
  std::fflush(stdout);
  return output;
}

// The output separator holds the chunk from here on (the cut's own reference goes) and is
// saved beside the input.
bool finishOutput(TerrainModel & model, SoSeparator * output, SoSeparator * chunk,
                  const char * inputFileName, const char * suffix, bool binary)
{
  output->addChild(chunk);
  chunk->unref();
  return saveStep(model, output, outputFileName(inputFileName, suffix).c_str(), binary);
}



} // namespace

SoSeparator * runReduceMode(TerrainModel & model, const char * inputFileName, int percent,
                            bool * saved, const RunOptions & options)
{
  const ReductionSettings & settings = options.reduction;
  SbBSPTree borderPoints(64, 0);
  SoSeparator * output = startOutput(model, "Reducing model ...");
  float minX = 0.0f, minZ = 0.0f, maxX = 0.0f, maxZ = 0.0f;
  model.getExtent(model.getRoot(), minX, minZ, maxX, maxZ);
  SoSeparator * chunk = model.cutRegion(model.getRoot(), minX, minZ, maxX, maxZ, &borderPoints);
  const VerticalError error = model.reduceToShare(chunk, &borderPoints, percent, settings);
  std::printf("Done\n");
  if (settings.measure) {
    LevelSummary reduced;
    reduced.chunks = 1;
    reduced.triangles = trianglesOf(chunk);
    reduced.largest = error.largest;
    reduced.sumSquares = error.rms * error.rms * double(error.measured);
    reduced.measured = error.measured;
    printLevel("Reduced", reduced);
  }
  const bool written = finishOutput(model, output, chunk, inputFileName, ".reduced.iv", options.binary);
  if (saved != nullptr) *saved = written;
  return output;
}

SoSeparator * runCutMode(TerrainModel & model, const char * inputFileName, float x1, float y1,
                         float x2, float y2, bool * saved, const RunOptions & options)
{
  SbBSPTree borderPoints(64, 0);
  SoSeparator * output = startOutput(model, "Cutting model ...");
  SoSeparator * chunk = model.cutRegion(model.getRoot(), x1, y1, x2, y2, &borderPoints);
  std::printf("Done\n");
  const bool written = finishOutput(model, output, chunk, inputFileName, ".noRECT.iv", options.binary);
  if (saved != nullptr) *saved = written;
  return output;
}
