#include "terrainlayer.h"

#include "picturefile.h"
#include "quantizedmesh.h"
#include "terrainclip.h"
#include "tilecontent.h"

#include <nlohmann/json.hpp>
#include <ogr_srs_api.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace {

// Longitude, latitude and height on WGS 84 to Earth-centred coordinates, through PROJ. One a
// thread.
class ToCentred {
public:
  ToCentred(void)
  {
    OGRSpatialReferenceH from = OSRNewSpatialReference(nullptr), to = OSRNewSpatialReference(nullptr);
    if (OSRImportFromEPSG(from, 4979) == OGRERR_NONE && OSRImportFromEPSG(to, 4978) == OGRERR_NONE) {
      OSRSetAxisMappingStrategy(from, OAMS_TRADITIONAL_GIS_ORDER);
      OSRSetAxisMappingStrategy(to, OAMS_TRADITIONAL_GIS_ORDER);
      transform = OCTNewCoordinateTransformation(from, to);
    }
    OSRRelease(from);
    OSRRelease(to);
  }
  ~ToCentred(void)
  {
    if (transform != nullptr) OCTDestroyCoordinateTransformation(transform);
  }
  ToCentred(const ToCentred &) = delete;
  ToCentred & operator=(const ToCentred &) = delete;
  bool valid(void) const { return transform != nullptr; }
  bool place(size_t n, std::vector<double> & x, std::vector<double> & y, std::vector<double> & z)
  {
    std::vector<int> ok(n, 0);
    return OCTTransformEx(transform, int(n), x.data(), y.data(), z.data(), ok.data()) &&
           std::all_of(ok.begin(), ok.end(), [](int v) { return v != 0; });
  }

private:
  OGRCoordinateTransformationH transform = nullptr;
};

// Bytes in gzip's format, as terrain tiles are kept and served.
bool gzipped(const std::string & bytes, std::string & out)
{
  z_stream z = {};
  if (deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  out.resize(deflateBound(&z, uLong(bytes.size())) + 32);
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.data()));
  z.avail_in = uInt(bytes.size());
  z.next_out = reinterpret_cast<Bytef *>(&out[0]);
  z.avail_out = uInt(out.size());
  const int result = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return result == Z_STREAM_END;
}

// The error a globe assumes for a terrain tile of the level: a 65-post heightmap over the
// ellipsoid's circumference at level 0's two tiles, halved each level.
double assumedError(int level)
{
  OGRSpatialReferenceH wgs84 = OSRNewSpatialReference(nullptr);
  OSRSetWellKnownGeogCS(wgs84, "WGS84");
  const double radius = OSRGetSemiMajor(wgs84, nullptr);
  OSRRelease(wgs84);
  return std::ldexp(radius * 2.0 * M_PI * 0.25 / (65.0 * 2.0), -level);
}

// The surface of some tiles' records as points on the ellipsoid, longitudes turned to lie by
// the tile they are cut to.
struct Surface {
  std::vector<SurfacePoint3> points;
  std::vector<uint32_t> triangles;
  void add(const TileRecord & record, PostPlacer & placer, const TileLattice & lattice, double middle)
  {
    const uint32_t first = uint32_t(points.size());
    for (const TileVertex & v : record.vertices) {
      double longitude = placer.longitudeOf(lattice.canonicalColumn(v.column));
      while (longitude < middle - 180.0) longitude += 360.0;
      while (longitude > middle + 180.0) longitude -= 360.0;
      points.push_back({longitude, placer.latitudeOf(v.row), v.ellipsoidal});
    }
    for (const int32_t t : record.triangles) triangles.push_back(first + uint32_t(t));
  }
};

class LayerBuilder {
public:
  LayerBuilder(const TerrainLayerPlan & plan) : plan(plan), build(*plan.build) {}
  bool run(TerrainLayerOutcome & outcome, std::string & reason);

private:
  bool listTiles(std::string & reason);
  // Records read for the tile before, which its neighbour along the row shares: one a thread.
  using RecordCache = std::map<TileAddress, std::shared_ptr<const TileRecord>>;
  bool tile(const TileAddress & address, PostPlacer & placer, ToCentred & centred, RecordCache & cache,
            std::string & reason);
  bool picture(std::string & reason);
  std::string layerJson(void) const;

  const TerrainLayerPlan & plan;
  const TileBuild & build;
  std::vector<TileAddress> tiles;    // to write, every level
  std::vector<TileRecord> topRecords; // the first level's, for the levels above it
  std::map<int, double> errors;       // the largest of each level
  std::mutex mutex;
};

bool LayerBuilder::listTiles(std::string & reason)
{
  std::set<TileAddress> above = {{0, 0, 0}, {0, 1, 0}};
  for (const TileAddress & top : plan.tops) {
    TileRecord record;
    if (!build.load(top, record)) return reason = "the record of tile " + top.path() + " is missing", false;
    if (record.empty) continue;
    errors[plan.shallowest] = std::max(errors[plan.shallowest], record.error);
    for (TileAddress a = top; a.level > 0;) {
      a = a.parent();
      if (a.level < plan.shallowest) above.insert(a);
    }
    topRecords.push_back(std::move(record));
  }
  for (const TileAddress & a : above)
    if (a.level < plan.shallowest) tiles.push_back(a);
  for (int z = plan.shallowest; z <= plan.deepest; ++z)
    for (const TileAddress & a : build.lattice->tilesOf(z)) {
      TileRecord record;
      if (!build.load(a, record)) return reason = "the record of tile " + a.path() + " is missing", false;
      if (record.empty) continue;
      errors[z] = std::max(errors[z], record.error);
      tiles.push_back(a);
    }
  for (int z = 0; z < plan.shallowest; ++z) errors[z] = errors[plan.shallowest];
  return true;
}

// One terrain tile: the level's surface about it (its own record and its neighbours', or the
// first level's for the levels above it) cut to its bounds.
bool LayerBuilder::tile(const TileAddress & address, PostPlacer & placer, ToCentred & centred, RecordCache & cache,
                        std::string & reason)
{
  const TileBounds bounds = boundsOf(address);
  const double middle = (bounds.west + bounds.east) / 2.0;
  Surface surface;
  if (address.level < plan.shallowest) {
    for (const TileRecord & record : topRecords) surface.add(record, placer, *build.lattice, middle);
  } else {
    const int64_t across = int64_t(2) << address.level, down = int64_t(1) << address.level;
    // Records of the tiles about it, kept while the next tile along the row needs them.
    std::map<TileAddress, std::shared_ptr<const TileRecord>> kept;
    for (int64_t dy = -1; dy <= 1; ++dy)
      for (int64_t dx = -1; dx <= 1; ++dx) {
        const TileAddress near = {address.level, ((address.x + dx) % across + across) % across, address.y + dy};
        if (near.y < 0 || near.y >= down || kept.count(near)) continue;
        auto found = cache.find(near);
        if (found == cache.end()) {
          auto record = std::make_shared<TileRecord>();
          if (!build.load(near, *record)) record->empty = true;
          found = cache.emplace(near, std::move(record)).first;
        }
        kept.insert(*found);
        if (!found->second->empty) surface.add(*found->second, placer, *build.lattice, middle);
      }
    cache.swap(kept);
  }
  ClippedTile clipped;
  clipToTile(surface.points, surface.triangles, bounds, clipped);
  TerrainTile terrain;
  terrain.level = address.level;
  terrain.u = std::move(clipped.u);
  terrain.v = std::move(clipped.v);
  terrain.triangles = std::move(clipped.triangles);
  const size_t n = clipped.points.size();
  std::vector<double> x(n + 1), y(n + 1), z(n + 1);
  double low = HUGE_VAL, high = -HUGE_VAL;
  for (size_t i = 0; i < n; ++i) {
    x[i] = clipped.points[i].longitude;
    y[i] = clipped.points[i].latitude;
    z[i] = clipped.points[i].height;
    terrain.height.push_back(z[i]);
    low = std::min(low, z[i]);
    high = std::max(high, z[i]);
  }
  x[n] = middle;
  y[n] = (bounds.south + bounds.north) / 2.0;
  z[n] = (low + high) / 2.0;
  if (!centred.place(n + 1, x, y, z)) return reason = "PROJ cannot place terrain tile " + address.path(), false;
  terrain.ecef.resize(3 * n);
  for (size_t i = 0; i < n; ++i) {
    terrain.ecef[3 * i] = x[i];
    terrain.ecef[3 * i + 1] = y[i];
    terrain.ecef[3 * i + 2] = z[i];
  }
  terrain.centre[0] = x[n];
  terrain.centre[1] = y[n];
  terrain.centre[2] = z[n];
  std::string packed;
  if (!gzipped(encodeQuantizedMesh(terrain), packed)) return reason = "cannot compress terrain tile " + address.path(), false;
  return plan.write(address.path() + ".terrain", packed, reason);
}

// The raster's relief colours, from the picture its heights' range was found from.
bool LayerBuilder::picture(std::string & reason)
{
  const TileSource & source = *build.source;
  const int w = source.sampleWidth(), h = source.sampleHeight();
  const PostGrid & grid = source.grid();
  PostPlacer placer(source, *build.lattice);
  const int64_t c = grid.columns / 2, r = grid.rows / 2;
  const int64_t columns[3] = {c, std::min(c + 1, grid.columns - 1), c}, rows[3] = {r, r, std::min(r + 1, grid.rows - 1)};
  const float heights[3] = {0.0f, 0.0f, 0.0f};
  double at[9], ellipsoidal[3];
  double east = 1.0, south = 1.0;
  if (placer.place(3, columns, rows, heights, at, ellipsoidal)) {
    east = std::max(1e-3, std::hypot(at[3] - at[0], at[4] - at[1], at[5] - at[2])) * double(grid.columns) / w;
    south = std::max(1e-3, std::hypot(at[6] - at[0], at[7] - at[1], at[8] - at[2])) * double(grid.rows) / h;
  }
  std::vector<unsigned char> rgb;
  reliefPicture(source.sample().data(), w, h, east, south, source.lowest(), source.highest(), rgb);
  std::string png;
  if (!pngOf(rgb.data(), w, h, 3, 6, png)) return reason = "cannot make the relief picture", false;
  return plan.write("relief.png", png, reason);
}

std::string LayerBuilder::layerJson(void) const
{
  // Per level, each row's runs of tiles as rectangles.
  std::map<int, std::map<int64_t, std::vector<int64_t>>> rows;
  for (const TileAddress & a : tiles) rows[a.level][a.y].push_back(a.x);
  nlohmann::json available = nlohmann::json::array();
  for (int z = 0; z <= plan.deepest; ++z) {
    nlohmann::json level = nlohmann::json::array();
    for (auto & [y, xs] : rows[z]) {
      std::sort(xs.begin(), xs.end());
      for (size_t i = 0; i < xs.size();) {
        size_t j = i;
        while (j + 1 < xs.size() && xs[j + 1] == xs[j] + 1) ++j;
        level.push_back({{"startX", xs[i]}, {"startY", y}, {"endX", xs[j]}, {"endY", y}});
        i = j + 1;
      }
    }
    available.push_back(level);
  }
  const PostGrid & grid = build.source->grid();
  const double west = std::max(-180.0, grid.longitudeOf(0.0)), east = std::min(180.0, grid.longitudeOf(double(grid.columns)));
  const double north = std::min(90.0, grid.latitudeOf(0.0)), south = std::max(-90.0, grid.latitudeOf(double(grid.rows)));
  nlohmann::json layer;
  layer["tilejson"] = "2.1.0";
  layer["name"] = "terravel";
  layer["format"] = "quantized-mesh-1.0";
  layer["version"] = "1.0.0";
  layer["scheme"] = "tms";
  layer["projection"] = "EPSG:4326";
  layer["tiles"] = {"{z}/{x}/{y}.terrain"};
  layer["bounds"] = {west, south, east, north};
  layer["minzoom"] = 0;
  layer["maxzoom"] = plan.deepest;
  layer["extensions"] = {"octvertexnormals"};
  layer["available"] = available;
  layer["extras"]["terravel"] = {{"picture", "relief.png"}, {"pictureBounds", {west, south, east, north}},
                                 {"source", build.source->path()}};
  return layer.dump(1) + "\n";
}

bool LayerBuilder::run(TerrainLayerOutcome & outcome, std::string & reason)
{
  if (!listTiles(reason) || !picture(reason)) return false;
  // Rows of tiles (a level's tiles of one y, west to east) in turn to the threads, so that a
  // thread reads each record about a row once or twice rather than nine times.
  std::sort(tiles.begin(), tiles.end());
  std::vector<size_t> rowStarts;
  for (size_t i = 0; i < tiles.size(); ++i)
    if (i == 0 || tiles[i].level != tiles[i - 1].level || tiles[i].y != tiles[i - 1].y) rowStarts.push_back(i);
  rowStarts.push_back(tiles.size());
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::string firstReason;
  const auto work = [&]() {
    PostPlacer placer(*build.source, *build.lattice);
    ToCentred centred;
    for (size_t row = next++; row + 1 < rowStarts.size() && !failed; row = next++) {
      RecordCache cache;
      for (size_t i = rowStarts[row]; i < rowStarts[row + 1] && !failed; ++i) {
        std::string why;
        if (!centred.valid()) why = "PROJ has no way from longitude and latitude to Earth-centred coordinates";
        else if (tile(tiles[i], placer, centred, cache, why)) continue;
        std::lock_guard<std::mutex> lock(mutex);
        if (!failed.exchange(true)) firstReason = why;
      }
    }
  };
  std::vector<std::thread> workers;
  for (int t = 0; t < std::max(1, plan.threads); ++t) workers.emplace_back(work);
  for (std::thread & worker : workers) worker.join();
  if (failed) return reason = firstReason, false;
  outcome.tiles = int64_t(tiles.size());
  outcome.layerJson = layerJson();
  std::vector<int> over;
  for (const auto & [z, error] : errors)
    if (error > assumedError(z)) over.push_back(z);
  char line[256];
  if (over.empty()) {
    std::snprintf(line, sizeof line, "Terrain: levels 0 to %d as quantized mesh, each within the error a globe assumes "
                  "for its level", plan.deepest);
  } else {
    std::snprintf(line, sizeof line, "Terrain: levels %d to %d keep more error than a globe assumes for them "
                  "(level %d: %.3g m against %.3g m); a finer --max-error would mend it",
                  over.front(), over.back(), over.front(), errors[over.front()], assumedError(over.front()));
  }
  outcome.lines.push_back(line);
  return true;
}

} // namespace

bool buildTerrainLayer(const TerrainLayerPlan & plan, TerrainLayerOutcome & outcome, std::string & reason)
{
  LayerBuilder builder(plan);
  return builder.run(outcome, reason);
}
