#include "longoptions.h"

#include "options.h"
#include "tilesetexport.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#ifndef TERRAVEL_VERSION
#define TERRAVEL_VERSION "unknown"
#endif

namespace {

// Whether the text is a plain decimal number: a sign, digits with at most one point, an
// exponent; no hexadecimal, no "inf" or "nan", nothing around it.
bool isDecimal(const std::string & text)
{
  size_t i = 0, digits = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) ++digits;
  if (i < text.size() && text[i] == '.')
    for (++i; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) ++digits;
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const size_t exponent = i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    if (i == exponent) return false;
  }
  return i == text.size();
}

// A whole number from 1 up, or false.
bool strideOf(const std::string & text, int & stride)
{
  char * end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || value < 1 || value > 1000000) return false;
  stride = int(value);
  return true;
}

// A finite number above zero, or false.
bool positiveOf(const std::string & text, double & number)
{
  if (!isDecimal(text)) return false;
  char * end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(value) || !(value > 0.0)) return false;
  number = value;
  return true;
}

// A size in bytes: a whole number with K, M, G or T (powers of 1024) or none.
bool sizeOf(const std::string & text, uint64_t & bytes)
{
  size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits == 0 || digits > 12) return false;
  const std::string unit = text.substr(digits);
  static const char units[] = "KMGT";
  int shift = 0;
  if (unit.size() == 1 || (unit.size() == 2 && (unit[1] == 'B' || unit[1] == 'b') && unit[0] != 'B')) {
    const char * at = std::strchr(units, std::toupper(static_cast<unsigned char>(unit[0])));
    if (at == nullptr || *at == '\0') return false;
    shift = 10 * int(at - units + 1);
  } else if (!unit.empty()) {
    return false;
  }
  const uint64_t value = std::strtoull(text.substr(0, digits).c_str(), nullptr, 10);
  if (value == 0 || value > (uint64_t(1) << (62 - shift))) return false;
  bytes = value << shift;
  return true;
}

// I/N with I a whole number below N or "env" (-1), N from 1 up.
bool partOf(const std::string & text, int & part, int & parts)
{
  const size_t slash = text.find('/');
  if (slash == std::string::npos) return false;
  const std::string index = text.substr(0, slash), count = text.substr(slash + 1);
  int n = 0, i = -1;
  if (!strideOf(count, n) || n > 100000) return false;
  if (index != "env" && (!strideOf("1" + index, i) || index.empty() || index.size() > 6)) return false;
  if (index != "env") i = std::atoi(index.c_str());
  if (i >= n) return false;
  part = i;
  parts = n;
  return true;
}

bool reducerOf(const std::string & text, Reducer & reducer)
{
  if (text == "shortest-edge") reducer = Reducer::SHORTEST_EDGE;
  else if (text == "error") reducer = Reducer::ERROR;
  else return false;
  return true;
}

// A finite number other than zero, or false.
bool scaleOf(const std::string & text, float & scale)
{
  if (!isDecimal(text)) return false;
  char * end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(float(value)) || value == 0.0) return false;
  scale = float(value);
  return true;
}

// One long option: its name, the name of its value (none for a flag), its help line for
// --help, and what it sets. set gives false for a value it cannot use; refusal then says why,
// with the value in place of %s.
struct LongOption {
  const char * name;
  const char * valueName;
  const char * help; // lines after the first begin with a line break
  bool (*set)(const std::string & value, LongOptions & options);
  const char * refusal;
};

const LongOption longOptions[] = {
  {"--batch", nullptr,
   "no window and no display: do the run mode's work, print what it\nprints, and end; exit "
   "code 1 when loading or a save failed",
   [](const std::string &, LongOptions & o) { return o.batch = true; }, nullptr},
  {"--save-tree", "FILE",
   "run mode 0: save the tree as an Inventor file; named tileset.json,\nas 3D Tiles 1.1 in that "
   "file's folder (GLB content, one a chunk)",
   [](const std::string & v, LongOptions & o) { return o.saveTree = v, true; }, nullptr},
  {"--binary", nullptr, "save scenes (run modes 2 and 3, --save-tree) in the toolkit's binary form",
   [](const std::string &, LongOptions & o) { return o.binary = true; }, nullptr},
  {"--screenshot", "FILE.png", "show the first view, save it as a PNG and end",
   [](const std::string & v, LongOptions & o) { return o.screenshot = v, true; }, nullptr},
  {"--show-levels", nullptr, "run mode 0: tint each chunk of the tree by its level",
   [](const std::string &, LongOptions & o) { return o.showLevels = true; }, nullptr},
  {"--zscale", "F", "rasters: multiply the heights by F (default 1)",
   [](const std::string & v, LongOptions & o) {
     return o.rasterGiven = true, scaleOf(v, o.raster.zScale);
   },
   "--zscale takes a number other than 0, not \"%s\"."},
  {"--stride", "N", "rasters: keep every N-th post along both axes (default 1)",
   [](const std::string & v, LongOptions & o) {
     return o.rasterGiven = true, strideOf(v, o.raster.stride);
   },
   "--stride takes a whole number from 1 up, not \"%s\"."},
  {"--texture", "IMAGE", "rasters: drape IMAGE, placed by its georeference or stretched",
   [](const std::string & v, LongOptions & o) {
     return o.rasterGiven = true, o.raster.texture = v, true;
   },
   nullptr},
  {"--vertical-datum", "DATUM",
   "rasters: what heights stand on where the raster does not say:\nellipsoid, egm96, or a geoid grid file "
   "that PROJ reads",
   [](const std::string & v, LongOptions & o) {
     o.rasterGiven = true;
     o.raster.verticalDatum = v;
     return v == "ellipsoid" || v == "egm96" || access(v.c_str(), R_OK) == 0;
   },
   "--vertical-datum takes ellipsoid, egm96 or a geoid grid file that can be read, not \"%s\"."},
  {"--reducer", "NAME",
   "run modes 0 and 2: shortest-edge (default) collapses the shortest\nedges first; error collapses "
   "the edge that moves the surface least,\nkeeping the outline and the cell borders",
   [](const std::string & v, LongOptions & o) {
     return o.reducerGiven = true, reducerOf(v, o.reduction.reducer);
   },
   "--reducer takes shortest-edge or error, not \"%s\"."},
  {"--max-error", "M",
   "run modes 0 and 2, with the error reducer: keep every input vertex\nwithin M metres of the "
   "surface (the tree: M for the level above the\nlast, twice that each level up); say each "
   "level's error",
   [](const std::string & v, LongOptions & o) {
     return o.reduction.measure = true, positiveOf(v, o.reduction.maxError);
   },
   "--max-error takes a number of metres above 0, not \"%s\"."},
  {"--pixel-error", "P",
   "run mode 0: draw a coarse chunk only where its measured error comes\nto at most P pixels on "
   "screen; say each level's error",
   [](const std::string & v, LongOptions & o) {
     return o.reduction.measure = true, positiveOf(v, o.pixelError);
   },
   "--pixel-error takes a number of pixels above 0, not \"%s\"."},
  {"--tiling", "geodetic",
   "run mode 0, a georeferenced raster of any size, --save-tree\nDIR/tileset.json: tiles on the geodetic "
   "grid of web globes, read\nwindow by window without loading the raster whole; the last level\n(-level, "
   "default from the resolution) keeps every post, the one\nabove stays within --max-error (default an eighth "
   "of the posts'\nspacing), twice that each level up; run again, it keeps the\ntiles already complete. "
   "DIR/layer.json: the same as a terrain\nlayer of quantized-mesh tiles",
   [](const std::string & v, LongOptions & o) { return o.tiling = true, v == "geodetic"; },
   "--tiling takes geodetic, not \"%s\"."},
  {"--memory", "SIZE",
   "--tiling: the memory the build may use, such as 512M or 2G\n(default: a quarter of the memory available)",
   [](const std::string & v, LongOptions & o) { return sizeOf(v, o.memory); },
   "--memory takes a size such as 512M or 2G, not \"%s\"."},
  {"--part", "I/N",
   "--tiling: build part I (from 0; env: the scheduler's array index)\nof N: the subtrees of the tiles "
   "of the split level dealt to it",
   [](const std::string & v, LongOptions & o) { return partOf(v, o.part, o.parts); },
   "--part takes I/N, with I from 0 below N or env, not \"%s\"."},
  {"--merge", nullptr,
   "--tiling: once every part has finished, build the levels above\nthem and tileset.json",
   [](const std::string &, LongOptions & o) { return o.merge = true; }, nullptr},
  {"--split-level", "S",
   "--tiling with --part: the level whose tiles are dealt to the parts\n(default: from the extent and N)",
   [](const std::string & v, LongOptions & o) {
     int level = 0;
     return strideOf("1" + v, level) && v.size() <= 2 && (o.splitLevel = std::atoi(v.c_str())) <= 30;
   },
   "--split-level takes a level from 0 to 30, not \"%s\"."},
  {"--help", nullptr, "this text",
   [](const std::string &, LongOptions & o) { return o.help = true; }, nullptr},
  {"--version", nullptr, "the program's name and version",
   [](const std::string &, LongOptions & o) { return o.version = true; }, nullptr},
};

// Settings the program reads from its environment, for the help text.
const char * const environment[][2] = {
  {"TERRAVEL_THREADS=N", "threads that build the tree (default: one per core)"},
  {"TERRAVEL_ALLOW_RAW=1",
   "let a raster read files that are no rasters as raw bytes (raw\nbands of virtual rasters); "
   "refused otherwise"},
};

const LongOption * find(const std::string & name)
{
  for (const LongOption & option : longOptions)
    if (name == option.name) return &option;
  return nullptr;
}

const char * programName(const char * path)
{
  const char * slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// "  NAME VALUE" in a column of its own, then the help, its later lines below the first.
void printEntry(const std::string & left, const char * help)
{
  std::printf("  %-21s ", left.c_str());
  for (const char * c = help; *c != '\0'; ++c) {
    if (*c == '\n') std::printf("\n%24s", "");
    else std::putchar(*c);
  }
  std::putchar('\n');
}

// The usage line: the classic options in their order, then the long ones, wrapped.
void printUsageLine(const char * program)
{
  std::string line = std::string("Usage: ") + program + " FILE";
  const size_t indent = line.size() - 4;
  std::vector<std::string> words;
  size_t count = 0;
  const ClassicOption * classic = classicOptions(count);
  for (size_t i = 0; i < count; ++i)
    words.push_back(std::string("[") + classic[i].name + " " + classic[i].valueName + "]");
  for (const LongOption & option : longOptions)
    if (std::strcmp(option.name, "--help") != 0 && std::strcmp(option.name, "--version") != 0)
      words.push_back(std::string("[") + option.name +
                      (option.valueName != nullptr ? std::string(" ") + option.valueName : "") + "]");
  for (const std::string & word : words) {
    const size_t lineStart = line.rfind('\n') == std::string::npos ? 0 : line.rfind('\n') + 1;
    if (line.size() - lineStart + 1 + word.size() > 92) line += "\n" + std::string(indent, ' ');
    else line += " ";
    line += word;
  }
  std::printf("%s\n", line.c_str());
}

// Takes the value of the option at argv[i] (after '=' or as the next argument); false, after a
// message, when it has none or a flag has one.
bool valueOf(const LongOption & option, const char * equals, int argc, char ** argv, int & i,
             std::string & value)
{
  if (option.valueName == nullptr) {
    if (equals == nullptr) return true;
    std::fprintf(stderr, "Option \"%s\" takes no value; see --help.\n", option.name);
    return false;
  }
  if (equals != nullptr) value = equals + 1;
  else if (i + 1 < argc) value = argv[++i];
  if (!value.empty()) return true;
  std::fprintf(stderr, "Missing value for option \"%s\"; see --help.\n", option.name);
  return false;
}

// After the options are taken: --help and --version end the run at once; options that cannot
// go together end it with a message.
int finishTaking(const char * programPath, const LongOptions & options)
{
  if (options.help) {
    printHelp(programPath);
    return 0;
  }
  if (options.version) {
    std::printf("%s %s\n", programName(programPath), TERRAVEL_VERSION);
    return 0;
  }
  if (options.batch && !options.screenshot.empty()) {
    std::fprintf(stderr, "--screenshot shows the view on a display; it cannot go with --batch.\n");
    return 1;
  }
  if (options.reduction.maxError > 0 && options.reducerGiven &&
      options.reduction.reducer != Reducer::ERROR) {
    std::fprintf(stderr, "--max-error bounds the error reducer's work; it cannot go with --reducer "
                         "shortest-edge.\n");
    return 1;
  }
  if (options.tiling) {
    const char * apart = !options.screenshot.empty()            ? "--screenshot"
                         : options.showLevels                   ? "--show-levels"
                         : options.pixelError > 0               ? "--pixel-error"
                         : options.raster.stride != 1           ? "--stride"
                         : options.reducerGiven                 ? "--reducer"
                         : options.binary                       ? "--binary"
                                                                : nullptr;
    if (apart != nullptr) {
      std::fprintf(stderr, "%s does not apply to a tiled build (--tiling geodetic).\n", apart);
      return 1;
    }
    const size_t slash = options.saveTree.find_last_of('/');
    const bool layer = options.saveTree.substr(slash == std::string::npos ? 0 : slash + 1) == "layer.json";
    if (!isTilesetName(options.saveTree) && !layer) {
      std::fprintf(stderr, "--tiling geodetic writes tiles: name where with --save-tree DIR/tileset.json (3D Tiles) "
                           "or DIR/layer.json (a terrain layer).\n");
      return 1;
    }
    if (options.merge && options.parts > 0) {
      std::fprintf(stderr, "--part builds a part and --merge what lies above them all: one or the other.\n");
      return 1;
    }
  } else {
    const char * tiledOnly = options.memory > 0         ? "--memory"
                             : options.parts > 0        ? "--part"
                             : options.merge            ? "--merge"
                             : options.splitLevel >= 0  ? "--split-level"
                                                        : nullptr;
    if (tiledOnly != nullptr) {
      std::fprintf(stderr, "%s belongs to a tiled build; it goes with --tiling geodetic.\n", tiledOnly);
      return 1;
    }
  }
  if (options.binary && isTilesetName(options.saveTree)) {
    std::fprintf(stderr, "--binary saves Inventor scenes; a tileset (%s) is written as GLB files, "
                         "so it cannot go with --binary.\n",
                 options.saveTree.c_str());
    return 1;
  }
  return -1;
}

} // namespace

void printHelp(const char * programPath)
{
  printUsageLine(programName(programPath));
  std::printf(
    "Loads a terrain (an Inventor scene, or an elevation raster that GDAL reads) as one textured\n"
    "mesh and, by run mode, builds and shows a level-of-detail tree of it, shows it, reduces it\n"
    "or cuts a rectangle out of it.\n\n");
  size_t count = 0;
  const ClassicOption * classic = classicOptions(count);
  for (size_t i = 0; i < count; ++i)
    printEntry(std::string(classic[i].name) + " " + classic[i].valueName, classic[i].help);
  for (const LongOption & option : longOptions)
    printEntry(std::string(option.name) +
                 (option.valueName != nullptr ? std::string(" ") + option.valueName : ""),
               option.help);
  std::printf("\nOptions with one dash count only in the order above, each at most once; options "
              "with two\ndashes may stand anywhere, also as --name=value.\n\nEnvironment:\n");
  for (const auto & setting : environment) printEntry(setting[0], setting[1]);
}

int takeLongOptions(int & argc, char ** argv, LongOptions & options)
{
  int kept = 1;
  bool ended = false;
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
    const LongOption * option = find(name);
    if (option == nullptr) {
      std::fprintf(stderr, "Unknown option \"%s\"; see --help.\n", name.c_str());
      return 1;
    }
    std::string value;
    if (!valueOf(*option, equals, argc, argv, i, value)) return 1;
    if (!option->set(value, options)) {
      std::fprintf(stderr, option->refusal, value.c_str());
      std::fputc('\n', stderr);
      return 1;
    }
  }
  argc = kept;
  argv[argc] = nullptr;
  // A bound on the error asks for the error reducer.
  if (options.reduction.maxError > 0 && !options.reducerGiven) options.reduction.reducer = Reducer::ERROR;
  return finishTaking(argv[0], options);
}

bool longOptionsFitRunMode(const LongOptions & options, int operation)
{
  const char * treeOnly = !options.saveTree.empty() ? "--save-tree"
                          : options.showLevels      ? "--show-levels"
                          : options.pixelError > 0  ? "--pixel-error"
                                                    : nullptr;
  if (treeOnly != nullptr && operation != 0) {
    std::fprintf(stderr,
                 "%s needs the level-of-detail tree, which only run mode 0 builds "
                 "(-operation is %d).\n",
                 treeOnly, operation);
    return false;
  }
  const bool reducing = operation == 0 || operation == 2;
  const ReductionSettings defaults;
  if (!reducing && (options.reduction.reducer != defaults.reducer || options.reduction.maxError > 0)) {
    std::fprintf(stderr,
                 "--reducer and --max-error choose how run modes 0 and 2 reduce (-operation is %d).\n",
                 operation);
    return false;
  }
  return true;
}
