// SoWin on top of SoQt: start-up checks that keep the process from aborting or hanging where
// SoQt would, and the window nudge that makes the GL canvas take its real size.

#include <Inventor/Win/SoWin.h>

#include "FpsCounter.h"

#include <Inventor/Qt/SoQt.h>
#include <QApplication>
#include <QWidget>
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

// SoQt opens a modal dialog and waits for a click when it cannot make a GL canvas; nobody may
// be there to click, so the run ends instead.
void fatalError(const SbString errmsg, SoQt::FatalErrors, void *)
{
  std::printf("\nCannot show the viewer: %s\n", errmsg.getString());
  std::fflush(stdout);
  std::_Exit(1);
}

bool displayReachable(void)
{
  // A busy server can refuse a connection for a moment; a missing one refuses every time.
  for (int attempt = 0; attempt < 3; ++attempt) {
    Display * display = XOpenDisplay(NULL);
    if (display != NULL) {
      XCloseDisplay(display);
      return true;
    }
    if (std::getenv("DISPLAY") == NULL) break;
    usleep(200000);
  }
  return false;
}

} // namespace

HWND SoWin::init(const char * appName, const char * className)
{
  // SoQt aborts the process when the display cannot be opened.
  if (!displayReachable()) return NULL;

  // Textures are decoded by simage, which the toolkit finds only by its unversioned name
  // unless told otherwise; Debian's runtime package ships only the versioned one.
  setenv("COIN_SIMAGE_LIBNAME", "libsimage.so.20", 0);

  // The toolkit's own frame-rate counter leaks its text colour into the scene's material, so
  // the layer draws the counter itself and keeps the toolkit's switched off.
  FpsCounter::takeOverFromToolkit();

  SoQt::setFatalErrorHandler(fatalError, NULL);
  return SoQt::init(appName, className);
}

void SoWin::mainLoop(void)
{
  // A window closed before the loop starts (while it was being shown) has already asked the
  // application to quit; entering the loop then would wait forever.
  QWidget * top = SoQt::getTopLevelWidget();
  if (top != NULL && !top->isVisible()) return;
  SoQt::mainLoop();
}

void SoWin::show(HWND widget)
{
  SoQt::show(widget);
  QWidget * top = widget->window();
  QApplication::processEvents();
  // With Mesa's software renderer the GL buffer keeps the canvas's first size until the
  // window is resized once.
  const QSize size = top->size();
  top->resize(size.width() + 1, size.height());
  QApplication::processEvents();
  top->resize(size);
  QApplication::processEvents();
}

void SoWin::hide(HWND widget)
{
  SoQt::hide(widget);
}
