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
#include <pthread.h>
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

// A folder of new files, numbered from 0 with one suffix, that a signal must remove whole.
struct FolderSlot {
  volatile sig_atomic_t active;
  volatile sig_atomic_t count; // names below it may exist
  char folder[4096];
  char suffix[32];
};
FolderSlot pendingFolder;

// Removes the folder's numbered files and the folder, with what a handler may use. The folder
// is first moved aside, so that a file another thread opens meanwhile is not made in it.
void removeNumbered(FolderSlot & slot)
{
  static char path[sizeof slot.folder + 48];
  size_t base = 0;
  while (slot.folder[base] != '\0') path[base] = slot.folder[base], ++base;
  const char gone[] = ".gone";
  for (size_t k = 0; k < sizeof gone; ++k) path[base + k] = gone[k];
  if (rename(slot.folder, path) == 0) base += sizeof gone - 1;
  else path[base] = '\0';
  char folder[sizeof path];
  for (size_t k = 0; k <= base; ++k) folder[k] = path[k];
  path[base++] = '/';
  for (sig_atomic_t i = 0; i < slot.count; ++i) {
    char digits[24];
    int n = 0;
    for (long v = long(i); n == 0 || v > 0; v /= 10) digits[n++] = char('0' + v % 10);
    size_t at = base;
    while (n > 0) path[at++] = digits[--n];
    for (const char * c = slot.suffix; *c != '\0'; ++c) path[at++] = *c;
    path[at] = '\0';
    unlink(path);
  }
  rmdir(folder);
}

// Folders made for results in progress, each name ended by a NUL, in the order they were made.
struct MadeFolders {
  char names[16384];
  volatile sig_atomic_t end; // bytes in use
};
MadeFolders madeFolders;

// Removes the folders recorded from offset from on, the last made first, where they are empty,
// with what a handler may use.
void removeMadeSince(sig_atomic_t from)
{
  sig_atomic_t end = madeFolders.end;
  while (end > from) {
    sig_atomic_t start = end - 1;
    while (start > from && madeFolders.names[start - 1] != '\0') --start;
    rmdir(madeFolders.names + start);
    end = start;
  }
  madeFolders.end = from;
}

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
  if (pendingFolder.active) removeNumbered(pendingFolder);
  pendingFolder.active = 0;
  removeMadeSince(0);
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

// INT, TERM and HUP held back while a result changes from undone to standing.
class HeldSignals {
public:
  HeldSignals(void)
  {
    sigset_t held;
    sigemptyset(&held);
    for (const int s : cleanupSignals) sigaddset(&held, s);
    pthread_sigmask(SIG_BLOCK, &held, &previous);
  }
  ~HeldSignals(void) { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
  HeldSignals(const HeldSignals &) = delete;
  HeldSignals & operator=(const HeldSignals &) = delete;

private:
  sigset_t previous;
};

} // namespace

struct PendingFolder::Guard {
  SignalGuard signals;
};

PendingFolder::PendingFolder(const std::string & folder, const std::string & suffix)
{
  if (folder.size() >= sizeof pendingFolder.folder || suffix.size() >= sizeof pendingFolder.suffix ||
      pendingFolder.active)
    return;
  guard = std::make_unique<Guard>();
  std::memcpy(pendingFolder.folder, folder.c_str(), folder.size() + 1);
  std::memcpy(pendingFolder.suffix, suffix.c_str(), suffix.size() + 1);
  pendingFolder.count = 0;
  pendingFolder.active = 1;
}

PendingFolder::~PendingFolder(void)
{
  if (guard != nullptr) pendingFolder.active = 0;
}

void PendingFolder::reach(int64_t count)
{
  if (guard != nullptr && count > pendingFolder.count) pendingFolder.count = sig_atomic_t(count);
}

bool PendingFolder::watched(void) const
{
  return guard != nullptr;
}

void PendingFolder::keep(void)
{
  if (guard != nullptr) pendingFolder.active = 0;
}

struct NewFolders::Guard {
  SignalGuard signals;
};

NewFolders::NewFolders(void) : guard(std::make_unique<Guard>()), from(size_t(madeFolders.end)) {}

NewFolders::~NewFolders(void)
{
  const HeldSignals held;
  if (kept) madeFolders.end = sig_atomic_t(from);
  else removeMadeSince(sig_atomic_t(from));
}

bool NewFolders::make(const std::string & folder, std::string & reason)
{
  // Made and recorded with the signals held, so that a signal never misses a folder.
  const HeldSignals held;
  std::vector<std::string> made;
  if (!makeFolders(folder, made, reason)) return false;
  size_t end = size_t(madeFolders.end);
  for (const std::string & name : made) {
    if (end + name.size() + 1 > sizeof madeFolders.names) {
      removeMadeFolders(made);
      reason = "cannot make the folders of " + folder + ": too many at once";
      return false;
    }
    std::memcpy(madeFolders.names + end, name.c_str(), name.size() + 1);
    end += name.size() + 1;
  }
  madeFolders.end = sig_atomic_t(end);
  return true;
}

void NewFolders::keep(void)
{
  kept = true;
}

bool makeFolders(const std::string & folder, std::vector<std::string> & made, std::string & reason)
{
  struct stat info;
  if (folder.empty() || stat(folder.c_str(), &info) == 0) return true;
  const std::string parent = folderOf(folder);
  if (parent != folder && !makeFolders(parent, made, reason)) return false;
  if (mkdir(folder.c_str(), 0777) == 0) {
    made.push_back(folder);
    return true;
  }
  if (errno == EEXIST) return true;
  reason = describe("cannot make the folder " + folder, errno);
  removeMadeFolders(made);
  made.clear();
  return false;
}

void removeMadeFolders(const std::vector<std::string> & made)
{
  for (auto it = made.rbegin(); it != made.rend(); ++it) rmdir(it->c_str());
}

bool sameFile(const std::string & a, const std::string & b)
{
  struct stat first, second;
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

mode_t fileCreationMask(void)
{
  // Read where the kernel shows it: setting the mask to learn it would leave it at 0 for a
  // moment, in which another thread could make a file anyone may write.
  static const mode_t mask = [] {
    std::FILE * status = std::fopen("/proc/self/status", "re");
    unsigned int value = 0;
    bool found = false;
    char line[256];
    while (status != nullptr && !found && std::fgets(line, sizeof line, status) != nullptr)
      found = std::sscanf(line, "Umask: %o", &value) == 1;
    if (status != nullptr) std::fclose(status);
    // Without /proc, the strictest mask the program could have been given.
    return found ? mode_t(value) : mode_t(077);
  }();
  return mask;
}

mode_t permissionsFor(const char * fileName)
{
  struct stat existing;
  if (stat(fileName, &existing) == 0 && S_ISREG(existing.st_mode)) return existing.st_mode & 07777;
  return 0666 & ~fileCreationMask();
}

WriteOutcome writeTogether(const std::vector<FileToWrite> & files,
                           const std::vector<std::string> & keepIntact, PendingFolder * part)
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

  NewFolders folders;
  for (const FileToWrite & file : files)
    if (!folders.make(folderOf(file.target), outcome.reason)) return outcome;
  SignalGuard guard;
  bool ok = true;
  for (size_t i = 0; ok && i < files.size(); ++i) ok = writeTemporary(slots[i], files[i], outcome.reason);
  for (size_t i = 0; ok && i < files.size(); ++i) ok = replaceTarget(slots[i], outcome.reason);
  if (!ok) {
    // Nothing of the result stays: temporary files go, replaced targets come back.
    for (size_t i = 0; i < files.size(); ++i) undo(slots[i]);
    return outcome;
  }
  {
    // The result stands from here: a signal no longer puts the earlier files back, nor takes
    // the folder that belongs to it.
    const HeldSignals held;
    for (size_t i = 0; i < files.size(); ++i) slots[i].state = slots[i].hasBackup ? BACKUP : FREE;
    if (part != nullptr) part->keep();
    folders.keep();
  }
  for (size_t i = 0; i < files.size(); ++i) undo(slots[i]);
  syncFolder(files.front().target);
  outcome.status = WriteStatus::WRITTEN;
  return outcome;
}
