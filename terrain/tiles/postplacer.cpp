#include "postplacer.h"

#include <algorithm>
#include <cmath>

namespace {

RasterGrid gridOf(const TileSource & source)
{
  RasterGrid grid;
  grid.columns = source.grid().columns;
  grid.rows = source.grid().rows;
  return grid;
}

} // namespace

PostPlacer::PostPlacer(const TileSource & source, const TileLattice & lattice)
  : lattice(lattice), grid(source.grid()), earth(source.placement(), gridOf(source))
{
  // Blocks of at most a 250th of a degree a side: the vertical turns by less than that across one.
  const double spacing = std::max(std::fabs(grid.gt[1]), std::fabs(grid.gt[5]));
  block = std::max<int64_t>(1, std::min<int64_t>(16, int64_t(0.004 / spacing)));
}

bool PostPlacer::place(size_t n, const int64_t * columns, const int64_t * rows, const float * heights, double * xyz,
                       double * ellipsoidal)
{
  lon.resize(n);
  lat.resize(n);
  h.resize(n);
  for (size_t i = 0; i < n; ++i) {
    lon[i] = longitudeOf(lattice.canonicalColumn(columns[i]));
    lat[i] = latitudeOf(rows[i]);
    h[i] = heights[i];
  }
  return n == 0 || earth.placeDegrees(n, lon.data(), lat.data(), h.data(), xyz, ellipsoidal);
}

const std::array<float, 3> & PostPlacer::upAt(int64_t column, int64_t row)
{
  const int64_t bx = lattice.canonicalColumn(column) / block, by = row / block;
  const uint64_t key = uint64_t(bx) << 32 ^ uint64_t(uint32_t(by));
  const auto found = ups.find(key);
  if (found != ups.end()) return found->second;
  if (ups.size() > 65536) ups.clear();
  double lo[2], la[2], he[2] = {0.0, 1.0}, at[6], ell[2];
  lo[0] = lo[1] = longitudeOf(std::min(bx * block + block / 2, grid.columns - 1));
  la[0] = la[1] = latitudeOf(std::min(by * block + block / 2, grid.rows - 1));
  std::array<float, 3> up = {0.0f, 0.0f, 1.0f};
  if (earth.placeDegrees(2, lo, la, he, at, ell)) {
    const double d[3] = {at[3] - at[0], at[4] - at[1], at[5] - at[2]};
    const double length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    if (length > 0.0) up = {float(d[0] / length), float(d[1] / length), float(d[2] / length)};
  }
  return ups[key] = up;
}
