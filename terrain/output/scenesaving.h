#ifndef TERRAVEL_SCENESAVING_H
#define TERRAVEL_SCENESAVING_H

#include <cstdint>
#include <functional>
#include <string>

class SoNode;

// Writes the node and everything below it to the descriptor as an Inventor file in the
// toolkit's default text form, or its binary form; false when the file could not be written
// whole. progress hears of the bytes written so far. Meant for writeTogether, which makes the
// file safe.
bool writeScene(SoNode * node, int fd, bool binary = false,
                const std::function<void(int64_t, int64_t)> & progress = {});

// How a picture named relative to one file's folder is named from another file's folder: the
// same name where the folders are one, a relative path where the picture exists, else as is.
std::string relocatedName(const std::string & name, const char * fromFile, const char * toFile);

#endif
