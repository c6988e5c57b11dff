#ifndef TERRAVEL_TILEWORK_H
#define TERRAVEL_TILEWORK_H

// Building one tile of the geodetic grid, in one thread: the tiles of the level above the last
// from their window of posts (writing their four children of the last level on the way: those
// keep every post), every tile above from its four children's records.

#include "postplacer.h"
#include "tilelattice.h"
#include "tilerecord.h"
#include "tilesource.h"

#include <cstdint>
#include <functional>
#include <string>

// What every tile of a build shares.
struct TileBuild {
  const TileSource * source = nullptr;
  const TileLattice * lattice = nullptr;
  int deepest = 0;          // the last level: every post kept
  double maxError = 1.0;    // the level above the last stays within it, each level up twice
  double spanDegrees = 360.0; // the raster's widest extent
  uint64_t settings = 0;    // what the build is made from, for its records
  // A terrain layer is made from the records afterwards: every record keeps its mesh, and no
  // tile has content or a picture of its own.
  bool terrain = false;
  // Writes a finished tile's content and record (content first); false, with the reason, when
  // it cannot.
  std::function<bool(const TileRecord & record, const std::string & content, std::string & reason)> save;
  // Reads the record of a tile already built; false where there is none.
  std::function<bool(const TileAddress & tile, TileRecord & record)> load;
};

// One thread's tools.
struct TileTools {
  explicit TileTools(const TileBuild & build) : reader(*build.source), placer(*build.source, *build.lattice) {}
  WindowReader reader;
  PostPlacer placer;
};

// The most rounding moves the surface of the level vertically.
double roundingOf(const TileBuild & build, int level);

// The error each level is held within: 0 for the last (its rounding aside), maxError for the one
// above, twice as much each level up.
double levelBudget(const TileBuild & build, int level);

// Builds a tile of the level above the last, with its children; or, when the last level is the
// only one, the tile of it alone. False, with the reason, when its window cannot be read or it
// cannot be meshed.
bool buildFromPosts(const TileBuild & build, TileTools & tools, const TileAddress & tile, std::string & reason);
// Builds a tile above from its four children's records.
bool buildFromChildren(const TileBuild & build, TileTools & tools, const TileAddress & tile, std::string & reason);

#endif
