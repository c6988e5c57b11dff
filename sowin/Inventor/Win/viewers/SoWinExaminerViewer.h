#ifndef TERRAVEL_SOWINEXAMINERVIEWER_H
#define TERRAVEL_SOWINEXAMINERVIEWER_H

#include <Inventor/Win/viewers/SoWinFullViewer.h>

#include <memory>
#include <string>
#include <vector>

class SbViewportRegion;
class SoCamera;
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
  // The camera the viewer made for its scene graph, and the area it draws into.
  SoCamera * getCamera(void) const;
  const SbViewportRegion & getViewportRegion(void) const;

  // Not in the toolkit's binding: the next frame drawn is written to the file as a PNG
  // (through a temporary file, so an earlier picture survives a failed write), and then the
  // main loop ends. frameSaved() tells afterwards whether the picture was written.
  void saveNextFrame(const char * pngFile, const std::vector<std::string> & keepIntact = {});
  bool frameSaved(void) const;

private:
  SoWinExaminerViewer(const SoWinExaminerViewer &) = delete;
  SoWinExaminerViewer & operator=(const SoWinExaminerViewer &) = delete;
  std::unique_ptr<SoWinExaminerViewerP> pimpl;
};

#endif
