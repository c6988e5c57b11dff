#ifndef TERRAVEL_SOWINEXAMINERVIEWER_H
#define TERRAVEL_SOWINEXAMINERVIEWER_H

#include <Inventor/Win/viewers/SoWinFullViewer.h>

#include <memory>

class SoNode;
class SoWinExaminerViewerP;

// An examiner viewer embedded in a window made by SoWin::init.
class SoWinExaminerViewer : public SoWinFullViewer {
public:
  SoWinExaminerViewer(HWND parent = nullptr, const char * name = nullptr, SbBool embed = TRUE,
                      SoWinFullViewer::BuildFlag flag = BUILD_ALL,
                      SoWinViewer::Type type = BROWSER);
  ~SoWinExaminerViewer();

  void setSceneGraph(SoNode * root);
  SoNode * getSceneGraph(void) const;
  void setHeadlight(SbBool on);
  SbBool isHeadlight(void) const;
  void setTitle(const char * title);
  void show(void);
  void hide(void);

private:
  SoWinExaminerViewer(const SoWinExaminerViewer &) = delete;
  SoWinExaminerViewer & operator=(const SoWinExaminerViewer &) = delete;
  std::unique_ptr<SoWinExaminerViewerP> pimpl;
};

#endif
