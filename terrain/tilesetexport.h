#ifndef TERRAVEL_TILESETEXPORT_H
#define TERRAVEL_TILESETEXPORT_H

// A level-of-detail tree as 3D Tiles 1.1, for web globes and GIS tools: the quadtree becomes the
// tile tree (refinement REPLACE), every chunk a GLB of its own (positions about the tile's
// centre; normals and texture coordinates quantized as KHR_mesh_quantization allows; its part
// of the picture embedded at no more than 256 pixels a side), every tile's geometric error the
// measured error of its chunk (0 for the chunks of the last level), its bounding box holding its
// chunk and its children. A georeferenced terrain is placed on the WGS 84 ellipsoid by a root
// transform from the east-north-up frame at its origin (its surface bent down with the Earth's);
// any other is written in its own frame, Y up turned Z up as glTF content is.
//
//   DIR/tileset.json
//   DIR/content-XXXXXX/0.glb, 1.glb, ...

#include "flatmesh.h"
#include "safewrite.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class SoNode;
class SoTexture2;

// Whether a tree saved under this name becomes a tileset: its file name is tileset.json.
bool isTilesetName(const std::string & fileName);

// Writes the tree into the tileset's folder (made when missing): the content into a new folder
// of its own beside tileset.json, then tileset.json safely (see writeTogether); only then the
// content of the tileset it replaces goes. A failed write removes what it wrote and leaves an
// earlier tileset as it was; nothing outside the folder is touched, and no file to keep intact
// is replaced. progress hears of every tile written.
WriteOutcome saveTileset(SoNode * tree, const SoTexture2 * texture, const GeoOrigin & origin,
                         const std::string & tilesetPath, const std::vector<std::string> & keepIntact,
                         const std::function<void(int64_t done, int64_t total)> & progress);

#endif
