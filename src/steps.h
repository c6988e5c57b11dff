#ifndef TERRAVEL_STEPS_H
#define TERRAVEL_STEPS_H

// Loading and saving as the user sees them: the step's line on standard output ("Loading NAME
// ..." with " Done" or " Failed", "Saving NAME ..." with "Done" or "Failed"), and where a step
// fails, one line on standard error that says why.

#include "rasterloader.h"

class SoSeparator;
class TerrainModel;

bool loadStep(TerrainModel & model, const char * fileName, const RasterOptions & raster,
              bool rasterOptionsGiven);
bool saveStep(TerrainModel & model, SoSeparator * node, const char * fileName);

// The level-of-detail tree, its progress rewritten on one line: "Building Terravel tree ..."
// with the share of steps done, then "Done".
SoSeparator * treeStep(TerrainModel & model, int maxLevel, int percent);

// Says so on standard error when TERRAVEL_THREADS is set to something other than a number of
// threads the tree can use.
void warnOfBadThreadSetting(void);

#endif
