#ifndef TERRAVEL_TILERECORD_H
#define TERRAVEL_TILERECORD_H

// What a finished tile leaves for the tile above it and for a build run again: its error and
// bounds, a hash of its content file, what the build was made from, and, where a tile above
// is built from it, its mesh: the posts it keeps (their place on the Earth, computed once, so
// that every tile that shares a post has it bit for bit) and its triangles. A record is
// written after its tile's content and checks itself: one cut short or changed reads as none.

#include "geodeticgrid.h"

#include <cstdint>
#include <string>
#include <vector>

struct TileVertex {
  int64_t column = 0, row = 0; // the post (columns counted round the globe)
  double at[3] = {};           // Earth-centred, metres
  double ellipsoidal = 0.0;    // height on the ellipsoid, metres
  float height = 0.0f;         // above the raster's datum, metres
  uint8_t keep = 0;            // on a border of the tile where the cells on either side change
};

struct TileRecord {
  TileAddress address;
  bool empty = true;           // no valid cell: no content
  double error = 0.0;          // the geometric error
  double region[6] = {};       // west, south, east, north (radians), lowest, highest (metres)
  uint64_t contentHash = 0;    // of the content file's bytes
  uint64_t contentSize = 0;
  uint64_t settings = 0;       // what the build was made from
  std::vector<TileVertex> vertices;
  std::vector<int32_t> triangles; // three vertex numbers each, counter-clockwise from above
};

// A 64-bit hash of bytes (FNV-1a), continued from seed.
uint64_t hashBytes(const void * data, size_t size, uint64_t seed = 1469598103934665603ull);

std::string encodeRecord(const TileRecord & record);
// False for bytes that are no whole record.
bool decodeRecord(const std::string & bytes, TileRecord & record);

#endif
