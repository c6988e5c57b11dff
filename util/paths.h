#ifndef TERRAVEL_PATHS_H
#define TERRAVEL_PATHS_H

#include <string>

// The folder a path lies in: "." for a bare name, "/" for the root.
std::string folderOf(const std::string & path);

// The file's own name, after the last slash.
std::string fileNameOf(const std::string & path);

#endif
