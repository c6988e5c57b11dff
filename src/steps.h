#ifndef TERRAVEL_STEPS_H
#define TERRAVEL_STEPS_H

// Loading and saving as the user sees them: the step's line on standard output ("Loading NAME
// ..." with " Done" or " Failed", "Saving NAME ..." with "Done" or "Failed"), and where a step
// fails, one line on standard error that says why.

#include "lodtreebuilder.h"
#include "rasterloader.h"

class SoNode;
class SoSeparator;
class TerrainModel;

bool loadStep(TerrainModel & model, const char * fileName, const RasterOptions & raster,
              bool rasterOptionsGiven);
// A tree saved under the name tileset.json becomes 3D Tiles; any other scene an Inventor file,
// in the toolkit's binary form when asked. A save that takes longer than a second shows how far
// it has come on standard error, on one line rewritten, when standard error is a terminal.
bool saveStep(TerrainModel & model, SoSeparator * node, const char * fileName, bool binary = false);

// The level-of-detail tree, its progress rewritten on one line: "Building Terravel tree ..."
// with the share of steps done, then "Done".
// With the settings' reducer; with levelLines (and chunks measured), one line per level after it
// (see printLevel).
SoSeparator * treeStep(TerrainModel & model, int maxLevel, int percent,
                       const ReductionSettings & settings = ReductionSettings(), bool levelLines = false);

// "NAME: C chunks, T triangles, largest vertical error E m, RMS R m" on standard output.
void printLevel(const char * name, const LevelSummary & level);

// The triangles of the first face set below the node.
int64_t trianglesOf(SoNode * node);

// Says so on standard error when TERRAVEL_THREADS is set to something other than a number of
// threads the tree can use.
void warnOfBadThreadSetting(void);

#endif
