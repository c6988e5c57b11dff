#ifndef TERRAVEL_SCENESAVING_H
#define TERRAVEL_SCENESAVING_H

#include <string>
#include <sys/types.h>

class SoNode;

// Writes the node and everything below it to the file, printing "Saving NAME ..." and then
// "Done" or "Failed". The scene goes into a temporary file beside the target that replaces it
// only once complete, so a failed or interrupted save (SIGINT, SIGTERM, SIGHUP included) leaves
// an earlier file intact and no temporary file behind. A replaced file keeps its permissions.
// Never replaces keepIntact (the input of the run), whatever name leads to it. True when the
// file was written.
bool saveScene(SoNode * node, const char * fileName, const char * keepIntact = nullptr);

// The permissions a file written in place of fileName gets: those of the file it replaces, or
// those of any new file.
mode_t permissionsFor(const char * fileName);

// How a picture named relative to one file's folder is named from another file's folder: the
// same name where the folders are one, a relative path where the picture exists, else as is.
std::string relocatedName(const std::string & name, const char * fromFile, const char * toFile);

#endif
