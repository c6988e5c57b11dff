#ifndef TERRAVEL_TESTS_SOPERFGRAPH_ACCESS_H
#define TERRAVEL_TESTS_SOPERFGRAPH_ACCESS_H

// A narrow window onto a node's private state and steps, so the unit tests can check the
// layout and the texture without a GL context.

#include "SoPerfGraphP.h"

class SoPerfGraphTestAccess {
public:
  static bool originValid(SoPerfGraph * node) { return p(node)->originValid; }
  static bool positionValid(SoPerfGraph * node) { return p(node)->positionValid; }
  static bool sizeValid(SoPerfGraph * node) { return p(node)->sizeValid; }
  static bool textureDirty(SoPerfGraph * node) { return p(node)->textureDirty; }
  static int texRows(SoPerfGraph * node) { return p(node)->texRows; }
  static int texColumns(SoPerfGraph * node) { return p(node)->texColumns; }
  static float visibleFraction(SoPerfGraph * node) { return p(node)->visibleFraction; }
  static int currentRow(SoPerfGraph * node) { return p(node)->currentRow; }
  static int numValues(SoPerfGraph * node) { return p(node)->numValues; }
  static int startIndex(SoPerfGraph * node) { return p(node)->startIndex; }
  static float maxValue(SoPerfGraph * node) { return p(node)->maxValue; }
  static float topValue(SoPerfGraph * node) { return p(node)->topValue; }
  static const float * values(SoPerfGraph * node) { return p(node)->values.data(); }
  static const double * times(SoPerfGraph * node) { return p(node)->times.data(); }
  static SbViewportRegion lastViewport(SoPerfGraph * node) { return p(node)->lastViewport; }

  static void updateLayout(SoPerfGraph * node, const SbViewportRegion & viewport,
                           bool forRendering)
  {
    p(node)->updateLayout(viewport, forRendering);
  }
  static void redrawGraph(SoPerfGraph * node) { p(node)->redrawGraph(); }
  static void updateTexCoords(SoPerfGraph * node, int rows) { p(node)->updateTexCoords(rows); }
  static void fillRow(SoPerfGraph * node, unsigned char * row, int count, float value)
  {
    (node->*FillRow::member())(row, count, value);
  }
  static float niceCeiling(float x) { return SoPerfGraphP::niceCeiling(x); }

  // Puts the node into a state its own code never reaches, to show that the checks on the
  // drawing hold in every build.
  static void setVisibleFraction(SoPerfGraph * node, float fraction)
  {
    p(node)->visibleFraction = fraction;
  }

  // Moves every sample taken so far, and the last update of the average, the given seconds
  // into the past, as if that much time had gone by since.
  static void age(SoPerfGraph * node, double seconds)
  {
    for (double & time : p(node)->times)
      if (time != 0.0) time -= seconds;
    p(node)->lastAverageTime -= seconds;
  }

private:
  static SoPerfGraphP * p(SoPerfGraph * node) { return SoPerfGraphP::of(node); }
  // fillRow is protected: a subclass may name it.
  struct FillRow : SoPerfGraph {
    static void (SoPerfGraph::*member(void))(unsigned char *, int, float) { return &FillRow::fillRow; }
  };
};

#endif
