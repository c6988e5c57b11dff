#ifndef TERRAVEL_SCENELOADER_H
#define TERRAVEL_SCENELOADER_H

#include "flatmesh.h"

#include <string>

struct ContainedProgress;

// Reads an Inventor scene file and flattens every triangle of every shape in it, in world
// coordinates, into one mesh: every distinct vertex once (equal in all three coordinates),
// numbered in the order it was first met; each vertex's texture coordinate from the last corner
// that used it; the fields of the last plain texture. False when the file cannot be opened or
// holds no scene, or when the scene is refused: a File node that names anything but a regular
// file, shared subgraphs that expand past what the lists can hold, a shape whose counts or
// indices run past its data. Meant to run in a child process (see runContained): the toolkit's
// reader and traversal may still crash or never end on broken files.
// reason says why not, for the user.
bool loadScene(const char * fileName, FlatMesh & mesh, ContainedProgress & progress,
               std::string & reason);

#endif
