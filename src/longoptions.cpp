#include "longoptions.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef TERRAVEL_VERSION
#define TERRAVEL_VERSION "unknown"
#endif

namespace {

enum class Kind { FLAG, VALUE };

struct Known {
  const char * name;
  Kind kind;
};

const Known knownOptions[] = {
  {"--batch", Kind::FLAG},      {"--show-levels", Kind::FLAG}, {"--save-tree", Kind::VALUE},
  {"--screenshot", Kind::VALUE}, {"--zscale", Kind::VALUE},     {"--stride", Kind::VALUE},
  {"--texture", Kind::VALUE},   {"--help", Kind::FLAG},        {"--version", Kind::FLAG}};

// A whole number from 1 up, or false.
bool strideOf(const std::string & text, int & stride)
{
  char * end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || value < 1 || value > 1000000) return false;
  stride = int(value);
  return true;
}

// A finite number other than zero, or false.
bool scaleOf(const std::string & text, float & scale)
{
  char * end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(float(value)) || value == 0.0) return false;
  scale = float(value);
  return true;
}

const Known * find(const std::string & name)
{
  for (const Known & known : knownOptions)
    if (name == known.name) return &known;
  return nullptr;
}

const char * programName(const char * path)
{
  const char * slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

} // namespace

void printHelp(const char * programPath)
{
  std::printf(
    "Usage: %s FILE [-operation N] [-level N] [-reduce N] [-x1 X] [-y1 Z] [-x2 X] [-y2 Z]\n"
    "       [--batch] [--save-tree FILE] [--screenshot FILE.png] [--show-levels]\n"
    "       [--zscale F] [--stride N] [--texture IMAGE]\n"
    "Loads a terrain (an Inventor scene, or an elevation raster that GDAL reads) as one textured\n"
    "mesh and, by run mode, builds and shows a level-of-detail tree of it, shows it, reduces it\n"
    "or cuts a rectangle out of it.\n"
    "\n"
    "  -operation N          run mode: 0 build the level-of-detail tree and show it (default),\n"
    "                        1 show the model, 2 reduce, save as NAME.reduced.iv and show,\n"
    "                        3 cut the rectangle, save as NAME.noRECT.iv and show, 4 empty viewer\n"
    "  -level N              levels of the tree, 2 to 10 (default 3)\n"
    "  -reduce N             per cent of triangles each reduction pass removes, 0 to 90\n"
    "                        (default 50)\n"
    "  -x1 X                 west edge of the rectangle cut in run mode 3 (default -1000)\n"
    "  -y1 Z                 north edge of that rectangle, a Z coordinate (default -1000)\n"
    "  -x2 X                 east edge of that rectangle (default 1000)\n"
    "  -y2 Z                 south edge of that rectangle, a Z coordinate (default 1000)\n"
    "  --batch               no window and no display: do the run mode's work, print what it\n"
    "                        prints, and end; exit code 1 when loading or a save failed\n"
    "  --save-tree FILE      run mode 0: save the tree as an Inventor file\n"
    "  --screenshot FILE.png show the first view, save it as a PNG and end\n"
    "  --show-levels         run mode 0: tint each chunk of the tree by its level\n"
    "  --zscale F            rasters: multiply the heights by F (default 1)\n"
    "  --stride N            rasters: keep every N-th post along both axes (default 1)\n"
    "  --texture IMAGE       rasters: drape IMAGE, placed by its georeference or stretched\n"
    "  --help                this text\n"
    "  --version             the program's name and version\n"
    "\n"
    "Options with one dash count only in the order above, each at most once; options with two\n"
    "dashes may stand anywhere, also as --name=value.\n"
    "\n"
    "Environment:\n"
    "  TERRAVEL_THREADS=N    threads that build the tree (default: one per core)\n"
    "  TERRAVEL_ALLOW_RAW=1  let a raster read files that are no rasters as raw bytes (raw\n"
    "                        bands of virtual rasters); refused otherwise\n",
    programName(programPath));
}

int takeLongOptions(int & argc, char ** argv, LongOptions & options)
{
  int kept = 1;
  bool ended = false;
  bool help = false, version = false;
  for (int i = 1; i < argc; ++i) {
    const char * argument = argv[i];
    if (ended || std::strncmp(argument, "--", 2) != 0) {
      argv[kept++] = argv[i];
      continue;
    }
    if (std::strcmp(argument, "--") == 0) {
      ended = true;
      continue;
    }
    const char * equals = std::strchr(argument, '=');
    const std::string name = equals ? std::string(argument, size_t(equals - argument)) : argument;
    const Known * known = find(name);
    if (known == nullptr) {
      std::fprintf(stderr, "Unknown option \"%s\"; see --help.\n", name.c_str());
      return 1;
    }
    std::string value;
    if (known->kind == Kind::VALUE) {
      if (equals != nullptr) {
        value = equals + 1;
      } else if (i + 1 < argc) {
        value = argv[++i];
      }
      if (value.empty()) {
        std::fprintf(stderr, "Missing value for option \"%s\"; see --help.\n", name.c_str());
        return 1;
      }
    } else if (equals != nullptr) {
      std::fprintf(stderr, "Option \"%s\" takes no value; see --help.\n", name.c_str());
      return 1;
    }
    if (name == "--batch") options.batch = true;
    else if (name == "--show-levels") options.showLevels = true;
    else if (name == "--save-tree") options.saveTree = value;
    else if (name == "--stride" && !strideOf(value, options.raster.stride)) {
      std::fprintf(stderr, "--stride takes a whole number from 1 up, not \"%s\".\n", value.c_str());
      return 1;
    } else if (name == "--zscale" && !scaleOf(value, options.raster.zScale)) {
      std::fprintf(stderr, "--zscale takes a number other than 0, not \"%s\".\n", value.c_str());
      return 1;
    }
    else if (name == "--screenshot") options.screenshot = value;
    else if (name == "--texture") options.raster.texture = value;
    if (name == "--zscale" || name == "--stride" || name == "--texture") options.rasterGiven = true;
    else if (name == "--help") help = true;
    else if (name == "--version") version = true;
  }
  argc = kept;
  argv[argc] = nullptr;

  if (help) {
    printHelp(argv[0]);
    return 0;
  }
  if (version) {
    std::printf("%s %s\n", programName(argv[0]), TERRAVEL_VERSION);
    return 0;
  }
  if (options.batch && !options.screenshot.empty()) {
    std::fprintf(stderr, "--screenshot shows the view on a display; it cannot go with --batch.\n");
    return 1;
  }
  return -1;
}

bool longOptionsFitRunMode(const LongOptions & options, int operation)
{
  const char * treeOnly = !options.saveTree.empty() ? "--save-tree"
                          : options.showLevels      ? "--show-levels"
                                                    : nullptr;
  if (treeOnly == nullptr || operation == 0) return true;
  std::fprintf(stderr,
               "%s needs the level-of-detail tree, which only run mode 0 builds "
               "(-operation is %d).\n",
               treeOnly, operation);
  return false;
}
