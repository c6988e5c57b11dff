#include "quantizedmesh.h"

#include <ogr_srs_api.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

// The WGS 84 ellipsoid's axes, as GDAL knows them.
struct Axes {
  double a = 0.0, b = 0.0;
  Axes(void)
  {
    OGRSpatialReferenceH wgs84 = OSRNewSpatialReference(nullptr);
    OSRSetWellKnownGeogCS(wgs84, "WGS84");
    a = OSRGetSemiMajor(wgs84, nullptr);
    b = OSRGetSemiMinor(wgs84, nullptr);
    OSRDestroySpatialReference(wgs84);
  }
};

const Axes & axes(void)
{
  static const Axes wgs84;
  return wgs84;
}

class Bytes {
public:
  explicit Bytes(std::string & out) : out(out) {}
  template <typename T> void put(T value)
  {
    char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T)); // little-endian, as this machine and the format are
    out.append(raw, sizeof(T));
  }
  void align(size_t size)
  {
    while (out.size() % size != 0) out.push_back('\0');
  }
  size_t size(void) const { return out.size(); }

private:
  std::string & out;
};

uint16_t zigZag(int32_t value)
{
  return uint16_t((uint32_t(value) << 1) ^ uint32_t(value >> 31));
}

double dot(const double * p, const double * q) { return p[0] * q[0] + p[1] * q[1] + p[2] * q[2]; }

void normalise(double * p)
{
  const double length = std::sqrt(dot(p, p));
  if (length > 0.0)
    for (int k = 0; k < 3; ++k) p[k] /= length;
}

// Where the ellipsoid's surface faces at (near) a point: its gradient there.
void upAt(const double * p, double * up)
{
  const double a2 = axes().a * axes().a, b2 = axes().b * axes().b;
  up[0] = p[0] / a2;
  up[1] = p[1] / a2;
  up[2] = p[2] / b2;
  normalise(up);
}

// Per vertex, the sum of its triangles' normals weighted by their areas; where that leans into
// the ground (a vertical wall, a fold), the ground's own normal.
std::vector<double> normalsOf(const TerrainTile & tile)
{
  const size_t n = tile.u.size();
  std::vector<double> normals(3 * n, 0.0);
  for (size_t t = 0; t + 2 < tile.triangles.size(); t += 3) {
    const double * a = &tile.ecef[3 * tile.triangles[t]], * b = &tile.ecef[3 * tile.triangles[t + 1]],
                 * c = &tile.ecef[3 * tile.triangles[t + 2]];
    const double e[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]}, f[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    const double m[3] = {e[1] * f[2] - e[2] * f[1], e[2] * f[0] - e[0] * f[2], e[0] * f[1] - e[1] * f[0]};
    for (int k = 0; k < 3; ++k)
      for (int j = 0; j < 3; ++j) normals[3 * tile.triangles[t + size_t(k)] + size_t(j)] += m[j];
  }
  for (size_t i = 0; i < n; ++i) {
    double up[3];
    upAt(&tile.ecef[3 * i], up);
    double * m = &normals[3 * i];
    normalise(m);
    if (dot(m, up) <= 0.05) std::copy(up, up + 3, m);
  }
  return normals;
}

// Two bytes of a unit vector folded onto the octahedron.
void octEncode(const double * m, uint8_t & x, uint8_t & y)
{
  const double sum = std::fabs(m[0]) + std::fabs(m[1]) + std::fabs(m[2]);
  double px = m[0] / sum, py = m[1] / sum;
  if (m[2] < 0.0) {
    const double fx = (1.0 - std::fabs(py)) * (px >= 0.0 ? 1.0 : -1.0);
    const double fy = (1.0 - std::fabs(px)) * (py >= 0.0 ? 1.0 : -1.0);
    px = fx;
    py = fy;
  }
  x = uint8_t(std::lround((std::clamp(px, -1.0, 1.0) * 0.5 + 0.5) * 255.0));
  y = uint8_t(std::lround((std::clamp(py, -1.0, 1.0) * 0.5 + 0.5) * 255.0));
}

// How far along the unit direction (in the frame where the ellipsoid is the unit sphere) a
// point must lie to come into view no later than the scaled point p; infinite where none does.
double horizonMagnitude(const double * p, const double * direction)
{
  const double magnitude = std::max(1.0, std::sqrt(dot(p, p)));
  double unit[3] = {p[0], p[1], p[2]};
  normalise(unit);
  const double cosAlpha = dot(unit, direction);
  const double cross[3] = {unit[1] * direction[2] - unit[2] * direction[1], unit[2] * direction[0] - unit[0] * direction[2],
                           unit[0] * direction[1] - unit[1] * direction[0]};
  const double sinAlpha = std::sqrt(dot(cross, cross));
  const double cosBeta = 1.0 / magnitude, sinBeta = std::sqrt(magnitude * magnitude - 1.0) / magnitude;
  const double c = cosAlpha * cosBeta - sinAlpha * sinBeta;
  return c > 0.0 ? 1.0 / c : std::numeric_limits<double>::infinity();
}

void putHeader(Bytes & out, const TerrainTile & tile, double low, double high)
{
  const size_t n = tile.u.size();
  for (int k = 0; k < 3; ++k) out.put<double>(tile.centre[k]);
  out.put<float>(float(low));
  out.put<float>(float(high));
  // The sphere about the middle of the box of the vertices and the tile's centre.
  double lo[3] = {tile.centre[0], tile.centre[1], tile.centre[2]}, hi[3] = {lo[0], lo[1], lo[2]};
  for (size_t i = 0; i < n; ++i)
    for (int k = 0; k < 3; ++k) {
      lo[k] = std::min(lo[k], tile.ecef[3 * i + size_t(k)]);
      hi[k] = std::max(hi[k], tile.ecef[3 * i + size_t(k)]);
    }
  const double middle[3] = {(lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, (lo[2] + hi[2]) / 2};
  double radius = std::sqrt((tile.centre[0] - middle[0]) * (tile.centre[0] - middle[0]) +
                            (tile.centre[1] - middle[1]) * (tile.centre[1] - middle[1]) +
                            (tile.centre[2] - middle[2]) * (tile.centre[2] - middle[2]));
  for (size_t i = 0; i < n; ++i) {
    const double * p = &tile.ecef[3 * i];
    radius = std::max(radius, std::sqrt((p[0] - middle[0]) * (p[0] - middle[0]) + (p[1] - middle[1]) * (p[1] - middle[1]) +
                                        (p[2] - middle[2]) * (p[2] - middle[2])));
  }
  for (int k = 0; k < 3; ++k) out.put<double>(middle[k]);
  out.put<double>(radius * (1.0 + 1e-9) + 1e-3);
  // The horizon occlusion point, in the frame where the ellipsoid is the unit sphere, along the
  // sphere's centre: as far out as the vertex that needs it farthest.
  double direction[3] = {middle[0] / axes().a, middle[1] / axes().a, middle[2] / axes().b};
  normalise(direction);
  double magnitude = 1.0;
  for (size_t i = 0; i < n; ++i) {
    const double p[3] = {tile.ecef[3 * i] / axes().a, tile.ecef[3 * i + 1] / axes().a, tile.ecef[3 * i + 2] / axes().b};
    magnitude = std::max(magnitude, horizonMagnitude(p, direction));
  }
  // A tile over half the globe has no such point: one far out along the direction keeps it
  // in view from wherever its side of the globe is.
  if (!std::isfinite(magnitude)) magnitude = 1e6;
  for (int k = 0; k < 3; ++k) out.put<double>(direction[k] * magnitude * (1.0 + 1e-9));
}

template <typename Index> void putIndices(Bytes & out, const TerrainTile & tile)
{
  out.put<uint32_t>(uint32_t(tile.triangles.size() / 3));
  uint32_t highest = 0;
  for (const uint32_t i : tile.triangles) {
    out.put<Index>(Index(highest - i));
    if (i == highest) ++highest;
  }
  // The edges: west, south, east, north.
  for (int side = 0; side < 4; ++side) {
    std::vector<uint32_t> on;
    for (uint32_t i = 0; i < uint32_t(tile.u.size()); ++i) {
      const bool along = side == 0 ? tile.u[i] == 0 : side == 1 ? tile.v[i] == 0 : side == 2 ? tile.u[i] == quantizedMax
                                                                                              : tile.v[i] == quantizedMax;
      if (along) on.push_back(i);
    }
    std::sort(on.begin(), on.end(), [&](uint32_t p, uint32_t q) {
      return side % 2 == 0 ? tile.v[p] < tile.v[q] : tile.u[p] < tile.u[q];
    });
    out.put<uint32_t>(uint32_t(on.size()));
    for (const uint32_t i : on) out.put<Index>(Index(i));
  }
}

} // namespace

std::string encodeQuantizedMesh(const TerrainTile & tile)
{
  std::string bytes;
  Bytes out(bytes);
  const size_t n = tile.u.size();
  double low = HUGE_VAL, high = -HUGE_VAL;
  for (const double h : tile.height) {
    low = std::min(low, h);
    high = std::max(high, h);
  }
  putHeader(out, tile, low, high);
  out.put<uint32_t>(uint32_t(n));
  const double scale = high > low ? quantizedMax / (high - low) : 0.0;
  for (int run = 0; run < 3; ++run) {
    int32_t previous = 0;
    for (size_t i = 0; i < n; ++i) {
      const int32_t value = run == 0 ? tile.u[i] : run == 1 ? tile.v[i] : int32_t(std::lround((tile.height[i] - low) * scale));
      out.put<uint16_t>(zigZag(value - previous));
      previous = value;
    }
  }
  if (n > 65536) {
    out.align(4);
    putIndices<uint32_t>(out, tile);
  } else {
    putIndices<uint16_t>(out, tile);
  }
  // Oct-encoded vertex normals: extension 1.
  const std::vector<double> normals = normalsOf(tile);
  out.put<uint8_t>(1);
  out.put<uint32_t>(uint32_t(2 * n));
  for (size_t i = 0; i < n; ++i) {
    uint8_t x = 0, y = 0;
    octEncode(&normals[3 * i], x, y);
    out.put<uint8_t>(x);
    out.put<uint8_t>(y);
  }
  return bytes;
}
