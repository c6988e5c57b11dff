#ifndef TERRAVEL_SCENESAVING_H
#define TERRAVEL_SCENESAVING_H

class SoNode;

// Writes the node and everything below it to the file, printing "Saving NAME ..." and then
// "Done" or "Failed". The scene goes into a temporary file beside the target that replaces it
// only once complete, so a failed or interrupted save (SIGINT, SIGTERM, SIGHUP included) leaves
// an earlier file intact and no temporary file behind. A replaced file keeps its permissions.
// Never replaces keepIntact (the input of the run), whatever name leads to it. True when the
// file was written.
bool saveScene(SoNode * node, const char * fileName, const char * keepIntact = nullptr);

#endif
