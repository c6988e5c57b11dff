#ifndef TERRAVEL_PICTUREFILE_H
#define TERRAVEL_PICTUREFILE_H

#include <memory>
#include <string>

class SoSFImage;

struct DatasetCloser {
  void operator()(void * dataset) const;
};

// A texture's image to take parts of, held as files hold pictures: rows from the top down.
class PictureParts {
public:
  explicit PictureParts(const SoSFImage & image);
  ~PictureParts(void);
  PictureParts(const PictureParts &) = delete;
  PictureParts & operator=(const PictureParts &) = delete;

  // 0 x 0 when the image is empty or cannot be held.
  int width(void) const { return width_; }
  int height(void) const { return height_; }
  // The part from column x0 and row y0 (the top row is 0) up to x1 and y1, as PNG bytes at most
  // maxSide pixels a side (averaged down where it is larger). False when it cannot be made.
  bool png(int x0, int y0, int x1, int y1, int maxSide, std::string & bytes) const;

private:
  std::unique_ptr<void, DatasetCloser> picture;
  int width_ = 0, height_ = 0, components = 0;
};

// Writes a texture's image (rows from the bottom up, 1 to 4 components) to the descriptor as a
// PNG; false when it could not. Meant for writeTogether, which makes the file safe.
bool writePicture(const SoSFImage & image, int fd);

// Pixels (rows from the top down, components 1 to 4 a pixel) as PNG bytes, compressed at zlib's
// level (1 fastest to 9 smallest); false when GDAL cannot.
bool pngOf(const unsigned char * pixels, int width, int height, int components, int level, std::string & png);

// The picture that a saved scene file names: NAME.iv gives NAME.png beside it.
std::string pictureNameFor(const std::string & sceneFile);

#endif
