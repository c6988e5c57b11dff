#ifndef TERRAVEL_SOPERFGRAPH_H
#define TERRAVEL_SOPERFGRAPH_H

#include <Inventor/SbViewportRegion.h>
#include <Inventor/fields/SoSFEnum.h>
#include <Inventor/fields/SoSFVec2f.h>
#include <Inventor/fields/SoSFVec2s.h>
#include <Inventor/nodes/SoNode.h>
#include <Inventor/nodes/SoSubNode.h>

#include <memory>

class SoPerfGraphP;

// A screen-aligned overlay that plots a measured value as a scrolling bar graph: one bar per
// sample with the newest at the right edge, a label naming the top of the value axis and its
// unit, and a label with the average over the last second. The owner feeds it with addValue();
// the node lays itself out against the viewport each time it is rendered, so it can sit
// anywhere in a scene and depends on nothing around it.
//
// Call SoPerfGraph::initClass() once after SoDB::init() before making the first node.
//
// File format example (a graph in the upper right corner, 2 pixels per sample):
//
//   SoPerfGraph {
//     vertAlignment    TOP
//     horAlignment     RIGHT
//     size             0.3 0.1
//     position         -0.02 -0.02
//     vertScreenOrigin TOP
//     horScreenOrigin  RIGHT
//     dataScale        2 1
//   }
class SoPerfGraph : public SoNode {
  typedef SoNode inherited;
  SO_NODE_HEADER(SoPerfGraph);

public:
  static void initClass(void);
  SoPerfGraph(void);

  enum VertAlignment { BOTTOM = 0, HALF = 1, TOP = 2 };
  enum HorAlignment { LEFT = 0, CENTER = 1, RIGHT = 2 };

  SoSFEnum vertAlignment;
  SoSFEnum horAlignment;
  SoSFVec2f size;
  SoSFVec2f position;
  SoSFVec2s sizeInPixels;
  SoSFVec2s positionInPixels;
  SoSFEnum vertScreenOrigin;
  SoSFEnum horScreenOrigin;
  SoSFVec2f dataScale;

  // Records one sample, stamped with the current time of day. The unit is used only when
  // the axis top changes and the scale label is rewritten.
  void addValue(float value, const char * unit);

  virtual void doAction(SoAction * action);
  virtual void GLRender(SoGLRenderAction * action);
  virtual void callback(SoCallbackAction * action);
  virtual void getBoundingBox(SoGetBoundingBoxAction * action);
  virtual void getMatrix(SoGetMatrixAction * action);
  virtual void handleEvent(SoHandleEventAction * action);
  virtual void pick(SoPickAction * action);
  virtual void audioRender(SoAudioRenderAction * action);
  virtual void getPrimitiveCount(SoGetPrimitiveCountAction * action);
  virtual SoChildList * getChildren(void) const;

protected:
  virtual ~SoPerfGraph();

  // Fills the count texels of one texture row, four bytes each, for a sample of the given
  // value. Texel 0 lies at the bottom of the graph. Subclasses override this to draw the
  // bars differently.
  virtual void fillRow(unsigned char * row, int count, float value);

  // The axis top that fillRow() scales the bars to.
  float getTopValue(void) const;

private:
  SoPerfGraph(const SoPerfGraph &) = delete;
  SoPerfGraph & operator=(const SoPerfGraph &) = delete;

  std::unique_ptr<SoPerfGraphP> pimpl;
  friend class SoPerfGraphP;
};

#endif
