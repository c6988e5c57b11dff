#include "options.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

// Runs the seven parsers the way the main flow does, without printing or exiting: the first
// error status found is returned together with the option it belongs to.
struct Parsed {
  Settings settings;
  OptionStatus error = OptionStatus::STORED;
  std::string errorOption;
};

Parsed parse(std::vector<const char *> args)
{
  args.insert(args.begin(), "terravel");
  Parsed parsed;
  int index = 2;
  const int argc = int(args.size());
  auto check = [&](OptionStatus status, const char * name) {
    if ((status == OptionStatus::MISSING_VALUE || status == OptionStatus::BAD_VALUE) &&
        parsed.errorOption.empty()) {
      parsed.error = status;
      parsed.errorOption = name;
    }
    return parsed.errorOption.empty();
  };
  Settings & s = parsed.settings;
  check(scanIntOption(argc, args.data(), index, "-operation", s.operation), "-operation") &&
      check(scanIntOption(argc, args.data(), index, "-level", s.level), "-level") &&
      check(scanIntOption(argc, args.data(), index, "-reduce", s.reduce), "-reduce") &&
      check(scanFloatOption(argc, args.data(), index, "-x1", s.x1), "-x1") &&
      check(scanFloatOption(argc, args.data(), index, "-y1", s.y1), "-y1") &&
      check(scanFloatOption(argc, args.data(), index, "-x2", s.x2), "-x2") &&
      check(scanFloatOption(argc, args.data(), index, "-y2", s.y2), "-y2");
  clampLevel(s.level);
  clampReduce(s.reduce);
  clampOperation(s.operation);
  return parsed;
}

} // namespace

TEST(Options, DefaultsAndFixedOrder)
{
  Parsed p = parse({"terrain.iv"});
  EXPECT_EQ(p.settings.operation, 0);
  EXPECT_EQ(p.settings.level, 3);
  EXPECT_EQ(p.settings.reduce, 50);
  EXPECT_EQ(p.settings.x1, -1000.0f);
  EXPECT_EQ(p.settings.y2, 1000.0f);

  // -operation after -level comes too late and is ignored.
  p = parse({"terrain.iv", "-level", "5", "-operation", "1"});
  EXPECT_EQ(p.settings.level, 5);
  EXPECT_EQ(p.settings.operation, 0);

  // An argument that matches no option ends the reading.
  p = parse({"terrain.iv", "foo", "-operation", "1"});
  EXPECT_EQ(p.settings.operation, 0);

  // A second occurrence is ignored, and so is everything behind it.
  p = parse({"terrain.iv", "-reduce", "10", "-reduce", "20", "-x1", "5"});
  EXPECT_EQ(p.settings.reduce, 10);
  EXPECT_EQ(p.settings.x1, -1000.0f);

  // Negative values are values, not option names.
  p = parse({"t.iv", "-operation", "3", "-x1", "-250", "-y1", "-10", "-x2", "10", "-y2", "1e2"});
  EXPECT_EQ(p.settings.operation, 3);
  EXPECT_EQ(p.settings.x1, -250.0f);
  EXPECT_EQ(p.settings.y1, -10.0f);
  EXPECT_EQ(p.settings.x2, 10.0f);
  EXPECT_EQ(p.settings.y2, 100.0f);
}

TEST(Options, Clamping)
{
  EXPECT_EQ(parse({"t.iv", "-level", "0"}).settings.level, 2);
  EXPECT_EQ(parse({"t.iv", "-level", "1"}).settings.level, 2);
  EXPECT_EQ(parse({"t.iv", "-level", "2"}).settings.level, 2);
  EXPECT_EQ(parse({"t.iv", "-level", "10"}).settings.level, 10);
  EXPECT_EQ(parse({"t.iv", "-level", "11"}).settings.level, 10);
  EXPECT_EQ(parse({"t.iv", "-reduce", "95"}).settings.reduce, 90);
  EXPECT_EQ(parse({"t.iv", "-reduce", "90"}).settings.reduce, 90);
  EXPECT_EQ(parse({"t.iv", "-reduce", "-5"}).settings.reduce, 0);
  EXPECT_EQ(parse({"t.iv", "-operation", "7"}).settings.operation, 0);
  EXPECT_EQ(parse({"t.iv", "-operation", "-1"}).settings.operation, 0);
  EXPECT_EQ(parse({"t.iv", "-operation", "4"}).settings.operation, 4);
  // Too large for 32 bits: saturates in the conversion, then clamps.
  EXPECT_EQ(parse({"t.iv", "-operation", "0", "-level", "99999999999"}).settings.level, 10);
  EXPECT_EQ(parse({"t.iv", "-operation", "0", "-level", "-99999999999"}).settings.level, 2);
  int value = 0;
  const char * args[] = {"t", "t.iv", "-level", "4294967297"};
  int index = 2;
  ASSERT_EQ(scanIntOption(4, args, index, "-level", value), OptionStatus::STORED);
  EXPECT_EQ(value, INT_MAX);
}

TEST(Options, Errors)
{
  Parsed p = parse({"t.iv", "-level"});
  EXPECT_EQ(p.error, OptionStatus::MISSING_VALUE);
  EXPECT_EQ(p.errorOption, "-level");

  for (const char * bad : {"3x", "abc", "", " "}) {
    p = parse({"t.iv", "-reduce", bad});
    EXPECT_EQ(p.error, OptionStatus::BAD_VALUE) << '"' << bad << '"';
    EXPECT_EQ(p.errorOption, "-reduce");
    p = parse({"t.iv", "-x2", bad});
    EXPECT_EQ(p.error, OptionStatus::BAD_VALUE) << '"' << bad << '"';
    EXPECT_EQ(p.errorOption, "-x2");
  }

  // The parser that reports "not here" leaves the index and the value alone.
  const char * args[] = {"t", "t.iv", "-level", "5"};
  int index = 2;
  int operation = 7;
  EXPECT_EQ(scanIntOption(4, args, index, "-operation", operation), OptionStatus::NOT_HERE);
  EXPECT_EQ(index, 2);
  EXPECT_EQ(operation, 7);
  index = 4;
  EXPECT_EQ(scanIntOption(4, args, index, "-level", operation), OptionStatus::NOT_HERE);
}

TEST(Options, ParsersEndTheRunOnErrors)
{
  char prog[] = "t", file[] = "t.iv", name[] = "-level", bad[] = "3x";
  char * missing[] = {prog, file, name};
  char * malformed[] = {prog, file, name, bad};
  int index = 2;
  int value = 0;
  EXPECT_EXIT(parseIntOption(3, missing, index, "-level", value), testing::ExitedWithCode(1), "");
  index = 2;
  EXPECT_EXIT(parseIntOption(4, malformed, index, "-level", value), testing::ExitedWithCode(1),
              "");
}
