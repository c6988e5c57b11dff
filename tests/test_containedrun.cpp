#include "containedrun.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/wait.h>
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
  ContainedLimits quick;
  quick.stallSeconds = 0.3;
  ContainedOutput stuck;
  EXPECT_EQ(runContained([](int, ContainedProgress &) {
              for (;;) pause();
              return true;
            }, stuck, quick),
            ContainedOutcome::STALLED);

  // Ticking keeps a child alive well past the stall limit.
  ContainedOutput busy;
  EXPECT_EQ(runContained([](int, ContainedProgress & progress) {
              for (int i = 0; i < 40; ++i) {
                usleep(25000);
                progress.ticks.fetch_add(1);
              }
              return true;
            }, busy, quick),
            ContainedOutcome::FINISHED);
}

TEST(ContainedRun, AChildThatOutgrowsItsMemoryIsStopped)
{
  ContainedLimits small;
  small.memoryBytes = 64u << 20;
  ContainedOutput output;
  EXPECT_EQ(runContained([](int, ContainedProgress & progress) {
              // Grows by touching new memory, ticking all the while, and never ends.
              for (;;) {
                char * block = static_cast<char *>(std::malloc(1 << 20));
                if (block == nullptr) return false;
                std::memset(block, 1, 1 << 20);
                progress.ticks.fetch_add(1);
              }
              return true;
            }, output, small),
            ContainedOutcome::OUTGREW);
}

namespace {

// The state letter of a process in /proc, or 0 when it is gone.
char processState(pid_t pid)
{
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return 0;
  const size_t close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() ? 0 : line[close + 2];
}

} // namespace

TEST(ContainedRun, TheChildDiesWithItsParent)
{
  // A parent process runs a child that never ends; the child tells its number through a pipe.
  int channel[2];
  ASSERT_EQ(pipe(channel), 0);
  const pid_t parent = fork();
  if (parent == 0) {
    close(channel[0]);
    ContainedOutput output;
    runContained([&](int, ContainedProgress & progress) {
      const pid_t self = getpid();
      if (write(channel[1], &self, sizeof self) != sizeof self) return false;
      for (;;) progress.ticks.fetch_add(1);
      return true;
    }, output);
    _exit(0);
  }
  close(channel[1]);
  pid_t child = 0;
  ASSERT_EQ(read(channel[0], &child, sizeof child), ssize_t(sizeof child));
  close(channel[0]);

  // As a desktop or a shell's job control would end it.
  kill(parent, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(parent, &status, 0), parent);
  EXPECT_TRUE(WIFSIGNALED(status));
  char state = processState(child);
  for (int i = 0; i < 200 && state != 0 && state != 'Z'; ++i) {
    usleep(10000);
    state = processState(child);
  }
  EXPECT_TRUE(state == 0 || state == 'Z') << "the child still runs, state " << state;
  if (state != 0 && state != 'Z') kill(child, SIGKILL);
}
