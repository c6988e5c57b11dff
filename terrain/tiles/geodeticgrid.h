#ifndef TERRAVEL_GEODETICGRID_H
#define TERRAVEL_GEODETICGRID_H

// The geodetic tile grid that web globes use for terrain: two tiles of 180 x 180 degrees at level
// 0, each split into four a level down, so that level z holds 2^(z+1) x 2^z tiles of 180 / 2^z
// degrees; x counts from 180 degrees west eastwards, y from the south pole northwards (as TMS
// and 3D Tiles' implicit tiling count). A tile's bounds follow from its address alone, in
// numbers binary floating point holds exactly, so neighbours agree on the line between them.
//
//   level 0:  +---------+---------+      level 1: 4 x 2 tiles, ...
//             |  (0,0)  |  (1,0)  |
//             +---------+---------+  -180 .. 0 .. 180 degrees east, -90 .. 90 north

#include <cstdint>
#include <string>

struct TileAddress {
  int level = 0;
  int64_t x = 0, y = 0;
  bool operator==(const TileAddress & o) const { return level == o.level && x == o.x && y == o.y; }
  bool operator<(const TileAddress & o) const
  {
    return level != o.level ? level < o.level : y != o.y ? y < o.y : x < o.x;
  }
  TileAddress parent(void) const { return {level - 1, x / 2, y / 2}; }
  // Child k (0 to 3): west-south, east-south, west-north, east-north.
  TileAddress child(int k) const { return {level + 1, 2 * x + (k & 1), 2 * y + (k >> 1)}; }
  // L/X/Y, as content is named.
  std::string path(void) const;
};

struct TileBounds {
  double west = 0.0, south = 0.0, east = 0.0, north = 0.0; // degrees
};

TileBounds boundsOf(const TileAddress & tile);

// The size of a tile of the level, in degrees.
double tileDegrees(int level);

#endif
