#include "options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool convertInt(const char * text, int & value)
{
  if (text[0] == '\0') return false;
  char * end = nullptr;
  const long converted = std::strtol(text, &end, 10);
  if (*end != '\0') return false;
  // long is wider than 32 bits here: saturate as a 32-bit conversion would.
  value = converted > INT_MAX ? INT_MAX : converted < INT_MIN ? INT_MIN : int(converted);
  return true;
}

bool convertFloat(const char * text, float & value)
{
  if (text[0] == '\0') return false;
  char * end = nullptr;
  const double converted = std::strtod(text, &end);
  if (*end != '\0') return false;
  value = float(converted);
  return true;
}

enum class OptionStatus {
  NOT_HERE,      // the argument at the index is not this option
  STORED,        // value stored, index moved past it
  MISSING_VALUE, // the option name is the last argument
  BAD_VALUE      // the value is empty or not wholly a number
};

template <typename T, typename Convert>
OptionStatus scanOption(int argc, const char * const * argv, int & index, const char * name,
                        T & value, Convert convert)
{
  if (index >= argc || std::strcmp(argv[index], name) != 0) return OptionStatus::NOT_HERE;
  ++index;
  if (index == argc) return OptionStatus::MISSING_VALUE;
  T converted;
  if (!convert(argv[index], converted)) return OptionStatus::BAD_VALUE;
  value = converted;
  ++index;
  return OptionStatus::STORED;
}

bool finishOption(OptionStatus status, const char * name)
{
  switch (status) {
  case OptionStatus::MISSING_VALUE:
    std::printf("Missing value for parameter \"%s\".", name);
    std::exit(1);
  case OptionStatus::BAD_VALUE:
    std::printf("Missing argument \"%s\".", name);
    std::exit(1);
  case OptionStatus::STORED:
    return true;
  case OptionStatus::NOT_HERE:
    break;
  }
  return false;
}

const ClassicOption options[] = {
  {"-operation", "N",
   "run mode: 0 build the level-of-detail tree and show it (default),\n1 show the model, 2 "
   "reduce, save as NAME.reduced.iv and show,\n3 cut the rectangle, save as NAME.noRECT.iv and "
   "show, 4 empty viewer",
   &Settings::operation, nullptr},
  {"-level", "N", "levels of the tree, 2 to 10 (default 3)", &Settings::level, nullptr},
  {"-reduce", "N", "per cent of triangles each reduction pass removes, 0 to 90\n(default 50)",
   &Settings::reduce, nullptr},
  {"-x1", "X", "west edge of the rectangle cut in run mode 3 (default -1000)", nullptr,
   &Settings::x1},
  {"-y1", "Z", "north edge of that rectangle, a Z coordinate (default -1000)", nullptr,
   &Settings::y1},
  {"-x2", "X", "east edge of that rectangle (default 1000)", nullptr, &Settings::x2},
  {"-y2", "Z", "south edge of that rectangle, a Z coordinate (default 1000)", nullptr,
   &Settings::y2},
};

} // namespace

const ClassicOption * classicOptions(size_t & count)
{
  count = sizeof options / sizeof options[0];
  return options;
}

bool parseIntOption(int argc, char ** argv, int & index, const char * name, int & value)
{
  return finishOption(scanOption(argc, argv, index, name, value, convertInt), name);
}

bool parseFloatOption(int argc, char ** argv, int & index, const char * name, float & value)
{
  return finishOption(scanOption(argc, argv, index, name, value, convertFloat), name);
}

void readOptions(int argc, char ** argv, Settings & settings)
{
  int index = 2;
  for (const ClassicOption & option : options) {
    if (option.whole != nullptr)
      parseIntOption(argc, argv, index, option.name, settings.*option.whole);
    else
      parseFloatOption(argc, argv, index, option.name, settings.*option.number);
  }
}

void clampLevel(int & level)
{
  if (level <= 1) level = 2;
  if (level > 10) level = 10;
}

void clampReduce(int & reduce)
{
  if (reduce >= 90) reduce = 90;
  if (reduce < 0) reduce = 0;
}

void clampOperation(int & operation)
{
  if (operation < 0 || operation > 4) operation = 0;
}

void printUsage(const char * programPath)
{
  std::printf("Usage: %s filename [-operation int] [-level int] [-reduce int]\n"
              "-operation int    0 = show model, 1 = reduce model and save it to file\n"
              "-level int        max LOD, default %d\n"
              "-reduce int       percentage of triangles in model to eliminate, default %d",
              programPath, 3, 50);
}
