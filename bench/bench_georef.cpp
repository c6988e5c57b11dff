// Where the terrain is, checked against GDAL and PROJ. A tileset's every vertex read back from
// its GLB files through the tile transforms to Earth-centred coordinates, then to longitude,
// latitude and height on the WGS 84 ellipsoid, against the raster's own posts: the post nearest
// the vertex, its place on the ellipsoid, its height taken to the ellipsoid (its reference
// system's vertical part, SRTM's EGM96, or the datum given). With --frame, the program's local
// frame instead: distances between posts across the raster against the geodesic ones.
// Usage: bench_georef RASTER TILESET_DIR [ellipsoid|egm96|GEOID-FILE]
//        bench_georef --frame RASTER

#include "containedrun.h"
#include "rasterloader.h"

#define TINYGLTF_IMPLEMENTATION
#define TINYGLTF_NO_STB_IMAGE
#define TINYGLTF_NO_STB_IMAGE_WRITE
#define TINYGLTF_NO_EXTERNAL_IMAGE
#include <tiny_gltf.h>

#include <nlohmann/json.hpp>

#include <Inventor/SoDB.h>
#include <gdal.h>
#include <geodesic.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

geod_geodesic wgs84;

OGRSpatialReferenceH systemOf(const char * definition)
{
  OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
  if (OSRSetFromUserInput(srs, definition) != OGRERR_NONE) return nullptr;
  OSRSetAxisMappingStrategy(srs, OAMS_TRADITIONAL_GIS_ORDER);
  return srs;
}

// The raster: its posts' values as heights, and the ways between its system and the Earth.
struct Raster {
  int width = 0, height = 0;
  double gt[6], inverse[6];
  std::vector<float> heights; // NaN where no post
  OGRSpatialReferenceH srs = nullptr;
  OGRCoordinateTransformationH toDegrees = nullptr, fromDegrees = nullptr, heightToEllipsoid = nullptr;
  bool direct = false; // heightToEllipsoid takes the raster's own coordinates
  double postMetres = 0.0;
};

bool openRaster(const char * file, const std::string & datum, Raster & r)
{
  GDALAllRegister();
  GDALDatasetH ds = GDALOpen(file, GA_ReadOnly);
  if (ds == nullptr || GDALGetGeoTransform(ds, r.gt) != CE_None || !GDALInvGeoTransform(r.gt, r.inverse)) return false;
  r.width = GDALGetRasterXSize(ds);
  r.height = GDALGetRasterYSize(ds);
  GDALRasterBandH band = GDALGetRasterBand(ds, 1);
  r.heights.resize(size_t(r.width) * size_t(r.height));
  if (GDALRasterIO(band, GF_Read, 0, 0, r.width, r.height, r.heights.data(), r.width, r.height, GDT_Float32, 0, 0) != CE_None)
    return false;
  int has = 0;
  const double noData = GDALGetRasterNoDataValue(band, &has);
  const double scale = GDALGetRasterScale(band, nullptr), offset = GDALGetRasterOffset(band, nullptr);
  for (float & h : r.heights) h = has && h == float(noData) ? NAN : float(h * scale + offset);
  r.srs = OSRClone(GDALGetSpatialRef(ds));
  OSRSetAxisMappingStrategy(r.srs, OAMS_TRADITIONAL_GIS_ORDER);
  const bool srtm = std::strcmp(GDALGetDriverShortName(GDALGetDatasetDriver(ds)), "SRTMHGT") == 0;
  GDALClose(ds);
  OGRSpatialReferenceH degrees = systemOf("EPSG:4326"), ellipsoid = systemOf("EPSG:4979");
  r.toDegrees = OCTNewCoordinateTransformation(r.srs, degrees);
  r.fromDegrees = OCTNewCoordinateTransformation(degrees, r.srs);
  if (datum == "egm96" || (datum.empty() && srtm && !OSRIsCompound(r.srs))) {
    r.heightToEllipsoid = OCTNewCoordinateTransformation(systemOf("EPSG:4326+5773"), ellipsoid);
  } else if (datum.empty() && OSRIsCompound(r.srs)) {
    r.direct = true;
    r.heightToEllipsoid = OCTNewCoordinateTransformation(r.srs, ellipsoid);
  } else if (!datum.empty() && datum != "ellipsoid") {
    OGRCoordinateTransformationOptionsH options = OCTNewCoordinateTransformationOptions();
    const std::string pipeline = "+proj=pipeline +step +proj=axisswap +order=2,1 +step +proj=unitconvert "
                                 "+xy_in=deg +xy_out=rad +step +proj=vgridshift +grids=" + datum +
                                 " +multiplier=1 +step +proj=unitconvert +xy_in=rad +xy_out=deg +step "
                                 "+proj=axisswap +order=2,1";
    OCTCoordinateTransformationOptionsSetOperation(options, pipeline.c_str(), FALSE);
    r.heightToEllipsoid = OCTNewCoordinateTransformationEx(ellipsoid, ellipsoid, options);
  }
  return r.toDegrees != nullptr && r.fromDegrees != nullptr;
}

// The post's longitude, latitude and height on the ellipsoid.
bool postOnEarth(const Raster & r, int c, int row, double & lon, double & lat, double & h)
{
  double x = r.gt[0] + (c + 0.5) * r.gt[1] + (row + 0.5) * r.gt[2];
  double y = r.gt[3] + (c + 0.5) * r.gt[4] + (row + 0.5) * r.gt[5];
  h = r.heights[size_t(row) * size_t(r.width) + size_t(c)];
  double px = x, py = y;
  if (!OCTTransform(r.toDegrees, 1, &x, &y, nullptr)) return false;
  lon = x;
  lat = y;
  if (r.heightToEllipsoid == nullptr) return true;
  if (r.direct) {
    double z = h;
    if (!OCTTransform(r.heightToEllipsoid, 1, &px, &py, &z)) return false;
    h = z;
    return true;
  }
  double z = h;
  return OCTTransform(r.heightToEllipsoid, 1, &x, &y, &z) && (h = z, true);
}

// A 4 x 4 matrix, column by column, as 3D Tiles writes it.
using Matrix = std::array<double, 16>;
Matrix multiply(const Matrix & a, const Matrix & b)
{
  Matrix m{};
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r)
      for (int k = 0; k < 4; ++k) m[size_t(c * 4 + r)] += a[size_t(k * 4 + r)] * b[size_t(c * 4 + k)];
  return m;
}

struct Figures {
  int64_t vertices = 0, tiles = 0;
  double horizontal = 0.0, vertical = 0.0;
  double worstLon = 0.0, worstLat = 0.0;
};

// Every vertex of the GLB under the transform, checked against the raster's nearest post.
bool checkGlb(const std::string & file, const Matrix & transform, const Raster & r,
              OGRCoordinateTransformationH toGeodetic, Figures & figures)
{
  tinygltf::Model model;
  tinygltf::TinyGLTF loader;
  // Pictures are not looked at.
  loader.SetImageLoader([](tinygltf::Image *, const int, std::string *, std::string *, int, int,
                           const unsigned char *, int, void *) { return true; }, nullptr);
  std::string error, warning;
  if (!loader.LoadBinaryFromFile(&model, &error, &warning, file)) {
    std::fprintf(stderr, "%s: %s\n", file.c_str(), error.c_str());
    return false;
  }
  ++figures.tiles;
  for (const tinygltf::Node & node : model.nodes) {
    if (node.mesh < 0) continue;
    double t[3] = {0, 0, 0};
    for (size_t k = 0; k < node.translation.size() && k < 3; ++k) t[k] = node.translation[k];
    for (const tinygltf::Primitive & primitive : model.meshes[size_t(node.mesh)].primitives) {
      const tinygltf::Accessor & accessor = model.accessors[size_t(primitive.attributes.at("POSITION"))];
      const tinygltf::BufferView & view = model.bufferViews[size_t(accessor.bufferView)];
      const unsigned char * data = model.buffers[size_t(view.buffer)].data.data() + view.byteOffset + accessor.byteOffset;
      const size_t stride = view.byteStride != 0 ? view.byteStride : 12;
      for (size_t i = 0; i < accessor.count; ++i) {
        float p[3];
        std::memcpy(p, data + i * stride, sizeof p);
        // glTF's Y up becomes Z up: (x, y, z) -> (x, -z, y).
        const double g[3] = {p[0] + t[0], p[1] + t[1], p[2] + t[2]};
        const double local[4] = {g[0], -g[2], g[1], 1.0};
        double e[3] = {0, 0, 0};
        for (int row = 0; row < 3; ++row)
          for (int k = 0; k < 4; ++k) e[row] += transform[size_t(k * 4 + row)] * local[k];
        if (!OCTTransform(toGeodetic, 1, &e[0], &e[1], &e[2])) return false;
        const double lon = e[0], lat = e[1], h = e[2];
        double x = lon, y = lat;
        if (!OCTTransform(r.fromDegrees, 1, &x, &y, nullptr)) return false;
        int c = int(std::floor(r.inverse[0] + x * r.inverse[1] + y * r.inverse[2]));
        const int row = int(std::floor(r.inverse[3] + x * r.inverse[4] + y * r.inverse[5]));
        // A geographic raster may count longitudes past 180 degrees, as across the antimeridian.
        for (const double turn : {360.0, -360.0})
          if ((c < 0 || c >= r.width) && OSRIsGeographic(r.srs)) {
            const int turned = int(std::floor(r.inverse[0] + (x + turn) * r.inverse[1] + y * r.inverse[2]));
            if (turned >= 0 && turned < r.width) c = turned;
          }
        if (c < 0 || row < 0 || c >= r.width || row >= r.height) {
          std::fprintf(stderr, "%s: a vertex at %.6f, %.6f lies beyond the raster\n", file.c_str(), lon, lat);
          return false;
        }
        double plon, plat, ph, distance = 0.0;
        if (!postOnEarth(r, c, row, plon, plat, ph)) return false;
        geod_inverse(&wgs84, lat, lon, plat, plon, &distance, nullptr, nullptr);
        ++figures.vertices;
        if (distance > figures.horizontal) {
          figures.horizontal = distance;
          figures.worstLon = lon;
          figures.worstLat = lat;
        }
        figures.vertical = std::max(figures.vertical, std::fabs(h - ph));
      }
    }
  }
  return true;
}

bool walk(const nlohmann::json & tile, const Matrix & parent, const std::string & dir, const Raster & r,
          OGRCoordinateTransformationH toGeodetic, Figures & figures)
{
  Matrix transform = parent;
  if (tile.contains("transform")) {
    Matrix own{};
    for (size_t k = 0; k < 16; ++k) own[k] = tile["transform"][k].get<double>();
    transform = multiply(parent, own);
  }
  if (tile.contains("content") && !checkGlb(dir + "/" + tile["content"]["uri"].get<std::string>(), transform, r, toGeodetic, figures))
    return false;
  if (tile.contains("children"))
    for (const nlohmann::json & child : tile["children"])
      if (!walk(child, transform, dir, r, toGeodetic, figures)) return false;
  return true;
}

int checkTileset(const char * raster, const std::string & dir, const std::string & datum)
{
  Raster r;
  if (!openRaster(raster, datum, r)) {
    std::fprintf(stderr, "%s: cannot be read as a placed raster\n", raster);
    return 1;
  }
  std::ifstream in(dir + "/tileset.json");
  const nlohmann::json tileset = nlohmann::json::parse(in, nullptr, false);
  if (tileset.is_discarded()) {
    std::fprintf(stderr, "%s/tileset.json: cannot be read\n", dir.c_str());
    return 1;
  }
  Matrix identity{};
  for (int k = 0; k < 4; ++k) identity[size_t(k * 5)] = 1.0;
  OGRCoordinateTransformationH toGeodetic = OCTNewCoordinateTransformation(systemOf("EPSG:4978"), systemOf("EPSG:4979"));
  Figures figures;
  if (!walk(tileset["root"], identity, dir, r, toGeodetic, figures)) {
    std::fprintf(stderr, "a vertex could not be read back or placed on the raster\n");
    return 1;
  }
  // Half a post: the ground distance from a post to the next one's pixel edge, at the centre.
  double lon0, lat0, h0, lon1, lat1, h1, step = 0.0;
  postOnEarth(r, r.width / 2, r.height / 2, lon0, lat0, h0);
  postOnEarth(r, r.width / 2 + 1, r.height / 2, lon1, lat1, h1);
  geod_inverse(&wgs84, lat0, lon0, lat1, lon1, &step, nullptr, nullptr);
  std::printf("%lld vertices in %lld tiles: largest horizontal error %.3f m (at %.5f, %.5f), "
              "largest height error %.3f m; half a post is %.1f m\n",
              (long long)figures.vertices, (long long)figures.tiles, figures.horizontal,
              figures.worstLon, figures.worstLat, figures.vertical, step / 2);
  return 0;
}

// The local frame against the ellipsoid: distances between the raster's corner, edge and
// centre posts as the program lays them out, against the geodesic ones.
int checkFrame(const char * raster)
{
  FlatMesh mesh;
  ContainedProgress progress;
  std::string reason;
  if (loadRaster(raster, RasterOptions(), mesh, progress, reason) != RasterOutcome::LOADED) {
    std::fprintf(stderr, "%s: %s\n", raster, reason.c_str());
    return 1;
  }
  Raster r;
  if (!openRaster(raster, "", r)) return 1;
  const int64_t columns = mesh.grid.columns;
  std::vector<int32_t> vertexOf(size_t(columns * mesh.grid.rows), -1);
  for (size_t v = 0; v < mesh.posts.size(); ++v) vertexOf[mesh.posts[v]] = int32_t(v);
  const int64_t w = columns - 1, h = mesh.grid.rows - 1;
  // Corners, edges' middles and the centre, or where those have no post (a reprojected raster's
  // nodata corners), the nearest post that is a vertex.
  const auto nearest = [&](int64_t c, int64_t r, int64_t (&found)[2]) {
    for (int64_t ring = 0; ring < std::max(columns, mesh.grid.rows); ++ring)
      for (int64_t dr = -ring; dr <= ring; ++dr)
        for (int64_t dc = -ring; dc <= ring; ++dc) {
          const int64_t cc = c + dc, rr = r + dr;
          if (std::max(std::llabs(dc), std::llabs(dr)) != ring || cc < 0 || rr < 0 || cc > w || rr > h ||
              vertexOf[size_t(rr * columns + cc)] < 0)
            continue;
          found[0] = cc;
          found[1] = rr;
          return true;
        }
    return false;
  };
  const int64_t wanted[][2] = {{0, 0}, {w, 0}, {0, h}, {w, h}, {w / 2, 0}, {0, h / 2}, {w / 2, h / 2}, {w, h / 2}, {w / 2, h}};
  std::vector<std::array<int64_t, 2>> at;
  for (const auto & p : wanted) {
    int64_t found[2];
    if (nearest(p[0], p[1], found)) at.push_back({found[0], found[1]});
  }
  double largest = 0.0;
  int pairs = 0;
  for (const auto & a : at)
    for (const auto & b : at) {
      const int32_t va = vertexOf[size_t(a[1] * columns + a[0])], vb = vertexOf[size_t(b[1] * columns + b[0])];
      if (va < 0 || vb < 0 || va >= vb) continue;
      double lonA, latA, hA, lonB, latB, hB, geodesic = 0.0;
      if (!postOnEarth(r, int(a[0]), int(a[1]), lonA, latA, hA) || !postOnEarth(r, int(b[0]), int(b[1]), lonB, latB, hB))
        continue;
      geod_inverse(&wgs84, latA, lonA, latB, lonB, &geodesic, nullptr, nullptr);
      const SbVec3f & p = mesh.points[size_t(va)], & q = mesh.points[size_t(vb)];
      const double onGround = std::hypot(double(p[0]) - q[0], double(p[2]) - q[2]);
      largest = std::max(largest, std::fabs(onGround / geodesic - 1.0));
      ++pairs;
    }
  std::printf("%d distances between posts across the raster: the local frame's differ from the "
              "geodesic ones by %.5f %% at most\n", pairs, largest * 100.0);
  return 0;
}

} // namespace

int main(int argc, char ** argv)
{
  geod_init(&wgs84, 6378137.0, 1 / 298.257223563);
  if (argc == 3 && std::string(argv[1]) == "--frame") {
    SoDB::init();
    return checkFrame(argv[2]);
  }
  if (argc < 3) {
    std::fprintf(stderr, "Usage: %s RASTER TILESET_DIR [ellipsoid|egm96|GEOID-FILE]\n"
                         "       %s --frame RASTER\n", argv[0], argv[0]);
    return 2;
  }
  return checkTileset(argv[1], argv[2], argc > 3 ? argv[3] : "");
}
