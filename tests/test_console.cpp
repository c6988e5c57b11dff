#include "console.h"

#include <gtest/gtest.h>

#include <string>

TEST(Console, BannerIsThreeLinesOfEighty)
{
  testing::internal::CaptureStdout();
  printBanner();
  const std::string banner = testing::internal::GetCapturedStdout();
  ASSERT_EQ(banner.size(), 240u);
  EXPECT_EQ(banner.find('\n'), std::string::npos);
  EXPECT_EQ(banner.substr(0, 80), "/" + std::string(78, '-') + "\\");
  EXPECT_EQ(banner.substr(80, 80),
            "|" + std::string(23, ' ') + "Terravel terrain rendering" + std::string(29, ' ') + "|");
  EXPECT_EQ(banner.substr(160, 80), "\\" + std::string(78, '-') + "/");
}

TEST(Console, ClearPrintsNothingWhenNotATerminal)
{
  testing::internal::CaptureStdout();
  clearConsole();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}
