#ifndef TERRAVEL_GEODETICBUILD_H
#define TERRAVEL_GEODETICBUILD_H

// A raster of any size as 3D Tiles on the geodetic tile grid, read window by window in bounded
// memory: the last level (at most about 256 posts a tile side) keeps every post; each level
// above is made from the one below, the level above the last within --max-error, each one up
// within twice the one below. Content is named by address (DIR/L/X/Y.glb, X from the west, Y
// from the south); what each finished tile leaves for the tile above and for a build run again
// lies in DIR/.build. A build run again with the same input and settings keeps every tile
// already complete (its record and its content's hash checked); any number of threads and any
// memory budget give the same bytes. tileset.json is written last, safely.
//
//   GeodeticSettings settings;  settings.input = "all.vrt";  settings.target = "out/tileset.json";
//   settings.maxError = 1.0;
//   const GeodeticOutcome outcome = buildGeodeticTileset(settings, nullptr);
//
// In parts (see buildparts.h), part I of N builds the subtrees of its tiles of the split level
// and leaves a record of itself in DIR/.build/parts; the merge, once all N have, builds the
// levels above and tileset.json. N parts and the merge give the same bytes as one build.

#include "rasterloader.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct GeodeticSettings {
  std::string input;     // the raster: any GDAL reads, a VRT mosaic too
  RasterOptions raster;  // --zscale, --vertical-datum (--stride does not apply)
  std::string target;    // DIR/tileset.json
  double maxError = 0.0; // 0: an eighth of the distance between posts
  int level = -1;        // the last level; -1: from the raster's resolution
  uint64_t memory = 0;   // the budget in bytes; 0: a quarter of the memory available
  int threads = 0;       // 0: as many as the machine's cores (or TERRAVEL_THREADS)
  // In parts: part index of parts (index -1: from the scheduler's environment), or the merge
  // (the number of parts from their records); the split level, -1 for one from the extent.
  int part = -1, parts = 0;
  bool merge = false;
  int splitLevel = -1;
};

struct GeodeticProgress {
  int64_t done = 0, total = 0; // tiles of the levels built from the window up
  int64_t reused = 0;          // of those done, kept from an earlier run (checked)
  double seconds = 0.0;        // since the tiles began
};

struct GeodeticOutcome {
  bool built = false;
  std::string reason;              // why not
  std::vector<std::string> lines;  // what the build says: its source, levels, errors
  int64_t tiles = 0, reused = 0;   // content files, and of those kept from an earlier run
  int shallowest = 0, deepest = 0;
  double maxError = 0.0;
};

GeodeticOutcome buildGeodeticTileset(const GeodeticSettings & settings,
                                     const std::function<void(const GeodeticProgress &)> & progress);

#endif
