#include "rastergeoreference.h"

#include <cpl_conv.h>
#include <cpl_string.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits.h>

namespace {

const double degree = M_PI / 180.0;
const double sphereRadius = 6371008.8;

// A reference system that keeps longitude before latitude, whatever its authority says.
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

OGRCoordinateTransformationH transformBetween(OGRSpatialReferenceH from, OGRSpatialReferenceH to)
{
  if (from == nullptr || to == nullptr) return nullptr;
  OGRSpatialReferenceH source = OSRClone(from);
  OSRSetAxisMappingStrategy(source, OAMS_TRADITIONAL_GIS_ORDER);
  OGRCoordinateTransformationH transform = OCTNewCoordinateTransformation(source, to);
  OSRRelease(source);
  return transform;
}

// Whether the raster is a mosaic (a VRT) of SRTM files alone: its heights are theirs.
bool mosaicOfSrtm(GDALDatasetH dataset)
{
  GDALDriverH driver = GDALGetDatasetDriver(dataset);
  if (driver == nullptr || std::strcmp(GDALGetDriverShortName(driver), "VRT") != 0) return false;
  char ** files = GDALGetFileList(dataset);
  int srtm = 0, others = 0;
  for (char ** f = files; f != nullptr && *f != nullptr; ++f) {
    GDALDriverH of = GDALIdentifyDriverEx(*f, GDAL_OF_RASTER, nullptr, nullptr);
    if (of != nullptr && std::strcmp(GDALGetDriverShortName(of), "SRTMHGT") == 0) ++srtm;
    else if (of == nullptr || std::strcmp(GDALGetDriverShortName(of), "VRT") != 0) ++others;
  }
  CSLDestroy(files);
  return srtm > 0 && others == 0;
}

} // namespace

Georeference::Georeference(GDALDatasetH dataset, const std::string & verticalDatum)
{
  const int width = GDALGetRasterXSize(dataset), height = GDALGetRasterYSize(dataset);
  placed = GDALGetGeoTransform(dataset, gt) == CE_None;
  if (!placed) {
    // Unplaced: one post per metre, the first row to the north.
    const double identity[6] = {0.0, 1.0, 0.0, 0.0, 0.0, -1.0};
    std::copy(identity, identity + 6, gt);
  }
  if (GDALGetSpatialRef(dataset) != nullptr) srs = OSRClone(GDALGetSpatialRef(dataset));
  if (srs != nullptr) {
    OSRSetAxisMappingStrategy(srs, OAMS_TRADITIONAL_GIS_ORDER);
    crsName = OSRGetName(srs) != nullptr ? OSRGetName(srs) : "unnamed";
    geographic = OSRIsGeographic(srs) != 0;
    if (!geographic) metresPerUnit = OSRGetLinearUnits(srs, nullptr);
    if (!(metresPerUnit > 0.0)) metresPerUnit = 1.0;
  }
  mapOf(width / 2.0, height / 2.0, centreX, centreY);
  chooseFrame(width, height);
  if (placed && srs != nullptr) chooseDatum(dataset, verticalDatum);
}

Georeference::~Georeference(void)
{
  if (toLocal != nullptr) OCTDestroyCoordinateTransformation(toLocal);
  if (srs != nullptr) OSRRelease(srs);
}

void Georeference::mapOf(double column, double row, double & x, double & y) const
{
  x = gt[0] + column * gt[1] + row * gt[2];
  y = gt[3] + column * gt[4] + row * gt[5];
}

// The local frame: a transverse Mercator about the raster's centre where the raster spans less
// than fifteen degrees of longitude away from the poles; an equidistant cylindrical one, true
// along the centre's parallel, where it spans more.
void Georeference::chooseFrame(int width, int height)
{
  if (!placed || srs == nullptr) return;
  OGRSpatialReferenceH wgs84 = systemOf("EPSG:4326");
  OGRCoordinateTransformationH toDegrees = transformBetween(srs, wgs84);
  double x[5], y[5];
  const double at[5][2] = {{0, 0}, {double(width), 0}, {0, double(height)}, {double(width), double(height)},
                           {width / 2.0, height / 2.0}};
  for (int i = 0; i < 5; ++i) mapOf(at[i][0], at[i][1], x[i], y[i]);
  int ok[5] = {0, 0, 0, 0, 0};
  const bool known = toDegrees != nullptr && OCTTransformEx(toDegrees, 5, x, y, nullptr, ok) && ok[4];
  if (toDegrees != nullptr) OCTDestroyCoordinateTransformation(toDegrees);
  OSRRelease(wgs84);
  if (!known) return;
  double span = 0.0, polewards = std::fabs(y[4]);
  for (int i = 0; i < 4; ++i) {
    if (!ok[i]) continue;
    span = std::max(span, std::fabs(std::remainder(x[i] - x[4], 360.0)));
    polewards = std::max(polewards, std::fabs(y[i]));
  }
  char definition[256];
  if (span <= 15.0 && polewards < 85.0)
    std::snprintf(definition, sizeof definition,
                  "+proj=tmerc +lat_0=%.12g +lon_0=%.12g +k=1 +x_0=0 +y_0=0 +ellps=WGS84 +units=m +no_defs",
                  y[4], x[4]);
  else
    std::snprintf(definition, sizeof definition,
                  "+proj=eqc +lat_ts=%.12g +lat_0=0 +lon_0=%.12g +x_0=0 +y_0=0 +ellps=WGS84 +units=m +no_defs",
                  std::fabs(y[4]) < 80.0 ? y[4] : 0.0, x[4]);
  OGRSpatialReferenceH local = systemOf(definition);
  toLocal = transformBetween(srs, local);
  if (local != nullptr) OSRRelease(local);
  double cx = centreX, cy = centreY;
  if (toLocal != nullptr && OCTTransform(toLocal, 1, &cx, &cy, nullptr)) {
    localX0 = cx;
    localY0 = cy;
  } else if (toLocal != nullptr) {
    OCTDestroyCoordinateTransformation(toLocal);
    toLocal = nullptr;
  }
}

// The heights' datum: as the user names it, else the raster's own vertical reference system,
// else its format's convention (SRTM files keep heights above EGM96), else unknown.
void Georeference::chooseDatum(GDALDatasetH dataset, const std::string & verticalDatum)
{
  if (verticalDatum == "ellipsoid") {
    datum = VerticalDatum::ELLIPSOID;
    datumName = "the WGS 84 ellipsoid (--vertical-datum)";
  } else if (verticalDatum == "egm96") {
    datum = VerticalDatum::EGM96;
    datumName = "the EGM96 geoid (--vertical-datum)";
  } else if (!verticalDatum.empty()) {
    char * real = realpath(verticalDatum.c_str(), nullptr);
    datumFile = real != nullptr ? real : verticalDatum;
    std::free(real);
    datum = VerticalDatum::GRID;
    datumName = "the geoid of " + verticalDatum + " (--vertical-datum)";
  } else if (OSRIsCompound(srs)) {
    datum = VerticalDatum::RASTER;
    const char * name = OSRGetAttrValue(srs, "VERT_CS", 0);
    datumName = std::string(name != nullptr ? name : "its vertical reference system") + ", as the raster says";
  } else if (GDALGetDatasetDriver(dataset) != nullptr &&
             std::strcmp(GDALGetDriverShortName(GDALGetDatasetDriver(dataset)), "SRTMHGT") == 0) {
    datum = VerticalDatum::EGM96;
    datumName = "the EGM96 geoid, as SRTM files keep them";
  } else if (mosaicOfSrtm(dataset)) {
    datum = VerticalDatum::EGM96;
    datumName = "the EGM96 geoid, as its SRTM files keep them";
  }
}

void Georeference::localOf(int64_t column, int64_t row, float & east, float & south) const
{
  localRow(column, 1, 1, row, &east, &south);
}

void Georeference::localRow(int64_t firstColumn, int64_t step, int64_t count, int64_t row,
                            float * east, float * south) const
{
  const size_t n = size_t(count);
  std::vector<double> x(n), y(n);
  for (size_t i = 0; i < n; ++i) mapOf(double(firstColumn + int64_t(i) * step) + 0.5, double(row) + 0.5, x[i], y[i]);
  std::vector<int> ok(size_t(count), 1);
  if (toLocal != nullptr && count > 0 &&
      OCTTransformEx(toLocal, int(count), x.data(), y.data(), nullptr, ok.data())) {
    for (int64_t i = 0; i < count; ++i) {
      east[i] = ok[size_t(i)] ? float(x[size_t(i)] - localX0) : std::numeric_limits<float>::infinity();
      south[i] = ok[size_t(i)] ? float(-(y[size_t(i)] - localY0)) : std::numeric_limits<float>::infinity();
    }
    return;
  }
  // No projection to be had: a geographic raster about its centre on a sphere, anything else in
  // its own units taken as metres.
  const double cosLatitude = std::cos(centreY * degree);
  for (int64_t i = 0; i < count; ++i) {
    if (geographic) {
      east[i] = float(sphereRadius * cosLatitude * (x[size_t(i)] - centreX) * degree);
      south[i] = float(-sphereRadius * (y[size_t(i)] - centreY) * degree);
    } else {
      east[i] = float((x[size_t(i)] - centreX) * metresPerUnit);
      south[i] = float(-(y[size_t(i)] - centreY) * metresPerUnit);
    }
  }
}

std::string Georeference::describe(void) const
{
  char text[1024];
  if (!placed) {
    std::snprintf(text, sizeof text, "Origin: the raster's centre (no map reference; one post per metre)");
    return text;
  }
  if (geographic)
    std::snprintf(text, sizeof text, "Origin: %.6f %c, %.6f %c (%s); X east, Z south, metres",
                  std::fabs(centreY), centreY < 0 ? 'S' : 'N', std::fabs(centreX),
                  centreX < 0 ? 'W' : 'E', crsName.c_str());
  else
    std::snprintf(text, sizeof text, "Origin: easting %.3f, northing %.3f (%s); X east, Z south, metres",
                  centreX, centreY, srs != nullptr ? crsName.c_str() : "no reference system");
  std::string said = text;
  if (srs == nullptr) return said;
  if (datum == VerticalDatum::UNKNOWN)
    said += "\nHeights: above a datum the raster does not name; tiles take them as heights on the "
            "ellipsoid (--vertical-datum names one)";
  else
    said += "\nHeights: above " + datumName;
  return said;
}

GeoOrigin Georeference::origin(void) const
{
  GeoOrigin origin;
  if (!placed || srs == nullptr) return origin;
  OGRSpatialReferenceH wgs84 = systemOf("EPSG:4326"), earthCentred = systemOf("EPSG:4978");
  OGRCoordinateTransformationH toDegrees = transformBetween(srs, wgs84);
  OGRCoordinateTransformationH toCentred = transformBetween(srs, earthCentred);
  double lonLat[2] = {centreX, centreY}, xyz[3] = {centreX, centreY, 0.0};
  origin.placed = toDegrees != nullptr && toCentred != nullptr &&
                  OCTTransform(toDegrees, 1, &lonLat[0], &lonLat[1], nullptr) &&
                  OCTTransform(toCentred, 1, &xyz[0], &xyz[1], &xyz[2]);
  for (OGRCoordinateTransformationH t : {toDegrees, toCentred})
    if (t != nullptr) OCTDestroyCoordinateTransformation(t);
  for (OGRSpatialReferenceH s : {wgs84, earthCentred})
    if (s != nullptr) OSRRelease(s);
  origin.longitude = lonLat[0];
  origin.latitude = lonLat[1];
  std::copy(xyz, xyz + 3, origin.earthCentred);
  return origin;
}

RasterPlacement Georeference::placement(void) const
{
  RasterPlacement placement;
  placement.placed = placed && srs != nullptr;
  std::copy(gt, gt + 6, placement.geoTransform);
  if (srs != nullptr) {
    char * wkt = nullptr;
    const char * const options[] = {"FORMAT=WKT2_2019", nullptr};
    if (OSRExportToWktEx(srs, &wkt, options) == OGRERR_NONE && wkt != nullptr) placement.wkt = wkt;
    CPLFree(wkt);
  }
  placement.datum = datum;
  placement.datumFile = datumFile;
  return placement;
}
