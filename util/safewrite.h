#ifndef TERRAVEL_SAFEWRITE_H
#define TERRAVEL_SAFEWRITE_H

// Every file the program writes goes through here. Each file of a result is written into a
// temporary file beside its target, flushed to disk, and only once every file of the result is
// complete are they renamed into place, together: a result of several files (a scene and its
// picture) replaces the earlier files all or not at all. Missing folders of a target are made.
// A failed or interrupted write (SIGINT, SIGTERM, SIGHUP) leaves the earlier files intact, and
// neither a temporary file nor a folder it made behind. A replaced file keeps its permissions. A target that is one of the files to keep intact (the files the
// run reads), whatever name leads to it, is refused before anything is written.

#include <cstdint>
#include <functional>
#include <memory>
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

// A new folder being filled with files named NUMBER + suffix (0.glb, 1.glb, ...) that belongs
// to a result written afterwards: should INT, TERM or HUP end the program before that result
// stands, the folder goes with its files. One at a time.
class PendingFolder {
public:
  PendingFolder(const std::string & folder, const std::string & suffix);
  ~PendingFolder(void);
  PendingFolder(const PendingFolder &) = delete;
  PendingFolder & operator=(const PendingFolder &) = delete;
  // Files numbered below count may exist now.
  void reach(int64_t count);
  // False when the folder could not be watched (its name is too long, or another is).
  bool watched(void) const;
  // The folder stays from now on, whatever ends the program.
  void keep(void);

private:
  struct Guard;
  std::unique_ptr<Guard> guard;
};

// The missing folders of a result's targets, made before the result is written: when the
// object ends before keep(), or INT, TERM or HUP end the program first, they go again, deepest
// first, where they are empty. Objects alive at one time end in the reverse order of their start.
class NewFolders {
public:
  NewFolders(void);
  ~NewFolders(void);
  NewFolders(const NewFolders &) = delete;
  NewFolders & operator=(const NewFolders &) = delete;
  // False, with the reason, when a folder cannot be made; those made for it are gone again.
  bool make(const std::string & folder, std::string & reason);
  // The result stands: the folders stay.
  void keep(void);

private:
  struct Guard;
  std::unique_ptr<Guard> guard;
  size_t from;
  bool kept = false;
};

// The missing folders of each target are made (see NewFolders) once no target is refused.
// part, when given, is a folder of the result's: it stays once the files stand.
WriteOutcome writeTogether(const std::vector<FileToWrite> & files,
                           const std::vector<std::string> & keepIntact,
                           PendingFolder * part = nullptr);

// Makes the missing folders of a path, parents first, with the mode the file creation mask
// allows; made lists those it made, so that a failed result can take them away again. False,
// with the reason, when one cannot be made.
bool makeFolders(const std::string & folder, std::vector<std::string> & made, std::string & reason);
// Removes the folders makeFolders made, deepest first, where they are still empty.
void removeMadeFolders(const std::vector<std::string> & made);

// True when both names lead to one existing file (by device and inode).
bool sameFile(const std::string & a, const std::string & b);

// The process's file creation mask, read without changing it (safe on any thread).
mode_t fileCreationMask(void);

// The permissions a file written in place of fileName gets: those of the file it replaces, or
// those of any new file.
mode_t permissionsFor(const char * fileName);

#endif
