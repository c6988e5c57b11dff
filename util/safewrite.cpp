// Writing a result of one or more files safely: temporary files beside the targets, complete and
// on disk before any of them replaces a target, and put back as they were when anything fails
// or a signal ends the program meanwhile.

#include "safewrite.h"

#include "paths.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What a signal handler must undo for one file of a result in progress. The handler reads only
// these fixed buffers and calls only unlink and rename, which are safe in a handler.
enum SlotState : int {
  FREE = 0,
  TEMPORARY, // the temporary file exists: remove it
  REPLACED,  // the target holds the new file: put the earlier one (or none) back
  BACKUP     // the result stands: only the earlier file's extra name is left to remove
};
struct Slot {
  volatile sig_atomic_t state;
  volatile sig_atomic_t hasBackup;
  char temporary[4096];
  char backup[4096];
  char target[4096];
};
const size_t maxFiles = 4;
Slot slots[maxFiles];
const int cleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

void undo(Slot & slot)
{
  switch (slot.state) {
  case TEMPORARY:
    unlink(slot.temporary);
    break;
  case REPLACED:
    if (slot.hasBackup) {
      rename(slot.backup, slot.target);
      unlink(slot.backup); // still there when both names led to one file
    } else {
      unlink(slot.target);
    }
    break;
  case BACKUP:
    unlink(slot.backup);
    break;
  default:
    break;
  }
  slot.state = FREE;
}

extern "C" void undoPendingWrites(int signal)
{
  for (Slot & slot : slots) undo(slot);
  // Then end the way the signal would have ended the program.
  ::signal(signal, SIG_DFL);
  raise(signal);
}

// The clean-up handlers, installed for the lifetime of one write; what was installed before
// comes back afterwards.
class SignalGuard {
public:
  SignalGuard(void)
  {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = undoPendingWrites;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < 3; ++i) sigaction(cleanupSignals[i], &action, &previous[i]);
  }
  ~SignalGuard(void)
  {
    for (Slot & slot : slots) slot.state = FREE;
    for (size_t i = 0; i < 3; ++i) sigaction(cleanupSignals[i], &previous[i], nullptr);
  }
  SignalGuard(const SignalGuard &) = delete;
  SignalGuard & operator=(const SignalGuard &) = delete;

private:
  struct sigaction previous[3];
};

bool copyName(char (&to)[4096], const std::string & from)
{
  if (from.size() >= sizeof to) return false;
  std::memcpy(to, from.c_str(), from.size() + 1);
  return true;
}

std::string describe(const std::string & what, int error)
{
  return what + ": " + std::strerror(error);
}

// The file's content in its temporary file, flushed to disk. The name is in the slot before the
// file exists, so a signal never misses it.
bool writeTemporary(Slot & slot, const FileToWrite & file, std::string & reason)
{
  if (!copyName(slot.target, file.target) || !copyName(slot.temporary, file.target + ".XXXXXX") ||
      !copyName(slot.backup, file.target + ".XXXXXX.old")) {
    reason = file.target + ": the name is too long";
    return false;
  }
  slot.hasBackup = 0;
  slot.state = TEMPORARY;
  const int fd = mkstemp(slot.temporary);
  if (fd < 0) {
    slot.state = FREE;
    reason = describe("cannot make a file beside " + file.target, errno);
    return false;
  }
  std::memcpy(slot.backup, slot.temporary, std::strlen(slot.temporary));
  fchmod(fd, permissionsFor(file.target.c_str()));
  errno = 0;
  bool ok = file.write(fd);
  int error = errno;
  if (ok && fsync(fd) != 0) {
    ok = false;
    error = errno;
  }
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) reason = describe("cannot write " + file.target, error != 0 ? error : EIO);
  return ok;
}

// Moves the new file onto its target, keeping the earlier one under a second name until the
// whole result stands.
bool replaceTarget(Slot & slot, std::string & reason)
{
  struct stat existing;
  if (lstat(slot.target, &existing) == 0 && S_ISREG(existing.st_mode) &&
      link(slot.target, slot.backup) == 0)
    slot.hasBackup = 1;
  if (rename(slot.temporary, slot.target) != 0) {
    reason = describe(std::string("cannot replace ") + slot.target, errno);
    if (slot.hasBackup) unlink(slot.backup);
    return false;
  }
  slot.state = REPLACED;
  return true;
}

void syncFolder(const std::string & path)
{
  const int fd = open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

} // namespace

bool sameFile(const std::string & a, const std::string & b)
{
  struct stat first, second;
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

mode_t permissionsFor(const char * fileName)
{
  struct stat existing;
  if (stat(fileName, &existing) == 0 && S_ISREG(existing.st_mode)) return existing.st_mode & 07777;
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

WriteOutcome writeTogether(const std::vector<FileToWrite> & files,
                           const std::vector<std::string> & keepIntact)
{
  WriteOutcome outcome;
  for (const FileToWrite & file : files) {
    for (const std::string & kept : keepIntact) {
      if (!sameFile(file.target, kept)) continue;
      outcome.status = WriteStatus::REFUSED;
      outcome.reason = file.target == kept ? file.target + " is a file this run reads"
                                           : file.target + " leads to " + kept + ", which this run reads";
      return outcome;
    }
  }
  if (files.empty() || files.size() > maxFiles) return outcome;

  SignalGuard guard;
  bool ok = true;
  for (size_t i = 0; ok && i < files.size(); ++i) ok = writeTemporary(slots[i], files[i], outcome.reason);
  for (size_t i = 0; ok && i < files.size(); ++i) ok = replaceTarget(slots[i], outcome.reason);
  if (!ok) {
    // Nothing of the result stays: temporary files go, replaced targets come back.
    for (size_t i = 0; i < files.size(); ++i) undo(slots[i]);
    return outcome;
  }
  for (size_t i = 0; i < files.size(); ++i) slots[i].state = slots[i].hasBackup ? BACKUP : FREE;
  for (size_t i = 0; i < files.size(); ++i) undo(slots[i]);
  syncFolder(files.front().target);
  outcome.status = WriteStatus::WRITTEN;
  return outcome;
}
