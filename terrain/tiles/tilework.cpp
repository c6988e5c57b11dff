// One tile at a time: a window of posts read once serves the tile of the level above the last
// and its four children of the last level; every tile above is made from its children's
// records alone.

#include "tilework.h"

#include "surfacemesher.h"
#include "tilecontent.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// A picture of a tile above the last is read at most this many pixels a side.
const int pictureSide = 256;

// Posts c0 .. c0 + width - 1 by r0 .. r0 + height - 1, rows from the north.
struct Window {
  int64_t c0 = 0, r0 = 0;
  int width = 0, height = 0;
  std::vector<float> heights;
  size_t index(int64_t c, int64_t r) const { return size_t(r - r0) * size_t(width) + size_t(c - c0); }
  float at(int64_t c, int64_t r) const
  {
    if (c < c0 || r < r0 || c >= c0 + width || r >= r0 + height) return std::numeric_limits<float>::quiet_NaN();
    return heights[index(c, r)];
  }
  // A cell (its north-west post) whose four posts all have heights.
  bool valid(int64_t c, int64_t r) const
  {
    return std::isfinite(at(c, r)) && std::isfinite(at(c + 1, r)) && std::isfinite(at(c, r + 1)) &&
           std::isfinite(at(c + 1, r + 1));
  }
};

std::string nameOf(const TileAddress & tile) { return tile.path(); }

// The tile's posts and one more all round, for the cells beyond its border.
bool readWindow(TileTools & tools, const TileBuild & build, const TileAddress & tile, const TileCells & cells,
                Window & window, std::string & reason)
{
  window.c0 = cells.c0 - 1;
  window.r0 = cells.r0 - 1;
  window.width = int(cells.postColumns() + 2);
  window.height = int(cells.postRows() + 2);
  window.heights.resize(size_t(window.width) * size_t(window.height));
  std::string why;
  if (tools.reader.read(window.c0, window.r0, window.width, window.height, window.heights.data(), why)) return true;
  reason = "cannot read the window of tile " + nameOf(tile) + " from " + build.source->path() + ": " + why;
  return false;
}

// Posts of the tile's border where the cells on either side change, from inside or outside:
// both tiles that share the border find the same ones.
void markBorder(const Window & w, const TileCells & cells, std::vector<uint8_t> & keep)
{
  keep.assign(w.heights.size(), 0);
  // Down the west and east lines: the cells east and west of each.
  for (const int64_t x : {cells.c0, cells.c1})
    for (int64_t r = cells.r0 + 1; r < cells.r1; ++r) {
      const bool east0 = w.valid(x, r - 1), east1 = w.valid(x, r);
      const bool west0 = w.valid(x - 1, r - 1), west1 = w.valid(x - 1, r);
      if (east0 != east1 || west0 != west1) keep[w.index(x, r)] = 1;
    }
  // Along the north and south lines: the cells south and north of each.
  for (const int64_t y : {cells.r0, cells.r1})
    for (int64_t c = cells.c0 + 1; c < cells.c1; ++c) {
      const bool south0 = w.valid(c - 1, y), south1 = w.valid(c, y);
      const bool north0 = w.valid(c - 1, y - 1), north1 = w.valid(c, y - 1);
      if (south0 != south1 || north0 != north1) keep[w.index(c, y)] = 1;
    }
}

// The posts of the range's valid cells, numbered in the window's order, and two triangles a
// cell over its diagonal from north-east to south-west, counter-clockwise seen from above.
void meshCells(const Window & w, const TileCells & cells, std::vector<int32_t> & vertexOfPost,
               std::vector<size_t> & postOfVertex, std::vector<int32_t> & triangles)
{
  vertexOfPost.assign(w.heights.size(), -1);
  postOfVertex.clear();
  triangles.clear();
  for (int64_t r = cells.r0; r < cells.r1; ++r)
    for (int64_t c = cells.c0; c < cells.c1; ++c)
      if (w.valid(c, r))
        for (const size_t p : {w.index(c, r), w.index(c + 1, r), w.index(c, r + 1), w.index(c + 1, r + 1)})
          vertexOfPost[p] = 0;
  for (size_t p = 0; p < vertexOfPost.size(); ++p)
    if (vertexOfPost[p] == 0) {
      vertexOfPost[p] = int32_t(postOfVertex.size());
      postOfVertex.push_back(p);
    }
  for (int64_t r = cells.r0; r < cells.r1; ++r)
    for (int64_t c = cells.c0; c < cells.c1; ++c) {
      if (!w.valid(c, r)) continue;
      const int32_t nw = vertexOfPost[w.index(c, r)], ne = vertexOfPost[w.index(c + 1, r)];
      const int32_t sw = vertexOfPost[w.index(c, r + 1)], se = vertexOfPost[w.index(c + 1, r + 1)];
      triangles.insert(triangles.end(), {nw, sw, ne, ne, sw, se});
    }
}

// Metres between neighbouring posts east and south at the middle of the cells, through PROJ.
bool postSpans(TileTools & tools, const TileCells & cells, double & east, double & south)
{
  const int64_t c = (cells.c0 + cells.c1) / 2, r = (cells.r0 + cells.r1) / 2;
  const int64_t columns[3] = {c, c + 1, c}, rows[3] = {r, r, r + 1};
  const float heights[3] = {0.0f, 0.0f, 0.0f};
  double at[9], ellipsoidal[3];
  if (!tools.placer.place(3, columns, rows, heights, at, ellipsoidal)) return false;
  east = std::hypot(at[3] - at[0], at[4] - at[1], at[5] - at[2]);
  south = std::hypot(at[6] - at[0], at[7] - at[1], at[8] - at[2]);
  return east > 0.0 && south > 0.0;
}

// The picture of a tile above the last: its posts sampled at most pictureSide a side.
bool sampledPicture(const TileBuild & build, TileTools & tools, const TileAddress & tile, const TileCells & cells,
                    TilePicture & picture, std::string & reason)
{
  picture.c0 = cells.c0;
  picture.r0 = cells.r0;
  picture.columns = cells.postColumns();
  picture.rows = cells.postRows();
  picture.width = int(std::min<int64_t>(pictureSide, picture.columns));
  picture.height = int(std::min<int64_t>(pictureSide, picture.rows));
  std::vector<float> heights(size_t(picture.width) * size_t(picture.height));
  std::string why;
  if (!tools.reader.readSampled(cells.c0, cells.r0, int(picture.columns), int(picture.rows), picture.width,
                                picture.height, heights.data(), why)) {
    reason = "cannot read the picture of tile " + nameOf(tile) + " from " + build.source->path() + ": " + why;
    return false;
  }
  double east = 1.0, south = 1.0;
  postSpans(tools, cells, east, south);
  reliefPicture(heights.data(), picture.width, picture.height, east * double(picture.columns) / picture.width,
                south * double(picture.rows) / picture.height, build.source->lowest(), build.source->highest(),
                picture.rgb);
  return true;
}

// What a tile's children hold: their largest error and the region of their contents, which
// the tile's region takes in (a viewer looks for a tile's children only within it).
struct Below {
  double error = 0.0;
  double region[6] = {HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL, HUGE_VAL, -HUGE_VAL};
  bool any = false;
  void add(const TileRecord & child)
  {
    error = std::max(error, child.error);
    if (any) widenRegion(region, child.region);
    else std::copy(child.region, child.region + 6, region);
    any = true;
  }
};

// Writes a tile's content and record, its region taking in its children's (none: below is null).
// The record keeps the mesh where a tile above is built from it. The record's error so far
// leaves out the rounding of its positions, which the content says.
bool finish(const TileBuild & build, TileTools & tools, TileRecord & record, const std::vector<int32_t> & triangles,
            const TilePicture & picture, bool keepMesh, const Below * below, std::string & reason)
{
  const size_t n = record.vertices.size();
  std::vector<double> longitudes(n), latitudes(n);
  std::vector<float> ups(3 * n);
  const TileBounds bounds = boundsOf(record.address);
  for (size_t i = 0; i < n; ++i) {
    const TileVertex & v = record.vertices[i];
    // The longitude of the post's own column, turned to lie by the tile.
    double longitude = tools.placer.longitudeOf(build.lattice->canonicalColumn(v.column));
    while (longitude < bounds.west - 180.0) longitude += 360.0;
    while (longitude > bounds.east + 180.0) longitude -= 360.0;
    longitudes[i] = longitude;
    latitudes[i] = tools.placer.latitudeOf(v.row);
    const std::array<float, 3> & up = tools.placer.upAt(v.column, v.row);
    std::copy(up.begin(), up.end(), &ups[3 * i]);
  }
  std::string glb;
  double rounding = 0.0;
  if (!tileContent(record.vertices, triangles, record.address.level, build.spanDegrees, picture, longitudes, latitudes,
                   ups, build.terrain ? nullptr : &glb, record.region, rounding)) {
    reason = "cannot make the content of tile " + nameOf(record.address);
    return false;
  }
  record.error += rounding;
  if (below != nullptr && below->any) widenRegion(record.region, below->region);
  record.empty = false;
  record.contentHash = hashBytes(glb.data(), glb.size());
  record.contentSize = glb.size();
  record.settings = build.settings;
  if (!keepMesh && !build.terrain) {
    record.vertices.clear();
    record.triangles.clear();
  }
  return build.save(record, glb, reason);
}

bool saveEmpty(const TileBuild & build, const TileAddress & tile, std::string & reason)
{
  TileRecord record;
  record.address = tile;
  record.settings = build.settings;
  return build.save(record, std::string(), reason);
}

// A tile of the last level: every post of its valid cells, from the window.
bool buildLast(const TileBuild & build, TileTools & tools, const TileAddress & tile, const Window & window,
               const std::vector<double> & at, const std::vector<double> & ellipsoidal,
               const std::vector<int32_t> & vertexOfPost, Below & below, std::string & reason)
{
  const TileCells cells = build.lattice->cellsOf(tile);
  std::vector<int32_t> ownVertex, triangles;
  std::vector<size_t> ownPost;
  if (!cells.empty()) meshCells(window, cells, ownVertex, ownPost, triangles);
  if (triangles.empty()) return saveEmpty(build, tile, reason);
  TileRecord record;
  record.address = tile;
  record.error = 0.0;
  std::vector<TileVertex> & vertices = record.vertices;
  vertices.resize(ownPost.size());
  for (size_t i = 0; i < ownPost.size(); ++i) {
    const size_t p = ownPost[i], v = size_t(vertexOfPost[p]);
    TileVertex & out = vertices[i];
    out.column = window.c0 + int64_t(p % size_t(window.width));
    out.row = window.r0 + int64_t(p / size_t(window.width));
    std::copy(&at[3 * v], &at[3 * v] + 3, out.at);
    out.ellipsoidal = ellipsoidal[v];
    out.height = window.heights[p];
  }
  record.triangles = triangles;
  TilePicture picture;
  if (build.terrain) {
    if (!finish(build, tools, record, triangles, picture, false, nullptr, reason)) return false;
    below.add(record);
    return true;
  }
  picture.c0 = cells.c0;
  picture.r0 = cells.r0;
  picture.columns = picture.width = int(cells.postColumns());
  picture.rows = picture.height = int(cells.postRows());
  std::vector<float> heights(size_t(picture.width) * size_t(picture.height));
  for (int y = 0; y < picture.height; ++y)
    for (int x = 0; x < picture.width; ++x) heights[size_t(y) * size_t(picture.width) + size_t(x)] = window.at(cells.c0 + x, cells.r0 + y);
  double east = 1.0, south = 1.0;
  postSpans(tools, cells, east, south);
  reliefPicture(heights.data(), picture.width, picture.height, east, south, build.source->lowest(),
                build.source->highest(), picture.rgb);
  // The last level's records need no mesh: the tile above reads the same posts.
  if (!finish(build, tools, record, triangles, picture, false, nullptr, reason)) return false;
  below.add(record);
  return true;
}

// A tile above the last from its mesh over some points: the points its triangles use, numbered
// by first use (vertexOf(point) makes each), its picture, its content and record.
template <typename VertexOf>
bool finishMeshed(const TileBuild & build, TileTools & tools, const TileAddress & tile, const TileCells & cells,
                  const std::vector<int32_t> & triangles, size_t points, const Below & below, TileRecord & record,
                  std::string & reason, VertexOf && vertexOf)
{
  std::vector<int32_t> renumber(points, -1), kept;
  kept.reserve(triangles.size());
  for (const int32_t p : triangles) {
    if (renumber[size_t(p)] < 0) {
      renumber[size_t(p)] = int32_t(record.vertices.size());
      record.vertices.push_back(vertexOf(p));
    }
    kept.push_back(renumber[size_t(p)]);
  }
  record.triangles = kept;
  TilePicture picture;
  if (!build.terrain && !sampledPicture(build, tools, tile, cells, picture, reason)) return false;
  return finish(build, tools, record, kept, picture, true, &below, reason);
}

} // namespace

double roundingOf(const TileBuild & build, int level)
{
  return roundingError(level, build.spanDegrees);
}

double levelBudget(const TileBuild & build, int level)
{
  if (level >= build.deepest) return roundingOf(build, build.deepest);
  return std::ldexp(build.maxError, build.deepest - 1 - level);
}

bool buildFromPosts(const TileBuild & build, TileTools & tools, const TileAddress & tile, std::string & reason)
{
  const TileCells cells = build.lattice->cellsOf(tile);
  if (cells.empty()) return saveEmpty(build, tile, reason);
  Window window;
  if (!readWindow(tools, build, tile, cells, window, reason)) return false;
  std::vector<int32_t> vertexOfPost, triangles;
  std::vector<size_t> postOfVertex;
  meshCells(window, cells, vertexOfPost, postOfVertex, triangles);
  const size_t n = postOfVertex.size();
  std::vector<int64_t> columns(n), rows(n);
  std::vector<float> heights(n);
  for (size_t i = 0; i < n; ++i) {
    columns[i] = window.c0 + int64_t(postOfVertex[i] % size_t(window.width));
    rows[i] = window.r0 + int64_t(postOfVertex[i] / size_t(window.width));
    heights[i] = window.heights[postOfVertex[i]];
  }
  std::vector<double> at(3 * n), ellipsoidal(n);
  if (!tools.placer.place(n, columns.data(), rows.data(), heights.data(), at.data(), ellipsoidal.data())) {
    reason = "PROJ cannot place the posts of tile " + nameOf(tile) + " on the Earth";
    return false;
  }
  Below below;
  if (tile.level == build.deepest)
    return buildLast(build, tools, tile, window, at, ellipsoidal, vertexOfPost, below, reason);
  for (int k = 0; k < 4; ++k)
    if (!buildLast(build, tools, tile.child(k), window, at, ellipsoidal, vertexOfPost, below, reason))
      return false;
  if (triangles.empty()) return saveEmpty(build, tile, reason);

  // The tile itself, from every post of its cells, its border decided from the border alone.
  std::vector<uint8_t> keep;
  markBorder(window, cells, keep);
  SurfaceInput input;
  input.width = int32_t(cells.c1 - cells.c0);
  input.height = int32_t(cells.r1 - cells.r0);
  input.points.resize(n);
  for (size_t i = 0; i < n; ++i) {
    SurfacePoint & p = input.points[i];
    p.x = int32_t(columns[i] - cells.c0);
    p.y = int32_t(cells.r1 - rows[i]);
    std::copy(&at[3 * i], &at[3 * i] + 3, p.at);
    const std::array<float, 3> & up = tools.placer.upAt(columns[i], rows[i]);
    std::copy(up.begin(), up.end(), p.up);
    p.keep = keep[postOfVertex[i]] != 0;
  }
  input.triangles = std::move(triangles);
  input.tolerance = std::max(0.0, build.maxError - roundingOf(build, tile.level) - roundingOf(build, build.deepest));
  input.borderTolerance = input.tolerance / 2.0;
  input.overlay = false;
  SurfaceMesh mesh;
  if (!meshSurface(input, mesh, reason)) {
    reason = "cannot mesh tile " + nameOf(tile) + ": " + reason;
    return false;
  }
  TileRecord record;
  record.address = tile;
  // Its children keep every post: their error is their rounding alone.
  record.error = below.error + mesh.largest;
  return finishMeshed(build, tools, tile, cells, mesh.triangles, n, below, record, reason, [&](int32_t p) {
    TileVertex v;
    v.column = columns[size_t(p)];
    v.row = rows[size_t(p)];
    std::copy(&at[3 * size_t(p)], &at[3 * size_t(p)] + 3, v.at);
    v.ellipsoidal = ellipsoidal[size_t(p)];
    v.height = heights[size_t(p)];
    v.keep = input.points[size_t(p)].keep ? 1 : 0;
    return v;
  });
}

bool buildFromChildren(const TileBuild & build, TileTools & tools, const TileAddress & tile, std::string & reason)
{
  const TileCells cells = build.lattice->cellsOf(tile);
  TileRecord children[4];
  Below below;
  size_t points = 0, triangles = 0;
  for (int k = 0; k < 4; ++k) {
    if (build.lattice->cellsOf(tile.child(k)).empty()) continue; // no cell: never built
    if (!build.load(tile.child(k), children[k])) {
      reason = "the record of tile " + nameOf(tile.child(k)) + " is missing";
      return false;
    }
    if (children[k].empty) continue;
    below.add(children[k]);
    points += children[k].vertices.size();
    triangles += children[k].triangles.size();
  }
  if (triangles == 0 || cells.empty()) return saveEmpty(build, tile, reason);
  // The children's posts, each once (neighbours share their borders), in the order of the grid.
  std::vector<std::pair<std::pair<int64_t, int64_t>, std::pair<int, int32_t>>> order;
  order.reserve(points);
  for (int k = 0; k < 4; ++k)
    for (size_t i = 0; i < children[k].vertices.size(); ++i)
      order.push_back({{children[k].vertices[i].row, children[k].vertices[i].column}, {k, int32_t(i)}});
  std::sort(order.begin(), order.end());
  SurfaceInput input;
  input.width = int32_t(cells.c1 - cells.c0);
  input.height = int32_t(cells.r1 - cells.r0);
  std::vector<std::vector<int32_t>> pointOf(4);
  for (int k = 0; k < 4; ++k) pointOf[size_t(k)].assign(children[k].vertices.size(), -1);
  std::vector<const TileVertex *> source;
  for (size_t i = 0; i < order.size(); ++i) {
    const TileVertex & v = children[order[i].second.first].vertices[size_t(order[i].second.second)];
    if (i == 0 || order[i].first != order[i - 1].first) {
      SurfacePoint p;
      p.x = int32_t(v.column - cells.c0);
      p.y = int32_t(cells.r1 - v.row);
      if (p.x < 0 || p.y < 0 || p.x > input.width || p.y > input.height) {
        reason = "a post of tile " + nameOf(tile) + "'s children lies outside it";
        return false;
      }
      std::copy(v.at, v.at + 3, p.at);
      const std::array<float, 3> & up = tools.placer.upAt(v.column, v.row);
      std::copy(up.begin(), up.end(), p.up);
      p.keep = v.keep && (p.x == 0 || p.y == 0 || p.x == input.width || p.y == input.height);
      input.points.push_back(p);
      source.push_back(&v);
    }
    pointOf[size_t(order[i].second.first)][size_t(order[i].second.second)] = int32_t(input.points.size() - 1);
  }
  input.triangles.reserve(triangles);
  for (int k = 0; k < 4; ++k)
    for (const int32_t v : children[k].triangles) input.triangles.push_back(pointOf[size_t(k)][size_t(v)]);
  // What the children's surface already strays from the posts is spent; the rest of the
  // level's budget is the tile's to spend against that surface.
  input.tolerance = std::max(0.0, levelBudget(build, tile.level) - below.error - roundingOf(build, tile.level));
  // Its border keeps every post its children keep there: one dropped here would leave the
  // children's triangles about it to be crossed by the tile's, and the border is decided from
  // the border alone, without them.
  input.borderTolerance = -1.0;
  input.overlay = true;
  SurfaceMesh mesh;
  if (!meshSurface(input, mesh, reason)) {
    reason = "cannot mesh tile " + nameOf(tile) + ": " + reason;
    return false;
  }
  TileRecord record;
  record.address = tile;
  record.error = below.error + mesh.largest;
  return finishMeshed(build, tools, tile, cells, mesh.triangles, input.points.size(), below, record, reason,
                      [&](int32_t p) {
                        TileVertex v = *source[size_t(p)];
                        v.keep = input.points[size_t(p)].keep ? 1 : 0;
                        return v;
                      });
}
