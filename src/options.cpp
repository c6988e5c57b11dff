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

} // namespace

OptionStatus scanIntOption(int argc, const char * const * argv, int & index, const char * name,
                           int & value)
{
  return scanOption(argc, argv, index, name, value, convertInt);
}

OptionStatus scanFloatOption(int argc, const char * const * argv, int & index, const char * name,
                             float & value)
{
  return scanOption(argc, argv, index, name, value, convertFloat);
}

bool parseIntOption(int argc, char ** argv, int & index, const char * name, int & value)
{
  return finishOption(scanIntOption(argc, argv, index, name, value), name);
}

bool parseFloatOption(int argc, char ** argv, int & index, const char * name, float & value)
{
  return finishOption(scanFloatOption(argc, argv, index, name, value), name);
}

void readOptions(int argc, char ** argv, Settings & settings)
{
  int index = 2;
  parseIntOption(argc, argv, index, "-operation", settings.operation);
  parseIntOption(argc, argv, index, "-level", settings.level);
  parseIntOption(argc, argv, index, "-reduce", settings.reduce);
  parseFloatOption(argc, argv, index, "-x1", settings.x1);
  parseFloatOption(argc, argv, index, "-y1", settings.y1);
  parseFloatOption(argc, argv, index, "-x2", settings.x2);
  parseFloatOption(argc, argv, index, "-y2", settings.y2);
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
