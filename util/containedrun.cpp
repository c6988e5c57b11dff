#include "containedrun.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

// Present only in sanitizer builds.
extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

namespace {

// Any other exit code means the child ended some other way (a sanitizer's report, say).
const int REFUSED_EXIT = 42;

double monotonicSeconds(void)
{
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// Resident memory of the child in bytes; 0 when that cannot be seen.
uint64_t residentBytes(pid_t child)
{
  std::ifstream statm("/proc/" + std::to_string(child) + "/statm");
  uint64_t size = 0, resident = 0;
  if (!(statm >> size >> resident)) return 0;
  return resident * uint64_t(sysconf(_SC_PAGESIZE));
}

// Bytes the child has read through system calls so far; 0 when that cannot be seen.
uint64_t bytesRead(pid_t child)
{
  std::ifstream io("/proc/" + std::to_string(child) + "/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return 0;
}

} // namespace

ContainedOutput::~ContainedOutput(void)
{
  if (bytes != nullptr) munmap(bytes, length);
}

bool ContainedOutput::map(int fd)
{
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0) return false;
  length = size_t(end);
  if (length == 0) return true;
  void * mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
  if (mapped == MAP_FAILED) {
    length = 0;
    return false;
  }
  bytes = static_cast<char *>(mapped);
  return true;
}

bool writeAll(int fd, const void * data, size_t size)
{
  const char * bytes = static_cast<const char *>(data);
  while (size > 0) {
    const ssize_t n = write(fd, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += n;
    size -= size_t(n);
  }
  return true;
}

uint64_t availableMemory(void)
{
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  uint64_t kib = 0;
  std::string unit;
  while (meminfo >> key >> kib >> unit)
    if (key == "MemAvailable:") return kib * 1024;
  return 0;
}

ContainedOutcome runContained(const std::function<bool(int fd, ContainedProgress & progress)> & work,
                              ContainedOutput & output, const ContainedLimits & limits)
{
  const double stallSeconds = limits.stallSeconds;
  // Past this the child would take memory the machine does not have to spare.
  const uint64_t memoryLimit =
    limits.memoryBytes != 0 ? limits.memoryBytes : availableMemory() / 10 * 9;
  // The child's bytes go into memory the parent can map: a memory file, else a temporary one.
  const int memory = memfd_create("terravel-contained", MFD_CLOEXEC);
  FILE * scratch = memory >= 0 ? fdopen(memory, "w+") : std::tmpfile();
  if (scratch == nullptr && memory >= 0) close(memory);
  void * shared = mmap(nullptr, sizeof(ContainedProgress), PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (scratch == nullptr || shared == MAP_FAILED) {
    if (scratch != nullptr) std::fclose(scratch);
    if (shared != MAP_FAILED) munmap(shared, sizeof(ContainedProgress));
    return ContainedOutcome::CRASHED;
  }
  ContainedProgress * progress = new (shared) ContainedProgress;
  const int fd = fileno(scratch);

  // The child holds the write end of this pipe until it ends, which wakes the parent at once.
  int ended[2];
  if (pipe(ended) != 0) ended[0] = ended[1] = -1;

  std::fflush(nullptr);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) {
    // The child must not outlive a parent that a signal ends while it waits.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(REFUSED_EXIT);
    if (ended[0] >= 0) close(ended[0]);
    // A crash ends the child plainly: handlers inherited from the parent (a fuzzer's or a
    // sanitizer's) would treat the contained fault as the parent's own.
    for (const int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) signal(sig, SIG_DFL);
    if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(nullptr);
    // Leave without destructors or atexit handlers: they belong to the parent's resources
    // (the display connection among them).
    _exit(work(fd, *progress) ? 0 : REFUSED_EXIT);
  }
  if (ended[1] >= 0) close(ended[1]);

  ContainedOutcome outcome = ContainedOutcome::CRASHED;
  if (child < 0) {
    outcome = work(fd, *progress) ? ContainedOutcome::FINISHED : ContainedOutcome::REFUSED;
  } else {
    uint64_t lastTicks = 0, lastRead = 0;
    double lastChange = monotonicSeconds();
    for (;;) {
      int status = 0;
      const pid_t done = waitpid(child, &status, WNOHANG);
      if (done == child) {
        if (WIFEXITED(status))
          outcome = WEXITSTATUS(status) == 0              ? ContainedOutcome::FINISHED
                    : WEXITSTATUS(status) == REFUSED_EXIT ? ContainedOutcome::REFUSED
                                                          : ContainedOutcome::CRASHED;
        break;
      }
      if (done < 0 && errno != EINTR) break;
      if (memoryLimit != 0 && residentBytes(child) > memoryLimit) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        outcome = ContainedOutcome::OUTGREW;
        break;
      }
      const uint64_t ticks = progress->ticks.load(std::memory_order_relaxed);
      const uint64_t read = bytesRead(child);
      const double now = monotonicSeconds();
      if (ticks != lastTicks || read != lastRead) {
        lastTicks = ticks;
        lastRead = read;
        lastChange = now;
      } else if (now - lastChange > stallSeconds) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        outcome = ContainedOutcome::STALLED;
        break;
      }
      pollfd wake = {ended[0], POLLIN, 0};
      if (ended[0] < 0 || poll(&wake, 1, 50) < 0) usleep(20000);
    }
  }
  if (ended[0] >= 0) close(ended[0]);

  if (outcome == ContainedOutcome::FINISHED && !output.map(fd))
    outcome = ContainedOutcome::CRASHED;
  progress->~ContainedProgress();
  munmap(shared, sizeof(ContainedProgress));
  std::fclose(scratch);
  return outcome;
}
