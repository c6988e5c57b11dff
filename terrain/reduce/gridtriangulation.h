#ifndef TERRAVEL_GRIDTRIANGULATION_H
#define TERRAVEL_GRIDTRIANGULATION_H

// A constrained Delaunay triangulation of points with whole-number coordinates (the posts of a
// raster), built by inserting points one at a time. Every test is exact (orientation in 64 bits,
// the circle test in 128), so no triangle ever has its corners on one line, and it works the
// same on every machine. Constrained edges are never flipped; triangles carry a mark that is
// passed on to those made from them, so that a region (the inside of a terrain's outline) keeps
// its mark as points are added.
//
//     3-------2      the box's corners are vertices 0 to 3; everything else lies strictly
//     | \  1  |      inside it. Triangle t has corners corner(t, 0..2) counter-clockwise
//     |  0  \ |      (x right, y up) and across its edge k, from corner k to corner k + 1,
//     0-------1      the triangle neighbour(t, k), or -1 on the box's outline.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

class GridTriangulation {
public:
  struct Point {
    int32_t x, y;
  };

  // Two triangles over the box from (x0, y0) to (x1, y1), unmarked.
  GridTriangulation(int32_t x0, int32_t y0, int32_t x1, int32_t y1);

  // Adds a point that lies in the closure of triangle t (inside it or on one of its edges) and
  // is no vertex yet; the triangulation is made Delaunay again about it by flips across
  // unconstrained edges. An edge it lies on keeps its constraint in both halves. The triangles
  // made or changed are appended to touched. Returns the new vertex.
  int32_t insertIn(int32_t t, Point p, std::vector<int32_t> & touched);
  // The triangle whose closure holds the point, walking from triangle start.
  int32_t locate(Point p, int32_t start) const;
  // Makes the segment from vertex a to vertex b an edge of the triangulation, constrained; a
  // vertex lying on it splits it. False when it cannot be recovered (it crosses a constrained
  // edge).
  bool constrain(int32_t a, int32_t b);

  // The triangle left of the edge from vertex a to vertex b, with k its edge from a to b; -1
  // when there is no such edge.
  int32_t triangleLeftOf(int32_t a, int32_t b, int & k) const;
  // Marks triangle start and every triangle reachable from it across unconstrained edges.
  void markFrom(int32_t start);

  // A triangle with vertex v as a corner.
  int32_t triangleAt(int32_t v) const { return triangleOf[size_t(v)]; }
  int32_t corner(int32_t t, int k) const { return corners[3 * size_t(t) + size_t(k)]; }
  // The edge of triangle t across which triangle u lies.
  int edgeTowards(int32_t t, int32_t u) const;
  int32_t neighbour(int32_t t, int k) const { return neighbours[3 * size_t(t) + size_t(k)]; }
  bool constrained(int32_t t, int k) const { return (flags[size_t(t)] >> k) & 1; }
  bool marked(int32_t t) const { return (flags[size_t(t)] & markBit) != 0; }
  const Point & point(int32_t v) const { return points[size_t(v)]; }
  int32_t numTriangles(void) const { return int32_t(flags.size()); }
  int32_t numVertices(void) const { return int32_t(points.size()); }

  // While set, an edge is flipped only where this says so of its quadrilateral (a, b and the
  // corners c and d on either side), besides being out of the Delaunay circle.
  using FlipRule = bool (*)(const void * context, int32_t a, int32_t b, int32_t c, int32_t d);
  void setFlipRule(FlipRule rule, const void * context)
  {
    flipRule = rule;
    flipContext = context;
  }

  // Room for this many points without growing the lists.
  void reserve(size_t points);

  // Twice the signed area of a, b, c: positive when counter-clockwise.
  static int64_t orient(const Point & a, const Point & b, const Point & c)
  {
    return (int64_t(b.x) - a.x) * (int64_t(c.y) - a.y) - (int64_t(b.y) - a.y) * (int64_t(c.x) - a.x);
  }

private:
  static constexpr uint8_t markBit = 8;

  int32_t newTriangle(int32_t a, int32_t b, int32_t c, uint8_t mark);
  void setCorners(int32_t t, int32_t a, int32_t b, int32_t c);
  void link(int32_t t, int k, int32_t u, int j);
  void linkAcross(int32_t t, int k, int32_t u, int32_t before);
  void setConstrained(int32_t t, int k, bool on);
  void flip(int32_t t, int k);
  void legalize(std::vector<int32_t> & touched);
  bool inCircle(int32_t t, int32_t v) const;
  int32_t splitEdge(int32_t t, int k, int32_t v, std::vector<int32_t> & touched);
  int32_t splitInside(int32_t t, int32_t v, std::vector<int32_t> & touched);
  bool crossingEdges(int32_t a, int32_t b, std::vector<std::pair<int32_t, int>> & crossing,
                     int32_t & through) const;

  std::vector<Point> points;
  std::vector<int32_t> corners, neighbours;
  std::vector<uint8_t> flags; // bits 0 to 2: edges constrained; markBit: marked
  std::vector<int32_t> triangleOf; // a triangle at each vertex
  std::vector<std::pair<int32_t, int>> pendingEdges; // for legalize, kept between calls
  FlipRule flipRule = nullptr;
  const void * flipContext = nullptr;
};

#endif
