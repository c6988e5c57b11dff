#ifndef TERRAVEL_SOPERFGRAPHP_H
#define TERRAVEL_SOPERFGRAPHP_H

// The private data of SoPerfGraph: the sample rings, the texture's layout and the internal
// nodes the node changes. Not part of the node's interface; its source and its tests use it.

#include "soperfgraph.h"

#include <Inventor/SbViewportRegion.h>
#include <Inventor/misc/SoChildList.h>
#include <Inventor/sensors/SoNodeSensor.h>

#include <vector>

class SoCoordinate3;
class SoGroup;
class SoIndexedTriangleStripSet;
class SoOrthographicCamera;
class SoText2;
class SoTexture2;
class SoTextureCoordinate2;
class SoTranslation;

class SoPerfGraphP {
public:
  explicit SoPerfGraphP(SoPerfGraph * master);

  // The node's private data, for the node's own code and its unit tests.
  static SoPerfGraphP * of(SoPerfGraph * node) { return node->pimpl.get(); }
  // Rounds away from zero to 2, 4, 6 or 10 times a power of ten.
  static float niceCeiling(float x);

  static void fieldChanged(void * data, SoSensor * sensor);

  void redrawGraph(void);
  void updateTexCoords(int rows);
  void rebuildTexture(void);
  void updateLayout(const SbViewportRegion & viewport, bool forRendering);
  void addQuad(SoGroup * annotation);
  void addLabels(SoGroup * annotation);

  SoPerfGraph * master;
  // Declared before the sensor and the rings so that it goes last: the sensor must be
  // detached before the internal graph is released.
  SoChildList children;
  SoNodeSensor sensor;

  std::vector<float> values;
  std::vector<double> times;
  int numValues;
  int startIndex;
  float maxValue;
  float topValue;

  int texRows;
  int texColumns;
  float visibleFraction;
  int currentRow;

  SoOrthographicCamera * camera;
  SoCoordinate3 * quadCoords;
  SoIndexedTriangleStripSet * quad;
  SoTexture2 * graphTexture;
  SoTextureCoordinate2 * quadTexCoords;
  SoTranslation * scaleOffset;
  SoTranslation * averageOffset;
  SoText2 * scaleLabel;
  SoText2 * averageLabel;

  double lastAverageTime;
  SbViewportRegion lastViewport;

  unsigned int originValid : 1;
  unsigned int positionValid : 1;
  unsigned int sizeValid : 1;
  unsigned int textureDirty : 1;
};

#endif
