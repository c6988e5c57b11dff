// What the level-of-detail tree is for: from a fixed set of cameras above a terrain, the
// triangles the toolkit's render traversal draws and the time a frame takes, for the flat mesh,
// the tree that switches at 2.1 cell widths, and the tree reduced within 1 m per level that
// switches where a chunk's error comes to 2 pixels; for each tree also the largest error, in
// pixels, that any chunk it draws shows (measured from the nearest point of the chunk's
// bounds). At 800 x 600 in an off-screen buffer of the display's GL.
// Needs a display (a virtual one will do: scripts/bench-render starts one).
// Usage: bench_render [TERRAIN LEVEL]...   (default: the SRTM tile at 6 and 8)

#include "chunkerror.h"
#include "firstview.h"
#include "shownpath.h"
#include "terrainmodel.h"

#include <Inventor/SbTime.h>
#include <Inventor/SbViewportRegion.h>
#include <Inventor/SoDB.h>
#include <Inventor/actions/SoCallbackAction.h>
#include <Inventor/actions/SoGetBoundingBoxAction.h>
#include <Inventor/actions/SoGLRenderAction.h>
#include <Inventor/elements/SoGLCacheContextElement.h>
#include <Inventor/SbBox3f.h>
#include <Inventor/nodes/SoDirectionalLight.h>
#include <Inventor/nodes/SoGroup.h>
#include <Inventor/nodes/SoLOD.h>
#include <Inventor/nodes/SoPerspectiveCamera.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoShape.h>

#include <GL/gl.h>
#include <GL/glx.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const int width = 800, height = 600;

double now(void) { return SbTime::getTimeOfDay().getValue(); }

void countTriangle(void * data, SoCallbackAction *, const SoPrimitiveVertex *,
                   const SoPrimitiveVertex *, const SoPrimitiveVertex *)
{
  ++*static_cast<long *>(data);
}

// A GL context on an off-screen buffer of the display.
bool makeContext(void)
{
  Display * display = XOpenDisplay(nullptr);
  if (display == nullptr) return false;
  const int attributes[] = {GLX_DRAWABLE_TYPE, GLX_PBUFFER_BIT, GLX_RENDER_TYPE, GLX_RGBA_BIT,
                            GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8, GLX_DEPTH_SIZE,
                            24, None};
  int count = 0;
  GLXFBConfig * configs = glXChooseFBConfig(display, DefaultScreen(display), attributes, &count);
  if (configs == nullptr || count == 0) return false;
  const int size[] = {GLX_PBUFFER_WIDTH, width, GLX_PBUFFER_HEIGHT, height, None};
  const GLXPbuffer buffer = glXCreatePbuffer(display, configs[0], size);
  const GLXContext context = glXCreateNewContext(display, configs[0], GLX_RGBA_TYPE, nullptr, True);
  XFree(configs);
  return context != nullptr && glXMakeContextCurrent(display, buffer, buffer, context);
}

struct View {
  const char * name;
  // Eye and aim as fractions of the terrain's extent about its centre; heights as fractions
  // of its width above its highest point.
  float eyeX, eyeUp, eyeZ, aimX, aimZ;
};

// The first view frames the whole terrain; the others come down towards the ground.
const View views[] = {{"overview (first view)", 0, 0, 0, 0, 0},
                      {"low over the south edge", 0.0f, 0.08f, 0.55f, 0.0f, 0.1f},
                      {"near the ground, centre", 0.05f, 0.02f, 0.05f, 0.0f, -0.1f}};

struct Figures {
  long triangles;
  double seconds;
  double largestPixels; // of any chunk drawn
};

// The nearest distance from the eye to a chunk's bounds.
double nearestDistance(SoNode * chunk, const SbVec3f & eye)
{
  SoGetBoundingBoxAction box(SbViewportRegion(width, height));
  box.apply(chunk);
  const SbBox3f bounds = box.getBoundingBox();
  double squared = 0.0;
  for (int k = 0; k < 3; ++k) {
    const double below = double(bounds.getMin()[k]) - eye[k], above = double(eye[k]) - bounds.getMax()[k];
    const double out = std::max({below, above, 0.0});
    squared += out * out;
  }
  return std::sqrt(squared);
}

// The largest projected error of the coarse chunks the tree draws from the camera, choosing as
// an SoLOD does: the near child while the eye is nearer to the centre than the range.
double largestPixels(SoNode * node, const SoPerspectiveCamera * camera)
{
  if (!node->isOfType(SoGroup::getClassTypeId())) return 0.0;
  SoGroup * group = static_cast<SoGroup *>(node);
  double largest = 0.0, error = 0.0, rms = 0.0;
  bool measured = false;
  const SbVec3f eye = camera->position.getValue();
  for (int i = 0; i < group->getNumChildren(); ++i) {
    SoNode * child = group->getChild(i);
    if (errorOfInfo(child, error, rms)) {
      measured = true;
    } else if (child->isOfType(SoLOD::getClassTypeId())) {
      SoLOD * lod = static_cast<SoLOD *>(child);
      if ((eye - lod->center.getValue()).length() < lod->range[0]) {
        largest = std::max(largest, largestPixels(lod->getChild(0), camera));
      } else if (measured) {
        const double distance = std::max(1e-9, nearestDistance(lod->getChild(1), eye));
        largest = std::max(largest, error * height /
                                      (2.0 * distance * std::tan(camera->heightAngle.getValue() / 2.0)));
      }
    } else {
      largest = std::max(largest, largestPixels(child, camera));
    }
  }
  return largest;
}

Figures measure(SoSeparator * scene, SoPerspectiveCamera * camera, SoGLRenderAction & render)
{
  SoSeparator * root = new SoSeparator;
  root->ref();
  root->addChild(camera);
  root->addChild(new SoDirectionalLight);
  root->addChild(scene);
  Figures figures = {0, 1e30, largestPixels(scene, camera)};
  SoCallbackAction count(SbViewportRegion(width, height));
  count.addTriangleCallback(SoShape::getClassTypeId(), countTriangle, &figures.triangles);
  count.apply(root);
  render.apply(root); // the first frame makes the display lists and loads the texture
  glFinish();
  for (int frame = 0; frame < 3; ++frame) {
    const double t0 = now();
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    render.apply(root);
    glFinish();
    figures.seconds = std::min(figures.seconds, now() - t0);
  }
  root->unref();
  return figures;
}

void placeCamera(SoPerspectiveCamera * camera, SoSeparator * scene, const View & view,
                 float minX, float minZ, float maxX, float maxZ, float top)
{
  const SbViewportRegion viewport(width, height);
  const float cx = (minX + maxX) / 2, cz = (minZ + maxZ) / 2;
  const float w = maxX - minX, d = maxZ - minZ;
  // What a viewer's automatic clipping planes would hold: all of the terrain.
  camera->nearDistance = 0.001f * w;
  camera->farDistance = 10.0f * (w + d);
  if (view.eyeUp == 0.0f) {
    viewFromAbove(camera, scene, viewport);
    return;
  }
  const SbVec3f eye(cx + view.eyeX * w, top + view.eyeUp * w, cz + view.eyeZ * d);
  const SbVec3f aim(cx + view.aimX * w, top - 0.1f * view.eyeUp * w, cz + view.aimZ * d);
  camera->position.setValue(eye);
  camera->pointAt(aim);
}

} // namespace

int main(int argc, char ** argv)
{
  std::vector<std::pair<std::string, int>> runs;
  for (int i = 1; i + 1 < argc; i += 2) runs.emplace_back(argv[i], std::atoi(argv[i + 1]));
  if (runs.empty()) {
    const std::string data = TERRAVEL_SHARED_DATA;
    runs = {{data + "/dem/N57E011.hgt", 6}, {data + "/dem/N57E011.hgt", 8}};
  }
  SoDB::init();
  if (!makeContext()) {
    std::fprintf(stderr, "bench_render needs a display with GL (try scripts/bench-render).\n");
    return 1;
  }
  SoGLRenderAction render(SbViewportRegion(width, height));
  render.setCacheContext(SoGLCacheContextElement::getUniqueCacheContext());
  glEnable(GL_DEPTH_TEST);

  std::printf("%-24s %-24s %10s %10s %10s %8s %8s %8s %9s %9s\n", "terrain, level", "camera",
              "flat tris", "tree tris", "2px tris", "flat ms", "tree ms", "2px ms", "tree px",
              "2px px");
  for (const auto & run : runs) {
    TerrainModel model;
    // Loading and the build print their progress; the table goes to the console alone.
    std::fflush(stdout);
    const int console = dup(1);
    std::freopen("/dev/null", "w", stdout);
    const bool loaded = model.load(run.first.c_str()).loaded;
    ReductionSettings measuredOnly, withinOneMetre;
    measuredOnly.measure = withinOneMetre.measure = true;
    withinOneMetre.reducer = Reducer::ERROR;
    withinOneMetre.maxError = 1.0;
    SoSeparator * tree = nullptr, * byPixels = nullptr;
    if (loaded) {
      tree = model.buildTree(run.second, 50, TerrainModel::TreeProgress(), measuredOnly);
      byPixels = model.buildTree(run.second, 50, TerrainModel::TreeProgress(), withinOneMetre);
      // The cameras keep the toolkit's default field of view, 45 degrees from top to bottom.
      setRangesForPixelError(byPixels, 2.0, M_PI / 4, height);
    }
    std::fflush(stdout);
    dup2(console, 1);
    close(console);
    if (!loaded) {
      std::fprintf(stderr, "cannot load %s\n", shownPath(run.first).c_str());
      return 1;
    }
    float minX = 0, minZ = 0, maxX = 0, maxZ = 0;
    model.getExtent(model.getRoot(), minX, minZ, maxX, maxZ);
    float top = 0;
    SoGetBoundingBoxAction box(SbViewportRegion(width, height));
    box.apply(model.getRoot());
    top = box.getBoundingBox().getMax()[1];
    const std::string base = run.first.substr(run.first.rfind('/') + 1);
    for (const View & view : views) {
      SoPerspectiveCamera * camera = new SoPerspectiveCamera;
      camera->ref();
      placeCamera(camera, model.getRoot(), view, minX, minZ, maxX, maxZ, top);
      const Figures flat = measure(model.getRoot(), camera, render);
      const Figures lod = measure(tree, camera, render);
      const Figures pixels = measure(byPixels, camera, render);
      std::printf("%-24s %-24s %10ld %10ld %10ld %8.1f %8.1f %8.1f %9.2f %9.2f\n",
                  (base.substr(0, 16) + ", " + std::to_string(run.second)).c_str(), view.name,
                  flat.triangles, lod.triangles, pixels.triangles, flat.seconds * 1000,
                  lod.seconds * 1000, pixels.seconds * 1000, lod.largestPixels, pixels.largestPixels);
      std::fflush(stdout);
      camera->unref();
    }
    tree->unref();
    byPixels->unref();
  }
  return 0;
}
