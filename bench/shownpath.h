#ifndef TERRAVEL_SHOWNPATH_H
#define TERRAVEL_SHOWNPATH_H

#include <string>

// A file's name as the benchmarks print it: a name that starts with the checkout's folder, as
// the shared data's does (CHECKOUT/../shared/data), relative to the checkout, so that what they
// print reads the same whichever folder the build was made in; any other name as given.
inline std::string shownPath(const std::string & path)
{
  const std::string checkout = TERRAVEL_SOURCE_DIR "/";
  return path.compare(0, checkout.size(), checkout) == 0 ? path.substr(checkout.size()) : path;
}

#endif
