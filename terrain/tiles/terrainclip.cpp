#include "terrainclip.h"

#include "gridtriangulation.h"
#include "quantizedmesh.h"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <unordered_map>

namespace {

struct Point {
  double x, y, h; // longitude, latitude, height
};

// Where the segment from p to q crosses the line where coordinate axis (0: x, 1: y) is at; the
// same numbers whichever way round the segment is given.
Point crossing(Point p, Point q, int axis, double at)
{
  if (std::tie(q.x, q.y, q.h) < std::tie(p.x, p.y, p.h)) std::swap(p, q);
  const double from = axis == 0 ? p.x : p.y, to = axis == 0 ? q.x : q.y;
  const double t = (at - from) / (to - from);
  Point r = {p.x + t * (q.x - p.x), p.y + t * (q.y - p.y), p.h + t * (q.h - p.h)};
  (axis == 0 ? r.x : r.y) = at;
  return r;
}

// Keeps the part of a convex polygon where side * (coordinate - at) >= 0.
void clipSide(const std::vector<Point> & polygon, int axis, double at, double side, std::vector<Point> & out)
{
  out.clear();
  const size_t n = polygon.size();
  for (size_t i = 0; i < n; ++i) {
    const Point & p = polygon[i], & q = polygon[(i + 1) % n];
    const double dp = side * ((axis == 0 ? p.x : p.y) - at), dq = side * ((axis == 0 ? q.x : q.y) - at);
    if (dp >= 0.0) out.push_back(p);
    if ((dp > 0.0 && dq < 0.0) || (dp < 0.0 && dq > 0.0)) out.push_back(crossing(p, q, axis, at));
  }
}

class TileTriangulation {
public:
  // The triangulation's frame lies a step outside the tile, so that the tile's bounds and
  // corners are vertices and edges like any other.
  explicit TileTriangulation(const TileBounds & bounds)
    : bounds(bounds), triangulation(-1, -1, quantizedMax + 1, quantizedMax + 1), points(4, Point{NAN, NAN, NAN})
  {
    int32_t vertex[4];
    for (int k = 0; k < 4; ++k)
      vertex[k] = vertexOf({k == 0 || k == 3 ? bounds.west : bounds.east, k < 2 ? bounds.south : bounds.north, NAN});
    for (int k = 0; k < 4; ++k) constrain(vertex[k], vertex[(k + 1) % 4]);
  }

  // The vertex at the point's place on u, v, made where there is none.
  int32_t vertexOf(const Point & p)
  {
    const int32_t u = quantize(p.x, bounds.west, bounds.east), v = quantize(p.y, bounds.south, bounds.north);
    const auto found = vertexAt.find(key(u, v));
    if (found != vertexAt.end()) {
      Point & known = points[size_t(found->second)];
      if (std::isnan(known.h)) known.h = p.h; // a corner of the tile the terrain covers
      return found->second;
    }
    const GridTriangulation::Point at = {u, v};
    const int32_t t = triangulation.locate(at, hint);
    const int32_t vertex = triangulation.insertIn(t, at, touched);
    hint = triangulation.triangleAt(vertex);
    vertexAt[key(u, v)] = vertex;
    points.push_back(p);
    return vertex;
  }

  void constrain(int32_t a, int32_t b)
  {
    if (a != b) triangulation.constrain(a, b);
  }

  void output(ClippedTile & tile)
  {
    std::vector<int32_t> number(points.size(), -1);
    tile.triangles.clear();
    tile.u.clear();
    tile.v.clear();
    tile.points.clear();
    for (int32_t t = 0; t < triangulation.numTriangles(); ++t) {
      // Only the tile's own: no corner on the frame.
      bool inside = true;
      for (int k = 0; k < 3; ++k) inside = inside && triangulation.corner(t, k) >= 4;
      if (!inside) continue;
      for (int k = 0; k < 3; ++k) {
        const int32_t c = triangulation.corner(t, k);
        if (number[size_t(c)] < 0) {
          number[size_t(c)] = int32_t(tile.u.size());
          const GridTriangulation::Point & q = triangulation.point(c);
          tile.u.push_back(uint16_t(q.x));
          tile.v.push_back(uint16_t(q.y));
          const Point & p = points[size_t(c)];
          // Where no terrain reaches, the ellipsoid.
          tile.points.push_back({p.x, p.y, std::isnan(p.h) ? 0.0 : p.h});
        }
        tile.triangles.push_back(uint32_t(number[size_t(c)]));
      }
    }
  }

private:
  static uint32_t key(int32_t u, int32_t v) { return uint32_t(u) << 16 | uint32_t(v); }
  static int32_t quantize(double value, double low, double high)
  {
    return int32_t(std::clamp<long>(std::lround((value - low) / (high - low) * quantizedMax), 0L, long(quantizedMax)));
  }

  TileBounds bounds;
  GridTriangulation triangulation;
  std::unordered_map<uint32_t, int32_t> vertexAt;
  std::vector<Point> points; // of each vertex of the triangulation
  std::vector<int32_t> touched;
  int32_t hint = 0;
};

// The pieces as they are, each a fan of triangles over its quantized corners: enough where
// they cover the tile exactly once, every triangle turning the right way. False otherwise
// (ground without terrain to fill, a sliver rounding turned over).
bool piecesAsTheyAre(const std::vector<std::vector<Point>> & pieces, const TileBounds & bounds, ClippedTile & tile)
{
  const auto quantize = [](double value, double low, double high) {
    return int32_t(std::clamp<long>(std::lround((value - low) / (high - low) * quantizedMax), 0L, long(quantizedMax)));
  };
  std::unordered_map<uint32_t, uint32_t> vertexAt;
  std::vector<uint32_t> triangles;
  std::vector<int32_t> us, vs;
  std::vector<SurfacePoint3> points;
  int64_t area = 0;
  std::vector<uint32_t> corners;
  for (const std::vector<Point> & piece : pieces) {
    corners.clear();
    for (const Point & p : piece) {
      const int32_t u = quantize(p.x, bounds.west, bounds.east), v = quantize(p.y, bounds.south, bounds.north);
      const auto [at, made] = vertexAt.emplace(uint32_t(u) << 16 | uint32_t(v), uint32_t(us.size()));
      if (made) {
        us.push_back(u);
        vs.push_back(v);
        points.push_back({p.x, p.y, p.h});
      }
      if (corners.empty() || corners.back() != at->second) corners.push_back(at->second);
    }
    while (corners.size() > 1 && corners.back() == corners.front()) corners.pop_back();
    for (size_t k = 1; k + 1 < corners.size(); ++k) {
      const uint32_t a = corners[0], b = corners[k], c = corners[k + 1];
      const int64_t twice = int64_t(us[b] - us[a]) * (vs[c] - vs[a]) - int64_t(us[c] - us[a]) * (vs[b] - vs[a]);
      if (twice < 0) return false;
      if (twice == 0) continue;
      area += twice;
      triangles.insert(triangles.end(), {a, b, c});
    }
  }
  if (area != 2 * int64_t(quantizedMax) * quantizedMax) return false;
  // Vertices numbered by first use, as the index code wants them.
  std::vector<int32_t> number(us.size(), -1);
  tile = ClippedTile();
  for (const uint32_t i : triangles) {
    if (number[i] < 0) {
      number[i] = int32_t(tile.u.size());
      tile.u.push_back(uint16_t(us[i]));
      tile.v.push_back(uint16_t(vs[i]));
      tile.points.push_back(points[i]);
    }
    tile.triangles.push_back(uint32_t(number[i]));
  }
  return true;
}

} // namespace

void clipToTile(const std::vector<SurfacePoint3> & points, const std::vector<uint32_t> & triangles,
                const TileBounds & bounds, ClippedTile & tile)
{
  std::vector<Point> polygon, cut;
  std::vector<std::vector<Point>> pieces;
  for (size_t t = 0; t + 2 < triangles.size(); t += 3) {
    polygon.clear();
    for (int k = 0; k < 3; ++k) {
      const SurfacePoint3 & p = points[triangles[t + size_t(k)]];
      polygon.push_back({p.longitude, p.latitude, p.height});
    }
    double lo[2] = {HUGE_VAL, HUGE_VAL}, hi[2] = {-HUGE_VAL, -HUGE_VAL};
    for (const Point & p : polygon) {
      lo[0] = std::min(lo[0], p.x), hi[0] = std::max(hi[0], p.x);
      lo[1] = std::min(lo[1], p.y), hi[1] = std::max(hi[1], p.y);
    }
    if (hi[0] <= bounds.west || lo[0] >= bounds.east || hi[1] <= bounds.south || lo[1] >= bounds.north) continue;
    // West and east first, then south and north, in both neighbours alike.
    clipSide(polygon, 0, bounds.west, 1.0, cut);
    clipSide(cut, 0, bounds.east, -1.0, polygon);
    clipSide(polygon, 1, bounds.south, 1.0, cut);
    clipSide(cut, 1, bounds.north, -1.0, polygon);
    if (polygon.size() >= 3) pieces.push_back(polygon);
  }
  if (piecesAsTheyAre(pieces, bounds, tile)) return;
  // Otherwise a triangulation of the whole tile anew, every piece's sides kept, so that the
  // tile's triangles lie each within one of them or where there is no terrain.
  TileTriangulation mesh(bounds);
  std::vector<std::vector<int32_t>> outlines;
  for (const std::vector<Point> & piece : pieces) {
    std::vector<int32_t> outline;
    for (const Point & p : piece) outline.push_back(mesh.vertexOf(p));
    outlines.push_back(std::move(outline));
  }
  for (const std::vector<int32_t> & outline : outlines)
    for (size_t i = 0; i < outline.size(); ++i) mesh.constrain(outline[i], outline[(i + 1) % outline.size()]);
  mesh.output(tile);
}
