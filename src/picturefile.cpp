#include "picturefile.h"

#include "scenesaving.h"

#include <Inventor/fields/SoSFImage.h>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

bool savePicture(const SoSFImage & image, const std::string & fileName)
{
  SbVec2s size;
  int components = 0;
  const unsigned char * bytes = image.getValue(size, components);
  const int width = size[0], height = size[1];
  if (bytes == nullptr || width <= 0 || height <= 0 || components < 1 || components > 4)
    return false;
  GDALAllRegister();
  CPLSetConfigOption("GDAL_PAM_ENABLED", "NO");
  GDALDriverH memory = GDALGetDriverByName("MEM"), png = GDALGetDriverByName("PNG");
  if (memory == nullptr || png == nullptr) return false;
  GDALDatasetH picture = GDALCreate(memory, "", width, height, components, GDT_Byte, nullptr);
  if (picture == nullptr) return false;
  // Files run from the top row down.
  std::vector<unsigned char> top(size_t(width) * size_t(height) * size_t(components));
  const size_t rowBytes = size_t(width) * size_t(components);
  for (int y = 0; y < height; ++y)
    std::copy(bytes + size_t(height - 1 - y) * rowBytes, bytes + size_t(height - y) * rowBytes,
              &top[size_t(y) * rowBytes]);
  bool ok = GDALDatasetRasterIO(picture, GF_Write, 0, 0, width, height, top.data(), width, height,
                                GDT_Byte, components, nullptr, components, int(rowBytes), 1) == CE_None;

  std::string temporary = fileName + ".XXXXXX";
  const int fd = ok ? mkstemp(&temporary[0]) : -1;
  if (fd >= 0) {
    fchmod(fd, permissionsFor(fileName.c_str()));
    close(fd);
  }
  GDALDatasetH written =
    fd >= 0 ? GDALCreateCopy(png, temporary.c_str(), picture, FALSE, nullptr, nullptr, nullptr)
            : nullptr;
  ok = written != nullptr;
  CPLErrorReset();
  if (written != nullptr) GDALClose(written);
  ok = ok && CPLGetLastErrorType() != CE_Failure && CPLGetLastErrorType() != CE_Fatal;
  GDALClose(picture);
  if (ok && std::rename(temporary.c_str(), fileName.c_str()) == 0) return true;
  if (fd >= 0) unlink(temporary.c_str());
  return false;
}

std::string pictureNameFor(const std::string & sceneFile)
{
  const std::string suffix = ".iv";
  if (sceneFile.size() > suffix.size() &&
      sceneFile.compare(sceneFile.size() - suffix.size(), suffix.size(), suffix) == 0)
    return sceneFile.substr(0, sceneFile.size() - suffix.size()) + ".png";
  return sceneFile + ".png";
}
