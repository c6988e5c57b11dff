#ifndef TERRAVEL_CONTAINEDRUN_H
#define TERRAVEL_CONTAINEDRUN_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// Runs a piece of work in a child process, so that a crash, an abort or an endless loop in code
// we do not control (the toolkit's reader and shape traversal) costs the run one failed step
// instead of the whole process. The work writes its result as bytes into a file descriptor;
// the parent gets them back once the child has ended cleanly.

struct ContainedProgress {
  // The work bumps this now and then; together with the bytes the child reads and writes it
  // tells a slow child from a stuck one.
  std::atomic<uint64_t> ticks{0};
};

enum class ContainedOutcome {
  FINISHED,  // the work returned true; its output is complete
  REFUSED,   // the work returned false; its output, if any, says why
  UNSTARTED, // no child could be set up (no memory file, no process)
  CRASHED,  // the child died from a signal (segmentation fault, abort, out of memory)
  STALLED,  // the child made no progress for too long and was stopped
  OUTGREW   // the child grew past the memory limit and was stopped
};

struct ContainedLimits {
  // A child that neither reads, writes nor ticks for this long is stopped.
  double stallSeconds = 10.0;
  // A child whose resident memory passes this is stopped; 0 means nine tenths of the memory
  // the machine has available when the run starts.
  uint64_t memoryBytes = 0;
  // The child may open no network socket and no file to create or write it: whatever it reads
  // stays on this machine, and nothing is left beside what it read.
  bool offline = true;
};

// The bytes a contained run wrote, mapped into memory for as long as this object lives. The
// mapping is private and writable: a write changes this process's copy only.
class ContainedOutput {
public:
  ContainedOutput(void) = default;
  ~ContainedOutput(void);
  ContainedOutput(const ContainedOutput &) = delete;
  ContainedOutput & operator=(const ContainedOutput &) = delete;
  bool map(int fd);
  const char * data(void) const { return bytes; }
  size_t size(void) const { return length; }

private:
  char * bytes = nullptr;
  size_t length = 0;
};

// work(fd, progress) runs in the child and writes its result to fd; output holds what it wrote
// when it finished or refused. A child that stalls or outgrows its memory is killed; the child
// dies with this process.
ContainedOutcome runContained(const std::function<bool(int fd, ContainedProgress & progress)> & work,
                              ContainedOutput & output,
                              const ContainedLimits & limits = ContainedLimits());

// The memory the machine has available now (MemAvailable), in bytes; 0 when it cannot be read.
uint64_t availableMemory(void);
// What one run may take of it: nine tenths, so that the machine keeps some for itself.
uint64_t memoryBudget(void);

// Writes all of the bytes, retrying after short writes; false on an error.
bool writeAll(int fd, const void * data, size_t size);
// Replaces whatever the work wrote so far with the reason it refuses.
bool writeReason(int fd, const std::string & reason);

#endif
