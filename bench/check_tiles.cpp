// check_tiles: a geodetic tileset checked against the raster it was made from, independently of
// the code that wrote it. Every tile's GLB is read back, its vertices taken through PROJ to
// longitude and latitude and found on the raster's posts, and the posts the tile covers read
// through GDAL, one window of rows at a time, so that rasters of hundreds of millions of posts
// need little memory. Per tile: the strict vertical error at every post against every triangle
// that holds it (and against the tile's geometricError and its level's budget), the triangles
// covering exactly the tile's valid cells, none facing down or without area, the region holding
// every vertex, every vertex where its post stands; per level, neighbours meeting on their
// shared lattice lines with the same vertices at the same Earth-centred positions.
//
// Usage: check_tiles DIR/tileset.json [--raster FILE] [--max-tiles N] [--show N]
//        check_tiles --self-test [SCRATCH_DIR]
// Exit code 0 when every check passes, 1 when one fails, 2 when the check cannot be made.

#define TINYGLTF_IMPLEMENTATION
#define TINYGLTF_NO_STB_IMAGE
#define TINYGLTF_NO_STB_IMAGE_WRITE
#define TINYGLTF_NO_EXTERNAL_IMAGE
#include <tiny_gltf.h>

#include <nlohmann/json.hpp>

#include <cpl_conv.h>
#include <gdal.h>
#include <gdal_utils.h>
#include <gdalwarper.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <malloc.h>
#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

const double noPost = std::numeric_limits<double>::quiet_NaN();
const double degree = M_PI / 180.0;

// A vertex may stand this far from its post's lattice point, in pixels (or further, as far as
// single precision about its tile's translation may put it).
const double latticeSlack = 1e-3;
// Posts are read a strip of rows at a time, about this many a strip.
const int64_t stripPosts = 1 << 21;

std::string format(const char * pattern, ...)
{
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

// ---------------------------------------------------------------------------------------------
// What went wrong, by kind, the first few of them in words.

enum Kind { TREE, CONTENT, LATTICE, ERROR, COVER, BUDGET, FACES, DEGENERATE, REGION, BORDER, OFFSET, KINDS };
const char * const kindNames[KINDS] = {"tree",   "content", "lattice", "error",  "cover", "budget",
                                       "faces",  "degenerate", "region", "border", "offset"};

struct Problems {
  std::array<int64_t, KINDS> counts{};
  std::vector<std::string> shown;
  size_t shownAtMost = 20;
  void add(Kind kind, const std::string & what)
  {
    ++counts[kind];
    if (shown.size() < shownAtMost) shown.push_back(what);
  }
  int64_t total(void) const
  {
    int64_t n = 0;
    for (const int64_t c : counts) n += c;
    return n;
  }
};

// ---------------------------------------------------------------------------------------------
// The tileset as written.

struct TileEntry {
  bool addressed = false; // has content named L/X/Y.glb
  int level = -1;
  int64_t x = 0, y = 0;
  std::string uri;
  bool hasRegion = false;
  double region[6] = {0, 0, 0, 0, 0, 0};
  double error = 0.0;
  int parent = -1;
  std::vector<int> children;
};

struct Tileset {
  std::string dir, source, datum;
  double gt[6] = {0, 0, 0, 0, 0, 0};
  int64_t columns = 0, rows = 0;
  bool warped = false;
  double maxError = 0.0, error = 0.0;
  int zmin = 0, zmax = 0;
  std::vector<TileEntry> tiles;
};

std::string addressOf(int level, int64_t x, int64_t y)
{
  return format("%d/%lld/%lld", level, (long long)x, (long long)y);
}

uint64_t keyOf(int64_t x, int64_t y)
{
  return (uint64_t(x) << 32) | uint64_t(y);
}

// A tile's bounds in degrees; every one a number binary floating point holds exactly.
void boundsOf(int level, int64_t x, int64_t y, double & west, double & south, double & east, double & north)
{
  const double s = 180.0 / double(int64_t(1) << level);
  west = -180.0 + double(x) * s;
  east = west + s;
  south = -90.0 + double(y) * s;
  north = south + s;
}

bool readTile(const nlohmann::json & json, int parent, Tileset & set, Problems & problems, int depth)
{
  if (!json.is_object() || depth > 40) return false;
  const int index = int(set.tiles.size());
  set.tiles.emplace_back();
  TileEntry tile;
  tile.parent = parent;
  const auto error = json.find("geometricError");
  if (error == json.end() || !error->is_number()) return false;
  tile.error = error->get<double>();
  const auto refine = json.find("refine");
  if ((refine != json.end() && *refine != "REPLACE") || (parent < 0 && refine == json.end()))
    problems.add(TREE, "a tile's refine is not REPLACE");
  const auto volume = json.find("boundingVolume");
  if (volume != json.end() && volume->contains("region") && (*volume)["region"].is_array() &&
      (*volume)["region"].size() == 6) {
    tile.hasRegion = true;
    for (int i = 0; i < 6; ++i) tile.region[i] = (*volume)["region"][size_t(i)].get<double>();
  }
  const auto content = json.find("content");
  if (content != json.end()) {
    if (!content->contains("uri") || !(*content)["uri"].is_string()) return false;
    tile.uri = (*content)["uri"].get<std::string>();
    int level = -1;
    long long x = -1, y = -1;
    char tail = 0;
    if (std::sscanf(tile.uri.c_str(), "%d/%lld/%lld.glb%c", &level, &x, &y, &tail) != 3 ||
        tile.uri != addressOf(level, x, y) + ".glb" || level < 0 || level > 30 || x < 0 || y < 0 ||
        x >= (int64_t(2) << level) || y >= (int64_t(1) << level)) {
      problems.add(TREE, "content " + tile.uri + " is not named L/X/Y.glb of the geodetic grid");
    } else {
      tile.addressed = true;
      tile.level = level;
      tile.x = x;
      tile.y = y;
    }
    if (!tile.hasRegion) problems.add(TREE, tile.uri + ": no region of six numbers");
  }
  set.tiles[size_t(index)] = tile;
  const auto children = json.find("children");
  if (children != json.end()) {
    if (!children->is_array()) return false;
    for (const nlohmann::json & child : *children) {
      const int childIndex = int(set.tiles.size());
      if (!readTile(child, index, set, problems, depth + 1)) return false;
      set.tiles[size_t(index)].children.push_back(childIndex);
    }
  }
  return true;
}

bool readTileset(const std::string & path, Tileset & set, Problems & problems, std::string & why)
{
  std::ifstream in(path);
  const nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
  if (!in || json.is_discarded() || !json.is_object()) {
    why = path + ": cannot be read as JSON";
    return false;
  }
  const size_t slash = path.find_last_of('/');
  set.dir = slash == std::string::npos ? "." : path.substr(0, slash);
  try {
    if (json.at("asset").at("version") != "1.1") problems.add(TREE, "asset.version is not 1.1");
    const nlohmann::json & ours = json.at("extras").at("terravel");
    if (ours.at("tiling") != "geodetic") {
      why = "extras.terravel.tiling is not \"geodetic\"";
      return false;
    }
    set.source = ours.at("source").get<std::string>();
    const nlohmann::json & grid = ours.at("grid");
    for (int i = 0; i < 6; ++i) set.gt[i] = grid.at("geoTransform").at(size_t(i)).get<double>();
    set.columns = grid.at("columns").get<int64_t>();
    set.rows = grid.at("rows").get<int64_t>();
    set.warped = grid.at("warped").get<bool>();
    set.datum = ours.at("verticalDatum").get<std::string>();
    set.maxError = ours.at("maxError").get<double>();
    set.zmin = ours.at("levels").at(0).get<int>();
    set.zmax = ours.at("levels").at(1).get<int>();
    set.error = json.at("geometricError").get<double>();
    if (!readTile(json.at("root"), -1, set, problems, 0)) {
      why = path + ": a tile lacks its geometricError or has a malformed content or children";
      return false;
    }
  } catch (const nlohmann::json::exception & e) {
    why = path + ": " + e.what();
    return false;
  }
  if (set.zmin < 0 || set.zmax < set.zmin || set.zmax > 30) {
    why = "extras.terravel.levels is no range of levels";
    return false;
  }
  return true;
}

// The tree's shape: levels, addresses of children under their parent's, errors not growing down.
void checkTree(const Tileset & set, Problems & problems)
{
  if (set.tiles.empty()) return;
  if (set.error < set.tiles[0].error) problems.add(TREE, "the tileset's geometricError is below its root's");
  std::unordered_set<std::string> seen;
  for (const TileEntry & tile : set.tiles) {
    for (const int child : tile.children)
      if (set.tiles[size_t(child)].error > tile.error)
        problems.add(TREE, format("%s: geometricError %.6g m below its child %s's %.6g m",
                                  tile.addressed ? addressOf(tile.level, tile.x, tile.y).c_str() : "the root",
                                  tile.error, set.tiles[size_t(child)].uri.c_str(), set.tiles[size_t(child)].error));
    if (!tile.addressed) {
      if (tile.parent >= 0) problems.add(TREE, "a tile below the root has no content");
      continue;
    }
    const std::string name = addressOf(tile.level, tile.x, tile.y);
    if (!seen.insert(name).second) problems.add(TREE, name + ": appears twice");
    if (tile.level < set.zmin || tile.level > set.zmax)
      problems.add(TREE, name + ": level outside extras.terravel.levels");
    const TileEntry * parent = tile.parent >= 0 ? &set.tiles[size_t(tile.parent)] : nullptr;
    if (parent != nullptr && parent->addressed) {
      if (tile.level != parent->level + 1 || tile.x / 2 != parent->x || tile.y / 2 != parent->y)
        problems.add(TREE, name + ": not a child of " + addressOf(parent->level, parent->x, parent->y));
    } else if (tile.level != set.zmin) {
      problems.add(TREE, name + ": a top tile not of the first level");
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The raster's posts, as GDAL reads them: the raster itself when it is in longitude and latitude
// on WGS 84, north up, or else warped to that.

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

std::string wktOf(const char * definition)
{
  OGRSpatialReferenceH srs = systemOf(definition);
  char * text = nullptr;
  std::string wkt;
  if (srs != nullptr && OSRExportToWkt(srs, &text) == OGRERR_NONE) wkt = text;
  CPLFree(text);
  if (srs != nullptr) OSRRelease(srs);
  return wkt;
}

struct Raster {
  GDALDatasetH source = nullptr, posts = nullptr;
  GDALRasterBandH band = nullptr;
  OGRSpatialReferenceH srs = nullptr; // the raster's own, traditional axis order
  double gt[6] = {0, 0, 0, 0, 0, 0};
  int64_t width = 0, height = 0;
  bool warped = false, wraps = false;
  double scale = 1.0, offset = 0.0, nodata = 0.0;
  bool hasNodata = false;

  // A row of posts at a pole (within a billionth of a degree, what rounding leaves of one
  // meant to stand there) is one place on the Earth: no triangle of the lattice can hold it,
  // so its posts are no posts.
  bool atPole(int64_t row) const { return std::fabs(gt[3] + (double(row) + 0.5) * gt[5]) >= 90.0 - 1e-9; }

  ~Raster(void)
  {
    if (posts != nullptr && posts != source) GDALClose(posts);
    if (source != nullptr) GDALClose(source);
    if (srs != nullptr) OSRRelease(srs);
  }

  // Heights of posts, columns u0.. (u0 + nu) and rows v0.. (v0 + nv), columns taken round the
  // globe on a raster that wraps; no post is NaN.
  bool read(int64_t u0, int64_t nu, int64_t v0, int64_t nv, std::vector<double> & out) const
  {
    out.assign(size_t(nu * nv), noPost);
    const int64_t r0 = std::max<int64_t>(v0, 0), r1 = std::min(v0 + nv, height);
    if (r1 <= r0 || nu <= 0) return true;
    int64_t u = u0;
    while (u < u0 + nu) {
      int64_t column = u, run = u0 + nu - u;
      if (wraps) {
        column = ((u % width) + width) % width;
        run = std::min(run, width - column);
      } else if (u < 0) {
        u = std::min<int64_t>(0, u0 + nu);
        continue;
      } else if (u >= width) {
        break;
      } else {
        run = std::min(run, width - u);
      }
      double * first = out.data() + (r0 - v0) * nu + (u - u0);
      if (GDALRasterIO(band, GF_Read, int(column), int(r0), int(run), int(r1 - r0), first, int(run), int(r1 - r0),
                       GDT_Float64, 8, int(nu * 8)) != CE_None)
        return false;
      u += run;
    }
    for (int64_t r = r0; r < r1; ++r)
      for (int64_t i = 0; i < nu; ++i) {
        double & h = out[size_t((r - v0) * nu + i)];
        if (std::isnan(h) || (hasNodata && h == nodata) || atPole(r)) h = noPost;
        else h = h * scale + offset;
      }
    // Rows outside the raster were never written: they hold NaN from the start.
    return true;
  }
};

bool openRaster(const std::string & path, const Tileset & set, Raster & raster, std::string & why)
{
  raster.source = GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
  if (raster.source == nullptr) {
    why = path + ": GDAL cannot open it";
    return false;
  }
  OGRSpatialReferenceH own = GDALGetSpatialRef(raster.source);
  double gt[6];
  if (own == nullptr || GDALGetGeoTransform(raster.source, gt) != CE_None) {
    why = path + ": the raster has no reference system or no geotransform";
    return false;
  }
  raster.srs = OSRClone(own);
  OSRSetAxisMappingStrategy(raster.srs, OAMS_TRADITIONAL_GIS_ORDER);
  bool lonLat = OSRIsGeographic(raster.srs) && gt[2] == 0.0 && gt[4] == 0.0;
  if (lonLat) {
    OGRSpatialReferenceH geographic = OSRCloneGeogCS(raster.srs), wgs84 = systemOf("EPSG:4326");
    const char * options[] = {"IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES",
                              "CRITERION=EQUIVALENT_EXCEPT_AXIS_ORDER_GEOGCRS", nullptr};
    lonLat = geographic != nullptr && wgs84 != nullptr && OSRIsSameEx(geographic, wgs84, options);
    if (geographic != nullptr) OSRRelease(geographic);
    if (wgs84 != nullptr) OSRRelease(wgs84);
  }
  raster.warped = !lonLat;
  if (lonLat) {
    raster.posts = raster.source;
  } else {
    // GDAL's warper as a virtual raster: heights interpolated bilinearly and kept as floats (not
    // rounded to the raster's own type), no post (NaN) where the raster has none, nor beyond it.
    const char * const arguments[] = {"-of", "VRT", "-t_srs", "EPSG:4326", "-r", "bilinear", "-ot", "Float32",
                                      "-dstnodata", "nan", "-et", "0", nullptr};
    GDALWarpAppOptions * options = GDALWarpAppOptionsNew(const_cast<char **>(arguments), nullptr);
    GDALDatasetH source = raster.source;
    int failed = 0;
    raster.posts = options != nullptr ? GDALWarp("", nullptr, 1, &source, options, &failed) : nullptr;
    if (options != nullptr) GDALWarpAppOptionsFree(options);
    if (raster.posts == nullptr) {
      why = path + ": GDAL cannot warp the raster to longitude and latitude";
      return false;
    }
  }
  GDALGetGeoTransform(raster.posts, raster.gt);
  raster.width = GDALGetRasterXSize(raster.posts);
  raster.height = GDALGetRasterYSize(raster.posts);
  raster.band = GDALGetRasterBand(raster.posts, 1);
  GDALRasterBandH own1 = GDALGetRasterBand(raster.source, 1);
  if (raster.band == nullptr || own1 == nullptr) {
    why = path + ": no band";
    return false;
  }
  int has = 0;
  raster.scale = GDALGetRasterScale(own1, &has);
  if (!has) raster.scale = 1.0;
  raster.offset = GDALGetRasterOffset(own1, &has);
  if (!has) raster.offset = 0.0;
  raster.nodata = GDALGetRasterNoDataValue(raster.band, &has);
  raster.hasNodata = has != 0;
  if (!raster.hasNodata) {
    raster.nodata = GDALGetRasterNoDataValue(own1, &has);
    raster.hasNodata = has != 0;
  }
  // A grid whose columns go once round the globe: the last column's posts meet the first's.
  raster.wraps = raster.gt[2] == 0.0 &&
                 std::fabs(std::fabs(double(raster.width) * raster.gt[1]) - 360.0) < 0.5 * std::fabs(raster.gt[1]);

  bool same = raster.width == set.columns && raster.height == set.rows && raster.warped == set.warped;
  for (int i = 0; i < 6; ++i)
    same = same && std::fabs(raster.gt[i] - set.gt[i]) <= 1e-12 * std::max(1.0, std::fabs(raster.gt[i]));
  if (!same) {
    why = format("the raster's grid (%s, %lld x %lld, geotransform %.17g %.17g %.17g %.17g %.17g %.17g) is not the "
                 "one extras.terravel.grid names (%s, %lld x %lld, geotransform %.17g %.17g %.17g %.17g %.17g %.17g)",
                 raster.warped ? "warped" : "as is", (long long)raster.width, (long long)raster.height,
                 raster.gt[0], raster.gt[1], raster.gt[2], raster.gt[3], raster.gt[4], raster.gt[5],
                 set.warped ? "warped" : "as is", (long long)set.columns, (long long)set.rows, set.gt[0],
                 set.gt[1], set.gt[2], set.gt[3], set.gt[4], set.gt[5]);
    return false;
  }
  if (raster.gt[2] != 0.0 || raster.gt[4] != 0.0 || raster.width < 2 || raster.height < 2) {
    why = "the posts' grid is rotated or smaller than one cell";
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Places on the Earth, through PROJ alone.

OGRCoordinateTransformationH transformOf(OGRSpatialReferenceH from, OGRSpatialReferenceH to,
                                         const std::string & operation = "")
{
  if (from == nullptr || to == nullptr) return nullptr;
  OGRCoordinateTransformationOptionsH options = OCTNewCoordinateTransformationOptions();
  if (!operation.empty()) OCTCoordinateTransformationOptionsSetOperation(options, operation.c_str(), FALSE);
  OGRCoordinateTransformationH transform = OCTNewCoordinateTransformationEx(from, to, options);
  OCTDestroyCoordinateTransformationOptions(options);
  return transform;
}

struct Earth {
  OGRCoordinateTransformationH toHorizontal = nullptr; // longitude, latitude to the raster's system
  OGRCoordinateTransformationH postToCentred = nullptr; // a post with its height to EPSG:4978
  OGRCoordinateTransformationH toGeodetic = nullptr;    // EPSG:4978 to 4979
  OGRCoordinateTransformationH fromGeodetic = nullptr;  // EPSG:4979 to 4978

  ~Earth(void)
  {
    for (OGRCoordinateTransformationH t : {toHorizontal, postToCentred, toGeodetic, fromGeodetic})
      if (t != nullptr) OCTDestroyCoordinateTransformation(t);
  }

  static bool run(OGRCoordinateTransformationH t, size_t n, double * x, double * y, double * z)
  {
    if (n == 0) return true;
    std::vector<int> ok(n, 0);
    if (!OCTTransformEx(t, int(n), x, y, z, ok.data())) return false;
    return std::all_of(ok.begin(), ok.end(), [](int v) { return v != 0; });
  }

  // Earth-centred x, y, z of posts at longitude, latitude (degrees) and height on the datum.
  bool place(size_t n, const double * lon, const double * lat, const double * h, double * xyz) const
  {
    std::vector<double> x(lon, lon + n), y(lat, lat + n), z(h, h + n);
    if (toHorizontal != nullptr && !run(toHorizontal, n, x.data(), y.data(), nullptr)) return false;
    if (!run(postToCentred, n, x.data(), y.data(), z.data())) return false;
    for (size_t i = 0; i < n; ++i) {
      xyz[3 * i] = x[i];
      xyz[3 * i + 1] = y[i];
      xyz[3 * i + 2] = z[i];
    }
    return true;
  }

  // Places and unit verticals (from the place at h to the place at h + 1).
  bool placeAndVertical(size_t n, const double * lon, const double * lat, const double * h, double * xyz,
                        double * up) const
  {
    std::vector<double> h1(h, h + n);
    for (double & v : h1) v += 1.0;
    std::vector<double> above(3 * n);
    if (!place(n, lon, lat, h, xyz) || !place(n, lon, lat, h1.data(), above.data())) return false;
    for (size_t i = 0; i < n; ++i) {
      double d[3];
      for (int k = 0; k < 3; ++k) d[k] = above[3 * i + k] - xyz[3 * i + k];
      const double length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
      for (int k = 0; k < 3; ++k) up[3 * i + k] = d[k] / length;
    }
    return true;
  }

  bool geodetic(size_t n, const double * xyz, double * lon, double * lat, double * h) const
  {
    for (size_t i = 0; i < n; ++i) {
      lon[i] = xyz[3 * i];
      lat[i] = xyz[3 * i + 1];
      h[i] = xyz[3 * i + 2];
    }
    return run(toGeodetic, n, lon, lat, h);
  }
};

// Longitude and latitude (a geographic system's own order: latitude first) with a height above
// the geoid of the grid file, to Earth-centred coordinates.
std::string geoidPipeline(const std::string & file)
{
  return "+proj=pipeline +step +proj=axisswap +order=2,1 +step +proj=unitconvert +xy_in=deg "
         "+xy_out=rad +step +proj=vgridshift +grids=" + file + " +multiplier=1 +step +proj=cart +ellps=WGS84";
}

bool makeEarth(const Tileset & set, const Raster & raster, Earth & earth, std::string & why)
{
  OGRSpatialReferenceH degrees = systemOf("EPSG:4326"), ellipsoid = systemOf("EPSG:4979"),
                       centred = systemOf("EPSG:4978"), geoid = systemOf("EPSG:4326+5773");
  earth.toGeodetic = transformOf(centred, ellipsoid);
  earth.fromGeodetic = transformOf(ellipsoid, centred);
  if (set.datum == "egm96") {
    earth.postToCentred = transformOf(geoid, centred);
  } else if (set.datum == "ellipsoid") {
    earth.postToCentred = transformOf(ellipsoid, centred);
  } else if (set.datum == "raster") {
    earth.postToCentred = transformOf(raster.srs, centred);
    if (raster.warped) {
      OGRSpatialReferenceH horizontal = OSRClone(raster.srs);
      OSRStripVertical(horizontal);
      OSRSetAxisMappingStrategy(horizontal, OAMS_TRADITIONAL_GIS_ORDER);
      earth.toHorizontal = transformOf(degrees, horizontal);
      OSRRelease(horizontal);
      if (earth.toHorizontal == nullptr) why = "PROJ knows no way from longitude and latitude to the raster's system";
    }
  } else {
    earth.postToCentred = transformOf(ellipsoid, centred, geoidPipeline(set.datum));
  }
  for (OGRSpatialReferenceH srs : {degrees, ellipsoid, centred, geoid})
    if (srs != nullptr) OSRRelease(srs);
  if (earth.postToCentred == nullptr && why.empty())
    why = "PROJ knows no way from the vertical datum \"" + set.datum + "\" to Earth-centred coordinates";
  if (earth.toGeodetic == nullptr || earth.fromGeodetic == nullptr)
    why = "PROJ cannot go between EPSG:4978 and EPSG:4979";
  if (!why.empty()) return false;
  // One post through the whole way, so that a missing geoid grid shows here and not per tile.
  double lon = set.gt[0] + 0.5 * set.gt[1], lat = set.gt[3] + 0.5 * set.gt[5], h = 0.0, xyz[3];
  if (!earth.place(1, &lon, &lat, &h, xyz) || !std::isfinite(xyz[0])) {
    why = "PROJ cannot place the first post with the vertical datum \"" + set.datum + "\"";
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Which tile of a level each cell falls in: by the cell's centre, west <= lon < east, south <=
// lat < north, longitudes taken into -180 .. 180.

int64_t tileColumnOf(double lon, int level)
{
  if (!std::isfinite(lon)) return -1;
  lon = std::fmod(lon, 360.0);
  if (lon >= 180.0) lon -= 360.0;
  if (lon < -180.0) lon += 360.0;
  const int64_t count = int64_t(2) << level;
  const double s = 180.0 / double(int64_t(1) << level);
  int64_t x = int64_t(std::floor((lon + 180.0) / s));
  x = std::min(std::max<int64_t>(x, 0), count - 1);
  while (x > 0 && lon < -180.0 + double(x) * s) --x;
  while (x + 1 < count && lon >= -180.0 + double(x + 1) * s) ++x;
  return x;
}

int64_t tileRowOf(double lat, int level)
{
  if (!(lat >= -90.0 && lat < 90.0)) return -1;
  const int64_t count = int64_t(1) << level;
  const double s = 180.0 / double(count);
  int64_t y = int64_t(std::floor((lat + 90.0) / s));
  y = std::min(std::max<int64_t>(y, 0), count - 1);
  while (y > 0 && lat < -90.0 + double(y) * s) --y;
  while (y + 1 < count && lat >= -90.0 + double(y + 1) * s) ++y;
  return y;
}

struct Run {
  int64_t first = 0, count = 0; // cells first .. first + count - 1 (columns may pass the last)
  bool split = false;           // the tile's cells are no single run
};

struct LevelMap {
  int level = 0;
  std::vector<int64_t> cellColumnTile, cellRowTile;
  std::unordered_map<int64_t, Run> columns, rows;
};

void addRuns(const std::vector<int64_t> & tileOf, bool circular, std::unordered_map<int64_t, Run> & runs)
{
  const int64_t n = int64_t(tileOf.size());
  if (n == 0) return;
  int64_t start = 0;
  if (circular) {
    while (start < n && tileOf[size_t(start)] == tileOf[size_t((start + n - 1) % n)]) ++start;
    if (start == n) start = 0;
  }
  for (int64_t i = 0; i < n;) {
    const int64_t tile = tileOf[size_t((start + i) % n)];
    int64_t j = i + 1;
    while (j < n && tileOf[size_t((start + j) % n)] == tile) ++j;
    if (tile >= 0) {
      auto found = runs.find(tile);
      if (found != runs.end()) found->second.split = true;
      else runs[tile] = Run{(start + i) % n, j - i, false};
    }
    i = j;
  }
}

LevelMap mapLevel(const Raster & raster, int level)
{
  LevelMap map;
  map.level = level;
  const int64_t cellColumns = raster.wraps ? raster.width : raster.width - 1;
  map.cellColumnTile.resize(size_t(cellColumns));
  for (int64_t u = 0; u < cellColumns; ++u)
    map.cellColumnTile[size_t(u)] = tileColumnOf(raster.gt[0] + double(u + 1) * raster.gt[1], level);
  map.cellRowTile.resize(size_t(raster.height - 1));
  for (int64_t v = 0; v + 1 < raster.height; ++v)
    map.cellRowTile[size_t(v)] = tileRowOf(raster.gt[3] + double(v + 1) * raster.gt[5], level);
  addRuns(map.cellColumnTile, raster.wraps, map.columns);
  addRuns(map.cellRowTile, false, map.rows);
  return map;
}

// ---------------------------------------------------------------------------------------------
// A tile's content.

struct Mesh {
  std::vector<double> xyz;       // Earth-centred, three a vertex
  std::vector<uint32_t> indices; // three a triangle
  double largestCoordinate = 0;  // of the positions as stored, about the translation
};

bool loadGlb(const std::string & file, Mesh & mesh, std::string & why)
{
  tinygltf::Model model;
  tinygltf::TinyGLTF loader;
  loader.SetImageLoader([](tinygltf::Image *, const int, std::string *, std::string *, int, int,
                           const unsigned char *, int, void *) { return true; }, nullptr);
  std::string error, warning;
  if (!loader.LoadBinaryFromFile(&model, &error, &warning, file)) {
    why = "cannot be read as GLB: " + error;
    return false;
  }
  if (model.nodes.size() != 1 || model.meshes.size() != 1 || model.meshes[0].primitives.size() != 1 ||
      model.nodes[0].mesh != 0) {
    why = "not one node with one mesh of one primitive";
    return false;
  }
  const tinygltf::Node & node = model.nodes[0];
  if (node.translation.size() != 3 || !node.rotation.empty() || !node.scale.empty() || !node.matrix.empty()) {
    why = "the node has no translation of three numbers, or more than a translation";
    return false;
  }
  const tinygltf::Primitive & primitive = model.meshes[0].primitives[0];
  if (primitive.mode != TINYGLTF_MODE_TRIANGLES && primitive.mode != -1) {
    why = "the primitive is not of triangles";
    return false;
  }
  const auto position = primitive.attributes.find("POSITION");
  if (position == primitive.attributes.end() || primitive.attributes.count("TEXCOORD_0") == 0 || primitive.indices < 0) {
    why = "POSITION, TEXCOORD_0 or the indices are missing";
    return false;
  }
  auto viewOf = [&](const tinygltf::Accessor & a, size_t element, const unsigned char *& data, size_t & stride) {
    if (a.bufferView < 0 || size_t(a.bufferView) >= model.bufferViews.size() || a.sparse.isSparse) return false;
    const tinygltf::BufferView & view = model.bufferViews[size_t(a.bufferView)];
    if (size_t(view.buffer) >= model.buffers.size()) return false;
    stride = view.byteStride != 0 ? view.byteStride : element;
    const size_t end = a.count == 0 ? 0 : a.byteOffset + (a.count - 1) * stride + element;
    if (view.byteOffset + view.byteLength > model.buffers[size_t(view.buffer)].data.size() || end > view.byteLength)
      return false;
    data = model.buffers[size_t(view.buffer)].data.data() + view.byteOffset + a.byteOffset;
    return true;
  };
  const tinygltf::Accessor & positions = model.accessors[size_t(position->second)];
  const unsigned char * data = nullptr;
  size_t stride = 0;
  if (positions.componentType != TINYGLTF_COMPONENT_TYPE_FLOAT || positions.type != TINYGLTF_TYPE_VEC3 ||
      positions.normalized || !viewOf(positions, 12, data, stride)) {
    why = "POSITION is not float32 VEC3 within its buffer";
    return false;
  }
  const double t[3] = {node.translation[0], node.translation[1], node.translation[2]};
  mesh.xyz.resize(positions.count * 3);
  for (size_t i = 0; i < positions.count; ++i) {
    float p[3];
    std::memcpy(p, data + i * stride, sizeof p);
    // glTF's y up: Earth-centred X, Y, Z are stored as x, z, -y.
    mesh.xyz[3 * i] = double(p[0]) + t[0];
    mesh.xyz[3 * i + 1] = -(double(p[2]) + t[2]);
    mesh.xyz[3 * i + 2] = double(p[1]) + t[1];
    for (const float v : p) mesh.largestCoordinate = std::max(mesh.largestCoordinate, double(std::fabs(v)));
  }
  const tinygltf::Accessor & indices = model.accessors[size_t(primitive.indices)];
  const size_t size = indices.componentType == TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT ? 2
                      : indices.componentType == TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT ? 4 : 0;
  if (size == 0 || indices.type != TINYGLTF_TYPE_SCALAR || indices.count % 3 != 0 || !viewOf(indices, size, data, stride)) {
    why = "the indices are not uint16 or uint32 scalars, three a triangle, within their buffer";
    return false;
  }
  mesh.indices.resize(indices.count);
  for (size_t i = 0; i < indices.count; ++i) {
    uint32_t v = 0;
    if (size == 2) {
      uint16_t s;
      std::memcpy(&s, data + i * stride, 2);
      v = s;
    } else {
      std::memcpy(&v, data + i * stride, 4);
    }
    if (v >= positions.count) {
      why = "an index past the vertices";
      return false;
    }
    mesh.indices[i] = v;
  }
  // The picture: a PNG inside the file, the material's base colour.
  const int material = primitive.material;
  const int texture = material >= 0 && size_t(material) < model.materials.size()
                        ? model.materials[size_t(material)].pbrMetallicRoughness.baseColorTexture.index : -1;
  const int image = texture >= 0 && size_t(texture) < model.textures.size() ? model.textures[size_t(texture)].source : -1;
  bool png = false;
  if (image >= 0 && size_t(image) < model.images.size() && model.images[size_t(image)].bufferView >= 0 &&
      model.images[size_t(image)].mimeType == "image/png") {
    const tinygltf::BufferView & view = model.bufferViews[size_t(model.images[size_t(image)].bufferView)];
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    png = view.byteLength >= 8 && size_t(view.buffer) < model.buffers.size() &&
          view.byteOffset + 8 <= model.buffers[size_t(view.buffer)].data.size() &&
          std::memcmp(model.buffers[size_t(view.buffer)].data.data() + view.byteOffset, signature, 8) == 0;
  }
  if (!png) {
    why = "the material has no embedded PNG texture";
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Lattice geometry: posts at whole numbers.

int64_t orient(int64_t ax, int64_t ay, int64_t bx, int64_t by, int64_t cx, int64_t cy)
{
  return (bx - ax) * (cy - ay) - (by - ay) * (cx - ax);
}

// The area of a triangle inside a box, by clipping it to the box's four sides.
double clippedArea(const double * tx, const double * ty, double x0, double y0, double x1, double y1)
{
  double px[16], py[16], qx[16], qy[16];
  int n = 3;
  for (int i = 0; i < 3; ++i) {
    px[i] = tx[i];
    py[i] = ty[i];
  }
  for (int side = 0; side < 4 && n > 0; ++side) {
    auto inside = [&](double x, double y) {
      return side == 0 ? x >= x0 : side == 1 ? x <= x1 : side == 2 ? y >= y0 : y <= y1;
    };
    auto cross = [&](double ax, double ay, double bx, double by, double & x, double & y) {
      const double t = side == 0 ? (x0 - ax) / (bx - ax) : side == 1 ? (x1 - ax) / (bx - ax)
                     : side == 2 ? (y0 - ay) / (by - ay) : (y1 - ay) / (by - ay);
      x = side < 2 ? (side == 0 ? x0 : x1) : ax + t * (bx - ax);
      y = side >= 2 ? (side == 2 ? y0 : y1) : ay + t * (by - ay);
    };
    int m = 0;
    for (int i = 0; i < n; ++i) {
      const int j = (i + 1) % n;
      const bool a = inside(px[i], py[i]), b = inside(px[j], py[j]);
      if (a) {
        qx[m] = px[i];
        qy[m++] = py[i];
      }
      if (a != b) {
        cross(px[i], py[i], px[j], py[j], qx[m], qy[m]);
        ++m;
      }
    }
    n = m;
    std::copy(qx, qx + n, px);
    std::copy(qy, qy + n, py);
  }
  double area = 0.0;
  for (int i = 0; i < n; ++i) {
    const int j = (i + 1) % n;
    area += px[i] * py[j] - px[j] * py[i];
  }
  return std::fabs(area) / 2.0;
}

// ---------------------------------------------------------------------------------------------
// What a level's tiles leave for the check of their borders: along each side, which cells hold
// mesh and which vertices stand on the side's posts.

struct Side {
  int64_t line = std::numeric_limits<int64_t>::min(); // post column (columns) or row (rows)
  int64_t first = 0;                                  // the along-line index of the side's first post
  std::vector<uint8_t> cells;                         // cell i between posts first + i and first + i + 1
  std::vector<std::pair<int64_t, std::array<double, 3>>> vertices;
};

struct TileSides {
  int64_t x = 0, y = 0;
  Side side[4]; // first column, last column, first row, last row of posts
};

struct LevelFigures {
  int64_t tiles = 0, posts = 0, facesDown = 0, degenerate = 0, mismatches = 0, tJunctions = 0;
  double measured = 0.0, geometric = 0.0, ratio = 0.0, offset = 0.0, offsetAllowed = 0.0;
  bool ratioSeen = false;
};

struct Context {
  const Tileset & set;
  const Raster & raster;
  const Earth & earth;
  Problems & problems;
};

// A level's budget. The finest level keeps every post, so only the rounding of its positions to
// single precision stands between its mesh and the posts: what the level's largest position
// allows (the caller's).
double budgetOf(const Tileset & set, int level, double rounding)
{
  if (level >= set.zmax) return rounding;
  return set.maxError * std::ldexp(1.0, set.zmax - 1 - level);
}

// How far single precision about a translation lets a vertex stray from its post, where the
// positions about a level's translations reach this far: within a few units in the last place,
// whichever grid of positions the level's tiles share.
double roundingOf(double largestCoordinate)
{
  return 1e-3 + std::ldexp(largestCoordinate, -20);
}

// The longitude of the post of a column the tile counts, round the globe or not.
double postLongitude(const Raster & raster, int64_t u)
{
  const int64_t column = raster.wraps ? ((u % raster.width) + raster.width) % raster.width : u;
  return raster.gt[0] + (double(column) + 0.5) * raster.gt[1];
}

std::string postName(const Raster & raster, int64_t u, int64_t v)
{
  const int64_t column = raster.wraps ? ((u % raster.width) + raster.width) % raster.width : u;
  return format("post (%lld, %lld)", (long long)column, (long long)v);
}

void checkTile(const Context & context, const TileEntry & tile, const LevelMap & map, LevelFigures & figures,
               TileSides & sides, double & largestCoordinate, double & largestOffset)
{
  const Raster & raster = context.raster;
  const Earth & earth = context.earth;
  Problems & problems = context.problems;
  const std::string name = addressOf(tile.level, tile.x, tile.y);
  ++figures.tiles;
  figures.geometric = std::max(figures.geometric, tile.error);

  Mesh mesh;
  std::string why;
  if (!loadGlb(context.set.dir + "/" + tile.uri, mesh, why)) {
    problems.add(CONTENT, name + ": " + why);
    return;
  }
  largestCoordinate = std::max(largestCoordinate, mesh.largestCoordinate);
  const size_t vertexCount = mesh.xyz.size() / 3, triangleCount = mesh.indices.size() / 3;

  // The tile's cells and posts: cells ua .. ua + nu - 1, va .. va + nv - 1; posts one more.
  const auto columnRun = map.columns.find(tile.x), rowRun = map.rows.find(tile.y);
  int64_t ua = 0, nu = 0, va = 0, nv = 0;
  if (columnRun != map.columns.end() && rowRun != map.rows.end()) {
    if (columnRun->second.split || rowRun->second.split) {
      problems.add(LATTICE, name + ": the tile's cells are no single block of the raster's grid");
      return;
    }
    ua = columnRun->second.first;
    nu = columnRun->second.count;
    va = rowRun->second.first;
    nv = rowRun->second.count;
  }
  const int64_t nA = nu + 1, nB = nv + 1;

  // Vertices on the ellipsoid, in the region, on the lattice.
  std::vector<double> lon(vertexCount), lat(vertexCount), h(vertexCount);
  if (!earth.geodetic(vertexCount, mesh.xyz.data(), lon.data(), lat.data(), h.data())) {
    problems.add(CONTENT, name + ": PROJ cannot take a vertex to the ellipsoid");
    return;
  }
  double west, south, east, north;
  boundsOf(tile.level, tile.x, tile.y, west, south, east, north);
  const double centre = (west + east) / 2.0 * degree;
  auto near = [&](double radians) {
    while (radians > centre + M_PI) radians -= 2 * M_PI;
    while (radians < centre - M_PI) radians += 2 * M_PI;
    return radians;
  };
  const double * region = tile.region;
  const double rw = near(region[0]), re = near(region[2]);
  if (tile.hasRegion) {
    const double px = std::fabs(raster.gt[1]) * degree, py = std::fabs(raster.gt[5]) * degree, slack = 1e-9;
    if (re < rw || region[3] < region[1] || region[5] < region[4])
      problems.add(REGION, name + ": the region is inverted");
    if (rw < west * degree - px - slack || re > east * degree + px + slack || region[1] < south * degree - py - slack ||
        region[3] > north * degree + py + slack)
      problems.add(REGION, format("%s: the region (%.9f .. %.9f E, %.9f .. %.9f N) reaches past the tile's bounds and "
                                  "one post", name.c_str(), rw / degree, re / degree, region[1] / degree, region[3] / degree));
  }
  int64_t outsideRegion = 0, offLattice = 0;
  std::vector<int64_t> va_(vertexCount), vb_(vertexCount); // lattice coordinates about the tile's first post
  std::vector<size_t> doubtful; // beyond the slack on the lattice, perhaps within single precision
  std::vector<double> doubtfulPlace;
  for (size_t i = 0; i < vertexCount; ++i) {
    const double r = (lat[i] - raster.gt[3]) / raster.gt[5] - 0.5;
    const int64_t row = int64_t(std::llround(r));
    const double l = near(lon[i] * degree);
    if (tile.hasRegion && (l < rw - 1e-9 || l > re + 1e-9 || lat[i] * degree < region[1] - 1e-9 ||
                           lat[i] * degree > region[3] + 1e-9 || h[i] < region[4] - 1e-3 || h[i] > region[5] + 1e-3)) {
      if (outsideRegion++ == 0)
        problems.add(REGION, format("%s: vertex %zu at %.9f E, %.9f N, %.4f m lies outside the region", name.c_str(), i,
                                    lon[i], lat[i], h[i]));
    }
    // The column: the longitude taken round the globe to where the raster counts it.
    double c = (lon[i] - raster.gt[0]) / raster.gt[1] - 0.5, best = c;
    for (const double turn : {0.0, 360.0, -360.0}) {
      const double t = (lon[i] + turn - raster.gt[0]) / raster.gt[1] - 0.5;
      auto away = [&](double v) { return v < -0.5 ? -0.5 - v : v >= double(raster.width) - 0.5 ? v - double(raster.width) + 0.5 : 0.0; };
      if (away(t) < away(best)) best = t;
    }
    c = best;
    const int64_t column = int64_t(std::llround(c));
    const double off = std::max(std::fabs(c - double(column)), std::fabs(r - double(row)));
    if (column < 0 || column >= raster.width || row < 0 || row >= raster.height) {
      if (offLattice++ < 3)
        problems.add(LATTICE, format("%s: vertex %zu at %.9f E, %.9f N lies beyond the raster", name.c_str(), i, lon[i], lat[i]));
      else
        ++problems.counts[LATTICE];
    } else if (off > latticeSlack) {
      doubtful.push_back(i);
      doubtfulPlace.insert(doubtfulPlace.end(), {postLongitude(raster, column), raster.gt[3] + (double(row) + 0.5) * raster.gt[5], h[i]});
    }
    // The post's column as the tile counts it: round the globe to the tile's own columns.
    int64_t u = column;
    if (raster.wraps) {
      int64_t bestU = u, bestAway = std::numeric_limits<int64_t>::max();
      for (const int64_t turns : {-1, 0, 1, 2}) {
        const int64_t candidate = column + turns * raster.width;
        const int64_t away = candidate < ua ? ua - candidate : candidate > ua + nu ? candidate - ua - nu : 0;
        if (away < bestAway) {
          bestAway = away;
          bestU = candidate;
        }
      }
      u = bestU;
    }
    va_[i] = u - ua;
    vb_[i] = row - va;
  }
  if (outsideRegion > 1) problems.counts[REGION] += outsideRegion - 1;
  // Vertices a little off their posts on the lattice: fine where single precision about the tile's
  // translation cannot place them closer (near the poles, posts of a row stand close together).
  if (!doubtful.empty()) {
    const size_t n = doubtful.size();
    std::vector<double> x(n), y(n), z(n);
    for (size_t j = 0; j < n; ++j) {
      x[j] = doubtfulPlace[3 * j];
      y[j] = doubtfulPlace[3 * j + 1];
      z[j] = doubtfulPlace[3 * j + 2];
    }
    if (!Earth::run(earth.fromGeodetic, n, x.data(), y.data(), z.data())) {
      problems.add(CONTENT, name + ": PROJ cannot place a post");
      return;
    }
    for (size_t j = 0; j < n; ++j) {
      const size_t i = doubtful[j];
      const double * v = &mesh.xyz[3 * i];
      const double d = std::sqrt((v[0] - x[j]) * (v[0] - x[j]) + (v[1] - y[j]) * (v[1] - y[j]) + (v[2] - z[j]) * (v[2] - z[j]));
      if (d <= roundingOf(mesh.largestCoordinate)) continue;
      if (offLattice++ < 3)
        problems.add(LATTICE, format("%s: vertex %zu at %.9f E, %.9f N lies %.3g m from the nearest post (%s)", name.c_str(), i,
                                     lon[i], lat[i], d, postName(raster, ua + va_[i], va + vb_[i]).c_str()));
      else
        ++problems.counts[LATTICE];
    }
  }

  // Triangles: without area on the lattice or in space, facing down on the Earth, reaching past
  // the tile's cells.
  std::vector<uint8_t> usable(triangleCount, 0);
  std::vector<double> centroid(3 * triangleCount), normal(3 * triangleCount);
  int64_t beyond = 0;
  const auto degenerate = [&](size_t t, const char * where) {
    if (figures.degenerate++ < 3)
      problems.add(DEGENERATE, format("%s: triangle %zu has no area %s", name.c_str(), t, where));
    else
      ++problems.counts[DEGENERATE];
  };
  for (size_t t = 0; t < triangleCount; ++t) {
    const uint32_t * k = &mesh.indices[3 * t];
    const int64_t area2 = orient(va_[k[0]], vb_[k[0]], va_[k[1]], vb_[k[1]], va_[k[2]], vb_[k[2]]);
    if (area2 == 0) {
      degenerate(t, "on the lattice");
      continue;
    }
    const double * p0 = &mesh.xyz[3 * k[0]], * p1 = &mesh.xyz[3 * k[1]], * p2 = &mesh.xyz[3 * k[2]];
    double e1[3], e2[3], e3[3];
    for (int j = 0; j < 3; ++j) {
      e1[j] = p1[j] - p0[j];
      e2[j] = p2[j] - p0[j];
      e3[j] = p2[j] - p1[j];
      centroid[3 * t + j] = (p0[j] + p1[j] + p2[j]) / 3.0;
    }
    double * n = &normal[3 * t];
    n[0] = e1[1] * e2[2] - e1[2] * e2[1];
    n[1] = e1[2] * e2[0] - e1[0] * e2[2];
    n[2] = e1[0] * e2[1] - e1[1] * e2[0];
    auto sq = [](const double * e) { return e[0] * e[0] + e[1] * e[1] + e[2] * e[2]; };
    if (std::sqrt(sq(n)) <= 1e-12 * std::max({sq(e1), sq(e2), sq(e3)})) {
      degenerate(t, "in space");
      continue;
    }
    usable[t] = 1;
    const double tx[3] = {double(va_[k[0]]), double(va_[k[1]]), double(va_[k[2]])};
    const double ty[3] = {double(vb_[k[0]]), double(vb_[k[1]]), double(vb_[k[2]])};
    const double inside = nu > 0 && nv > 0 ? clippedArea(tx, ty, 0, 0, double(nu), double(nv)) : 0.0;
    if (double(std::llabs(area2)) / 2.0 - inside > 1e-6) {
      if (beyond++ == 0)
        problems.add(COVER, format("%s: triangle %zu reaches past the tile's cells", name.c_str(), t));
      else
        ++problems.counts[COVER];
    }
  }
  {
    // The vertical at a centroid: from it to the place one metre above it on the ellipsoid.
    std::vector<double> cl(triangleCount), ct(triangleCount), ch(triangleCount);
    if (!earth.geodetic(triangleCount, centroid.data(), cl.data(), ct.data(), ch.data())) {
      problems.add(CONTENT, name + ": PROJ cannot take a triangle's centroid to the ellipsoid");
      return;
    }
    for (double & v : ch) v += 1.0;
    if (!Earth::run(earth.fromGeodetic, triangleCount, cl.data(), ct.data(), ch.data())) {
      problems.add(CONTENT, name + ": PROJ cannot find the vertical at a centroid");
      return;
    }
    for (size_t t = 0; t < triangleCount; ++t) {
      if (!usable[t]) continue;
      const double up[3] = {cl[t] - centroid[3 * t], ct[t] - centroid[3 * t + 1], ch[t] - centroid[3 * t + 2]};
      const double d = normal[3 * t] * up[0] + normal[3 * t + 1] * up[1] + normal[3 * t + 2] * up[2];
      if (d < 0.0) {
        if (figures.facesDown++ < 3)
          problems.add(FACES, format("%s: triangle %zu faces down (%.3f degrees from the vertical, %s)", name.c_str(), t,
                                     std::acos(std::max(-1.0, d / std::sqrt((normal[3 * t] * normal[3 * t] + normal[3 * t + 1] * normal[3 * t + 1] +
                                                                             normal[3 * t + 2] * normal[3 * t + 2]) * (up[0] * up[0] + up[1] * up[1] + up[2] * up[2])))) / degree,
                                     postName(raster, ua + va_[mesh.indices[3 * t]], va + vb_[mesh.indices[3 * t]]).c_str()));
        else
          ++problems.counts[FACES];
      }
    }
  }

  // Buckets of triangles over the tile's posts.
  const int64_t bucket = std::max<int64_t>(1, int64_t(std::sqrt(double(nA) * double(nB) / double(std::max<size_t>(triangleCount, 1)))));
  const int64_t gx = (nA - 1) / bucket + 1, gy = (nB - 1) / bucket + 1;
  std::vector<uint32_t> bucketStart(size_t(gx * gy + 1), 0), bucketTriangles;
  {
    auto range = [&](size_t t, int64_t & x0, int64_t & x1, int64_t & y0, int64_t & y1) {
      const uint32_t * k = &mesh.indices[3 * t];
      x0 = std::max<int64_t>(0, std::min({va_[k[0]], va_[k[1]], va_[k[2]]})) / bucket;
      x1 = std::min<int64_t>(nA - 1, std::max({va_[k[0]], va_[k[1]], va_[k[2]]})) / bucket;
      y0 = std::max<int64_t>(0, std::min({vb_[k[0]], vb_[k[1]], vb_[k[2]]})) / bucket;
      y1 = std::min<int64_t>(nB - 1, std::max({vb_[k[0]], vb_[k[1]], vb_[k[2]]})) / bucket;
    };
    for (int pass = 0; pass < 2; ++pass) {
      std::vector<uint32_t> fill;
      if (pass == 1) {
        for (size_t b = 1; b < bucketStart.size(); ++b) bucketStart[b] += bucketStart[b - 1];
        bucketTriangles.resize(bucketStart.back());
        fill.assign(bucketStart.begin(), bucketStart.end() - 1);
      }
      for (size_t t = 0; t < triangleCount; ++t) {
        if (!usable[t]) continue;
        int64_t x0, x1, y0, y1;
        range(t, x0, x1, y0, y1);
        for (int64_t y = y0; y <= y1; ++y)
          for (int64_t x = x0; x <= x1; ++x) {
            if (pass == 0) ++bucketStart[size_t(y * gx + x + 1)];
            else bucketTriangles[fill[size_t(y * gx + x)]++] = uint32_t(t);
          }
      }
    }
  }
  auto holds = [&](size_t t, int64_t a, int64_t b) {
    const uint32_t * k = &mesh.indices[3 * t];
    const int64_t d0 = orient(va_[k[0]], vb_[k[0]], va_[k[1]], vb_[k[1]], a, b);
    const int64_t d1 = orient(va_[k[1]], vb_[k[1]], va_[k[2]], vb_[k[2]], a, b);
    const int64_t d2 = orient(va_[k[2]], vb_[k[2]], va_[k[0]], vb_[k[0]], a, b);
    return (d0 >= 0 && d1 >= 0 && d2 >= 0) || (d0 <= 0 && d1 <= 0 && d2 <= 0);
  };

  // The sides, for the borders.
  for (int s = 0; s < 4; ++s) {
    Side & side = sides.side[s];
    const bool column = s < 2;
    const int64_t u = s == 0 ? ua : ua + nu, v = s == 2 ? va : va + nv;
    side.line = column ? (raster.wraps ? ((u % raster.width) + raster.width) % raster.width : u) : v;
    side.first = column ? va : ua;
    side.cells.assign(size_t(column ? nv : nu), 0);
  }
  sides.x = tile.x;
  sides.y = tile.y;
  for (size_t i = 0; i < vertexCount; ++i) {
    const std::array<double, 3> p = {mesh.xyz[3 * i], mesh.xyz[3 * i + 1], mesh.xyz[3 * i + 2]};
    const bool inRows = vb_[i] >= 0 && vb_[i] < nB, inColumns = va_[i] >= 0 && va_[i] < nA;
    if (inRows && va_[i] == 0) sides.side[0].vertices.push_back({va + vb_[i], p});
    if (inRows && va_[i] == nu) sides.side[1].vertices.push_back({va + vb_[i], p});
    if (inColumns && vb_[i] == 0) sides.side[2].vertices.push_back({ua + va_[i], p});
    if (inColumns && vb_[i] == nv) sides.side[3].vertices.push_back({ua + va_[i], p});
  }

  // Strips of post rows: heights read, cells covered, errors measured.
  std::vector<double> vertexHeight(vertexCount, noPost);
  std::vector<uint8_t> vertexDone(vertexCount, 0);
  std::vector<uint32_t> stamp(triangleCount, 0);
  uint32_t stripNumber = 0;
  double measured = 0.0;
  int64_t uncovered = 0, miscovered = 0, posts = 0;
  const int64_t rowsPerStrip = std::max<int64_t>(1, stripPosts / std::max<int64_t>(nA, 1));
  std::vector<double> heights, cover;
  for (int64_t p0 = 0; p0 < nB && nu > 0 && nv > 0; p0 += rowsPerStrip) {
    const int64_t p1 = std::min(nB, p0 + rowsPerStrip);
    const int64_t h0 = std::max<int64_t>(0, p0 - 1), h1 = std::min(nB, p1 + 1); // post rows read
    if (!raster.read(ua, nA, va + h0, h1 - h0, heights)) {
      problems.add(CONTENT, name + ": GDAL cannot read the tile's posts");
      return;
    }
    auto height = [&](int64_t a, int64_t b) { return heights[size_t((b - h0) * nA + a)]; };
    auto valid = [&](int64_t a, int64_t b) { // cell a, b of the tile
      return a >= 0 && b >= 0 && a < nu && b < nv && !std::isnan(height(a, b)) && !std::isnan(height(a + 1, b)) &&
             !std::isnan(height(a, b + 1)) && !std::isnan(height(a + 1, b + 1));
    };
    // Coverage of the strip's cells, rows p0 .. c1 - 1.
    const int64_t c1 = std::min(p1, nv);
    ++stripNumber;
    cover.assign(size_t(nu * std::max<int64_t>(c1 - p0, 0)), 0.0);
    for (int64_t by = p0 / bucket; by <= std::max(p0, c1) / bucket && by < gy; ++by)
      for (int64_t bx = 0; bx < gx; ++bx)
        for (uint32_t i = bucketStart[size_t(by * gx + bx)]; i < bucketStart[size_t(by * gx + bx + 1)]; ++i) {
          const uint32_t t = bucketTriangles[i];
          if (stamp[t] == stripNumber) continue;
          stamp[t] = stripNumber;
          const uint32_t * k = &mesh.indices[3 * t];
          const int64_t ax[3] = {va_[k[0]], va_[k[1]], va_[k[2]]}, ay[3] = {vb_[k[0]], vb_[k[1]], vb_[k[2]]};
          const int64_t sign = orient(ax[0], ay[0], ax[1], ay[1], ax[2], ay[2]) > 0 ? 1 : -1;
          const int64_t x0 = std::max<int64_t>(0, std::min({ax[0], ax[1], ax[2]}));
          const int64_t x1 = std::min<int64_t>(nu, std::max({ax[0], ax[1], ax[2]}));
          const int64_t y0 = std::max<int64_t>(p0, std::min({ay[0], ay[1], ay[2]}));
          const int64_t y1 = std::min<int64_t>(c1, std::max({ay[0], ay[1], ay[2]}));
          const double tx[3] = {double(ax[0]), double(ax[1]), double(ax[2])};
          const double ty[3] = {double(ay[0]), double(ay[1]), double(ay[2])};
          for (int64_t y = y0; y < y1; ++y)
            for (int64_t x = x0; x < x1; ++x) {
              int inside = 0;
              bool apart = false;
              for (int e = 0; e < 3 && !apart; ++e) {
                const int f = (e + 1) % 3;
                int outside = 0;
                for (int corner = 0; corner < 4; ++corner) {
                  const int64_t d = sign * orient(ax[e], ay[e], ax[f], ay[f], x + (corner & 1), y + (corner >> 1));
                  if (d <= 0) ++outside;
                }
                if (outside == 4) apart = true;
              }
              if (apart) continue;
              for (int corner = 0; corner < 4; ++corner) {
                bool in = true;
                for (int e = 0; e < 3 && in; ++e)
                  in = sign * orient(ax[e], ay[e], ax[(e + 1) % 3], ay[(e + 1) % 3], x + (corner & 1), y + (corner >> 1)) >= 0;
                inside += in;
              }
              cover[size_t((y - p0) * nu + x)] +=
                inside == 4 ? 1.0 : clippedArea(tx, ty, double(x), double(y), double(x + 1), double(y + 1));
            }
        }
    for (int64_t y = p0; y < c1; ++y)
      for (int64_t x = 0; x < nu; ++x) {
        const double c = cover[size_t((y - p0) * nu + x)];
        const bool ok = valid(x, y) ? std::fabs(c - 1.0) <= 1e-6 : c <= 1e-6;
        if (ok) continue;
        if (miscovered++ < 3)
          problems.add(COVER, format("%s: cell at %s (%s) covered %.6g times", name.c_str(),
                                     postName(raster, ua + x, va + y).c_str(), valid(x, y) ? "valid" : "nodata", c));
        else
          ++problems.counts[COVER];
      }
    // Along the sides, where the tile has mesh: the cells next to them that triangles cover.
    auto meshed = [&](int64_t x, int64_t y) { return cover[size_t((y - p0) * nu + x)] > 0.5; };
    for (int s = 0; s < 4; ++s) {
      Side & side = sides.side[s];
      for (int64_t y = p0; y < c1; ++y) {
        if (s == 0) side.cells[size_t(y)] = meshed(0, y);
        if (s == 1) side.cells[size_t(y)] = meshed(nu - 1, y);
      }
      if (s == 2 && p0 == 0)
        for (int64_t x = 0; x < nu; ++x) side.cells[size_t(x)] = meshed(x, 0);
      if (s == 3 && p0 <= nv - 1 && nv - 1 < c1)
        for (int64_t x = 0; x < nu; ++x) side.cells[size_t(x)] = meshed(x, nv - 1);
    }

    // The footprint's posts of the strip, rows p0 .. p1 - 1.
    std::vector<int64_t> pa, pb;
    std::vector<double> plon, plat, ph;
    std::vector<int32_t> slot(size_t((p1 - p0) * nA), -1);
    for (int64_t b = p0; b < p1; ++b)
      for (int64_t a = 0; a < nA; ++a) {
        if (!valid(a - 1, b - 1) && !valid(a, b - 1) && !valid(a - 1, b) && !valid(a, b)) continue;
        slot[size_t((b - p0) * nA + a)] = int32_t(pa.size());
        pa.push_back(a);
        pb.push_back(b);
        plon.push_back(postLongitude(raster, ua + a));
        plat.push_back(raster.gt[3] + (double(va + b) + 0.5) * raster.gt[5]);
        ph.push_back(height(a, b));
      }
    std::vector<double> place(3 * pa.size()), up(3 * pa.size());
    if (!earth.placeAndVertical(pa.size(), plon.data(), plat.data(), ph.data(), place.data(), up.data())) {
      problems.add(CONTENT, name + ": PROJ cannot place the tile's posts");
      return;
    }
    posts += int64_t(pa.size());
    // Vertices on the footprint's posts against their places; those on other posts later.
    for (size_t i = 0; i < vertexCount; ++i) {
      if (vb_[i] < p0 || vb_[i] >= p1 || va_[i] < 0 || va_[i] >= nA) continue;
      const int32_t j = slot[size_t((vb_[i] - p0) * nA + va_[i])];
      if (j < 0) {
        vertexHeight[i] = height(va_[i], vb_[i]);
        continue;
      }
      vertexDone[i] = 1;
      double d2 = 0.0;
      for (int k = 0; k < 3; ++k) {
        const double d = mesh.xyz[3 * i + size_t(k)] - place[3 * size_t(j) + size_t(k)];
        d2 += d * d;
      }
      largestOffset = std::max(largestOffset, std::sqrt(d2));
    }
    for (size_t i = 0; i < pa.size(); ++i) {
      const int64_t a = pa[i], b = pb[i];
      const size_t at = size_t((b / bucket) * gx + a / bucket);
      const double * p = &place[3 * i], * n = &up[3 * i];
      bool held = false;
      for (uint32_t j = bucketStart[at]; j < bucketStart[at + 1]; ++j) {
        const uint32_t t = bucketTriangles[j];
        if (!holds(t, a, b)) continue;
        held = true;
        const double * q0 = &mesh.xyz[3 * mesh.indices[3 * t]], * m = &normal[3 * t];
        const double along = m[0] * n[0] + m[1] * n[1] + m[2] * n[2];
        const double gap = m[0] * (q0[0] - p[0]) + m[1] * (q0[1] - p[1]) + m[2] * (q0[2] - p[2]);
        measured = std::max(measured, along == 0.0 ? std::numeric_limits<double>::infinity() : std::fabs(gap / along));
      }
      if (!held) {
        if (uncovered++ < 3)
          problems.add(COVER, format("%s: %s lies in no triangle", name.c_str(), postName(raster, ua + a, va + b).c_str()));
        else
          ++problems.counts[COVER];
      }
    }
  }
  figures.posts += posts;
  figures.measured = std::max(figures.measured, measured);
  if (tile.error > 0.0) {
    figures.ratio = std::max(figures.ratio, measured / tile.error);
    figures.ratioSeen = true;
  }
  if (measured > tile.error * (1 + 1e-9) + 1e-6)
    problems.add(ERROR, format("%s: measured error %.6g m above its geometricError %.6g m", name.c_str(), measured, tile.error));

  // The other vertices against their posts' places.
  std::vector<double> qlon, qlat, qh;
  std::vector<size_t> which;
  int64_t noPosts = 0;
  for (size_t i = 0; i < vertexCount; ++i) {
    if (vertexDone[i] || va_[i] < 0 || va_[i] >= nA || vb_[i] < 0 || vb_[i] >= nB) continue; // reported as reaching past
    if (std::isnan(vertexHeight[i])) {
      if (noPosts++ == 0) problems.add(LATTICE, format("%s: vertex %zu stands on a nodata post", name.c_str(), i));
      else ++problems.counts[LATTICE];
      continue;
    }
    which.push_back(i);
    qlon.push_back(postLongitude(raster, ua + va_[i]));
    qlat.push_back(raster.gt[3] + (double(va + vb_[i]) + 0.5) * raster.gt[5]);
    qh.push_back(vertexHeight[i]);
  }
  std::vector<double> truePlace(3 * which.size());
  if (!earth.place(which.size(), qlon.data(), qlat.data(), qh.data(), truePlace.data())) {
    problems.add(CONTENT, name + ": PROJ cannot place the vertices' posts");
    return;
  }
  for (size_t j = 0; j < which.size(); ++j) {
    double d2 = 0.0;
    for (int k = 0; k < 3; ++k) {
      const double d = mesh.xyz[3 * which[j] + k] - truePlace[3 * j + k];
      d2 += d * d;
    }
    largestOffset = std::max(largestOffset, std::sqrt(d2));
  }
}

// Neighbours of a level on the line they share: where both have mesh along it, the same
// vertices at bit for bit the same places.
void checkBorder(const Raster & raster, bool columnSides, const Side & a, const Side & b, const std::string & names,
                 LevelFigures & figures, Problems & problems)
{
  if (a.line != b.line || a.first != b.first || a.cells.size() != b.cells.size()) return;
  const size_t n = a.cells.size();
  std::map<int64_t, std::pair<std::vector<std::array<double, 3>>, std::vector<std::array<double, 3>>>> at;
  for (const auto & v : a.vertices) at[v.first].first.push_back(v.second);
  for (const auto & v : b.vertices) at[v.first].second.push_back(v.second);
  auto shared = [&](int64_t cell) { return cell >= 0 && size_t(cell) < n && a.cells[size_t(cell)] && b.cells[size_t(cell)]; };
  for (const auto & post : at) {
    const int64_t i = post.first - a.first;
    if (!shared(i - 1) && !shared(i)) continue;
    const auto & mine = post.second.first, & theirs = post.second.second;
    const std::string where = columnSides ? postName(raster, a.line, post.first) : postName(raster, post.first, a.line);
    if (mine.empty() || theirs.empty()) {
      if (figures.tJunctions++ < 3)
        problems.add(BORDER, format("%s: a vertex at %s on one side only (T-junction)", names.c_str(), where.c_str()));
      else
        ++problems.counts[BORDER];
      continue;
    }
    bool same = false;
    for (const auto & p : mine)
      for (const auto & q : theirs) same = same || std::memcmp(p.data(), q.data(), sizeof(double) * 3) == 0;
    if (!same) {
      const auto & p = mine[0], & q = theirs[0];
      const double d = std::sqrt((p[0] - q[0]) * (p[0] - q[0]) + (p[1] - q[1]) * (p[1] - q[1]) + (p[2] - q[2]) * (p[2] - q[2]));
      if (figures.mismatches++ < 3)
        problems.add(BORDER, format("%s: the vertices at %s differ by %.3g m", names.c_str(), where.c_str(), d));
      else
        ++problems.counts[BORDER];
    }
  }
}

// Which tiles of the finest level hold valid cells, from one pass over the raster.
bool tilesWithCells(const Raster & raster, const LevelMap & map, std::unordered_set<uint64_t> & keys)
{
  const int64_t cellColumns = int64_t(map.cellColumnTile.size());
  const int64_t rowsPerStrip = std::max<int64_t>(2, stripPosts / raster.width);
  std::vector<double> heights;
  for (int64_t v0 = 0; v0 + 1 < raster.height; v0 += rowsPerStrip - 1) {
    const int64_t n = std::min(rowsPerStrip, raster.height - v0);
    if (!raster.read(0, cellColumns + 1, v0, n, heights)) return false;
    const int64_t w = cellColumns + 1;
    for (int64_t r = 0; r + 1 < n; ++r) {
      const int64_t y = map.cellRowTile[size_t(v0 + r)];
      if (y < 0) continue;
      for (int64_t u = 0; u < cellColumns; ++u) {
        const int64_t x = map.cellColumnTile[size_t(u)];
        if (x < 0 || std::isnan(heights[size_t(r * w + u)]) || std::isnan(heights[size_t(r * w + u + 1)]) ||
            std::isnan(heights[size_t((r + 1) * w + u)]) || std::isnan(heights[size_t((r + 1) * w + u + 1)]))
          continue;
        keys.insert(keyOf(x, y));
      }
    }
    if (v0 + n >= raster.height) break;
  }
  return true;
}

struct Options {
  std::string tileset, raster;
  int64_t maxTiles = 0;
  size_t shown = 20; // problems listed
  bool quiet = false;
};

// The whole check; 0 passed, 1 failed, 2 could not be made.
int check(const Options & options, Problems & problems)
{
  Tileset set;
  std::string why;
  if (!readTileset(options.tileset, set, problems, why)) {
    std::fprintf(stderr, "check_tiles: %s\n", why.c_str());
    return 2;
  }
  std::string rasterPath = options.raster.empty() ? set.source : options.raster;
  struct stat info;
  if (options.raster.empty() && !rasterPath.empty() && rasterPath[0] != '/' && stat(rasterPath.c_str(), &info) != 0)
    rasterPath = set.dir + "/" + rasterPath;
  Raster raster;
  Earth earth;
  if (!openRaster(rasterPath, set, raster, why) || !makeEarth(set, raster, earth, why)) {
    std::fprintf(stderr, "check_tiles: %s\n", why.c_str());
    return 2;
  }
  checkTree(set, problems);
  Context context{set, raster, earth, problems};

  // Tiles by level, in address order.
  std::vector<std::vector<size_t>> byLevel(size_t(set.zmax + 1));
  for (size_t i = 0; i < set.tiles.size(); ++i) {
    const TileEntry & t = set.tiles[i];
    if (t.addressed && t.level >= set.zmin && t.level <= set.zmax) byLevel[size_t(t.level)].push_back(i);
  }
  for (auto & list : byLevel)
    std::sort(list.begin(), list.end(), [&](size_t a, size_t b) {
      const TileEntry & p = set.tiles[a], & q = set.tiles[b];
      return p.y != q.y ? p.y < q.y : p.x < q.x;
    });

  // Every tile that holds valid cells is there, at every level.
  {
    std::unordered_set<uint64_t> finest;
    if (!tilesWithCells(raster, mapLevel(raster, set.zmax), finest)) {
      std::fprintf(stderr, "check_tiles: GDAL cannot read the raster\n");
      return 2;
    }
    for (int z = set.zmin; z <= set.zmax; ++z) {
      std::unordered_set<uint64_t> present, expected;
      for (const size_t i : byLevel[size_t(z)]) present.insert(keyOf(set.tiles[i].x, set.tiles[i].y));
      const int shift = set.zmax - z;
      for (const uint64_t key : finest) expected.insert(keyOf(int64_t(key >> 32) >> shift, int64_t(key & 0xffffffffu) >> shift));
      std::vector<uint64_t> missing;
      for (const uint64_t key : expected)
        if (!present.count(key)) missing.push_back(key);
      std::sort(missing.begin(), missing.end());
      for (const uint64_t key : missing)
        problems.add(COVER, addressOf(z, int64_t(key >> 32), int64_t(key & 0xffffffffu)) + ": holds valid cells but is not in the tileset");
    }
  }

  int64_t borderChecks = 0;
  for (int z = set.zmin; z <= set.zmax; ++z) {
    std::vector<size_t> tiles = byLevel[size_t(z)];
    if (options.maxTiles > 0 && int64_t(tiles.size()) > options.maxTiles) {
      // A run from the middle, so that neighbours are among them.
      const size_t start = (tiles.size() - size_t(options.maxTiles)) / 2;
      tiles = std::vector<size_t>(tiles.begin() + long(start), tiles.begin() + long(start + size_t(options.maxTiles)));
    }
    const LevelMap map = mapLevel(raster, z);
    LevelFigures figures;
    std::unordered_map<uint64_t, TileSides> sides;
    double largestCoordinate = 0.0;
    std::vector<std::pair<double, size_t>> offsets; // each tile's largest
    for (const size_t i : tiles) {
      TileSides tileSides;
      double offset = 0.0;
      checkTile(context, set.tiles[i], map, figures, tileSides, largestCoordinate, offset);
      sides[keyOf(set.tiles[i].x, set.tiles[i].y)] = std::move(tileSides);
      offsets.push_back({offset, i});
      figures.offset = std::max(figures.offset, offset);
    }
    // Budgets, and offsets beyond what single precision about the level's translations allows.
    figures.offsetAllowed = roundingOf(largestCoordinate);
    const double budget = budgetOf(set, z, figures.offsetAllowed);
    for (const auto & o : offsets) {
      const TileEntry & tile = set.tiles[o.second];
      const std::string name = addressOf(tile.level, tile.x, tile.y);
      if (tile.error > budget * (1 + 1e-9))
        problems.add(BUDGET, format("%s: geometricError %.6g m above its level's budget %.6g m", name.c_str(),
                                    tile.error, budget));
      if (o.first > figures.offsetAllowed)
        problems.add(OFFSET, format("%s: a vertex stands %.3g m from its post, more than single precision about the "
                                    "level's translations allows (%.3g m)", name.c_str(), o.first, figures.offsetAllowed));
    }
    const int64_t columns = int64_t(2) << z;
    for (const auto & entry : sides) {
      const TileSides & a = entry.second;
      const auto east = sides.find(keyOf((a.x + 1) % columns, a.y));
      if (east != sides.end() && east->second.x != a.x) {
        const std::string names = addressOf(z, a.x, a.y) + " | " + addressOf(z, east->second.x, a.y);
        for (const auto & pair : {std::make_pair(1, 0), std::make_pair(0, 1)})
          checkBorder(raster, true, a.side[pair.first], east->second.side[pair.second], names, figures, problems);
        ++borderChecks;
      }
      const auto north = sides.find(keyOf(a.x, a.y + 1));
      if (north != sides.end()) {
        const std::string names = addressOf(z, a.x, a.y) + " | " + addressOf(z, a.x, a.y + 1);
        for (const auto & pair : {std::make_pair(2, 3), std::make_pair(3, 2)})
          checkBorder(raster, false, a.side[pair.first], north->second.side[pair.second], names, figures, problems);
        ++borderChecks;
      }
    }
    if (!options.quiet) {
      const std::string ratio = figures.ratioSeen ? format("%.4f", figures.ratio) : std::string("-");
      std::printf("level %d: %lld tiles, %lld posts, largest error %.4g m, largest geometricError %.4g m (budget %.4g m), "
                  "largest error/geometricError %s, faces down %lld, degenerate %lld, border mismatches %lld "
                  "(T-junctions %lld), largest vertex offset %.3g m\n",
                  z, (long long)figures.tiles, (long long)figures.posts, figures.measured, figures.geometric, budget,
                  ratio.c_str(), (long long)figures.facesDown, (long long)figures.degenerate,
                  (long long)figures.mismatches, (long long)figures.tJunctions, figures.offset);
    }
    std::fflush(stdout);
  }
  if (!options.quiet) {
    std::printf("%lld pairs of neighbours compared\n", (long long)borderChecks);
    for (const std::string & what : problems.shown) std::printf("  %s\n", what.c_str());
    if (problems.total() > int64_t(problems.shown.size()))
      std::printf("  ... and %lld more\n", (long long)(problems.total() - int64_t(problems.shown.size())));
    if (problems.total() == 0) {
      std::printf("check: PASS\n");
    } else {
      std::string kinds;
      for (int k = 0; k < KINDS; ++k)
        if (problems.counts[size_t(k)] > 0)
          kinds += format("%s%s %lld", kinds.empty() ? "" : ", ", kindNames[k], (long long)problems.counts[size_t(k)]);
      std::printf("check: FAIL (%lld problems: %s)\n", (long long)problems.total(), kinds.c_str());
    }
  }
  return problems.total() == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------------------------
// The self-test: a small raster with a hole of nodata (or a coarse one of the whole globe), its
// tiles written at full resolution with every position on a grid of a power of two that the
// level's translations share, so that neighbours agree bit for bit; it must pass, and each of a
// few spoilt copies must fail for its own reason.

enum Spoil { NONE, LIFT, DROP, FLIP, OVER_BUDGET, SHRINK, NUDGE_BORDER, MESH_POLES, SPOILS };

bool writeSample(const std::string & dir, Spoil spoil, bool global, std::string & raster)
{
  // The globe in 5 degree posts from pole to pole, its last column's cells meeting the first column.
  const int width = global ? 72 : 61, height = global ? 37 : 51;
  const double regional[6] = {10.985, 0.01, 0.0, 46.005, 0.0, -0.01}, whole[6] = {-180.0, 5.0, 0.0, 92.5, 0.0, -5.0};
  const double * gt = global ? whole : regional;
  const int zmin = global ? 0 : 8, zmax = global ? 2 : 10;
  const double maxError = global ? 1000.0 : 1.0;
  mkdir(dir.c_str(), 0777);
  raster = dir + "/posts.tif";
  std::vector<float> posts(size_t(width * height));
  for (int r = 0; r < height; ++r)
    for (int c = 0; c < width; ++c)
      posts[size_t(r * width + c)] = (c - 30) * (c - 30) + (r - 25) * (r - 25) < 16 ? -9999.0f
                                     : float(500.0 + 300.0 * std::sin(c * 0.2) * std::cos(r * 0.15) + 0.5 * c);
  GDALDriverH driver = GDALGetDriverByName("GTiff");
  GDALDatasetH ds = driver == nullptr ? nullptr : GDALCreate(driver, raster.c_str(), width, height, 1, GDT_Float32, nullptr);
  if (ds == nullptr) return false;
  double geoTransform[6];
  std::copy(gt, gt + 6, geoTransform);
  GDALSetGeoTransform(ds, geoTransform);
  const std::string wkt = wktOf("EPSG:4326");
  GDALSetProjection(ds, wkt.c_str());
  GDALRasterBandH band = GDALGetRasterBand(ds, 1);
  GDALSetRasterNoDataValue(band, -9999.0);
  const bool written = GDALRasterIO(band, GF_Write, 0, 0, width, height, posts.data(), width, height, GDT_Float32, 0, 0) == CE_None;
  GDALClose(ds);
  if (!written) return false;

  OGRSpatialReferenceH ellipsoid = systemOf("EPSG:4979"), centred = systemOf("EPSG:4978");
  OGRCoordinateTransformationH toCentred = transformOf(ellipsoid, centred), toGeodetic = transformOf(centred, ellipsoid);
  OSRRelease(ellipsoid);
  OSRRelease(centred);
  std::vector<double> place(size_t(3 * width * height));
  for (int r = 0; r < height; ++r)
    for (int c = 0; c < width; ++c) {
      double x = gt[0] + (c + 0.5) * gt[1], y = gt[3] + (r + 0.5) * gt[5], z = posts[size_t(r * width + c)];
      OCTTransform(toCentred, 1, &x, &y, &z);
      double * p = &place[size_t(3 * (r * width + c))];
      p[0] = x;
      p[1] = y;
      p[2] = z;
    }
  // The rows of the globe at its poles are no posts (unless spoilt).
  auto validPost = [&](int c, int r) {
    return posts[size_t(r * width + c)] != -9999.0f && !(global && spoil != MESH_POLES && (r == 0 || r == height - 1));
  };
  nlohmann::json root = {{"boundingVolume", {{"region", {-M_PI, -M_PI / 2, M_PI, M_PI / 2, -1000.0, 10000.0}}}},
                         {"refine", "REPLACE"}, {"children", nlohmann::json::array()}};
  std::map<std::tuple<int, int64_t, int64_t>, nlohmann::json> nodes;
  bool spoilt = false;
  for (int z = zmin; z <= zmax; ++z) {
    // The cells of each tile.
    std::map<std::pair<int64_t, int64_t>, std::vector<std::pair<int, int>>> cells;
    for (int r = 0; r + 1 < height; ++r)
      for (int c = 0; c + 1 < width + (global ? 1 : 0); ++c)
        if (validPost(c, r) && validPost((c + 1) % width, r) && validPost(c, r + 1) && validPost((c + 1) % width, r + 1))
          cells[{tileColumnOf(gt[0] + (c + 1) * gt[1], z), tileRowOf(gt[3] + (r + 1) * gt[5], z)}].push_back({c, r});
    // One grid of positions for the level, fine enough for its largest tile.
    std::map<std::pair<int64_t, int64_t>, std::array<double, 3>> centres;
    double largest = 0.0;
    for (const auto & tile : cells) {
      double w, s, e, n;
      boundsOf(z, tile.first.first, tile.first.second, w, s, e, n);
      double x = (w + e) / 2, y = (s + n) / 2, h = 0.0;
      OCTTransform(toCentred, 1, &x, &y, &h);
      centres[tile.first] = {x, y, h};
      for (const auto & cell : tile.second)
        for (int corner = 0; corner < 4; ++corner) {
          const int c = (cell.first + (corner & 1)) % width, r = cell.second + (corner >> 1);
          for (int k = 0; k < 3; ++k)
            largest = std::max(largest, std::fabs(place[size_t(3 * (r * width + c) + k)] - centres[tile.first][size_t(k)]));
        }
    }
    const double quantum = std::ldexp(1.0, int(std::ceil(std::log2(largest / std::ldexp(1.0, 23)))));
    auto snap = [&](double v) { return std::round(v / quantum) * quantum; };
    const bool lastLevel = z == zmax;
    for (const auto & tile : cells) {
      const int64_t tx = tile.first.first, ty = tile.first.second;
      std::map<std::pair<int, int>, uint32_t> index;
      std::vector<std::array<double, 3>> vertices;
      std::vector<uint32_t> triangles;
      auto vertexOf = [&](int c, int r) {
        const auto found = index.find({c, r});
        if (found != index.end()) return found->second;
        const double * p = &place[size_t(3 * (r * width + c))];
        vertices.push_back({snap(p[0]), snap(p[1]), snap(p[2])});
        return index[{c, r}] = uint32_t(vertices.size() - 1);
      };
      for (const auto & cell : tile.second) {
        const int c = cell.first, r = cell.second, c1 = (c + 1) % width;
        // Counter-clockwise seen from above: rows run south, columns east.
        for (const uint32_t v : {vertexOf(c, r), vertexOf(c, r + 1), vertexOf(c1, r + 1), vertexOf(c, r),
                                 vertexOf(c1, r + 1), vertexOf(c1, r)})
          triangles.push_back(v);
      }
      // The spoilt tile: the first of the finest level with a neighbour to its east.
      const bool target = lastLevel && !spoilt && cells.count({tx + 1, ty}) != 0;
      if (target) {
        spoilt = true;
        if (spoil == LIFT) {
          auto & p = vertices[vertices.size() / 2];
          const double r = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
          for (double & v : p) v = snap(v * (1.0 + 0.5 / r));
        } else if (spoil == DROP) {
          triangles.resize(triangles.size() - 3);
        } else if (spoil == FLIP) {
          std::swap(triangles[1], triangles[2]);
        } else if (spoil == NUDGE_BORDER) {
          int c = -1, r = -1;
          for (const auto & entry : index)
            if (entry.first.first > c) {
              c = entry.first.first;
              r = entry.first.second;
            }
          vertices[index[{c, r}]][0] += quantum;
        }
      }
      const auto & centre = centres[tile.first];
      const double t[3] = {snap(centre[0]), snap(centre[2]), -snap(centre[1])}; // glTF y up
      std::vector<float> stored;
      std::vector<float> uv;
      double west = 1e9, east = -1e9, south = 1e9, north = -1e9, low = 1e9, high = -1e9, w, s, e, n;
      boundsOf(z, tx, ty, w, s, e, n);
      for (const auto & v : vertices) {
        stored.push_back(float(v[0] - t[0]));
        stored.push_back(float(v[2] - t[1]));
        stored.push_back(float(-v[1] - t[2]));
        uv.push_back(0.5f);
        uv.push_back(0.5f);
        double x = v[0], y = v[1], h = v[2];
        OCTTransform(toGeodetic, 1, &x, &y, &h);
        // Round the globe to the tile's side of it.
        x += 360.0 * std::round(((w + e) / 2 - x) / 360.0);
        west = std::min(west, x * degree);
        east = std::max(east, x * degree);
        south = std::min(south, y * degree);
        north = std::max(north, y * degree);
        low = std::min(low, h);
        high = std::max(high, h);
      }
      if (target && spoil == SHRINK) high -= 5.0;
      // A region across the antimeridian has its west beyond its east.
      if (west < -M_PI) west += 2 * M_PI;
      if (east > M_PI) east -= 2 * M_PI;
      tinygltf::Model model;
      model.asset.version = "2.0";
      model.buffers.emplace_back();
      auto addView = [&](const void * data, size_t bytes, int target_) {
        std::vector<unsigned char> & buffer = model.buffers[0].data;
        while (buffer.size() % 4) buffer.push_back(0);
        tinygltf::BufferView view;
        view.buffer = 0;
        view.byteOffset = buffer.size();
        view.byteLength = bytes;
        view.target = target_;
        buffer.insert(buffer.end(), static_cast<const unsigned char *>(data), static_cast<const unsigned char *>(data) + bytes);
        model.bufferViews.push_back(view);
        return int(model.bufferViews.size() - 1);
      };
      auto addAccessor = [&](int view, int component, size_t count, int type) {
        tinygltf::Accessor a;
        a.bufferView = view;
        a.componentType = component;
        a.count = count;
        a.type = type;
        model.accessors.push_back(a);
        return int(model.accessors.size() - 1);
      };
      tinygltf::Primitive primitive;
      primitive.mode = TINYGLTF_MODE_TRIANGLES;
      primitive.attributes["POSITION"] = addAccessor(addView(stored.data(), stored.size() * 4, TINYGLTF_TARGET_ARRAY_BUFFER),
                                                     TINYGLTF_COMPONENT_TYPE_FLOAT, vertices.size(), TINYGLTF_TYPE_VEC3);
      model.accessors.back().minValues = {-1e9, -1e9, -1e9};
      model.accessors.back().maxValues = {1e9, 1e9, 1e9};
      primitive.attributes["TEXCOORD_0"] = addAccessor(addView(uv.data(), uv.size() * 4, TINYGLTF_TARGET_ARRAY_BUFFER),
                                                       TINYGLTF_COMPONENT_TYPE_FLOAT, vertices.size(), TINYGLTF_TYPE_VEC2);
      primitive.indices = addAccessor(addView(triangles.data(), triangles.size() * 4, TINYGLTF_TARGET_ELEMENT_ARRAY_BUFFER),
                                      TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT, triangles.size(), TINYGLTF_TYPE_SCALAR);
      primitive.material = 0;
      static const unsigned char png[] = {
        0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00,
        0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x02, 0x00, 0x00, 0x00, 0x90, 0x77, 0x53, 0xde, 0x00, 0x00, 0x00, 0x0c, 0x49,
        0x44, 0x41, 0x54, 0x08, 0xd7, 0x63, 0xf8, 0xcf, 0xc0, 0x00, 0x00, 0x03, 0x01, 0x01, 0x00, 0x18, 0xdd, 0x8d, 0xb0,
        0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
      tinygltf::Image image;
      image.bufferView = addView(png, sizeof png, 0);
      image.mimeType = "image/png";
      model.images.push_back(image);
      tinygltf::Texture texture;
      texture.source = 0;
      model.textures.push_back(texture);
      tinygltf::Material material;
      material.pbrMetallicRoughness.baseColorTexture.index = 0;
      model.materials.push_back(material);
      tinygltf::Mesh gltfMesh;
      gltfMesh.primitives.push_back(primitive);
      model.meshes.push_back(gltfMesh);
      tinygltf::Node node;
      node.mesh = 0;
      node.translation = {t[0], t[1], t[2]};
      model.nodes.push_back(node);
      tinygltf::Scene scene;
      scene.nodes.push_back(0);
      model.scenes.push_back(scene);
      model.defaultScene = 0;
      const std::string folder = dir + "/" + std::to_string(z) + "/" + std::to_string(tx);
      mkdir((dir + "/" + std::to_string(z)).c_str(), 0777);
      mkdir(folder.c_str(), 0777);
      tinygltf::TinyGLTF writer;
      if (!writer.WriteGltfSceneToFile(&model, folder + "/" + std::to_string(ty) + ".glb", true, true, false, true))
        return false;
      double error = lastLevel ? 2 * quantum : maxError * std::ldexp(1.0, zmax - 1 - z);
      if (spoil == OVER_BUDGET && z == zmin && nodes.empty()) error *= 4.0;
      nodes[{z, tx, ty}] = {{"boundingVolume", {{"region", {west - 1e-10, south - 1e-10, east + 1e-10, north + 1e-10, low - 1e-3, high + 1e-3}}}},
                            {"geometricError", error},
                            {"content", {{"uri", addressOf(z, tx, ty) + ".glb"}}}};
    }
  }
  OCTDestroyCoordinateTransformation(toCentred);
  OCTDestroyCoordinateTransformation(toGeodetic);
  // The tree, from the finest level up.
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
    const int z = std::get<0>(it->first);
    if (z == zmin) continue;
    nodes[{z - 1, std::get<1>(it->first) / 2, std::get<2>(it->first) / 2}]["children"].push_back(it->second);
  }
  double rootError = 0.0;
  for (const auto & node : nodes)
    if (std::get<0>(node.first) == zmin) {
      root["children"].push_back(node.second);
      rootError = std::max(rootError, node.second["geometricError"].get<double>());
    }
  root["geometricError"] = rootError * 2;
  const nlohmann::json tileset = {
    {"asset", {{"version", "1.1"}, {"generator", "Terravel"}}},
    {"extras", {{"terravel", {{"tiling", "geodetic"}, {"source", raster},
                              {"grid", {{"geoTransform", {gt[0], gt[1], gt[2], gt[3], gt[4], gt[5]}}, {"columns", width},
                                        {"rows", height}, {"warped", false}}},
                              {"verticalDatum", "ellipsoid"}, {"maxError", maxError}, {"levels", {zmin, zmax}}}}}},
    {"geometricError", rootError * 4},
    {"root", root}};
  std::ofstream out(dir + "/tileset.json");
  out << tileset.dump();
  return bool(out);
}

int selfTest(const std::string & scratch)
{
  struct Case {
    const char * name;
    Spoil spoil;
    bool global;
    Kind expected; // KINDS: must pass
  };
  const Case cases[] = {{"as written", NONE, false, KINDS},
                        {"a vertex lifted half a metre", LIFT, false, ERROR},
                        {"a triangle dropped", DROP, false, COVER},
                        {"a triangle turned over", FLIP, false, FACES},
                        {"a top tile over its budget", OVER_BUDGET, false, BUDGET},
                        {"a region too low", SHRINK, false, REGION},
                        {"a border vertex nudged", NUDGE_BORDER, false, BORDER},
                        {"the globe as written", NONE, true, KINDS},
                        {"the globe, a vertex on the antimeridian nudged", NUDGE_BORDER, true, BORDER},
                        {"the globe with its rows at the poles meshed", MESH_POLES, true, LATTICE}};
  mkdir(scratch.c_str(), 0777);
  int failures = 0, n = 0;
  for (const Case & c : cases) {
    const std::string dir = scratch + "/sample" + std::to_string(n++);
    std::string raster;
    if (!writeSample(dir, c.spoil, c.global, raster)) {
      std::printf("self-test: cannot write the sample into %s\n", dir.c_str());
      return 2;
    }
    Options options;
    options.tileset = dir + "/tileset.json";
    options.quiet = c.expected != KINDS;
    Problems problems;
    const int result = check(options, problems);
    const bool ok = c.expected == KINDS ? result == 0 : result == 1 && problems.counts[size_t(c.expected)] > 0;
    std::printf("self-test: %s: %s (%lld problems)%s\n", c.name, result == 0 ? "pass" : "fail",
                (long long)problems.total(), ok ? "" : "  <-- NOT AS EXPECTED");
    if (!ok) {
      ++failures;
      for (const std::string & what : problems.shown) std::printf("    %s\n", what.c_str());
    }
  }
  std::printf("self-test: %s\n", failures == 0 ? "PASS" : "FAIL");
  return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char ** argv)
{
  // Large buffers come and go with every strip: keep them instead of mapping them anew each time.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  GDALAllRegister();
  Options options;
  std::string selfTestDir;
  bool selfTesting = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--raster" && i + 1 < argc) options.raster = argv[++i];
    else if (a == "--max-tiles" && i + 1 < argc) options.maxTiles = std::atoll(argv[++i]);
    else if (a == "--show" && i + 1 < argc) options.shown = size_t(std::max(0LL, std::atoll(argv[++i])));
    else if (a == "--self-test") {
      selfTesting = true;
      if (i + 1 < argc && argv[i + 1][0] != '-') selfTestDir = argv[++i];
    } else if (options.tileset.empty() && a[0] != '-') options.tileset = a;
    else {
      options.tileset.clear();
      break;
    }
  }
  if (selfTesting) return selfTest(selfTestDir.empty() ? "/tmp/check_tiles-selftest" : selfTestDir);
  if (options.tileset.empty()) {
    std::fprintf(stderr, "usage: check_tiles DIR/tileset.json [--raster FILE] [--max-tiles N] [--show N]\n"
                         "       check_tiles --self-test [SCRATCH_DIR]\n");
    return 2;
  }
  Problems problems;
  problems.shownAtMost = options.shown;
  return check(options, problems);
}
