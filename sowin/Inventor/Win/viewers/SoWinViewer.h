#ifndef TERRAVEL_SOWINVIEWER_H
#define TERRAVEL_SOWINVIEWER_H

#include <Inventor/Win/SoWin.h>

class SoWinViewer {
public:
  enum Type { BROWSER = 0, EDITOR = 1 };
};

#endif
