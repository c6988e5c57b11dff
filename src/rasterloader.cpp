// Elevation rasters (GeoTIFF, SRTM .hgt, ESRI ASCII grids and whatever else GDAL reads) as the
// flat mesh: posts become vertices, cells of four valid posts two triangles each, in metres
// about the raster's centre, draped with colours made from the heights or with an image.

#include "rasterloader.h"

#include "containedrun.h"
#include "rastercolours.h"

#include <cpl_conv.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const double earthRadius = 6371008.8;
const double degree = M_PI / 180.0;
// Textures larger than this along either side are sampled down: no display shows more.
const int maxTextureSide = 4096;

struct DatasetCloser {
  void operator()(void * dataset) const { GDALClose(dataset); }
};
using Dataset = std::unique_ptr<void, DatasetCloser>;

struct TransformDeleter {
  void operator()(void * transform) const { OCTDestroyCoordinateTransformation(transform); }
};

// Where a raster's posts lie: its geotransform, and how map coordinates become metres about
// the raster's centre.
class Georeference {
public:
  explicit Georeference(GDALDatasetH dataset)
  {
    const int width = GDALGetRasterXSize(dataset), height = GDALGetRasterYSize(dataset);
    placed = GDALGetGeoTransform(dataset, gt) == CE_None;
    if (!placed) {
      // Unplaced: one post per metre, the first row to the north.
      const double identity[6] = {0.0, 1.0, 0.0, 0.0, 0.0, -1.0};
      std::copy(identity, identity + 6, gt);
    }
    srs = GDALGetSpatialRef(dataset);
    if (srs != nullptr) {
      crsName = OSRGetName(srs) != nullptr ? OSRGetName(srs) : "unnamed";
      geographic = OSRIsGeographic(srs) != 0;
      if (!geographic) metresPerUnit = OSRGetLinearUnits(srs, nullptr);
      if (!(metresPerUnit > 0.0)) metresPerUnit = 1.0;
    }
    mapOf(width / 2.0, height / 2.0, centreX, centreY);
    cosLatitude = std::cos(centreY * degree);
  }

  // Map coordinates of a point of the raster, in pixels from its upper left corner.
  void mapOf(double column, double row, double & x, double & y) const
  {
    x = gt[0] + column * gt[1] + row * gt[2];
    y = gt[3] + column * gt[4] + row * gt[5];
  }

  // X east and Z south, in metres from the centre, of the post at (column, row).
  void localOf(int column, int row, float & east, float & south) const
  {
    double x, y;
    mapOf(column + 0.5, row + 0.5, x, y);
    if (geographic) {
      east = float(earthRadius * cosLatitude * (x - centreX) * degree);
      south = float(-earthRadius * (y - centreY) * degree);
    } else {
      east = float((x - centreX) * metresPerUnit);
      south = float(-(y - centreY) * metresPerUnit);
    }
  }

  std::string describeOrigin(void) const
  {
    char text[512];
    if (!placed) {
      std::snprintf(text, sizeof text,
                    "Origin: the raster's centre (no map reference; one post per metre)");
    } else if (geographic) {
      std::snprintf(text, sizeof text, "Origin: %.6f %c, %.6f %c (%s); X east, Z south, metres",
                    std::fabs(centreY), centreY < 0 ? 'S' : 'N', std::fabs(centreX),
                    centreX < 0 ? 'W' : 'E', crsName.c_str());
    } else {
      std::snprintf(text, sizeof text, "Origin: easting %.3f, northing %.3f (%s); X east, Z south, metres",
                    centreX, centreY, srs != nullptr ? crsName.c_str() : "no reference system");
    }
    return text;
  }

  OGRSpatialReferenceH spatialReference(void) const { return srs; }
  bool isPlaced(void) const { return placed; }

private:
  double gt[6];
  bool placed = false;
  OGRSpatialReferenceH srs = nullptr;
  std::string crsName;
  bool geographic = false;
  double metresPerUnit = 1.0;
  double centreX = 0.0, centreY = 0.0;
  double cosLatitude = 1.0;
};

// Metres per unit of a band's heights, by the unit it names; metres when it names none.
double metresPerHeightUnit(GDALRasterBandH band)
{
  std::string unit = GDALGetRasterUnitType(band) != nullptr ? GDALGetRasterUnitType(band) : "";
  std::transform(unit.begin(), unit.end(), unit.begin(), [](unsigned char c) { return std::tolower(c); });
  if (unit == "ft" || unit == "foot" || unit == "feet" || unit == "international foot") return 0.3048;
  if (unit == "us-ft" || unit == "us survey foot" || unit == "ftus") return 1200.0 / 3937.0;
  return 1.0;
}

// What loading a grid of posts costs: in the reading child the heights, the post numbers, the
// lists and the texture; in the program the lists once more.
uint64_t bytesFor(int64_t columns, int64_t rows)
{
  const uint64_t posts = uint64_t(columns) * uint64_t(rows);
  const uint64_t triangles = 2 * uint64_t(std::max<int64_t>(columns - 1, 0)) *
                             uint64_t(std::max<int64_t>(rows - 1, 0));
  return posts * (4 + 4 + 2 * (sizeof(SbVec3f) + sizeof(SbVec2f))) + triangles * 2 * 16 +
         uint64_t(std::min<int64_t>(columns, maxTextureSide)) *
           uint64_t(std::min<int64_t>(rows, maxTextureSide)) * 3;
}

int64_t sampled(int64_t extent, int stride)
{
  return (extent - 1) / stride + 1;
}

// Texture coordinates from an image's own georeference: the posts' map coordinates, taken into
// the image's reference system when it has another, then into its pixels.
class ImagePlacement {
public:
  ImagePlacement(GDALDatasetH image, const Georeference & raster)
  {
    width = GDALGetRasterXSize(image);
    height = GDALGetRasterYSize(image);
    double gt[6];
    if (!raster.isPlaced() || GDALGetGeoTransform(image, gt) != CE_None ||
        !GDALInvGeoTransform(gt, inverse))
      return;
    OGRSpatialReferenceH imageSrs = GDALGetSpatialRef(image);
    OGRSpatialReferenceH rasterSrs = raster.spatialReference();
    if (imageSrs != nullptr && rasterSrs != nullptr && !OSRIsSame(imageSrs, rasterSrs)) {
      OGRSpatialReferenceH from = OSRClone(rasterSrs), to = OSRClone(imageSrs);
      OSRSetAxisMappingStrategy(from, OAMS_TRADITIONAL_GIS_ORDER);
      OSRSetAxisMappingStrategy(to, OAMS_TRADITIONAL_GIS_ORDER);
      transform.reset(OCTNewCoordinateTransformation(from, to));
      OSRRelease(from);
      OSRRelease(to);
      if (transform == nullptr) return;
    }
    placed = true;
  }

  bool isPlaced(void) const { return placed; }

  SbVec2f texCoordOf(const Georeference & raster, int column, int row) const
  {
    double x, y;
    raster.mapOf(column + 0.5, row + 0.5, x, y);
    if (transform != nullptr) OCTTransform(transform.get(), 1, &x, &y, nullptr);
    const double px = inverse[0] + x * inverse[1] + y * inverse[2];
    const double py = inverse[3] + x * inverse[4] + y * inverse[5];
    return SbVec2f(float(px / width), float(1.0 - py / height));
  }

private:
  bool placed = false;
  double inverse[6] = {0, 1, 0, 0, 0, 1};
  int width = 1, height = 1;
  std::unique_ptr<void, TransformDeleter> transform;
};

// Reads the user's image into the texture, at most maxTextureSide texels a side.
bool readImage(GDALDatasetH image, TextureFields & texture)
{
  const int bands = GDALGetRasterCount(image);
  if (bands < 1) return false;
  const int width = GDALGetRasterXSize(image), height = GDALGetRasterYSize(image);
  const double shrink = std::max(1.0, double(std::max(width, height)) / maxTextureSide);
  const int tw = std::max(1, int(width / shrink)), th = std::max(1, int(height / shrink));
  const int components = bands >= 3 ? 3 : 1;
  std::vector<unsigned char> top(size_t(tw) * size_t(th) * size_t(components));
  int bandList[3] = {1, 2, 3};
  GDALRasterIOExtraArg extra;
  INIT_RASTERIO_EXTRA_ARG(extra);
  extra.eResampleAlg = GRIORA_Average;
  if (GDALDatasetRasterIOEx(image, GF_Read, 0, 0, width, height, top.data(), tw, th, GDT_Byte,
                            components, bandList, components, std::ptrdiff_t(tw) * components, 1,
                            &extra) != CE_None)
    return false;
  // The toolkit's images run from the bottom row up.
  texture.image.resize(top.size());
  const size_t rowBytes = size_t(tw) * size_t(components);
  for (int y = 0; y < th; ++y)
    std::memcpy(&texture.image[size_t(th - 1 - y) * rowBytes], &top[size_t(y) * rowBytes], rowBytes);
  texture.imageWidth = tw;
  texture.imageHeight = th;
  texture.imageComponents = components;
  return true;
}

} // namespace

bool looksLikeScene(const char * fileName)
{
  struct stat info;
  // A stream can be read once only: it goes to the toolkit's reader, as it always did.
  if (stat(fileName, &info) != 0 || !S_ISREG(info.st_mode)) return true;
  char head[16] = {0};
  std::ifstream(fileName, std::ios::binary).read(head, sizeof head);
  const unsigned char * bytes = reinterpret_cast<const unsigned char *>(head);
  return std::strncmp(head, "#Inventor", 9) == 0 || std::strncmp(head, "#VRML V1.0", 10) == 0 ||
         (bytes[0] == 0x1f && bytes[1] == 0x8b) || std::strncmp(head, "BZh", 3) == 0;
}

RasterOutcome loadRaster(const char * fileName, const RasterOptions & options, FlatMesh & mesh,
                         ContainedProgress & progress)
{
  GDALAllRegister();
  // Reading must leave nothing beside the raster (no .aux.xml of statistics).
  CPLSetConfigOption("GDAL_PAM_ENABLED", "NO");
  const char * const rasterOnly[] = {nullptr};
  Dataset dataset(GDALOpenEx(fileName, GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, rasterOnly, nullptr));
  if (dataset == nullptr) return RasterOutcome::NOT_A_RASTER;
  GDALDatasetH ds = dataset.get();
  const int width = GDALGetRasterXSize(ds), height = GDALGetRasterYSize(ds);
  if (GDALGetRasterCount(ds) < 1 || width < 2 || height < 2) {
    std::fprintf(stderr, "%s: a raster of %d x %d posts has no cell to make triangles of.\n",
                 fileName, width, height);
    return RasterOutcome::REFUSED;
  }
  const int stride = std::max(1, options.stride);
  const int64_t columns = sampled(width, stride), rows = sampled(height, stride);
  if (columns < 2 || rows < 2) {
    std::fprintf(stderr, "%s: --stride %d leaves %lld x %lld posts, no cell.\n", fileName, stride,
                 (long long)columns, (long long)rows);
    return RasterOutcome::REFUSED;
  }
  // Refused before anything is allocated: too many triangles for the lists, or too much memory.
  const uint64_t triangles = 2 * uint64_t(columns - 1) * uint64_t(rows - 1);
  const uint64_t needed = bytesFor(columns, rows);
  const uint64_t available = availableMemory();
  if (triangles > uint64_t(INT32_MAX) / 4 || (available != 0 && needed > available / 10 * 9)) {
    int fits = stride;
    while (fits < std::max(width, height) &&
           (2 * uint64_t(sampled(width, fits) - 1) * uint64_t(sampled(height, fits) - 1) >
              uint64_t(INT32_MAX) / 4 ||
            (available != 0 && bytesFor(sampled(width, fits), sampled(height, fits)) > available / 10 * 9)))
      ++fits;
    std::fprintf(stderr,
                 "%s: %lld x %lld posts need about %.1f GiB, more than the %.1f GiB this machine "
                 "has free (or more triangles than a mesh holds); --stride %d keeps every %d-th "
                 "post and fits.\n",
                 fileName, (long long)columns, (long long)rows, needed / 1073741824.0,
                 available / 1073741824.0, fits, fits);
    return RasterOutcome::REFUSED;
  }

  GDALRasterBandH band = GDALGetRasterBand(ds, 1);
  int hasNoData = 0, hasScale = 0, hasOffset = 0;
  const double noData = GDALGetRasterNoDataValue(band, &hasNoData);
  const double scale = GDALGetRasterScale(band, &hasScale);
  const double offset = GDALGetRasterOffset(band, &hasOffset);
  const double toMetres = metresPerHeightUnit(band);
  const float noDataValue = float(noData);

  // Heights of the kept posts, NaN where a post is not valid.
  std::vector<float> heights(size_t(columns) * size_t(rows));
  std::vector<float> line(static_cast<size_t>(width));
  for (int64_t r = 0; r < rows; ++r) {
    if (GDALRasterIO(band, GF_Read, 0, int(r * stride), width, 1, line.data(), width, 1,
                     GDT_Float32, 0, 0) != CE_None) {
      std::fprintf(stderr, "%s: row %lld cannot be read.\n", fileName, (long long)(r * stride));
      return RasterOutcome::REFUSED;
    }
    for (int64_t c = 0; c < columns; ++c) {
      const float value = line[size_t(c * stride)];
      const bool valid = std::isfinite(value) && !(hasNoData && value == noDataValue);
      heights[size_t(r * columns + c)] =
        valid ? float((value * (hasScale ? scale : 1.0) + (hasOffset ? offset : 0.0)) * toMetres *
                      options.zScale)
              : std::numeric_limits<float>::quiet_NaN();
    }
    progress.ticks.fetch_add(1, std::memory_order_relaxed);
  }

  // A post is a vertex when a cell of four valid posts uses it; vertices in raster order.
  const auto at = [columns](int64_t c, int64_t r) { return size_t(r * columns + c); };
  std::vector<int32_t> vertexOf(heights.size(), -1);
  int64_t cells = 0;
  for (int64_t r = 0; r + 1 < rows; ++r) {
    for (int64_t c = 0; c + 1 < columns; ++c) {
      if (std::isnan(heights[at(c, r)]) || std::isnan(heights[at(c + 1, r)]) ||
          std::isnan(heights[at(c, r + 1)]) || std::isnan(heights[at(c + 1, r + 1)]))
        continue;
      vertexOf[at(c, r)] = vertexOf[at(c + 1, r)] = vertexOf[at(c, r + 1)] =
        vertexOf[at(c + 1, r + 1)] = 0;
      ++cells;
    }
  }
  if (cells == 0) {
    std::fprintf(stderr, "%s: no cell has four valid posts (all nodata?).\n", fileName);
    return RasterOutcome::REFUSED;
  }

  const Georeference georeference(ds);
  Dataset image;
  std::unique_ptr<ImagePlacement> placement;
  if (!options.texture.empty()) {
    image.reset(GDALOpenEx(options.texture.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr,
                           rasterOnly, nullptr));
    if (image == nullptr || !readImage(image.get(), mesh.texture)) {
      std::fprintf(stderr, "%s: the texture %s cannot be read as an image.\n", fileName,
                   options.texture.c_str());
      return RasterOutcome::REFUSED;
    }
    placement.reset(new ImagePlacement(image.get(), georeference));
    // Outside its own extent a placed image has nothing to show.
    if (placement->isPlaced()) mesh.texture.wrapS = mesh.texture.wrapT = SoTexture2::CLAMP;
  }

  int32_t numVertices = 0;
  for (int64_t r = 0; r < rows; ++r) {
    for (int64_t c = 0; c < columns; ++c) {
      int32_t & vertex = vertexOf[at(c, r)];
      if (vertex < 0) continue;
      vertex = numVertices++;
      const int column = int(c * stride), row = int(r * stride);
      float east, south;
      georeference.localOf(column, row, east, south);
      mesh.points.emplace_back(east, heights[at(c, r)], south);
      if (placement != nullptr && placement->isPlaced()) {
        mesh.texCoords.push_back(placement->texCoordOf(georeference, column, row));
      } else {
        mesh.texCoords.emplace_back(float(column) / float(width - 1),
                                    1.0f - float(row) / float(height - 1));
      }
    }
  }
  // Two triangles a cell, over the diagonal from its north-east post to its south-west one,
  // counter-clockwise seen from above (X east, Z south, Y up).
  mesh.coordIndex.reserve(size_t(cells) * 8);
  for (int64_t r = 0; r + 1 < rows; ++r) {
    for (int64_t c = 0; c + 1 < columns; ++c) {
      const int32_t nw = vertexOf[at(c, r)], ne = vertexOf[at(c + 1, r)];
      const int32_t sw = vertexOf[at(c, r + 1)], se = vertexOf[at(c + 1, r + 1)];
      if (std::isnan(heights[at(c, r)]) || std::isnan(heights[at(c + 1, r)]) ||
          std::isnan(heights[at(c, r + 1)]) || std::isnan(heights[at(c + 1, r + 1)]))
        continue;
      mesh.coordIndex.insert(mesh.coordIndex.end(), {nw, sw, ne, -1, ne, sw, se, -1});
    }
  }

  if (options.texture.empty()) {
    makeReliefTexture(columns, rows, mesh.points, vertexOf, maxTextureSide, mesh.texture);
  }
  mesh.note = georeference.describeOrigin();
  return RasterOutcome::LOADED;
}
