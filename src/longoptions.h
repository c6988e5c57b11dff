#ifndef TERRAVEL_LONGOPTIONS_H
#define TERRAVEL_LONGOPTIONS_H

// Options beyond the classic command line, GNU style: they may stand anywhere after the program
// name, as `--name value` or `--name=value`, and are taken out of the arguments before the
// classic options are read, which then keep their rules exactly. `--` ends them: what follows
// is left as it stands.

#include "chunkreduction.h"
#include "rasterloader.h"

#include <cstdint>
#include <string>

struct LongOptions {
  bool batch = false;        // no window: do the run mode's work and end
  bool showLevels = false;   // tint the tree's chunks by their level
  std::string saveTree;      // save the tree (run mode 0) here
  std::string screenshot;    // show the first view, write it here as a PNG, and end
  RasterOptions raster;      // --zscale, --stride, --texture: how a raster becomes a mesh
  bool rasterGiven = false;  // one of those was given
  ReductionSettings reduction; // --reducer, --max-error: how chunks are reduced
  bool reducerGiven = false; // --reducer was given
  double pixelError = 0.0;   // --pixel-error: the tree switches by error on screen
  bool binary = false;       // --binary: scenes saved in the toolkit's binary form
  bool tiling = false;       // --tiling geodetic: the raster tiled window by window
  uint64_t memory = 0;       // --memory: the tiled build's budget in bytes (0: its default)
  int part = -1, parts = 0;  // --part I/N (I -1: env, from the scheduler)
  bool merge = false;        // --merge: the levels above the parts' and tileset.json
  int splitLevel = -1;       // --split-level
  bool help = false;         // print the usage text and end
  bool version = false;      // print the name and version and end
};

// Takes the long options out of argv (argc shrinks). Returns -1 when the run goes on; otherwise
// the exit code to end with at once: 0 after --help or --version, 1 after a message on standard
// error for an option that is not ours, one that misses its value or has one it cannot use, or
// options that cannot go together.
int takeLongOptions(int & argc, char ** argv, LongOptions & options);

// The usage text naming every option, classic and long, one line each.
void printHelp(const char * programPath);

// False, after a message on standard error, when a long option does not fit the run mode.
bool longOptionsFitRunMode(const LongOptions & options, int operation);

#endif
