#ifndef TERRAVEL_SOWIN_H
#define TERRAVEL_SOWIN_H

// The names of the toolkit's Windows GUI binding that Terravel's main flow uses, provided on
// Linux by a thin layer over SoQt. The main flow includes these headers exactly as it would
// include the real binding's, so it builds unchanged against either.

#include <Inventor/SbBasic.h>

class QWidget;
typedef QWidget * HWND;

class SoWin {
public:
  // Opens the toolkit's GUI binding and returns the application's top-level window, or null
  // when no window can be made here (no display to connect to).
  static HWND init(const char * appName, const char * className = "SoWin");
  // Runs the event loop; returns once the user has closed the top-level window.
  static void mainLoop(void);
  static void show(HWND widget);
  static void hide(HWND widget);
};

#endif
