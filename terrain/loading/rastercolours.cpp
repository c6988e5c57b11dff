#include "rastercolours.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

struct Stop {
  float at;
  float rgb[3];
};

// Land from its lowest to its highest post.
const Stop land[] = {{0.0f, {70, 140, 70}},    {0.3f, {160, 190, 100}}, {0.55f, {210, 185, 120}},
                     {0.8f, {160, 120, 85}},   {1.0f, {250, 250, 250}}};
// Water from the surface to the deepest post.
const Stop sea[] = {{0.0f, {120, 180, 230}}, {1.0f, {20, 50, 120}}};

template <size_t N>
void ramp(const Stop (&stops)[N], float t, float rgb[3])
{
  t = std::min(1.0f, std::max(0.0f, t));
  size_t i = 1;
  while (i + 1 < N && stops[i].at < t) ++i;
  const Stop & a = stops[i - 1];
  const Stop & b = stops[i];
  const float f = b.at > a.at ? (t - a.at) / (b.at - a.at) : 0.0f;
  for (int k = 0; k < 3; ++k) rgb[k] = a.rgb[k] + (b.rgb[k] - a.rgb[k]) * f;
}

} // namespace

void reliefColour(float height, float lowest, float highest, float slopeEast, float slopeSouth,
                  unsigned char rgb[3])
{
  // Sea level and below is water: rasters mark the sea as 0 (SRTM) or give its depth.
  const float landLow = lowest > 0.0f ? lowest : 0.0f;
  const float landSpan = highest > landLow ? highest - landLow : 1.0f;
  float colour[3];
  if (height <= 0.0f) ramp(sea, lowest < 0.0f ? height / lowest : 0.0f, colour);
  else ramp(land, (height - landLow) / landSpan, colour);
  // Light from the north-west, 45 degrees above the horizon; a flat post gets full light.
  const SbVec3f light = SbVec3f(-0.5f, 0.70710678f, -0.5f);
  SbVec3f normal(-slopeEast, 1.0f, -slopeSouth);
  normal.normalize();
  const float shade = std::min(1.3f, std::max(0.0f, normal.dot(light) / light[1]));
  const float factor = 0.3f + 0.7f * shade;
  for (int i = 0; i < 3; ++i) rgb[i] = static_cast<unsigned char>(std::min(255.0f, colour[i] * factor));
}

void makeReliefTexture(int64_t columns, int64_t rows, const std::vector<SbVec3f> & points,
                       const std::vector<int32_t> & vertexOf, int maxSide, TextureFields & texture)
{
  const int64_t k = std::max<int64_t>(1, (std::max(columns, rows) + maxSide - 1) / maxSide);
  const int64_t width = (columns - 1) / k + 1, height = (rows - 1) / k + 1;
  float lowest = std::numeric_limits<float>::infinity(), highest = -lowest;
  for (const SbVec3f & p : points) {
    lowest = std::min(lowest, p[1]);
    highest = std::max(highest, p[1]);
  }
  const auto vertex = [&](int64_t c, int64_t r) -> const SbVec3f * {
    if (c < 0 || r < 0 || c >= columns || r >= rows) return nullptr;
    const int32_t v = vertexOf[size_t(r * columns + c)];
    return v < 0 ? nullptr : &points[size_t(v)];
  };
  // The slope along one axis from the neighbours on either side (or one side at an edge).
  const auto slope = [&](const SbVec3f & here, const SbVec3f * before, const SbVec3f * after,
                         int axis) {
    const SbVec3f & a = before != nullptr ? *before : here;
    const SbVec3f & b = after != nullptr ? *after : here;
    const float run = b[axis] - a[axis];
    return run != 0.0f ? (b[1] - a[1]) / run : 0.0f;
  };

  texture.imageWidth = int32_t(width);
  texture.imageHeight = int32_t(height);
  texture.imageComponents = 3;
  texture.image.assign(size_t(width) * size_t(height) * 3, 0);
  for (int64_t y = 0; y < height; ++y) {
    unsigned char * row = &texture.image[size_t(height - 1 - y) * size_t(width) * 3];
    for (int64_t x = 0; x < width; ++x) {
      const int64_t c = x * k, r = y * k;
      const SbVec3f * here = vertex(c, r);
      if (here == nullptr) continue;
      reliefColour((*here)[1], lowest, highest, slope(*here, vertex(c - k, r), vertex(c + k, r), 0),
                   slope(*here, vertex(c, r - k), vertex(c, r + k), 2), &row[x * 3]);
    }
  }
}
