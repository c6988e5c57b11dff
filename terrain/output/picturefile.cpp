#include "picturefile.h"

#include "containedrun.h"

#include <Inventor/fields/SoSFImage.h>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_vsi.h>
#include <gdal.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

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

// The dataset's window, scaled to the size given, as PNG bytes.
bool encode(GDALDatasetH picture, int x0, int y0, int width, int height, int outWidth, int outHeight,
            std::string & png)
{
  const int components = GDALGetRasterCount(picture);
  std::vector<unsigned char> pixels(size_t(outWidth) * size_t(outHeight) * size_t(components));
  GDALRasterIOExtraArg extra;
  INIT_RASTERIO_EXTRA_ARG(extra);
  extra.eResampleAlg = GRIORA_Average;
  if (GDALDatasetRasterIOEx(picture, GF_Read, x0, y0, width, height, pixels.data(), outWidth,
                            outHeight, GDT_Byte, components, nullptr, components,
                            std::ptrdiff_t(outWidth) * components, 1, &extra) != CE_None)
    return false;
  GDALDriverH memory = GDALGetDriverByName("MEM"), pngDriver = GDALGetDriverByName("PNG");
  const Dataset part(memory != nullptr ? GDALCreate(memory, "", outWidth, outHeight, components,
                                                    GDT_Byte, nullptr)
                                       : nullptr);
  if (part == nullptr || pngDriver == nullptr ||
      GDALDatasetRasterIO(part.get(), GF_Write, 0, 0, outWidth, outHeight, pixels.data(), outWidth,
                          outHeight, GDT_Byte, components, nullptr, components,
                          outWidth * components, 1) != CE_None)
    return false;
  // Encoded in memory.
  static std::atomic<int> count{0};
  const std::string encoded = "/vsimem/terravel-picture-" + std::to_string(++count) + ".png";
  CPLErrorReset();
  GDALDatasetH written =
    GDALCreateCopy(pngDriver, encoded.c_str(), part.get(), FALSE, nullptr, nullptr, nullptr);
  bool ok = written != nullptr;
  if (written != nullptr) GDALClose(written);
  ok = ok && CPLGetLastErrorType() != CE_Failure && CPLGetLastErrorType() != CE_Fatal;
  vsi_l_offset length = 0;
  GByte * data = VSIGetMemFileBuffer(encoded.c_str(), &length, FALSE);
  if (ok && data != nullptr) png.assign(reinterpret_cast<const char *>(data), size_t(length));
  VSIUnlink(encoded.c_str());
  return ok && data != nullptr;
}

} // namespace

void DatasetCloser::operator()(void * dataset) const
{
  GDALClose(dataset);
}

PictureParts::PictureParts(const SoSFImage & image)
{
  SbVec2s size;
  const unsigned char * bytes = image.getValue(size, components);
  if (bytes == nullptr || size[0] <= 0 || size[1] <= 0 || components < 1 || components > 4) return;
  GDALAllRegister();
  CPLSetConfigOption("GDAL_PAM_ENABLED", "NO");
  picture = topDown(bytes, size[0], size[1], components);
  if (picture == nullptr) return;
  width_ = size[0];
  height_ = size[1];
}

PictureParts::~PictureParts(void) = default;

bool PictureParts::png(int x0, int y0, int x1, int y1, int maxSide, std::string & bytes) const
{
  if (width_ == 0 || x0 < 0 || y0 < 0 || x1 > width_ || y1 > height_ || x1 <= x0 || y1 <= y0)
    return false;
  const int w = x1 - x0, h = y1 - y0;
  const double shrink = std::max(1.0, double(std::max(w, h)) / double(maxSide));
  const int outWidth = std::max(1, int(std::lround(w / shrink)));
  const int outHeight = std::max(1, int(std::lround(h / shrink)));
  return encode(picture.get(), x0, y0, w, h, outWidth, outHeight, bytes);
}

bool writePicture(const SoSFImage & image, int fd)
{
  const PictureParts parts(image);
  std::string png;
  return parts.width() > 0 &&
         parts.png(0, 0, parts.width(), parts.height(), std::max(parts.width(), parts.height()), png) &&
         writeAll(fd, png.data(), png.size());
}

bool pngOf(const unsigned char * pixels, int width, int height, int components, int level, std::string & png)
{
  GDALAllRegister();
  GDALDriverH memory = GDALGetDriverByName("MEM"), pngDriver = GDALGetDriverByName("PNG");
  const Dataset part(memory != nullptr ? GDALCreate(memory, "", width, height, components, GDT_Byte, nullptr)
                                       : nullptr);
  if (part == nullptr || pngDriver == nullptr ||
      GDALDatasetRasterIO(part.get(), GF_Write, 0, 0, width, height, const_cast<unsigned char *>(pixels), width,
                          height, GDT_Byte, components, nullptr, components, width * components, 1) != CE_None)
    return false;
  static std::atomic<int> count{0};
  const std::string encoded = "/vsimem/terravel-png-" + std::to_string(++count) + ".png";
  const std::string zlevel = "ZLEVEL=" + std::to_string(std::min(9, std::max(1, level)));
  const char * const options[] = {zlevel.c_str(), nullptr};
  GDALDatasetH written = GDALCreateCopy(pngDriver, encoded.c_str(), part.get(), FALSE,
                                        const_cast<char **>(options), nullptr, nullptr);
  if (written == nullptr) return false;
  GDALClose(written);
  vsi_l_offset length = 0;
  GByte * data = VSIGetMemFileBuffer(encoded.c_str(), &length, FALSE);
  if (data != nullptr) png.assign(reinterpret_cast<const char *>(data), size_t(length));
  VSIUnlink(encoded.c_str());
  return data != nullptr;
}

std::string pictureNameFor(const std::string & sceneFile)
{
  const std::string suffix = ".iv";
  if (sceneFile.size() > suffix.size() &&
      sceneFile.compare(sceneFile.size() - suffix.size(), suffix.size(), suffix) == 0)
    return sceneFile.substr(0, sceneFile.size() - suffix.size()) + ".png";
  return sceneFile + ".png";
}
