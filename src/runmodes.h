#ifndef TERRAVEL_RUNMODES_H
#define TERRAVEL_RUNMODES_H

#include "chunkreduction.h"

#include <string>

class SoSeparator;
class TerrainModel;

// The work a run does after loading, chosen by -operation.
enum class RunMode {
  TREE = 0,   // build the level-of-detail tree and show it
  SHOW = 1,   // show the flattened model
  REDUCE = 2, // reduce the whole model, save and show it
  CUT = 3,    // cut a rectangle out, save and show it
  EMPTY = 4   // show an empty viewer
};

// How run modes 2 and 3 reduce and save: the reducer, and whether scenes are saved in the
// toolkit's binary form.
struct RunOptions {
  ReductionSettings reduction;
  bool binary = false;
};

// Run mode 2: the whole model cut into one chunk, reduced until the share asked for is gone,
// saved beside the input. The output separator comes back referenced once; *saved tells whether
// the file was written. With the options' reducer; when they measure, a line on how far the
// result lies from the model's vertices.
SoSeparator * runReduceMode(TerrainModel & model, const char * inputFileName, int percent,
                            bool * saved = nullptr, const RunOptions & options = RunOptions());
// Run mode 3: the rectangle cut out of the model, saved beside the input.
SoSeparator * runCutMode(TerrainModel & model, const char * inputFileName, float x1, float y1,
                         float x2, float y2, bool * saved = nullptr,
                         const RunOptions & options = RunOptions());

// The input name with everything from the first ".iv" of its file name (not of its folders)
// replaced by the suffix; a file name without ".iv" gets the suffix appended.
std::string outputFileName(const char * inputFileName, const char * suffix);

#endif
