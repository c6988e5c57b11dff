#ifndef TERRAVEL_TILECONTENT_H
#define TERRAVEL_TILECONTENT_H

// A tile's content and bounds: its mesh as a GLB whose node stands at the tile's centre, every
// position about it in single precision; the positions are first rounded to a step of the
// level (a power of two, fine enough that every position of a tile of the level is a whole
// number of steps from the centre that single precision holds exactly), so that a post on the
// border of two tiles stands at bit for bit the same place in both. Its picture is the relief
// of the posts under it, or an image draped over them.

#include "tilerecord.h"

#include <cstdint>
#include <string>
#include <vector>

// Pixels (rows from the north, RGB) over the posts c0 .. c0 + columns - 1 by r0 .. r0 + rows - 1:
// pixel centres at even spacing over them, the first and last on the window's edges' posts.
struct TilePicture {
  int width = 0, height = 0;
  std::vector<unsigned char> rgb;
  int64_t c0 = 0, r0 = 0, columns = 1, rows = 1;
};

// The step positions of the level's tiles are rounded to, metres, for a raster that spans this
// many degrees at most; and the most that moves the surface vertically.
double positionStep(int level, double spanDegrees);
double roundingError(int level, double spanDegrees);

// The GLB of the mesh (vertex numbers into vertices, counter-clockwise from above), and its
// bounding region: west, south, east, north in radians (west beyond east across the
// antimeridian), lowest and highest heights on the ellipsoid, the lowest less what a chord of
// its triangles may sag below the curved Earth; all of it widened by what rounding may move.
// ups: the vertical at each vertex, three a vertex; rounding: how far rounding moves the surface
// vertically at most. Triangles with two corners on one place (at a pole) are left out. No
// GLB is made where glb is null (its region and rounding still are).
bool tileContent(const std::vector<TileVertex> & vertices, const std::vector<int32_t> & triangles, int level,
                 double spanDegrees, const TilePicture & picture, const std::vector<double> & longitudes,
                 const std::vector<double> & latitudes, const std::vector<float> & ups, std::string * glb,
                 double region[6], double & rounding);

// Widens a region [west, south, east, north, lowest, highest] (radians, metres; west beyond
// east across the antimeridian) to hold another.
void widenRegion(double region[6], const double other[6]);

// The relief colours of heights (rows from the north, NaN: none) of a window whose posts lie
// spanEast and spanSouth metres apart, with the range of heights every tile shares.
void reliefPicture(const float * heights, int width, int height, double spanEast, double spanSouth, float lowest,
                   float highest, std::vector<unsigned char> & rgb);

#endif
