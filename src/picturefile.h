#ifndef TERRAVEL_PICTUREFILE_H
#define TERRAVEL_PICTUREFILE_H

#include <string>

class SoSFImage;

// Writes a texture's image (rows from the bottom up, 1 to 4 components) as a PNG, through a
// temporary file beside it that replaces it only once complete. False when it could not.
bool savePicture(const SoSFImage & image, const std::string & fileName);

// The picture that a saved scene file names: NAME.iv gives NAME.png beside it.
std::string pictureNameFor(const std::string & sceneFile);

#endif
