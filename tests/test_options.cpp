#include "options.h"

#include <gtest/gtest.h>

#include <climits>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

// The settings the main flow reads from these arguments, clamped as it clamps them.
Settings parse(std::vector<std::string> args)
{
  args.insert(args.begin(), "terravel");
  std::vector<char *> argv;
  for (std::string & a : args) argv.push_back(&a[0]);
  Settings s;
  readOptions(int(argv.size()), argv.data(), s);
  clampLevel(s.level);
  clampReduce(s.reduce);
  clampOperation(s.operation);
  return s;
}

// Reading these arguments ends the run with exit code 1 and this message.
void expectEnds(std::vector<std::string> args, const std::string & message)
{
  EXPECT_EXIT(
    {
      dup2(2, 1); // the message goes to standard output; the check reads standard error
      parse(args);
    },
    testing::ExitedWithCode(1), "^" + message + "$");
}

} // namespace

TEST(Options, DefaultsAndFixedOrder)
{
  Settings p = parse({"terrain.iv"});
  EXPECT_EQ(p.operation, 0);
  EXPECT_EQ(p.level, 3);
  EXPECT_EQ(p.reduce, 50);
  EXPECT_EQ(p.x1, -1000.0f);
  EXPECT_EQ(p.y2, 1000.0f);

  // -operation after -level comes too late and is ignored.
  p = parse({"terrain.iv", "-level", "5", "-operation", "1"});
  EXPECT_EQ(p.level, 5);
  EXPECT_EQ(p.operation, 0);

  // An argument that matches no option ends the reading.
  p = parse({"terrain.iv", "foo", "-operation", "1"});
  EXPECT_EQ(p.operation, 0);

  // A second occurrence is ignored, and so is everything behind it.
  p = parse({"terrain.iv", "-reduce", "10", "-reduce", "20", "-x1", "5"});
  EXPECT_EQ(p.reduce, 10);
  EXPECT_EQ(p.x1, -1000.0f);

  // Negative values are values, not option names.
  p = parse({"t.iv", "-operation", "3", "-x1", "-250", "-y1", "-10", "-x2", "10", "-y2", "1e2"});
  EXPECT_EQ(p.operation, 3);
  EXPECT_EQ(p.x1, -250.0f);
  EXPECT_EQ(p.y1, -10.0f);
  EXPECT_EQ(p.x2, 10.0f);
  EXPECT_EQ(p.y2, 100.0f);
}

TEST(Options, Clamping)
{
  EXPECT_EQ(parse({"t.iv", "-level", "0"}).level, 2);
  EXPECT_EQ(parse({"t.iv", "-level", "1"}).level, 2);
  EXPECT_EQ(parse({"t.iv", "-level", "2"}).level, 2);
  EXPECT_EQ(parse({"t.iv", "-level", "10"}).level, 10);
  EXPECT_EQ(parse({"t.iv", "-level", "11"}).level, 10);
  EXPECT_EQ(parse({"t.iv", "-reduce", "95"}).reduce, 90);
  EXPECT_EQ(parse({"t.iv", "-reduce", "90"}).reduce, 90);
  EXPECT_EQ(parse({"t.iv", "-reduce", "-5"}).reduce, 0);
  EXPECT_EQ(parse({"t.iv", "-operation", "7"}).operation, 0);
  EXPECT_EQ(parse({"t.iv", "-operation", "-1"}).operation, 0);
  EXPECT_EQ(parse({"t.iv", "-operation", "4"}).operation, 4);
  // Too large for 32 bits: saturates in the conversion, then clamps.
  EXPECT_EQ(parse({"t.iv", "-operation", "0", "-level", "99999999999"}).level, 10);
  EXPECT_EQ(parse({"t.iv", "-operation", "0", "-level", "-99999999999"}).level, 2);
  EXPECT_EQ(parse({"t.iv", "-operation", "0", "-level", "4294967297"}).level, 10);
}

// A missing or malformed value ends the run with the message that names its option; the
// options before it are read, the ones after it never are.
TEST(Options, MistakesEndTheRunNamingTheOption)
{
  expectEnds({"t.iv", "-level"}, "Missing value for parameter \"-level\"\\.");
  for (const char * bad : {"3x", "abc", "", " "}) {
    expectEnds({"t.iv", "-reduce", bad}, "Missing argument \"-reduce\"\\.");
    expectEnds({"t.iv", "-x2", bad}, "Missing argument \"-x2\"\\.");
  }
  expectEnds({"t.iv", "-operation", "1", "-x1", "1e", "-y1"}, "Missing argument \"-x1\"\\.");
}
