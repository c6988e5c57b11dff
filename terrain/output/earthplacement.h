#ifndef TERRAVEL_EARTHPLACEMENT_H
#define TERRAVEL_EARTHPLACEMENT_H

// Where a raster's posts stand on the Earth, through GDAL and PROJ alone: a post of the kept grid
// goes from its pixel's centre to the raster's reference system, to longitude and latitude on
// WGS 84, and with its height above the raster's vertical datum to the ellipsoid, then to
// Earth-centred coordinates in metres. One at a time per object: make one per thread.

#include "flatmesh.h"

#include <cstddef>
#include <cstdint>
#include <string>

class EarthPlacement {
public:
  EarthPlacement(const RasterPlacement & placement, const RasterGrid & grid);
  ~EarthPlacement(void);
  EarthPlacement(const EarthPlacement &) = delete;
  EarthPlacement & operator=(const EarthPlacement &) = delete;

  // False where the raster has no place on the Earth, or PROJ has no way there (the reason).
  bool valid(void) const { return ready; }
  const std::string & reason(void) const { return why; }

  // Earth-centred x, y, z (three a post, into xyz) of count posts (column, row of the kept grid)
  // at heights above the raster's vertical datum; false where one cannot be placed.
  bool place(size_t count, const int64_t * columns, const int64_t * rows, const double * heights,
             double * xyz) const;
  // The same for count points by longitude and latitude (degrees on WGS 84, or the raster's
  // own where its heights stand on its own vertical system) and height above the datum: xyz
  // three a point, and the height on the ellipsoid each. The arrays are used as room.
  bool placeDegrees(size_t count, double * longitudes, double * latitudes, double * heights, double * xyz,
                    double * ellipsoidal) const;
  // Longitude, latitude (degrees) and height on the ellipsoid of one post.
  bool onEllipsoid(int64_t column, int64_t row, double height, double & longitude, double & latitude,
                   double & ellipsoidal) const;

private:
  void * toDegrees = nullptr; // the raster's horizontal system to longitude and latitude
  void * toCentred = nullptr; // longitude, latitude and height above the datum, Earth-centred
  void * toEllipsoid = nullptr; // the same to longitude, latitude and height on the ellipsoid
  void * ellipsoidToCentred = nullptr; // longitude, latitude and height on the ellipsoid onwards
  bool direct = false;        // toCentred takes the raster's own coordinates (its vertical system)
  bool ready = false;
  std::string why;
  double gt[6];
  int32_t stride = 1;
};

#endif
