#ifndef TERRAVEL_OPTIONS_H
#define TERRAVEL_OPTIONS_H

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

enum class OptionStatus {
  NOT_HERE,      // the argument at the index is not this option
  STORED,        // value stored, index moved past it
  MISSING_VALUE, // the option name is the last argument
  BAD_VALUE      // the value is empty or not wholly a number
};

// The checking half of the option parsers: never prints, never ends the program.
OptionStatus scanIntOption(int argc, const char * const * argv, int & index, const char * name,
                           int & value);
OptionStatus scanFloatOption(int argc, const char * const * argv, int & index, const char * name,
                             float & value);

// True when the option was found and stored; false when the argument at the index is not this
// option. A missing or malformed value prints its message and ends the program with exit code 1.
bool parseIntOption(int argc, char ** argv, int & index, const char * name, int & value);
bool parseFloatOption(int argc, char ** argv, int & index, const char * name, float & value);

// Calls the parsers once each in their fixed order, starting after the file name.
void readOptions(int argc, char ** argv, Settings & settings);

// Out-of-range values are clamped silently; the run mode falls back to 0, not to a bound.
void clampLevel(int & level);
void clampReduce(int & reduce);
void clampOperation(int & operation);

void printUsage(const char * programPath);

#endif
