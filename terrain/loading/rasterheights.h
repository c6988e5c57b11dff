#ifndef TERRAVEL_RASTERHEIGHTS_H
#define TERRAVEL_RASTERHEIGHTS_H

#include <gdal.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <string>

// Metres per unit of a band's heights, by the unit it names; metres when it names none.
inline double metresPerHeightUnit(GDALRasterBandH band)
{
  std::string unit = GDALGetRasterUnitType(band) != nullptr ? GDALGetRasterUnitType(band) : "";
  std::transform(unit.begin(), unit.end(), unit.begin(), [](unsigned char c) { return std::tolower(c); });
  if (unit == "ft" || unit == "foot" || unit == "feet" || unit == "international foot") return 0.3048;
  if (unit == "us-ft" || unit == "us survey foot" || unit == "ftus") return 1200.0 / 3937.0;
  return 1.0;
}

// How a band's stored values become heights in metres.
struct HeightScale {
  bool hasNoData = false;
  float noData = 0.0f;
  double scale = 1.0, offset = 0.0, toMetres = 1.0, zScale = 1.0;

  HeightScale(GDALRasterBandH band, float zScale) : zScale(zScale)
  {
    int has = 0;
    noData = float(GDALGetRasterNoDataValue(band, &has));
    hasNoData = has != 0;
    const double s = GDALGetRasterScale(band, &has);
    if (has) scale = s;
    const double o = GDALGetRasterOffset(band, &has);
    if (has) offset = o;
    toMetres = metresPerHeightUnit(band);
  }
  // NaN where the post is not valid; +inf where the height is no single-precision number.
  float heightOf(float value) const
  {
    if (!std::isfinite(value) || (hasNoData && value == noData))
      return std::numeric_limits<float>::quiet_NaN();
    const float height = float((value * scale + offset) * toMetres * zScale);
    return std::isfinite(height) ? height : std::numeric_limits<float>::infinity();
  }
};


#endif
