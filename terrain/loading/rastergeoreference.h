#ifndef TERRAVEL_RASTERGEOREFERENCE_H
#define TERRAVEL_RASTERGEOREFERENCE_H

// Where a raster's posts lie, and the frame the program works in: X east and Z south, in metres
// about the raster's centre, on a true local projection through PROJ (a transverse Mercator
// about the centre, or for a raster that spans much of the globe an equidistant cylindrical one),
// so that distances across a tile of a degree come out right to far better than a thousandth.
// Y is the height above the raster's vertical datum. A raster without a reference system keeps
// its own units as metres; one without a geotransform lies one post a metre.

#include "flatmesh.h"

#include <gdal.h>
#include <ogr_srs_api.h>

#include <memory>
#include <string>
#include <vector>

class Georeference {
public:
  // verticalDatum: "" (the raster's or its format's, else unknown), "ellipsoid", "egm96" or a
  // geoid grid file.
  Georeference(GDALDatasetH dataset, const std::string & verticalDatum);
  ~Georeference(void);
  Georeference(const Georeference &) = delete;
  Georeference & operator=(const Georeference &) = delete;

  // Map coordinates of a point of the raster, in pixels from its upper left corner.
  void mapOf(double column, double row, double & x, double & y) const;
  // X east and Z south, in metres from the centre, of the post (the pixel's centre).
  void localOf(int64_t column, int64_t row, float & east, float & south) const;
  // The same for posts along a row, columns first, step apart, count of them.
  void localRow(int64_t firstColumn, int64_t step, int64_t count, int64_t row, float * east,
                float * south) const;

  // "Origin: ..." and "Heights: ...": where the origin lies and what the heights stand on.
  std::string describe(void) const;
  GeoOrigin origin(void) const;
  RasterPlacement placement(void) const;
  bool isPlaced(void) const { return placed; }
  OGRSpatialReferenceH spatialReference(void) const { return srs; }

private:
  void chooseFrame(int width, int height);
  void chooseDatum(GDALDatasetH dataset, const std::string & verticalDatum);

  double gt[6];
  bool placed = false;
  OGRSpatialReferenceH srs = nullptr; // the dataset's own
  std::string crsName;
  bool geographic = false;
  double metresPerUnit = 1.0;
  double centreX = 0.0, centreY = 0.0;
  // From map coordinates to the local frame; none for a raster without a reference system.
  OGRCoordinateTransformationH toLocal = nullptr;
  double localX0 = 0.0, localY0 = 0.0; // the centre in the local frame
  VerticalDatum datum = VerticalDatum::UNKNOWN;
  std::string datumFile, datumName;
};

#endif
