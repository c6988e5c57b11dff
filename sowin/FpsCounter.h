#ifndef TERRAVEL_FPSCOUNTER_H
#define TERRAVEL_FPSCOUNTER_H

#include <Inventor/SbTime.h>

class SoNode;
class SoSeparator;
class SoText2;
class SoTranslation;

// The frame-rate counter that COIN_SHOW_FPS_COUNTER asks for, drawn as a superimposed scene
// through the toolkit's own render action so that its colour never reaches the terrain.
class FpsCounter {
public:
  // Reads COIN_SHOW_FPS_COUNTER and switches the toolkit's own counter off.
  static void takeOverFromToolkit(void);
  static bool wanted(void);

  FpsCounter(void);
  ~FpsCounter(void);
  FpsCounter(const FpsCounter &) = delete;
  FpsCounter & operator=(const FpsCounter &) = delete;

  SoNode * getScene(void) const;
  // Called around the viewer's redraw: the first measures the interval between frames, the
  // second the time the frame took to draw.
  void frameStarts(int viewportWidth, int viewportHeight);
  void frameEnds(void);

private:
  SoSeparator * root;
  SoTranslation * place;
  SoText2 * label;
  SbTime lastStart;
  SbTime thisStart;
  double renderSum;
  double intervalSum;
  int frames;
};

#endif
