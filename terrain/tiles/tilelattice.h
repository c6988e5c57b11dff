#ifndef TERRAVEL_TILELATTICE_H
#define TERRAVEL_TILELATTICE_H

// Which cells of the grid of posts each tile of the geodetic grid holds: a cell of four posts
// goes to the tile that holds its centre (west <= longitude < east, south <= latitude < north),
// so the tiles of a level never overlap and neighbours share the posts along the line between
// them. Columns are counted on round the globe where the grid closes: column -1 is the last.
//
//      post columns c0 ............ c1          a tile's cells: c0 .. c1 - 1 by r0 .. r1 - 1;
//   r0 +----+----+----+----+----+               its posts: c0 .. c1 by r0 .. r1 (north to
//      |    | x  |    |    |    |   x: a cell    south), the border posts shared with the
//   r1 +----+----+----+----+----+   whose centre neighbours
//            west <= lon < east      is in the tile

#include "geodeticgrid.h"
#include "tilesource.h"

#include <cstdint>
#include <vector>

struct TileCells {
  int64_t c0 = 0, c1 = 0; // cells c0 .. c1 - 1: posts c0 .. c1
  int64_t r0 = 0, r1 = 0; // rows of cells, north to south
  bool empty(void) const { return c1 <= c0 || r1 <= r0; }
  int64_t postColumns(void) const { return c1 - c0 + 1; }
  int64_t postRows(void) const { return r1 - r0 + 1; }
};

class TileLattice {
public:
  explicit TileLattice(const PostGrid & grid);

  TileCells cellsOf(const TileAddress & tile) const;
  // The raster's own column of a column counted round the globe.
  int64_t canonicalColumn(int64_t column) const
  {
    return grid.closesRound ? ((column % grid.columns) + grid.columns) % grid.columns : column;
  }
  // The first level whose tiles hold at most maxPosts posts a side.
  int deepestLevel(int maxPosts = 256) const;
  // Going up from the deepest level, the first whose single tile holds every cell; level 1
  // (tiles of a quarter of the globe) when none does, or where one of level 0 would.
  int shallowestLevel(int deepest) const;
  // The tiles of the level that hold a cell, west to east, south to north.
  std::vector<TileAddress> tilesOf(int level) const;

private:
  int64_t firstColumnFrom(double longitude) const;
  int64_t firstRowBelow(double latitude) const;
  PostGrid grid;
  int64_t cellColumns = 0, cellRows = 0;
};

#endif
