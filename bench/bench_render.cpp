// What the level-of-detail tree is for: from a fixed set of cameras above a terrain, the
// triangles the toolkit's render traversal draws and the time a frame takes, for the tree
// against the flat mesh, at 800 x 600 in an off-screen buffer of the display's GL.
// Needs a display (a virtual one will do: scripts/bench-render starts one).
// Usage: bench_render [TERRAIN LEVEL]...   (default: the SRTM scene at 6 and 8, ETOPO5 at 8)

#include "firstview.h"
#include "terrainmodel.h"

#include <Inventor/SbTime.h>
#include <Inventor/SbViewportRegion.h>
#include <Inventor/SoDB.h>
#include <Inventor/actions/SoCallbackAction.h>
#include <Inventor/actions/SoGetBoundingBoxAction.h>
#include <Inventor/actions/SoGLRenderAction.h>
#include <Inventor/elements/SoGLCacheContextElement.h>
#include <Inventor/nodes/SoDirectionalLight.h>
#include <Inventor/nodes/SoPerspectiveCamera.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoShape.h>

#include <GL/gl.h>
#include <GL/glx.h>

#include <algorithm>
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
};

Figures measure(SoSeparator * scene, SoPerspectiveCamera * camera, SoGLRenderAction & render)
{
  SoSeparator * root = new SoSeparator;
  root->ref();
  root->addChild(camera);
  root->addChild(new SoDirectionalLight);
  root->addChild(scene);
  Figures figures = {0, 1e30};
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
    runs = {{data + "/terrain/large_srtm3_N57E011.iv.gz", 6},
            {data + "/terrain/large_srtm3_N57E011.iv.gz", 8},
            {data + "/dem/etopo5_global_4320x2161.tif", 8}};
  }
  SoDB::init();
  if (!makeContext()) {
    std::fprintf(stderr, "bench_render needs a display with GL (try scripts/bench-render).\n");
    return 1;
  }
  SoGLRenderAction render(SbViewportRegion(width, height));
  render.setCacheContext(SoGLCacheContextElement::getUniqueCacheContext());
  glEnable(GL_DEPTH_TEST);

  std::printf("%-28s %-26s %12s %12s %7s %9s %9s %7s\n", "terrain, level", "camera", "flat tris",
              "tree tris", "ratio", "flat ms", "tree ms", "ratio");
  for (const auto & run : runs) {
    TerrainModel model;
    // Loading and the build print their progress; the table goes to the console alone.
    std::fflush(stdout);
    const int console = dup(1);
    std::freopen("/dev/null", "w", stdout);
    const bool loaded = model.load(run.first.c_str()).loaded;
    SoSeparator * tree = loaded ? model.buildTree(run.second, 50) : nullptr;
    std::fflush(stdout);
    dup2(console, 1);
    close(console);
    if (!loaded) {
      std::fprintf(stderr, "cannot load %s\n", run.first.c_str());
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
      std::printf("%-28s %-26s %12ld %12ld %7.1f %9.1f %9.1f %7.1f\n",
                  (base.substr(0, 20) + ", " + std::to_string(run.second)).c_str(), view.name,
                  flat.triangles, lod.triangles, double(flat.triangles) / std::max(1L, lod.triangles),
                  flat.seconds * 1000, lod.seconds * 1000, flat.seconds / lod.seconds);
      std::fflush(stdout);
      camera->unref();
    }
    tree->unref();
  }
  return 0;
}
