#ifndef TERRAVEL_SAFEWRITE_H
#define TERRAVEL_SAFEWRITE_H

// Every file the program writes goes through here. Each file of a result is written into a
// temporary file beside its target, flushed to disk, and only once every file of the result is
// complete are they renamed into place, together: a result of several files (a scene and its
// picture) replaces the earlier files all or not at all. A failed or interrupted write (SIGINT,
// SIGTERM, SIGHUP) leaves the earlier files intact and no temporary file behind. A replaced
// file keeps its permissions. A target that is one of the files to keep intact (the files the
// run reads), whatever name leads to it, is refused before anything is written.

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct FileToWrite {
  std::string target;
  // Writes the whole content to the descriptor; false when it could not.
  std::function<bool(int fd)> write;
};

enum class WriteStatus {
  WRITTEN,
  REFUSED, // a target is a file to keep intact; nothing was written
  FAILED   // something could not be written; nothing was replaced
};

struct WriteOutcome {
  WriteStatus status = WriteStatus::FAILED;
  std::string reason; // why not, for the user; empty when written
  bool written(void) const { return status == WriteStatus::WRITTEN; }
};

WriteOutcome writeTogether(const std::vector<FileToWrite> & files,
                           const std::vector<std::string> & keepIntact);

// True when both names lead to one existing file (by device and inode).
bool sameFile(const std::string & a, const std::string & b);

// The permissions a file written in place of fileName gets: those of the file it replaces, or
// those of any new file.
mode_t permissionsFor(const char * fileName);

#endif
