#include "picturefile.h"

#include "containedrun.h"

#include <Inventor/fields/SoSFImage.h>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_vsi.h>
#include <gdal.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

struct DatasetCloser {
  void operator()(void * dataset) const { GDALClose(dataset); }
};
using Dataset = std::unique_ptr<void, DatasetCloser>;

// The image's rows from the top down, as files hold them, in a dataset in memory.
Dataset topDown(const unsigned char * bytes, int width, int height, int components)
{
  GDALDriverH memory = GDALGetDriverByName("MEM");
  Dataset picture(memory != nullptr
                    ? GDALCreate(memory, "", width, height, components, GDT_Byte, nullptr)
                    : nullptr);
  if (picture == nullptr) return picture;
  const size_t rowBytes = size_t(width) * size_t(components);
  std::vector<unsigned char> top(rowBytes * size_t(height));
  for (int y = 0; y < height; ++y)
    std::copy(bytes + size_t(height - 1 - y) * rowBytes, bytes + size_t(height - y) * rowBytes,
              &top[size_t(y) * rowBytes]);
  if (GDALDatasetRasterIO(picture.get(), GF_Write, 0, 0, width, height, top.data(), width, height,
                          GDT_Byte, components, nullptr, components, int(rowBytes), 1) != CE_None)
    picture.reset();
  return picture;
}

} // namespace

bool writePicture(const SoSFImage & image, int fd)
{
  SbVec2s size;
  int components = 0;
  const unsigned char * bytes = image.getValue(size, components);
  const int width = size[0], height = size[1];
  if (bytes == nullptr || width <= 0 || height <= 0 || components < 1 || components > 4)
    return false;
  GDALAllRegister();
  CPLSetConfigOption("GDAL_PAM_ENABLED", "NO");
  GDALDriverH png = GDALGetDriverByName("PNG");
  const Dataset picture = topDown(bytes, width, height, components);
  if (png == nullptr || picture == nullptr) return false;
  // Encoded in memory, then written through the descriptor.
  static int count = 0;
  const std::string encoded = "/vsimem/terravel-picture-" + std::to_string(++count) + ".png";
  CPLErrorReset();
  GDALDatasetH written =
    GDALCreateCopy(png, encoded.c_str(), picture.get(), FALSE, nullptr, nullptr, nullptr);
  bool ok = written != nullptr;
  if (written != nullptr) GDALClose(written);
  ok = ok && CPLGetLastErrorType() != CE_Failure && CPLGetLastErrorType() != CE_Fatal;
  vsi_l_offset length = 0;
  GByte * data = VSIGetMemFileBuffer(encoded.c_str(), &length, FALSE);
  ok = ok && data != nullptr && writeAll(fd, data, size_t(length));
  VSIUnlink(encoded.c_str());
  return ok;
}

std::string pictureNameFor(const std::string & sceneFile)
{
  const std::string suffix = ".iv";
  if (sceneFile.size() > suffix.size() &&
      sceneFile.compare(sceneFile.size() - suffix.size(), suffix.size(), suffix) == 0)
    return sceneFile.substr(0, sceneFile.size() - suffix.size()) + ".png";
  return sceneFile + ".png";
}
