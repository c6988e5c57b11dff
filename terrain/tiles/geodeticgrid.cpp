#include "geodeticgrid.h"

#include <cmath>

std::string TileAddress::path(void) const
{
  return std::to_string(level) + "/" + std::to_string(x) + "/" + std::to_string(y);
}

double tileDegrees(int level)
{
  return std::ldexp(180.0, -level);
}

TileBounds boundsOf(const TileAddress & tile)
{
  const double size = tileDegrees(tile.level);
  TileBounds bounds;
  bounds.west = -180.0 + double(tile.x) * size;
  bounds.east = -180.0 + double(tile.x + 1) * size;
  bounds.south = -90.0 + double(tile.y) * size;
  bounds.north = -90.0 + double(tile.y + 1) * size;
  return bounds;
}
