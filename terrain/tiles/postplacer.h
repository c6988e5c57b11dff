#ifndef TERRAVEL_POSTPLACER_H
#define TERRAVEL_POSTPLACER_H

// Posts of the grid placed on the Earth through PROJ: a post's longitude and latitude from its
// pixel's centre (of the raster's own column, however far round the globe it is counted), its
// height taken from the raster's datum to the ellipsoid, then Earth-centred. The vertical at a
// post is PROJ's too: where the post stands one metre higher, less where it stands. One a
// thread.

#include "earthplacement.h"
#include "tilelattice.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class PostPlacer {
public:
  PostPlacer(const TileSource & source, const TileLattice & lattice);
  bool valid(void) const { return earth.valid(); }
  const std::string & reason(void) const { return earth.reason(); }

  // Earth-centred places (three a post) and heights on the ellipsoid of n posts.
  bool place(size_t n, const int64_t * columns, const int64_t * rows, const float * heights, double * xyz,
             double * ellipsoidal);
  // The vertical, the same for every post of a block (of up to 16 x 16 posts, at most a 250th of
  // a degree a side, across which it turns by no more): that at the block's middle.
  const std::array<float, 3> & upAt(int64_t column, int64_t row);
  // Longitude and latitude (degrees) of a post's pixel centre, the column as counted.
  double longitudeOf(int64_t column) const { return grid.longitudeOf(double(column) + 0.5); }
  double latitudeOf(int64_t row) const { return grid.latitudeOf(double(row) + 0.5); }

private:
  const TileLattice & lattice;
  PostGrid grid;
  EarthPlacement earth;
  int64_t block = 16;
  std::vector<double> lon, lat, h;
  std::unordered_map<uint64_t, std::array<float, 3>> ups;
};

#endif
