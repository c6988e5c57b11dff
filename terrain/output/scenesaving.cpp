// A scene graph as an Inventor file in the toolkit's default text form, and how a picture it
// names is named from another folder.

#include "scenesaving.h"

#include "containedrun.h"
#include "paths.h"

#include <Inventor/SoOutput.h>
#include <Inventor/actions/SoWriteAction.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The descriptor behind a stream that counts what goes through it and says so now and then.
struct CountingFile {
  int fd;
  int64_t written = 0, reported = 0;
  const std::function<void(int64_t, int64_t)> * progress;
};

ssize_t countAndWrite(void * cookie, const char * bytes, size_t size)
{
  CountingFile & file = *static_cast<CountingFile *>(cookie);
  if (!writeAll(file.fd, bytes, size)) return -1;
  file.written += int64_t(size);
  if (*file.progress && file.written - file.reported >= (int64_t(8) << 20)) {
    file.reported = file.written;
    (*file.progress)(file.written, 0);
  }
  return ssize_t(size);
}

// Where the stream stands: the toolkit's binary writer asks, to pad its strings to whole words.
int tellWhereWritten(void * cookie, off64_t * offset, int whence)
{
  const CountingFile & file = *static_cast<const CountingFile *>(cookie);
  if (!((whence == SEEK_CUR && *offset == 0) || (whence == SEEK_SET && *offset == file.written))) return -1;
  *offset = file.written;
  return 0;
}

} // namespace

bool writeScene(SoNode * node, int fd, bool binary,
                const std::function<void(int64_t, int64_t)> & progress)
{
  CountingFile counting = {fd, 0, 0, &progress};
  cookie_io_functions_t functions = {nullptr, countAndWrite, tellWhereWritten, nullptr};
  FILE * file = fopencookie(&counting, "w", functions);
  if (file == nullptr) return false;
  std::setvbuf(file, nullptr, _IOFBF, size_t(1) << 20);
  bool written = false;
  {
    SoOutput output;
    output.setFilePointer(file);
    output.setBinary(binary);
    SoWriteAction writer(&output);
    writer.apply(node);
    written = std::fflush(file) == 0 && std::ferror(file) == 0;
  }
  return std::fclose(file) == 0 && written;
}

namespace {

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
