#ifndef TERRAVEL_PICTUREFILE_H
#define TERRAVEL_PICTUREFILE_H

#include <string>

class SoSFImage;

// Writes a texture's image (rows from the bottom up, 1 to 4 components) to the descriptor as a
// PNG; false when it could not. Meant for writeTogether, which makes the file safe.
bool writePicture(const SoSFImage & image, int fd);

// The picture that a saved scene file names: NAME.iv gives NAME.png beside it.
std::string pictureNameFor(const std::string & sceneFile);

#endif
