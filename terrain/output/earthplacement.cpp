#include "earthplacement.h"

#include <ogr_srs_api.h>

#include <algorithm>
#include <vector>

namespace {

OGRSpatialReferenceH systemOf(const char * definition)
{
  OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
  if (OSRSetFromUserInput(srs, definition) != OGRERR_NONE) {
    OSRRelease(srs);
    return nullptr;
  }
  OSRSetAxisMappingStrategy(srs, OAMS_TRADITIONAL_GIS_ORDER);
  return srs;
}

// A transformation between two systems, along the operation when one is given (a PROJ
// pipeline, which takes the source's axes in the source's own order).
void * transformOf(OGRSpatialReferenceH from, OGRSpatialReferenceH to, const std::string & operation = "")
{
  if (from == nullptr || to == nullptr) return nullptr;
  OGRCoordinateTransformationOptionsH options = OCTNewCoordinateTransformationOptions();
  if (!operation.empty()) OCTCoordinateTransformationOptionsSetOperation(options, operation.c_str(), FALSE);
  OGRCoordinateTransformationH transform = OCTNewCoordinateTransformationEx(from, to, options);
  OCTDestroyCoordinateTransformationOptions(options);
  return transform;
}

// Longitude and latitude (in the order of a geographic system's own axes: latitude first) with
// a height above the geoid of the grid file, to Earth-centred coordinates or to the ellipsoid.
std::string geoidPipeline(const std::string & file, bool centred)
{
  return "+proj=pipeline +step +proj=axisswap +order=2,1 +step +proj=unitconvert +xy_in=deg "
         "+xy_out=rad +step +proj=vgridshift +grids=" + file + " +multiplier=1 +step " +
         (centred ? "+proj=cart +ellps=WGS84" : "+proj=unitconvert +xy_in=rad +xy_out=deg +step +proj=axisswap +order=2,1");
}

void release(void *& transform)
{
  if (transform != nullptr) OCTDestroyCoordinateTransformation(static_cast<OGRCoordinateTransformationH>(transform));
  transform = nullptr;
}

} // namespace

EarthPlacement::EarthPlacement(const RasterPlacement & placement, const RasterGrid & grid)
  : stride(grid.stride)
{
  std::copy(placement.geoTransform, placement.geoTransform + 6, gt);
  if (!placement.placed || placement.wkt.empty()) {
    why = "the raster has no place on the Earth";
    return;
  }
  OGRSpatialReferenceH raster = systemOf(placement.wkt.c_str());
  if (raster == nullptr) {
    why = "the raster's reference system cannot be read again";
    return;
  }
  OGRSpatialReferenceH degrees = systemOf("EPSG:4326"), ellipsoid = systemOf("EPSG:4979"),
                       centred = systemOf("EPSG:4978"), geoid = systemOf("EPSG:4326+5773");
  switch (placement.datum) {
  case VerticalDatum::RASTER:
    direct = true;
    toCentred = transformOf(raster, centred);
    toEllipsoid = transformOf(raster, ellipsoid);
    break;
  case VerticalDatum::EGM96:
    toDegrees = transformOf(raster, degrees);
    toCentred = transformOf(geoid, centred);
    toEllipsoid = transformOf(geoid, ellipsoid);
    break;
  case VerticalDatum::GRID:
    toDegrees = transformOf(raster, degrees);
    toCentred = transformOf(ellipsoid, centred, geoidPipeline(placement.datumFile, true));
    toEllipsoid = transformOf(ellipsoid, ellipsoid, geoidPipeline(placement.datumFile, false));
    break;
  default: // heights on the ellipsoid, said or taken so
    toDegrees = transformOf(raster, degrees);
    toCentred = transformOf(ellipsoid, centred);
    break;
  }
  ellipsoidToCentred = transformOf(ellipsoid, centred);
  for (OGRSpatialReferenceH srs : {raster, degrees, ellipsoid, centred, geoid})
    if (srs != nullptr) OSRRelease(srs);
  ready = toCentred != nullptr && (direct || toDegrees != nullptr) &&
          (toEllipsoid != nullptr || placement.datum == VerticalDatum::ELLIPSOID ||
           placement.datum == VerticalDatum::UNKNOWN);
  if (!ready) why = "PROJ knows no way from the raster's reference system to the Earth";
}

EarthPlacement::~EarthPlacement(void)
{
  release(toDegrees);
  release(toCentred);
  release(toEllipsoid);
  release(ellipsoidToCentred);
}

bool EarthPlacement::placeDegrees(size_t count, double * longitudes, double * latitudes, double * heights,
                                  double * xyz, double * ellipsoidal) const
{
  if (!ready || ellipsoidToCentred == nullptr) return false;
  std::vector<int> ok(count, 1);
  const int n = int(count);
  if (toEllipsoid != nullptr &&
      !OCTTransformEx(static_cast<OGRCoordinateTransformationH>(toEllipsoid), n, longitudes, latitudes, heights, ok.data()))
    return false;
  std::copy(heights, heights + count, ellipsoidal);
  if (!OCTTransformEx(static_cast<OGRCoordinateTransformationH>(ellipsoidToCentred), n, longitudes, latitudes, heights,
                      ok.data()))
    return false;
  for (size_t i = 0; i < count; ++i) {
    if (!ok[i]) return false;
    xyz[3 * i] = longitudes[i];
    xyz[3 * i + 1] = latitudes[i];
    xyz[3 * i + 2] = heights[i];
  }
  return true;
}

bool EarthPlacement::place(size_t count, const int64_t * columns, const int64_t * rows,
                           const double * heights, double * xyz) const
{
  if (!ready) return false;
  std::vector<double> x(count), y(count), z(heights, heights + count);
  for (size_t i = 0; i < count; ++i) {
    const double c = double(columns[i] * stride) + 0.5, r = double(rows[i] * stride) + 0.5;
    x[i] = gt[0] + c * gt[1] + r * gt[2];
    y[i] = gt[3] + c * gt[4] + r * gt[5];
  }
  std::vector<int> ok(count, 1);
  const int n = int(count);
  if (!direct && !OCTTransformEx(static_cast<OGRCoordinateTransformationH>(toDegrees), n, x.data(), y.data(), nullptr, ok.data()))
    return false;
  if (!OCTTransformEx(static_cast<OGRCoordinateTransformationH>(toCentred), n, x.data(), y.data(), z.data(), ok.data()))
    return false;
  for (size_t i = 0; i < count; ++i) {
    if (!ok[i]) return false;
    xyz[3 * i] = x[i];
    xyz[3 * i + 1] = y[i];
    xyz[3 * i + 2] = z[i];
  }
  return true;
}

bool EarthPlacement::onEllipsoid(int64_t column, int64_t row, double height, double & longitude,
                                 double & latitude, double & ellipsoidal) const
{
  if (!ready) return false;
  const double c = double(column * stride) + 0.5, r = double(row * stride) + 0.5;
  double x = gt[0] + c * gt[1] + r * gt[2], y = gt[3] + c * gt[4] + r * gt[5], z = height;
  if (!direct && !OCTTransform(static_cast<OGRCoordinateTransformationH>(toDegrees), 1, &x, &y, nullptr)) return false;
  if (toEllipsoid != nullptr && !OCTTransform(static_cast<OGRCoordinateTransformationH>(toEllipsoid), 1, &x, &y, &z))
    return false;
  longitude = x;
  latitude = y;
  ellipsoidal = z;
  return true;
}
