#ifndef TERRAVEL_QUANTIZEDMESH_H
#define TERRAVEL_QUANTIZEDMESH_H

// Quantized-mesh 1.0, the terrain tiles web globes stream: a tile's vertices as u, v (0 to
// 32767 across its bounds, west to east and south to north) and a height quantized over the
// tile's range, triangles counter-clockwise in u, v covering the whole tile, and the lists of
// the vertices on its four edges (what a client hangs its skirts from).
//
//   88-byte header (centre, heights, bounding sphere, horizon occlusion point), vertex count,
//   u, v, height as zig-zag deltas, indices in high-water-mark code (16 bits, 32 beyond 65536
//   vertices, aligned), west, south, east, north edge lists, extensions (oct normals).

#include <cstdint>
#include <string>
#include <vector>

const int quantizedMax = 32767;

struct TerrainTile {
  int level = 0;
  std::vector<uint16_t> u, v;
  std::vector<double> height; // metres on the ellipsoid
  std::vector<double> ecef;   // three a vertex, where it stands, Earth-centred
  std::vector<uint32_t> triangles;
  double centre[3] = {};      // the tile's middle, Earth-centred
};

// The tile's bytes, with oct-encoded normals from its triangles (each at least level with the
// ground: never pointing into it).
std::string encodeQuantizedMesh(const TerrainTile & tile);

#endif
