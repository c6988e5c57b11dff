#ifndef TERRAVEL_OPTIONS_H
#define TERRAVEL_OPTIONS_H

// The classic options: one dash, a value each, honoured only in the order of their table, each
// at most once.

#include <cstddef>

// The settings of one run, as read from the command line.
struct Settings {
  int operation = 0;
  int level = 3;
  int reduce = 50;
  float x1 = -1000.0f;
  float y1 = -1000.0f;
  float x2 = 1000.0f;
  float y2 = 1000.0f;
};

// One classic option: its name, the name of its value and its help line for --help, and the
// setting it fills (a whole number or a float).
struct ClassicOption {
  const char * name;
  const char * valueName;
  const char * help; // lines after the first begin with a line break
  int Settings::*whole;
  float Settings::*number;
};

// The options in the only order in which they count.
const ClassicOption * classicOptions(size_t & count);

// True when the option was found and stored; false when the argument at the index is not this
// option. A missing or malformed value prints its message and ends the program with exit code 1.
bool parseIntOption(int argc, char ** argv, int & index, const char * name, int & value);
bool parseFloatOption(int argc, char ** argv, int & index, const char * name, float & value);

// Calls the parsers once each in the order of the table, starting after the file name.
void readOptions(int argc, char ** argv, Settings & settings);

// Out-of-range values are clamped silently; the run mode falls back to 0, not to a bound.
void clampLevel(int & level);
void clampReduce(int & reduce);
void clampOperation(int & operation);

void printUsage(const char * programPath);

#endif
