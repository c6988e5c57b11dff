// Saving a scene graph as an Inventor file in the toolkit's default text form, safely: through
// a temporary file beside the target that replaces it only once it is complete.

#include "scenesaving.h"

#include <Inventor/SoOutput.h>
#include <Inventor/actions/SoWriteAction.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary file of a save in progress, removed if a signal ends the program meanwhile.
volatile sig_atomic_t savingInProgress = 0;
char pendingTemporary[4096];
const int cleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removePendingTemporary(int signal)
{
  if (savingInProgress) unlink(pendingTemporary);
  // Then end the way the signal would have ended the program.
  ::signal(signal, SIG_DFL);
  raise(signal);
}

// A temporary file beside the target, made with the clean-up installed for the lifetime of one
// save; what was installed before comes back afterwards.
class PendingTemporary {
public:
  explicit PendingTemporary(const std::string & target)
  {
    const std::string pattern = target + ".XXXXXX";
    if (pattern.size() >= sizeof pendingTemporary) return;
    std::memcpy(pendingTemporary, pattern.c_str(), pattern.size() + 1);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = removePendingTemporary;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < 3; ++i) sigaction(cleanupSignals[i], &action, &previous[i]);
    installed = true;
    // The name is in place before the file exists, so a signal never misses it.
    savingInProgress = 1;
    fd = mkstemp(pendingTemporary);
    if (fd < 0) savingInProgress = 0;
  }
  ~PendingTemporary()
  {
    if (!installed) return;
    savingInProgress = 0;
    for (size_t i = 0; i < 3; ++i) sigaction(cleanupSignals[i], &previous[i], nullptr);
  }
  PendingTemporary(const PendingTemporary &) = delete;
  PendingTemporary & operator=(const PendingTemporary &) = delete;

  int descriptor(void) const { return fd; }
  const char * name(void) const { return pendingTemporary; }

private:
  bool installed = false;
  int fd = -1;
  struct sigaction previous[3];
};

bool sameFile(const char * a, const char * b)
{
  struct stat first, second;
  return stat(a, &first) == 0 && stat(b, &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

} // namespace

mode_t permissionsFor(const char * fileName)
{
  struct stat existing;
  if (stat(fileName, &existing) == 0 && S_ISREG(existing.st_mode)) return existing.st_mode & 07777;
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

bool saveScene(SoNode * node, const char * fileName, const char * keepIntact)
{
  std::printf("Saving %s ...", fileName);
  std::fflush(stdout);
  if (keepIntact != nullptr && sameFile(fileName, keepIntact)) {
    std::printf("Failed\n");
    return false;
  }

  // The scene goes into a temporary file beside the target, which replaces the target only once
  // it is complete: a failed or interrupted save leaves any earlier file of that name intact.
  PendingTemporary pending(fileName);
  const int fd = pending.descriptor();
  const std::string temporary = fd >= 0 ? pending.name() : "";
  FILE * file = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (file == nullptr) {
    if (fd >= 0) {
      close(fd);
      unlink(temporary.c_str());
    }
    std::printf("Failed\n");
    return false;
  }
  fchmod(fd, permissionsFor(fileName));

  bool written = false;
  {
    SoOutput output;
    output.setFilePointer(file);
    SoWriteAction writer(&output);
    writer.apply(node);
    written = std::fflush(file) == 0 && std::ferror(file) == 0;
  }
  written = written && fsync(fd) == 0;
  written = std::fclose(file) == 0 && written;
  if (written && std::rename(temporary.c_str(), fileName) == 0) {
    std::printf("Done\n");
    return true;
  }
  unlink(temporary.c_str());
  std::printf("Failed\n");
  return false;
}

namespace {

std::string folderOf(const std::string & path)
{
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<std::string> partsOf(const std::string & absolute)
{
  std::vector<std::string> parts;
  size_t at = 1;
  while (at < absolute.size()) {
    const size_t slash = absolute.find('/', at);
    const size_t end = slash == std::string::npos ? absolute.size() : slash;
    if (end > at) parts.push_back(absolute.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

std::string realPath(const std::string & path)
{
  char * resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::string();
  const std::string result(resolved);
  std::free(resolved);
  return result;
}

} // namespace

std::string relocatedName(const std::string & name, const char * fromFile, const char * toFile)
{
  if (name.empty() || name[0] == '/') return name;
  const std::string from = realPath(folderOf(fromFile));
  const std::string to = realPath(folderOf(toFile));
  if (!from.empty() && from == to) return name;
  const std::string picture = realPath(folderOf(fromFile) + "/" + name);
  if (picture.empty() || to.empty()) return name;
  const std::vector<std::string> target = partsOf(picture), base = partsOf(to);
  size_t common = 0;
  while (common < target.size() && common < base.size() && target[common] == base[common])
    ++common;
  std::string relative;
  for (size_t i = common; i < base.size(); ++i) relative += "../";
  for (size_t i = common; i < target.size(); ++i)
    relative += target[i] + (i + 1 < target.size() ? "/" : "");
  return relative;
}
