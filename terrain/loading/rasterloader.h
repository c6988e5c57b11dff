#ifndef TERRAVEL_RASTERLOADER_H
#define TERRAVEL_RASTERLOADER_H

#include "flatmesh.h"

#include <cstdint>
#include <string>

struct ContainedProgress;

// How an elevation raster becomes a mesh (the long options --zscale, --stride, --texture).
struct RasterOptions {
  float zScale = 1.0f;  // heights are multiplied by it
  int stride = 1;       // every stride-th post along both axes
  std::string texture;  // an image to drape instead of the generated colours
  // What the heights stand on where the raster does not say: "ellipsoid", "egm96" or a geoid
  // grid file; empty for the raster's own or its format's.
  std::string verticalDatum;
};

// What keeping every stride-th post of a width x height raster costs a load: the bytes of every
// buffer it fills, in the reading child and in the program, and whether that fits the lists
// (their triangles) and the memory budget of the run (0: no limit). When it does not fit, the
// smallest larger stride that does with a quarter of the budget to spare; 0 when none leaves a
// cell.
struct RasterFit {
  uint64_t bytes = 0;
  bool tooManyTriangles = false;
  bool tooLarge = false;
  bool fits = false;
  int advisedStride = 0;
};
RasterFit fitRaster(int64_t width, int64_t height, int stride, uint64_t budget);

// True when the file's first bytes are those of an Inventor scene (plain or compressed): such a
// file goes to the toolkit's reader, anything else to the raster reader first.
bool looksLikeScene(const char * fileName);

// Turns the first band of an elevation raster that GDAL reads into the flat mesh. Every post
// kept by the stride that is a corner of a cell with four valid posts (not nodata, not NaN) is
// one vertex; each such cell gives two triangles over the diagonal from its north-east to its
// south-west post, counter-clockwise seen from above. Y is the post's height in metres times
// zScale; X points east and Z south, in metres from the raster's centre (a projected raster's
// own units made metres; a geographic one mapped about its centre, equirectangular on a sphere
// of 6,371,008.8 m). Texture coordinates span the raster (0..1) and drape a generated texture
// (a colour ramp by height, shaded by the relief), or the image named in the options, placed by
// its own georeference when it has one and stretched over the raster when not. mesh.note
// tells where the origin lies in map coordinates and in which reference system; mesh.sources
// lists the files it read. Refused, with the reason, when it cannot be read whole, has no cell
// with four valid posts, has heights or positions that are no finite single-precision numbers,
// names sources on the network or reads a file that is no raster as raw bytes (unless
// TERRAVEL_ALLOW_RAW=1), would hold more triangles than the lists can, or would need more
// memory than this run may use (the reason then names a --stride that fits).
enum class RasterOutcome {
  NOT_A_RASTER, // GDAL cannot open it: perhaps a scene after all
  LOADED,
  REFUSED       // a raster, but unusable
};
RasterOutcome loadRaster(const char * fileName, const RasterOptions & options, FlatMesh & mesh,
                         ContainedProgress & progress, std::string & reason);

#endif
