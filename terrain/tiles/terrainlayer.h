#ifndef TERRAVEL_TERRAINLAYER_H
#define TERRAVEL_TERRAINLAYER_H

// The build's tiles as a terrain layer for web globes: quantized-mesh tiles L/X/Y.terrain on the
// geodetic grid from the same meshes as the 3D Tiles (each level's surface cut to each tile's
// bounds), from level 0 down (the levels above the build's first cut from its first), the
// layer.json that lists them, and relief.png, the raster's relief colours for the globe to drape.

#include "geodeticgrid.h"
#include "tilework.h"

#include <functional>
#include <string>
#include <vector>

struct TerrainLayerPlan {
  const TileBuild * build = nullptr;
  int shallowest = 0, deepest = 0;
  std::vector<TileAddress> tops; // the tiles of the first level
  int threads = 1;
  // Writes a file of the layer, by its name in the folder.
  std::function<bool(const std::string & name, const std::string & bytes, std::string & reason)> write;
};

struct TerrainLayerOutcome {
  int64_t tiles = 0;
  std::string layerJson;           // for the caller to write last
  std::vector<std::string> lines;  // what the build says of it
};

bool buildTerrainLayer(const TerrainLayerPlan & plan, TerrainLayerOutcome & outcome, std::string & reason);

#endif
