#include "longoptions.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

struct Taken {
  int exitCode;                   // -1: the run goes on
  std::vector<std::string> rest;  // the arguments left for the classic options
  LongOptions options;
  std::string out, err;
};

Taken take(std::vector<std::string> args)
{
  args.insert(args.begin(), "terravel");
  std::vector<char *> argv;
  for (std::string & a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  int argc = int(args.size());
  Taken taken;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  taken.exitCode = takeLongOptions(argc, argv.data(), taken.options);
  taken.out = testing::internal::GetCapturedStdout();
  taken.err = testing::internal::GetCapturedStderr();
  for (int i = 1; i < argc; ++i) taken.rest.push_back(argv[size_t(i)]);
  EXPECT_EQ(argv[size_t(argc)], nullptr);
  return taken;
}

using Args = std::vector<std::string>;

} // namespace

TEST(LongOptions, TakenOutWhereverTheyStand)
{
  const Taken before = take({"t.iv", "--batch", "-operation", "3", "-x1", "-250"});
  const Taken after = take({"t.iv", "-operation", "3", "-x1", "-250", "--batch"});
  const Taken first = take({"--batch", "t.iv", "-operation", "3", "-x1", "-250"});
  for (const Taken * t : {&before, &after, &first}) {
    EXPECT_EQ(t->exitCode, -1);
    EXPECT_TRUE(t->options.batch);
    EXPECT_EQ(t->rest, (Args{"t.iv", "-operation", "3", "-x1", "-250"}));
    EXPECT_EQ(t->out + t->err, "");
  }
  // Values follow as the next argument or after '='; '--' leaves the rest alone.
  const Taken values =
    take({"t.iv", "--save-tree", "tree.iv", "--screenshot=shot.png", "--show-levels", "--", "--x"});
  EXPECT_EQ(values.exitCode, -1);
  EXPECT_EQ(values.options.saveTree, "tree.iv");
  EXPECT_EQ(values.options.screenshot, "shot.png");
  EXPECT_TRUE(values.options.showLevels);
  EXPECT_FALSE(values.options.batch);
  EXPECT_EQ(values.rest, (Args{"t.iv", "--x"}));
  // One dash is the classic options' business, whatever follows.
  EXPECT_EQ(take({"t.iv", "-batch", "-level", "-5"}).rest, (Args{"t.iv", "-batch", "-level", "-5"}));
}

TEST(LongOptions, MistakesEndTheRunWithAMessage)
{
  const Taken unknown = take({"t.iv", "--batsh"});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_EQ(unknown.err, "Unknown option \"--batsh\"; see --help.\n");
  EXPECT_EQ(take({"t.iv", "--batch=yes"}).exitCode, 1);
  for (const char * option : {"--save-tree", "--screenshot"}) {
    const Taken missing = take({"t.iv", option});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, "Missing value for option \"" + std::string(option) + "\"; see --help.\n");
    EXPECT_EQ(take({"t.iv", std::string(option) + "="}).exitCode, 1);
  }
  const Taken both = take({"t.iv", "--batch", "--screenshot", "s.png"});
  EXPECT_EQ(both.exitCode, 1);
  EXPECT_NE(both.err.find("--screenshot"), std::string::npos);
  EXPECT_EQ(both.out, "");

  testing::internal::CaptureStderr();
  LongOptions tree;
  tree.saveTree = "tree.iv";
  EXPECT_TRUE(longOptionsFitRunMode(tree, 0));
  EXPECT_FALSE(longOptionsFitRunMode(tree, 2));
  LongOptions levels;
  levels.showLevels = true;
  EXPECT_FALSE(longOptionsFitRunMode(levels, 1));
  EXPECT_TRUE(longOptionsFitRunMode(LongOptions(), 3));
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("--save-tree needs the level-of-detail tree"), std::string::npos) << said;
  EXPECT_NE(said.find("(-operation is 2)"), std::string::npos) << said;
  EXPECT_NE(said.find("--show-levels"), std::string::npos) << said;
}

TEST(LongOptions, HelpNamesEveryOptionOnALineOfItsOwnAndVersionItsNumber)
{
  const Taken help = take({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.find("/---"), std::string::npos) << "no banner";
  for (const char * option : {"-operation", "-level", "-reduce", "-x1", "-y1", "-x2", "-y2",
                              "--batch", "--save-tree", "--screenshot", "--show-levels", "--help",
                              "--version"}) {
    int lines = 0;
    std::istringstream text(help.out);
    for (std::string line; std::getline(text, line);)
      lines += line.rfind(std::string("  ") + option + " ", 0) == 0;
    EXPECT_EQ(lines, 1) << option;
  }
  // Also after a file name and other options: it wins over the run.
  EXPECT_EQ(take({"t.iv", "-operation", "2", "--help"}).exitCode, 0);

  const Taken version = take({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out.rfind("terravel ", 0), 0u) << version.out;
  EXPECT_NE(version.out.find_first_of("0123456789"), std::string::npos);
}
