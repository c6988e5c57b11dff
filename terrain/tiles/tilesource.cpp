// Opening a raster for a tiled build: its grid of posts in longitude and latitude, taken there
// by GDAL's warper where the raster lies in any other system, and windows of it read on demand.

#include "tilesource.h"

#include "rastergeoreference.h"
#include "rasterheights.h"
#include "rastersources.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_vsi.h>
#include <gdal_utils.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <unistd.h>

namespace {

// The largest picture of the heights read to find their range: enough to see every hill.
const int rangeSampleSide = 1024;

std::string lastGdalMessage(void)
{
  const char * message = CPLGetLastErrorMsg();
  return message != nullptr && *message != '\0' ? message : "GDAL gives no reason";
}

// Whether the system is longitude and latitude on WGS 84 (in either axis order).
bool onWgs84Degrees(OGRSpatialReferenceH srs)
{
  if (srs == nullptr || !OSRIsGeographic(srs)) return false;
  OGRSpatialReferenceH wgs84 = OSRNewSpatialReference(nullptr);
  const bool same = OSRSetFromUserInput(wgs84, "EPSG:4326") == OGRERR_NONE && OSRIsSameGeogCS(srs, wgs84) &&
                    std::fabs(OSRGetAngularUnits(srs, nullptr) - M_PI / 180.0) < 1e-15;
  OSRRelease(wgs84);
  return same;
}

std::string wgs84Wkt(void)
{
  OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
  OSRSetFromUserInput(srs, "EPSG:4326");
  char * wkt = nullptr;
  const char * const options[] = {"FORMAT=WKT2_2019", nullptr};
  OSRExportToWktEx(srs, &wkt, options);
  std::string text = wkt != nullptr ? wkt : "";
  CPLFree(wkt);
  OSRRelease(srs);
  return text;
}

} // namespace

TileSource::~TileSource(void)
{
  if (!warpedName.empty()) VSIUnlink(warpedName.c_str());
}

bool TileSource::open(const std::string & path, const RasterOptions & options, std::string & reason)
{
  GDALAllRegister();
  CPLSetConfigOption("GDAL_PAM_ENABLED", "YES");
  file = path;
  settings = options;
  CPLErrorReset();
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
  if (ds == nullptr) {
    reason = "GDAL cannot read " + path + " as a raster: " + lastGdalMessage();
    return false;
  }
  const std::unique_ptr<void, void (*)(void *)> closer(ds, [](void * d) { GDALClose(d); });
  if (GDALGetRasterCount(ds) < 1 || GDALGetRasterXSize(ds) < 2 || GDALGetRasterYSize(ds) < 2) {
    reason = path + " has no cell of four posts";
    return false;
  }
  if (!sourcesAreSafe(ds, path, read, reason)) return false;
  for (const std::string & source : read)
    if (access(source.c_str(), R_OK) != 0) {
      reason = path + " names " + source + ", which cannot be read (" + std::strerror(errno) + ")";
      return false;
    }
  double gt[6];
  OGRSpatialReferenceH srs = GDALGetSpatialRef(ds);
  if (GDALGetGeoTransform(ds, gt) != CE_None || srs == nullptr) {
    reason = path + " has no georeference: a geodetic tiling needs to know where its posts stand on the Earth";
    return false;
  }
  const Georeference georeference(ds, options.verticalDatum);
  place = georeference.placement();
  const std::string described = georeference.describe();
  note = described.find('\n') != std::string::npos ? described.substr(described.find('\n') + 1) : "";
  const bool direct = onWgs84Degrees(srs) && gt[2] == 0.0 && gt[4] == 0.0 && gt[1] > 0.0 && gt[5] < 0.0;
  if (direct) {
    posts.columns = GDALGetRasterXSize(ds);
    posts.rows = GDALGetRasterYSize(ds);
    std::copy(gt, gt + 6, posts.gt);
  } else {
    if (place.datum == VerticalDatum::RASTER) {
      reason = path + " keeps its heights in its own vertical system, which a warped grid cannot carry; "
                      "name what they stand on with --vertical-datum";
      return false;
    }
    if (!openWarped(ds, reason)) return false;
  }
  if (place.datum != VerticalDatum::RASTER) place.wkt = wgs84Wkt();
  place.placed = true;
  std::copy(posts.gt, posts.gt + 6, place.geoTransform);
  // Columns that span the globe to within half a post close round: the last cell joins the
  // last column to the first.
  posts.closesRound = std::fabs(double(posts.columns) * posts.gt[1] - 360.0) < 0.5 * posts.gt[1];
  return measureHeights(reason);
}

// A warped VRT in GDAL's memory files: the raster in longitude and latitude on WGS 84, heights
// interpolated bilinearly, float, NaN where the raster has none. Every reader opens it afresh.
bool TileSource::openWarped(void * dataset, std::string & reason)
{
  static std::atomic<int> count{0};
  warpedName = "/vsimem/terravel-warped-" + std::to_string(getpid()) + "-" + std::to_string(count++) + ".vrt";
  const char * const arguments[] = {"-of", "VRT", "-t_srs", "EPSG:4326", "-r", "bilinear", "-ot", "Float32",
                                    "-dstnodata", "nan", "-et", "0", nullptr};
  GDALWarpAppOptions * options = GDALWarpAppOptionsNew(const_cast<char **>(arguments), nullptr);
  if (options == nullptr) {
    reason = "GDAL's warper does not take its options: " + lastGdalMessage();
    return false;
  }
  int failed = 0;
  GDALDatasetH source = dataset;
  CPLErrorReset();
  GDALDatasetH warpedSet = GDALWarp(warpedName.c_str(), nullptr, 1, &source, options, &failed);
  GDALWarpAppOptionsFree(options);
  if (warpedSet == nullptr || failed) {
    reason = "GDAL's warper cannot take " + file + " to longitude and latitude: " + lastGdalMessage();
    if (warpedSet != nullptr) GDALClose(warpedSet);
    return false;
  }
  posts.columns = GDALGetRasterXSize(warpedSet);
  posts.rows = GDALGetRasterYSize(warpedSet);
  GDALGetGeoTransform(warpedSet, posts.gt);
  GDALClose(warpedSet);
  return true;
}

// The range of the heights, from a picture of the whole raster at most rangeSampleSide a side:
// the relief colours of every tile are made with it, before any tile is.
bool TileSource::measureHeights(std::string & reason)
{
  WindowReader reader(*this);
  const int bw = int(std::min<int64_t>(posts.columns, rangeSampleSide));
  const int bh = int(std::min<int64_t>(posts.rows, rangeSampleSide));
  std::vector<float> & sample = picture;
  sample.resize(size_t(bw) * size_t(bh));
  pictureWidth = bw;
  pictureHeight = bh;
  if (!reader.valid() || !reader.readSampled(0, 0, int(posts.columns), int(posts.rows), bw, bh, sample.data(), reason)) {
    reason = "GDAL cannot read the heights of " + file + ": " + (reason.empty() ? lastGdalMessage() : reason);
    return false;
  }
  low = std::numeric_limits<float>::infinity();
  high = -low;
  for (const float h : sample)
    if (std::isfinite(h)) {
      low = std::min(low, h);
      high = std::max(high, h);
    }
  if (!(low <= high)) {
    // A sparse raster may hide its posts from the picture: then its first rows decide.
    low = 0.0f;
    high = 1.0f;
  }
  return true;
}

WindowReader::WindowReader(const TileSource & source) : source(source)
{
  const std::string & name = source.warped() ? source.warpedName : source.file;
  dataset = GDALOpenEx(name.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
  if (dataset == nullptr) return;
  band = GDALGetRasterBand(dataset, 1);
  // The scale, offset and unit are the raster's own: a warped band carries its values alone.
  GDALDatasetH original = source.warped()
                            ? GDALOpenEx(source.file.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr)
                            : nullptr;
  const HeightScale heights(original != nullptr ? GDALGetRasterBand(original, 1) : band, source.settings.zScale);
  if (original != nullptr) GDALClose(original);
  scale = heights.scale * heights.toMetres * heights.zScale;
  offset = heights.offset * heights.toMetres * heights.zScale;
  int has = 0;
  noData = GDALGetRasterNoDataValue(band, &has);
  hasNoData = has != 0;
}

WindowReader::~WindowReader(void)
{
  if (dataset != nullptr) GDALClose(dataset);
}

bool WindowReader::read(int64_t c0, int64_t r0, int w, int h, float * heights, std::string & reason)
{
  return readSampled(c0, r0, w, h, w, h, heights, reason);
}

// The window in pieces that lie on the raster: rows clipped to it, columns clipped or, where
// the grid closes round the globe, taken modulo its columns. Buffer column i samples post
// c0 + floor((i + 0.5) w / bw), as GDAL samples a window.
bool WindowReader::readSampled(int64_t c0, int64_t r0, int w, int h, int bw, int bh, float * heights,
                               std::string & reason)
{
  std::fill(heights, heights + size_t(bw) * size_t(bh), std::numeric_limits<float>::quiet_NaN());
  if (dataset == nullptr || w < 1 || h < 1 || bw < 1 || bh < 1) return dataset != nullptr;
  const PostGrid & grid = source.posts;
  const auto sampleOf = [](int64_t first, int span, int buffer, int i) {
    return first + int64_t(std::floor((double(i) + 0.5) * span / buffer));
  };
  // Buffer rows that fall on the raster.
  int by0 = 0, by1 = bh;
  while (by0 < bh && sampleOf(r0, h, bh, by0) < 0) ++by0;
  while (by1 > by0 && sampleOf(r0, h, bh, by1 - 1) >= grid.rows) --by1;
  if (by0 >= by1) return true;
  // Buffer columns in runs that fall on one stretch of the raster's columns.
  int bx = 0;
  while (bx < bw) {
    int64_t column = sampleOf(c0, w, bw, bx);
    if (grid.closesRound) column = ((column % grid.columns) + grid.columns) % grid.columns;
    if (column < 0 || column >= grid.columns) {
      ++bx;
      continue;
    }
    const int64_t shift = column - sampleOf(c0, w, bw, bx);
    int end = bx + 1;
    while (end < bw) {
      const int64_t next = sampleOf(c0, w, bw, end) + shift;
      if (next < 0 || next >= grid.columns) break;
      ++end;
    }
    const int64_t x0 = sampleOf(c0, w, bw, bx) + shift, x1 = sampleOf(c0, w, bw, end - 1) + shift + 1;
    const int64_t y0 = sampleOf(r0, h, bh, by0), y1 = sampleOf(r0, h, bh, by1 - 1) + 1;
    if (!readPart(x0, y0, int(x1 - x0), int(y1 - y0), end - bx, by1 - by0,
                  heights + size_t(by0) * size_t(bw) + size_t(bx), bw, reason))
      return false;
    bx = end;
  }
  return true;
}

bool WindowReader::readPart(int64_t c0, int64_t r0, int w, int h, int bw, int bh, float * heights, int stride,
                            std::string & reason)
{
  GDALRasterIOExtraArg extra;
  INIT_RASTERIO_EXTRA_ARG(extra);
  extra.eResampleAlg = GRIORA_NearestNeighbour;
  CPLErrorReset();
  if (GDALRasterIOEx(static_cast<GDALRasterBandH>(band), GF_Read, int(c0), int(r0), w, h, heights, bw, bh,
                     GDT_Float32, sizeof(float), GSpacing(sizeof(float)) * stride, &extra) != CE_None) {
    reason = lastGdalMessage();
    return false;
  }
  for (int y = 0; y < bh; ++y) {
    float * row = heights + size_t(y) * size_t(stride);
    // A row of posts at a pole is one place on the Earth, which no triangle of the grid can
    // hold: it stays out, and the cap within a post of the pole a hole. A row within a billionth
    // of a degree of it (a tenth of a millimetre, what a geotransform's rounding leaves of a
    // post meant to stand on it) is at the pole.
    const int64_t r = r0 + int64_t(std::floor((double(y) + 0.5) * h / bh));
    if (std::fabs(source.posts.latitudeOf(double(r) + 0.5)) >= 90.0 - 1e-9) {
      std::fill(row, row + bw, std::numeric_limits<float>::quiet_NaN());
      continue;
    }
    for (int x = 0; x < bw; ++x) {
      const float v = row[x];
      row[x] = (!std::isfinite(v) || (hasNoData && double(v) == noData))
                 ? std::numeric_limits<float>::quiet_NaN()
                 : float(double(v) * scale + offset);
    }
  }
  return true;
}
