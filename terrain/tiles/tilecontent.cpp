#include "tilecontent.h"

#include "geodeticgrid.h"
#include "glbwriter.h"
#include "picturefile.h"
#include "rastercolours.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Every tile of a level lies within this many metres of its centre, heights of 12 km included:
// a tile holds no more of the raster than the raster itself.
double reachOf(int level, double spanDegrees)
{
  return 6.4e6 * std::min(tileDegrees(level), spanDegrees) * M_PI / 180.0 * 0.75 + 12000.0;
}

// A chord of this length sags at most this far below a sphere the size of the Earth's
// smallest curvature.
double sagOf(double length)
{
  return length * length / (2.0 * 6.33e6);
}

} // namespace

double positionStep(int level, double spanDegrees)
{
  return std::ldexp(1.0, int(std::ceil(std::log2(reachOf(level, spanDegrees) / 16777216.0))));
}

// Rounding moves a vertex by up to half a step's diagonal; vertically that much over the rise of
// the steepest triangle a content counts (steeper ones count as this steep).
static const double steepestRise = 0.02;

double roundingError(int level, double spanDegrees)
{
  return positionStep(level, spanDegrees) * std::sqrt(3.0) / 2.0 / steepestRise;
}

bool tileContent(const std::vector<TileVertex> & vertices, const std::vector<int32_t> & triangles, int level,
                 double spanDegrees, const TilePicture & picture, const std::vector<double> & longitudes,
                 const std::vector<double> & latitudes, const std::vector<float> & ups, std::string * glb,
                 double region[6], double & rounding)
{
  if (vertices.empty() || triangles.empty()) return false;
  const double step = positionStep(level, spanDegrees);
  const size_t n = vertices.size();
  std::vector<double> rounded(3 * n);
  double low[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, high[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  for (size_t i = 0; i < n; ++i)
    for (int k = 0; k < 3; ++k) {
      const double r = std::nearbyint(vertices[i].at[k] / step) * step;
      rounded[3 * i + size_t(k)] = r;
      low[k] = std::min(low[k], r);
      high[k] = std::max(high[k], r);
    }
  double centre[3];
  for (int k = 0; k < 3; ++k) centre[k] = std::nearbyint((low[k] + high[k]) / 2.0 / step) * step;
  GlbMesh mesh;
  // glTF is Y up: Earth-centred X, Y, Z become X, Z, -Y, as a viewer of tiles turns it back.
  mesh.translation[0] = centre[0];
  mesh.translation[1] = centre[2];
  mesh.translation[2] = -centre[1];
  mesh.positions.resize(3 * n);
  mesh.texCoords.resize(2 * n);
  for (size_t i = 0; i < n; ++i) {
    mesh.positions[3 * i] = float(rounded[3 * i] - centre[0]);
    mesh.positions[3 * i + 1] = float(rounded[3 * i + 2] - centre[2]);
    mesh.positions[3 * i + 2] = float(-(rounded[3 * i + 1] - centre[1]));
    mesh.texCoords[2 * i] = float((double(vertices[i].column - picture.c0) + 0.5) / double(picture.columns));
    mesh.texCoords[2 * i + 1] = float((double(vertices[i].row - picture.r0) + 0.5) / double(picture.rows));
  }
  // A triangle with two corners on one place (posts of a row at a pole) shows nothing. How far
  // rounding moves the surface vertically: a step's diagonal, more on steep triangles.
  double steepest = 1.0;
  for (size_t t = 0; t + 2 < triangles.size(); t += 3) {
    const double * a = &rounded[3 * size_t(triangles[t])], * b = &rounded[3 * size_t(triangles[t + 1])],
                 * c = &rounded[3 * size_t(triangles[t + 2])];
    const double u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]}, v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    const double normal[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    const double length = std::sqrt(normal[0] * normal[0] + normal[1] * normal[1] + normal[2] * normal[2]);
    if (length == 0.0) continue;
    const float * up = &ups[3 * size_t(triangles[t])];
    const double rise = (normal[0] * up[0] + normal[1] * up[1] + normal[2] * up[2]) / length;
    steepest = std::min(steepest, std::max(rise, steepestRise));
    mesh.indices.insert(mesh.indices.end(), {uint32_t(triangles[t]), uint32_t(triangles[t + 1]), uint32_t(triangles[t + 2])});
  }
  if (mesh.indices.empty()) return false;
  rounding = step * std::sqrt(3.0) / 2.0 / steepest;
  if (glb != nullptr) {
    if (picture.width > 0 && !pngOf(picture.rgb.data(), picture.width, picture.height, 3, 2, mesh.picture)) return false;
    if (!encodeGlb(mesh, *glb)) return false;
  }
  double sag = 0.0;
  for (size_t t = 0; t < mesh.indices.size(); t += 3)
    for (int k = 0; k < 3; ++k) {
      const double * a = vertices[mesh.indices[t + size_t(k)]].at;
      const double * b = vertices[mesh.indices[t + size_t(k == 2 ? 0 : k + 1)]].at;
      const double d2 = (a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]);
      sag = std::max(sag, sagOf(std::sqrt(d2)));
    }
  double west = HUGE_VAL, east = -HUGE_VAL, south = HUGE_VAL, north = -HUGE_VAL, lowest = HUGE_VAL, highest = -HUGE_VAL;
  for (size_t i = 0; i < n; ++i) {
    west = std::min(west, longitudes[i]);
    east = std::max(east, longitudes[i]);
    south = std::min(south, latitudes[i]);
    north = std::max(north, latitudes[i]);
    lowest = std::min(lowest, vertices[i].ellipsoidal);
    highest = std::max(highest, vertices[i].ellipsoidal);
  }
  // Rounding moves a vertex less than a step: an angle of at most that over the smallest
  // distance from the Earth's axis a post of the region has, a radius at the poles for latitude.
  const double toRadians = M_PI / 180.0;
  // Within a tenth of a degree of a pole longitude means little: there it widens no further.
  const double across = step / 6.3e6,
               along = step / (6.3e6 * std::max(0.0017, std::cos(std::max(std::fabs(south), std::fabs(north)) * toRadians)));
  region[0] = west * toRadians - along;
  region[1] = std::max(-90.0, south) * toRadians - across;
  region[2] = east * toRadians + along;
  region[3] = std::min(90.0, north) * toRadians + across;
  region[1] = std::max(region[1], -M_PI / 2);
  region[3] = std::min(region[3], M_PI / 2);
  // Across the antimeridian the region runs from its west beyond its east.
  if (region[0] < -M_PI) region[0] += 2.0 * M_PI;
  if (region[2] > M_PI) region[2] -= 2.0 * M_PI;
  region[4] = lowest - sag - step;
  region[5] = highest + step;
  return true;
}

void widenRegion(double region[6], const double other[6])
{
  // Longitudes as spans that run east from their west, other's turned round the globe to lie
  // nearest region's.
  const double turn = 2.0 * M_PI;
  const double w = region[0], e = region[2] < w ? region[2] + turn : region[2];
  double ow = other[0], oe = other[2] < ow ? other[2] + turn : other[2];
  for (const double by : {-turn, turn})
    if (std::fabs((ow + oe + 2.0 * by) / 2.0 - (w + e) / 2.0) < std::fabs((ow + oe) / 2.0 - (w + e) / 2.0)) {
      ow += by;
      oe += by;
    }
  double west = std::min(w, ow), east = std::max(e, oe);
  if (east - west >= turn) {
    west = -M_PI;
    east = M_PI;
  }
  if (west < -M_PI) west += turn;
  if (east > M_PI) east -= turn;
  region[0] = west;
  region[2] = east;
  region[1] = std::min(region[1], other[1]);
  region[3] = std::max(region[3], other[3]);
  region[4] = std::min(region[4], other[4]);
  region[5] = std::max(region[5], other[5]);
}

void reliefPicture(const float * heights, int width, int height, double spanEast, double spanSouth, float lowest,
                   float highest, std::vector<unsigned char> & rgb)
{
  rgb.assign(size_t(width) * size_t(height) * 3, 0);
  const auto at = [&](int x, int y) { return heights[size_t(y) * size_t(width) + size_t(x)]; };
  // A slope from the neighbours either side, or from the one there is.
  const auto slope = [](float before, float here, float after, double span) {
    if (std::isfinite(before) && std::isfinite(after)) return float((after - before) / (2.0 * span));
    if (std::isfinite(after)) return float((after - here) / span);
    if (std::isfinite(before)) return float((here - before) / span);
    return 0.0f;
  };
  const float none = std::numeric_limits<float>::quiet_NaN();
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const float h = at(x, y);
      if (!std::isfinite(h)) continue;
      const float east = slope(x > 0 ? at(x - 1, y) : none, h, x + 1 < width ? at(x + 1, y) : none, spanEast);
      const float south = slope(y > 0 ? at(x, y - 1) : none, h, y + 1 < height ? at(x, y + 1) : none, spanSouth);
      reliefColour(h, lowest, highest, east, south, &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3]);
    }
}
