#include "tilelattice.h"

#include <algorithm>
#include <cmath>

TileLattice::TileLattice(const PostGrid & grid) : grid(grid)
{
  cellColumns = grid.closesRound ? grid.columns : grid.columns - 1;
  cellRows = grid.rows - 1;
}

// The first cell whose centre lies at or east of the longitude; the centre of cell c is the
// longitude of the line between post columns c and c + 1, computed one way only, so the tiles
// either side of a line agree on every cell.
int64_t TileLattice::firstColumnFrom(double longitude) const
{
  const auto centre = [this](int64_t c) { return grid.longitudeOf(double(c + 1)); };
  int64_t c = int64_t(std::ceil((longitude - grid.gt[0]) / grid.gt[1])) - 1;
  while (centre(c) < longitude) ++c;
  while (centre(c - 1) >= longitude) --c;
  return c;
}

// The first row of cells whose centre lies south of the latitude (rows run southwards).
int64_t TileLattice::firstRowBelow(double latitude) const
{
  const auto centre = [this](int64_t r) { return grid.latitudeOf(double(r + 1)); };
  int64_t r = int64_t(std::floor((latitude - grid.gt[3]) / grid.gt[5])) - 1;
  while (centre(r) >= latitude) ++r;
  while (centre(r - 1) < latitude) --r;
  return r;
}

TileCells TileLattice::cellsOf(const TileAddress & tile) const
{
  const TileBounds b = boundsOf(tile);
  TileCells cells;
  cells.r0 = std::max<int64_t>(0, firstRowBelow(b.north));
  cells.r1 = std::min<int64_t>(cellRows, firstRowBelow(b.south));
  if (grid.closesRound) {
    cells.c0 = firstColumnFrom(b.west);
    cells.c1 = firstColumnFrom(b.east);
    return cells;
  }
  // A grid that does not close may still cross the antimeridian: the tile takes its cells a
  // turn of the globe either way, whichever holds most.
  int64_t best = 0;
  for (const double turn : {0.0, 360.0, -360.0}) {
    const int64_t c0 = std::max<int64_t>(0, firstColumnFrom(b.west + turn));
    const int64_t c1 = std::min<int64_t>(cellColumns, firstColumnFrom(b.east + turn));
    if (c1 - c0 > best) {
      best = c1 - c0;
      cells.c0 = c0;
      cells.c1 = c1;
    }
  }
  return cells;
}

int TileLattice::deepestLevel(int maxPosts) const
{
  const double spacing = std::min(std::fabs(grid.gt[1]), std::fabs(grid.gt[5]));
  int level = 0;
  while (level < 30 && tileDegrees(level) / spacing > maxPosts) ++level;
  return level;
}

int TileLattice::shallowestLevel(int deepest) const
{
  // A level whose one tile holds every cell has one above it that does too: the answer is the
  // deepest of the run from level 0 down.
  // Level 0's tiles span half the globe: a triangle across one would cut deep beneath the
  // ground, where no vertical meets it as the surface. Tiles start at level 1 at the most.
  const int first = std::min(1, deepest);
  int level = first;
  while (level < deepest && tilesOf(level + 1).size() == 1) ++level;
  return tilesOf(level).size() == 1 ? level : first;
}

std::vector<TileAddress> TileLattice::tilesOf(int level) const
{
  std::vector<TileAddress> tiles;
  const double size = tileDegrees(level);
  const int64_t across = int64_t(2) << level, down = int64_t(1) << level;
  // Rows of tiles from the cells' latitudes; columns from their longitudes, each turned into
  // -180 .. 180, all of them where the grid closes round.
  const double north = grid.latitudeOf(1.0), south = grid.latitudeOf(double(cellRows));
  const int64_t y0 = std::max<int64_t>(0, int64_t(std::floor((south + 90.0) / size)) - 1);
  const int64_t y1 = std::min<int64_t>(down - 1, int64_t(std::floor((north + 90.0) / size)) + 1);
  std::vector<int64_t> columns;
  if (grid.closesRound) {
    for (int64_t x = 0; x < across; ++x) columns.push_back(x);
  } else {
    const double west = grid.longitudeOf(1.0), east = grid.longitudeOf(double(cellColumns));
    const int64_t first = int64_t(std::floor((west + 180.0) / size)) - 1;
    const int64_t last = int64_t(std::floor((east + 180.0) / size)) + 1;
    for (int64_t x = first; x <= last && x - first < across; ++x) columns.push_back(((x % across) + across) % across);
    std::sort(columns.begin(), columns.end());
    columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
  }
  for (int64_t y = y0; y <= y1; ++y)
    for (const int64_t x : columns) {
      const TileAddress tile{level, x, y};
      if (!cellsOf(tile).empty()) tiles.push_back(tile);
    }
  return tiles;
}
