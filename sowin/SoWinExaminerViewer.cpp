#include <Inventor/Win/viewers/SoWinExaminerViewer.h>

#include "FpsCounter.h"

#include <Inventor/Qt/viewers/SoQtExaminerViewer.h>
#include <QWidget>

#include <memory>

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

protected:
  void actualRedraw(void) override
  {
    if (counter) {
      const SbVec2s size = getGLSize();
      counter->frameStarts(size[0], size[1]);
    }
    SoQtExaminerViewer::actualRedraw();
    if (counter) counter->frameEnds();
  }

private:
  std::unique_ptr<FpsCounter> counter;
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
