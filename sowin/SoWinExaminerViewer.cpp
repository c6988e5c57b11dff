#include <Inventor/Win/viewers/SoWinExaminerViewer.h>

#include "FpsCounter.h"
#include "containedrun.h"
#include "safewrite.h"

#include <Inventor/Qt/viewers/SoQtExaminerViewer.h>
#include <GL/gl.h>
#include <QApplication>
#include <QImage>
#include <QImageWriter>
#include <QBuffer>
#include <QByteArray>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

// SoQt's examiner viewer with the layer's own frame-rate counter superimposed.
class CountingViewer : public SoQtExaminerViewer {
public:
  CountingViewer(QWidget * parent, const char * name, SbBool embed,
                 SoQtFullViewer::BuildFlag flag, SoQtViewer::Type type)
    : SoQtExaminerViewer(parent, name, embed, flag, type)
  {
    if (FpsCounter::wanted()) {
      counter = std::make_unique<FpsCounter>();
      addSuperimposition(counter->getScene());
    }
  }

  ~CountingViewer() override
  {
    if (counter) removeSuperimposition(counter->getScene());
  }

  void saveNextFrame(const std::string & file, const std::vector<std::string> & kept)
  {
    frameFile = file;
    keepIntact = kept;
    // A frame that never comes (a canvas that cannot draw) must not keep the program waiting.
    QTimer::singleShot(30000, getWidget(), [this]() {
      if (frameFile.empty()) return;
      std::fprintf(stderr, "No frame was drawn to save as %s.\n", frameFile.c_str());
      frameFile.clear();
      QApplication::quit();
    });
    scheduleRedraw();
  }

  bool saved = false;

protected:
  void actualRedraw(void) override
  {
    if (counter) {
      const SbVec2s size = getGLSize();
      counter->frameStarts(size[0], size[1]);
    }
    SoQtExaminerViewer::actualRedraw();
    if (counter) counter->frameEnds();
    if (!frameFile.empty()) {
      saved = writeFrame(frameFile);
      frameFile.clear();
      QTimer::singleShot(0, []() { QApplication::quit(); });
    }
  }

private:
  // The frame just drawn, read back from the buffer it was drawn into.
  bool writeFrame(const std::string & file)
  {
    const SbVec2s size = getGLSize();
    const int width = size[0], height = size[1];
    if (width <= 0 || height <= 0) return false;
    std::vector<unsigned char> pixels(size_t(width) * size_t(height) * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(isDoubleBuffer() ? GL_BACK : GL_FRONT);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    // GL's rows run bottom up, an image's top down.
    const QImage image =
      QImage(pixels.data(), width, height, QImage::Format_RGBA8888).mirrored().convertToFormat(QImage::Format_RGB888);
    QByteArray png;
    QBuffer buffer(&png);
    QImageWriter writer(&buffer, "png");
    if (!buffer.open(QIODevice::WriteOnly) || !writer.write(image)) {
      std::fprintf(stderr, "Cannot write the screenshot %s: %s\n", file.c_str(),
                   writer.errorString().toLocal8Bit().constData());
      return false;
    }
    const WriteOutcome written = writeTogether(
      {{file, [&png](int fd) { return writeAll(fd, png.constData(), size_t(png.size())); }}},
      keepIntact);
    const bool ok = written.written();
    if (!ok) std::fprintf(stderr, "Cannot write the screenshot %s: %s\n", file.c_str(), written.reason.c_str());
    return ok;
  }

  std::unique_ptr<FpsCounter> counter;
  std::string frameFile;
  std::vector<std::string> keepIntact;
};

} // namespace

class SoWinExaminerViewerP {
public:
  QWidget * parent;
  std::unique_ptr<CountingViewer> viewer;
};

SoWinExaminerViewer::SoWinExaminerViewer(HWND parent, const char * name, SbBool embed,
                                         SoWinFullViewer::BuildFlag flag,
                                         SoWinViewer::Type type)
  : pimpl(std::make_unique<SoWinExaminerViewerP>())
{
  pimpl->parent = parent;
  pimpl->viewer = std::make_unique<CountingViewer>(
      parent, name, embed, static_cast<SoQtFullViewer::BuildFlag>(flag),
      static_cast<SoQtViewer::Type>(type));
}

SoWinExaminerViewer::~SoWinExaminerViewer() = default;

void SoWinExaminerViewer::setSceneGraph(SoNode * root)
{
  pimpl->viewer->setSceneGraph(root);
}

SoNode * SoWinExaminerViewer::getSceneGraph(void) const
{
  return pimpl->viewer->getSceneGraph();
}

void SoWinExaminerViewer::setHeadlight(SbBool on)
{
  pimpl->viewer->setHeadlight(on);
}

SbBool SoWinExaminerViewer::isHeadlight(void) const
{
  return pimpl->viewer->isHeadlight();
}

void SoWinExaminerViewer::setTitle(const char * title)
{
  pimpl->viewer->setTitle(title);
  // An embedded viewer does not own its window; the title belongs on the window it lives in.
  if (pimpl->parent != nullptr) pimpl->parent->window()->setWindowTitle(title);
}

void SoWinExaminerViewer::show(void)
{
  pimpl->viewer->show();
}

void SoWinExaminerViewer::hide(void)
{
  pimpl->viewer->hide();
}

SoCamera * SoWinExaminerViewer::getCamera(void) const
{
  return pimpl->viewer->getCamera();
}

const SbViewportRegion & SoWinExaminerViewer::getViewportRegion(void) const
{
  return pimpl->viewer->getViewportRegion();
}

void SoWinExaminerViewer::saveNextFrame(const char * pngFile,
                                        const std::vector<std::string> & keepIntact)
{
  pimpl->viewer->saveNextFrame(pngFile, keepIntact);
}

bool SoWinExaminerViewer::frameSaved(void) const
{
  return pimpl->viewer->saved;
}
