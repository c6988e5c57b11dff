#ifndef TERRAVEL_TILESETEXPORT_H
#define TERRAVEL_TILESETEXPORT_H

// A level-of-detail tree as 3D Tiles 1.1, for web globes and GIS tools: the quadtree becomes the
// tile tree (refinement REPLACE), every chunk a GLB of its own (positions about the tile's
// centre; normals and texture coordinates quantized as KHR_mesh_quantization allows; its part
// of the picture embedded at no more than 256 pixels a side), every tile's geometric error the
// measured error of its chunk (0 for the chunks of the last level), its bounding box holding its
// chunk and its children. A georeferenced raster is placed on the WGS 84 ellipsoid: the root's
// transform is the east-north-up frame at its origin, and in it every vertex stands where PROJ
// places its post (heights above the raster's vertical datum taken to the ellipsoid). Any other
// terrain is written in its own frame, Y up turned Z up as glTF content is.
//
//   DIR/tileset.json
//   DIR/content-XXXXXX/0.glb, 1.glb, ...

#include "flatmesh.h"
#include "safewrite.h"

class PostLookup;

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class SoNode;
class SoTexture2;

// What places a raster's tiles on the Earth: its placement, its kept grid, and where each
// position of its mesh stands on that grid.
struct TilePlacement {
  const RasterPlacement * raster = nullptr;
  const RasterGrid * grid = nullptr;
  const PostLookup * posts = nullptr;
};

// Whether a tree saved under this name becomes a tileset: its file name is tileset.json.
bool isTilesetName(const std::string & fileName);

// Writes the tree into the tileset's folder (made when missing): the content into a new folder
// of its own beside tileset.json, then tileset.json safely (see writeTogether); only then the
// content of the tileset it replaces goes. A failed write removes what it wrote and leaves an
// earlier tileset as it was; nothing outside the folder is touched, and no file to keep intact
// is replaced. progress hears of every tile written.
WriteOutcome saveTileset(SoNode * tree, const SoTexture2 * texture, const GeoOrigin & origin,
                         const std::string & tilesetPath, const std::vector<std::string> & keepIntact,
                         const std::function<void(int64_t done, int64_t total)> & progress,
                         const TilePlacement * placement = nullptr);

#endif
