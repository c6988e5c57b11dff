#include "containedrun.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <unistd.h>

TEST(ContainedRun, OutcomesOfTheChild)
{
  ContainedOutput output;
  const std::string message = "flat lists";
  EXPECT_EQ(runContained([&](int fd, ContainedProgress &) {
              return writeAll(fd, message.data(), message.size());
            }, output),
            ContainedOutcome::FINISHED);
  EXPECT_EQ(std::string(output.data(), output.size()), message);

  ContainedOutput refused;
  EXPECT_EQ(runContained([](int, ContainedProgress &) { return false; }, refused),
            ContainedOutcome::REFUSED);

  // A crash or an abort in the child leaves this process running.
  ContainedOutput crashed;
  EXPECT_EQ(runContained([](int, ContainedProgress &) {
              std::raise(SIGSEGV);
              return true;
            }, crashed),
            ContainedOutcome::CRASHED);
  EXPECT_EQ(runContained([](int, ContainedProgress &) {
              std::abort();
              return true;
            }, crashed),
            ContainedOutcome::CRASHED);
}

TEST(ContainedRun, StuckChildIsStoppedButABusyOneIsNot)
{
  ContainedOutput stuck;
  EXPECT_EQ(runContained([](int, ContainedProgress &) {
              for (;;) pause();
              return true;
            }, stuck, 0.3),
            ContainedOutcome::STALLED);

  // Ticking keeps a child alive well past the stall limit.
  ContainedOutput busy;
  EXPECT_EQ(runContained([](int, ContainedProgress & progress) {
              for (int i = 0; i < 40; ++i) {
                usleep(25000);
                progress.ticks.fetch_add(1);
              }
              return true;
            }, busy, 0.3),
            ContainedOutcome::FINISHED);
}
