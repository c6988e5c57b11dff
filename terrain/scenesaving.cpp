// A scene graph as an Inventor file in the toolkit's default text form, and how a picture it
// names is named from another folder.

#include "scenesaving.h"

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

bool writeScene(SoNode * node, int fd)
{
  const int own = dup(fd);
  FILE * file = own >= 0 ? fdopen(own, "w") : nullptr;
  if (file == nullptr) {
    if (own >= 0) close(own);
    return false;
  }
  bool written = false;
  {
    SoOutput output;
    output.setFilePointer(file);
    SoWriteAction writer(&output);
    writer.apply(node);
    written = std::fflush(file) == 0 && std::ferror(file) == 0;
  }
  return std::fclose(file) == 0 && written;
}

float asWritten(float value)
{
  // Whole numbers of up to eight digits are written as they are.
  if (value == std::nearbyint(value) && std::fabs(value) < 1e8f) return value;
  if (!std::isfinite(value)) return value;
  char text[32];
  std::snprintf(text, sizeof text, "%.8g", double(value));
  return float(std::strtod(text, nullptr)); // as the toolkit reads it
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
