#include "containedrun.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <vector>
#include <new>
#include <string>
#include <poll.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <cstddef>
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

// Bytes the child has read and written through system calls so far; 0 when that cannot be
// seen.
uint64_t bytesMoved(pid_t child)
{
  std::ifstream io("/proc/" + std::to_string(child) + "/io");
  std::string key;
  uint64_t value = 0, moved = 0;
  while (io >> key >> value)
    if (key == "rchar:" || key == "wchar:") moved += value;
  return moved;
}

// A filter of system calls for the reading child, which the process cannot lift again: network
// sockets fail (local ones still work), and so does opening any file to create or write it, so
// that no library the reading calls leaves a file behind (statistics beside a raster, say).
// The child hands its result through a descriptor it was given open. False where no such
// filter can be set.
bool shutOffNetworkAndWrites(void)
{
#if defined(__x86_64__) || defined(__aarch64__)
#if defined(__x86_64__)
  const uint32_t arch = AUDIT_ARCH_X86_64;
#else
  const uint32_t arch = AUDIT_ARCH_AARCH64;
#endif
  const uint32_t deny = SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA);
  const uint32_t writing = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;
  const auto load = [](uint32_t offset) { return sock_filter BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset); };
  const auto ret = [](uint32_t value) { return sock_filter BPF_STMT(BPF_RET | BPF_K, value); };
  const auto jumpIf = [](uint32_t how, uint32_t value, uint8_t yes, uint8_t no) {
    return sock_filter BPF_JUMP(BPF_JMP | how | BPF_K, value, yes, no);
  };
  std::vector<sock_filter> filter = {
    // Other architectures' calls and x32 calls are refused alike.
    load(offsetof(seccomp_data, arch)), jumpIf(BPF_JEQ, arch, 1, 0), ret(deny),
    load(offsetof(seccomp_data, nr)), jumpIf(BPF_JGE, 0x40000000u, 0, 1), ret(deny),
    // socket(): local families only.
    jumpIf(BPF_JEQ, __NR_socket, 0, 4), load(offsetof(seccomp_data, args[0])),
    jumpIf(BPF_JEQ, AF_UNIX, 0, 1), ret(SECCOMP_RET_ALLOW), ret(deny),
  };
  // Opening calls: refused when their flags ask to create or write.
  const auto flagsAt = [&](int call, size_t argument) {
    const std::vector<sock_filter> check = {
      jumpIf(BPF_JEQ, uint32_t(call), 0, 5), load(uint32_t(offsetof(seccomp_data, args) + 8 * argument)),
      sock_filter BPF_STMT(BPF_ALU | BPF_AND | BPF_K, writing), jumpIf(BPF_JEQ, 0, 0, 1),
      ret(SECCOMP_RET_ALLOW), ret(deny)};
    filter.insert(filter.end(), check.begin(), check.end());
  };
  flagsAt(__NR_openat, 2);
#ifdef __NR_open
  flagsAt(__NR_open, 1);
#endif
#ifdef __NR_creat
  filter.insert(filter.end(), {jumpIf(BPF_JEQ, __NR_creat, 0, 1), ret(deny)});
#endif
  // Its flags lie behind a pointer, out of the filter's sight.
  filter.insert(filter.end(), {jumpIf(BPF_JEQ, __NR_openat2, 0, 1), ret(SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
                               ret(SECCOMP_RET_ALLOW)});
  sock_fprog program = {static_cast<unsigned short>(filter.size()), filter.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#else
  return false;
#endif
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

bool writeReason(int fd, const std::string & reason)
{
  return ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0 &&
         writeAll(fd, reason.data(), reason.size());
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

uint64_t memoryBudget(void)
{
  return availableMemory() / 10 * 9;
}

namespace {

// What the parent and the child share: the memory file the child writes its bytes into, the
// progress counter, and a pipe whose write end the child holds until it ends.
class ChildSetUp {
public:
  ChildSetUp(void)
  {
    const int memory = memfd_create("terravel-contained", MFD_CLOEXEC);
    scratch = memory >= 0 ? fdopen(memory, "w+") : std::tmpfile();
    if (scratch == nullptr && memory >= 0) close(memory);
    void * mapped = mmap(nullptr, sizeof(ContainedProgress), PROT_READ | PROT_WRITE,
                         MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mapped != MAP_FAILED) progress = new (mapped) ContainedProgress;
    if (pipe(ended) != 0) ended[0] = ended[1] = -1;
  }
  ~ChildSetUp(void)
  {
    for (const int end : ended)
      if (end >= 0) close(end);
    if (progress != nullptr) {
      progress->~ContainedProgress();
      munmap(progress, sizeof(ContainedProgress));
    }
    if (scratch != nullptr) std::fclose(scratch);
  }
  ChildSetUp(const ChildSetUp &) = delete;
  ChildSetUp & operator=(const ChildSetUp &) = delete;

  bool ready(void) const { return scratch != nullptr && progress != nullptr; }
  int fd(void) const { return fileno(scratch); }
  void closeEnd(int which)
  {
    if (ended[which] >= 0) close(ended[which]);
    ended[which] = -1;
  }

  FILE * scratch = nullptr;
  ContainedProgress * progress = nullptr;
  int ended[2] = {-1, -1};
};

[[noreturn]] void runChild(const std::function<bool(int, ContainedProgress &)> & work,
                           ChildSetUp & setUp, pid_t parent, bool offline)
{
  // The child must not outlive a parent that a signal ends while it waits.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(REFUSED_EXIT);
  setUp.closeEnd(0);
  // A crash ends the child plainly: handlers inherited from the parent (a fuzzer's or a
  // sanitizer's) would treat the contained fault as the parent's own.
  for (const int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) signal(sig, SIG_DFL);
  if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(nullptr);
  if (offline && !shutOffNetworkAndWrites()) {
    writeReason(setUp.fd(), "network access and writing could not be shut off for the reading");
    _exit(REFUSED_EXIT);
  }
  // Leave without destructors or atexit handlers: they belong to the parent's resources
  // (the display connection among them).
  _exit(work(setUp.fd(), *setUp.progress) ? 0 : REFUSED_EXIT);
}

ContainedOutcome stopChild(pid_t child, ContainedOutcome why)
{
  int status = 0;
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return why;
}

ContainedOutcome outcomeOfExit(int status)
{
  if (!WIFEXITED(status)) return ContainedOutcome::CRASHED;
  return WEXITSTATUS(status) == 0              ? ContainedOutcome::FINISHED
         : WEXITSTATUS(status) == REFUSED_EXIT ? ContainedOutcome::REFUSED
                                               : ContainedOutcome::CRASHED;
}

// Waits for the child, stopping it when it outgrows its memory or stops making progress.
ContainedOutcome supervise(pid_t child, const ChildSetUp & setUp, const ContainedLimits & limits,
                           uint64_t memoryLimit)
{
  uint64_t lastTicks = 0, lastRead = 0;
  double lastChange = monotonicSeconds();
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) return outcomeOfExit(status);
    if (done < 0 && errno != EINTR) return ContainedOutcome::CRASHED;
    if (memoryLimit != 0 && residentBytes(child) > memoryLimit)
      return stopChild(child, ContainedOutcome::OUTGREW);
    const uint64_t ticks = setUp.progress->ticks.load(std::memory_order_relaxed);
    const uint64_t read = bytesMoved(child);
    const double now = monotonicSeconds();
    if (ticks != lastTicks || read != lastRead) {
      lastTicks = ticks;
      lastRead = read;
      lastChange = now;
    } else if (now - lastChange > limits.stallSeconds) {
      return stopChild(child, ContainedOutcome::STALLED);
    }
    pollfd wake = {setUp.ended[0], POLLIN, 0};
    if (setUp.ended[0] < 0 || poll(&wake, 1, 50) < 0) usleep(20000);
  }
}

} // namespace

ContainedOutcome runContained(const std::function<bool(int fd, ContainedProgress & progress)> & work,
                              ContainedOutput & output, const ContainedLimits & limits)
{
  // Past this the child would take memory the machine does not have to spare.
  const uint64_t memoryLimit = limits.memoryBytes != 0 ? limits.memoryBytes : memoryBudget();
  ChildSetUp setUp;
  if (!setUp.ready()) return ContainedOutcome::UNSTARTED;
  std::fflush(nullptr);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) runChild(work, setUp, parent, limits.offline);
  if (child < 0) return ContainedOutcome::UNSTARTED;
  setUp.closeEnd(1);
  ContainedOutcome outcome = supervise(child, setUp, limits, memoryLimit);
  // A refusal may say why: its bytes come back too.
  if ((outcome == ContainedOutcome::FINISHED || outcome == ContainedOutcome::REFUSED) &&
      !output.map(setUp.fd()))
    outcome = ContainedOutcome::CRASHED;
  return outcome;
}
