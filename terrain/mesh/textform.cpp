#include "textform.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

float asWritten(float value)
{
  // Whole numbers of up to eight digits are written as they are.
  if (value == std::nearbyint(value) && std::fabs(value) < 1e8f) return value;
  if (!std::isfinite(value)) return value;
  char text[32];
  std::snprintf(text, sizeof text, "%.8g", double(value));
  return float(std::strtod(text, nullptr)); // as the toolkit reads it
}
