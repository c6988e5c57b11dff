#ifndef TERRAVEL_TILEDRUN_H
#define TERRAVEL_TILEDRUN_H

// Run mode 0 with --tiling geodetic: the raster tiled window by window, without a window on the
// screen. "Tiling NAME ..." on standard output, a line of progress on standard error where it
// is a terminal (tiles done, of how many, time left), then what the build says and "Saved
// DIR/tileset.json: N tiles"; or one line on standard error that says why not.

#include "longoptions.h"
#include "options.h"

// The exit code: 0 when the tileset stands, 1 when it does not.
int runTiledBuild(const char * fileName, const Settings & settings, const LongOptions & extras);

#endif
