#ifndef TERRAVEL_TRIANGLEROWS_H
#define TERRAVEL_TRIANGLEROWS_H

// The posts a triangle of posts covers, row by row: each row's span from the three edges'
// half-planes in whole numbers, exactly, so that a post on an edge counts in both triangles.

#include "gridtriangulation.h"

#include <algorithm>
#include <cstdint>

// floor(n / d) and ceil(n / d) for d above zero.
inline int64_t floorDiv(int64_t n, int64_t d) { return n >= 0 ? n / d : -((-n + d - 1) / d); }
inline int64_t ceilDiv(int64_t n, int64_t d) { return n >= 0 ? (n + d - 1) / d : -((-n) / d); }

// Calls visit(y, x0, x1) for every row of posts in the closure of the counter-clockwise triangle
// c, with the row's span, within columns xLow..xHigh and rows yLow..yHigh.
template <typename Visit>
void forEachRowIn(const GridTriangulation::Point (&c)[3], int64_t xLow, int64_t xHigh, int64_t yLow, int64_t yHigh,
                  Visit && visit)
{
  const int64_t y0 = std::max<int64_t>(yLow, std::min({c[0].y, c[1].y, c[2].y}));
  const int64_t y1 = std::min<int64_t>(yHigh, std::max({c[0].y, c[1].y, c[2].y}));
  const int64_t x0 = std::max<int64_t>(xLow, std::min({c[0].x, c[1].x, c[2].x}));
  const int64_t x1 = std::min<int64_t>(xHigh, std::max({c[0].x, c[1].x, c[2].x}));
  for (int64_t y = y0; y <= y1; ++y) {
    int64_t lo = x0, hi = x1;
    for (int k = 0; k < 3 && lo <= hi; ++k) {
      const GridTriangulation::Point & p = c[k], & q = c[k == 2 ? 0 : k + 1];
      // Inside when a x + b >= 0: the edge's orientation test along the row.
      const int64_t a = -(int64_t(q.y) - p.y);
      const int64_t b = (int64_t(q.x) - p.x) * (y - p.y) + (int64_t(q.y) - p.y) * p.x;
      if (a > 0) lo = std::max(lo, ceilDiv(-b, a));
      else if (a < 0) hi = std::min(hi, floorDiv(b, -a));
      else if (b < 0) hi = lo - 1;
    }
    if (lo <= hi) visit(int32_t(y), int32_t(lo), int32_t(hi));
  }
}

#endif
