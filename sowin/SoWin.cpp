// SoWin on top of SoQt: start-up checks that keep the process from aborting or hanging where
// SoQt would, and the window nudge that makes the GL canvas take its real size.

#include <Inventor/Win/SoWin.h>

#include "FpsCounter.h"

#include <Inventor/Qt/SoQt.h>
#include <QApplication>
#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <QWidget>
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

const char * programName = "terravel";
QtMessageHandler qtDefaultHandler = nullptr;

// Qt ends the process with abort() on a fatal message (no platform plugin, a display that went
// away); the run ends with a one-line reason and exit code 1 instead of a core dump.
void qtMessage(QtMsgType type, const QMessageLogContext & context, const QString & message)
{
  if (type != QtFatalMsg) {
    if (qtDefaultHandler != nullptr) qtDefaultHandler(type, context, message);
    return;
  }
  const QByteArray text = message.simplified().toLocal8Bit();
  std::fprintf(stderr, "%s: cannot start the window system: %s\n", programName, text.constData());
  std::fflush(stderr);
  std::_Exit(1);
}

// Held from the check until the toolkit's own connection exists. A virtual display started
// without -noreset resets when its last client leaves; closing the check's connection first
// could start that reset just as Qt connects, and Qt gives up on a resetting server.
Display * displayGuard = nullptr;

bool openDisplayGuard(void)
{
  const char * name = std::getenv("DISPLAY");
  if (name == nullptr || name[0] == '\0') {
    std::fprintf(stderr, "%s: no display to show the viewer on (DISPLAY is not set)\n",
                 programName);
    return false;
  }
  // A server that is resetting, or too busy to answer, refuses connections for a moment; a
  // missing one refuses every time, so the wait is short.
  for (int attempt = 0; attempt < 30; ++attempt) {
    displayGuard = XOpenDisplay(nullptr);
    if (displayGuard != nullptr) return true;
    usleep(100000);
  }
  std::fprintf(stderr, "%s: cannot connect to the display \"%s\"\n", programName, name);
  return false;
}

void closeDisplayGuard(void)
{
  if (displayGuard != nullptr) XCloseDisplay(displayGuard);
  displayGuard = nullptr;
}

} // namespace

HWND SoWin::init(const char * appName, const char * className)
{
  if (appName != nullptr && appName[0] != '\0') {
    const char * slash = std::strrchr(appName, '/');
    programName = slash != nullptr ? slash + 1 : appName;
  }
  // SoQt aborts the process when the display cannot be opened.
  if (!openDisplayGuard()) return nullptr;

  // Textures are decoded by simage, which the toolkit finds only by its unversioned name
  // unless told otherwise; Debian's runtime package ships only the versioned one.
  setenv("COIN_SIMAGE_LIBNAME", "libsimage.so.20", 0);

  // The toolkit's own frame-rate counter leaks its text colour into the scene's material, so
  // the layer draws the counter itself and keeps the toolkit's switched off.
  FpsCounter::takeOverFromToolkit();

  SoQt::setFatalErrorHandler(fatalError, nullptr);
  qtDefaultHandler = qInstallMessageHandler(qtMessage);
  HWND window = SoQt::init(appName, className);
  closeDisplayGuard();
  return window;
}

void SoWin::mainLoop(void)
{
  // A window closed before the loop starts (while it was being shown) has already asked the
  // application to quit; entering the loop then would wait forever.
  QWidget * top = SoQt::getTopLevelWidget();
  if (top != nullptr && !top->isVisible()) return;
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
