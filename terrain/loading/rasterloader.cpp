// Elevation rasters (GeoTIFF, SRTM .hgt, ESRI ASCII grids and whatever else GDAL reads) as the
// flat mesh: posts become vertices, cells of four valid posts two triangles each, in metres
// about the raster's centre, draped with colours made from the heights or with an image.

#include "rasterloader.h"

#include "containedrun.h"
#include "rastercolours.h"
#include "rastergeoreference.h"
#include "rasterheights.h"
#include "rastersources.h"
#include "paths.h"
#include "textform.h"

#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <cstdlib>
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

// Textures larger than this along either side are sampled down: no display shows more.
const int maxTextureSide = 4096;

struct DatasetCloser {
  void operator()(void * dataset) const { GDALClose(dataset); }
};
using Dataset = std::unique_ptr<void, DatasetCloser>;

struct TransformDeleter {
  void operator()(void * transform) const { OCTDestroyCoordinateTransformation(transform); }
};

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

namespace {

// GDAL's block cache in the reading child: part of what a load costs, so it is kept small.
const uint64_t blockCacheBytes = uint64_t(64) << 20;
// Source pixels read at a time along a row; a larger stride reads its posts one by one.
const int64_t readChunk = 65536;
const int maxReadStride = 64;

int64_t sampled(int64_t extent, int stride)
{
  return (extent - 1) / stride + 1;
}

// The grid of posts a load keeps, and what it costs.
struct Grid {
  int64_t width = 0, height = 0; // of the raster
  int stride = 1;
  int64_t columns = 0, rows = 0; // kept posts
  uint64_t triangles(void) const { return 2 * uint64_t(columns - 1) * uint64_t(rows - 1); }
};

Grid gridOf(int64_t width, int64_t height, int stride)
{
  Grid grid;
  grid.width = width;
  grid.height = height;
  grid.stride = stride;
  grid.columns = sampled(width, stride);
  grid.rows = sampled(height, stride);
  return grid;
}

// Every buffer a load fills, in the reading child and in the program: per post the height, its
// vertex number, a position, a texture coordinate and its number in the grid, twice (the
// child's lists and the bytes that carry them over); per triangle four indices, twice; the
// picture, twice; the row being read and GDAL's block cache.
uint64_t bytesFor(const Grid & grid)
{
  const uint64_t posts = uint64_t(grid.columns) * uint64_t(grid.rows);
  const uint64_t texels = uint64_t(std::min<int64_t>(grid.columns, maxTextureSide)) *
                          uint64_t(std::min<int64_t>(grid.rows, maxTextureSide)) * 3;
  const uint64_t rowBuffer = uint64_t(std::min<int64_t>(grid.width, readChunk)) * sizeof(float);
  return posts * (sizeof(float) + sizeof(int32_t) + 2 * (sizeof(SbVec3f) + sizeof(SbVec2f) + sizeof(uint32_t))) +
         grid.triangles() * 2 * 4 * sizeof(int32_t) + 2 * texels + rowBuffer + blockCacheBytes;
}

bool fits(const Grid & grid, uint64_t budget)
{
  return grid.triangles() <= uint64_t(INT32_MAX) / 4 && (budget == 0 || bytesFor(grid) <= budget);
}

// The smallest stride above this one whose grid fits a budget with a quarter to spare, so that
// the advice still holds when the machine has a little less free on the next run; 0 when every
// stride that leaves a cell is too much.
int strideThatFits(const Grid & grid, uint64_t budget)
{
  const uint64_t target = budget / 4 * 3;
  const int64_t largest = std::min(grid.width, grid.height) - 1;
  int64_t stride = grid.stride + 1;
  const double ratio = double(bytesFor(grid)) / double(std::max<uint64_t>(target, 1));
  if (ratio > 1.0) stride = std::max<int64_t>(stride, int64_t(std::floor(grid.stride * std::sqrt(ratio))));
  while (stride <= largest && !fits(gridOf(grid.width, grid.height, int(stride)), target)) ++stride;
  return stride <= largest ? int(stride) : 0;
}

std::string gib(uint64_t bytes)
{
  char text[32];
  std::snprintf(text, sizeof text, "%.1f GiB", double(bytes) / 1073741824.0);
  return text;
}

// Refuses, with advice that works, a grid of more triangles than the lists hold or one that
// would need more memory than this run may use.
bool checkSize(const Grid & grid, std::string & reason)
{
  const uint64_t budget = memoryBudget();
  const RasterFit fit = fitRaster(grid.width, grid.height, grid.stride, budget);
  if (fit.fits) return true;
  reason = std::to_string(grid.columns) + " x " + std::to_string(grid.rows) + " posts";
  if (fit.tooLarge)
    reason += " need about " + gib(fit.bytes) + ", more than the " + gib(budget) +
              " this run may use (nine tenths of the memory available)";
  if (fit.tooManyTriangles)
    reason += std::string(fit.tooLarge ? " and" : "") + " make more triangles than a mesh holds";
  if (fit.advisedStride > 0)
    reason += "; --stride " + std::to_string(fit.advisedStride) + " keeps every " +
              std::to_string(fit.advisedStride) + "-th post and fits";
  else
    reason += "; no stride leaves a cell and fits: cut the raster into parts first";
  return false;
}

// The stored values of the kept posts of one kept row, read a bounded window at a time: with a
// small stride whole runs of the row, with a large one each post by itself.
bool readRow(GDALRasterBandH band, const Grid & grid, int64_t row, std::vector<float> & buffer,
             float * values)
{
  const int64_t y = row * grid.stride;
  if (grid.stride > maxReadStride) {
    for (int64_t c = 0; c < grid.columns; ++c)
      if (GDALRasterIO(band, GF_Read, int(c * grid.stride), int(y), 1, 1, &values[c], 1, 1,
                       GDT_Float32, 0, 0) != CE_None)
        return false;
    return true;
  }
  const int64_t perChunk = std::max<int64_t>(1, readChunk / grid.stride);
  for (int64_t c0 = 0; c0 < grid.columns; c0 += perChunk) {
    const int64_t c1 = std::min(grid.columns, c0 + perChunk);
    const int64_t x0 = c0 * grid.stride, span = (c1 - 1 - c0) * grid.stride + 1;
    buffer.resize(size_t(span));
    if (GDALRasterIO(band, GF_Read, int(x0), int(y), int(span), 1, buffer.data(), int(span), 1,
                     GDT_Float32, 0, 0) != CE_None)
      return false;
    for (int64_t c = c0; c < c1; ++c) values[c] = buffer[size_t((c - c0) * grid.stride)];
  }
  return true;
}

// Heights of the kept posts, NaN where a post is not valid. Refused when a row cannot be read or
// a height is no finite single-precision number.
bool readHeights(GDALRasterBandH band, const Grid & grid, const HeightScale & heightScale,
                 std::vector<float> & heights, ContainedProgress & progress, std::string & reason)
{
  heights.resize(size_t(grid.columns) * size_t(grid.rows));
  std::vector<float> buffer;
  for (int64_t r = 0; r < grid.rows; ++r) {
    float * row = &heights[size_t(r * grid.columns)];
    if (!readRow(band, grid, r, buffer, row)) {
      reason = "row " + std::to_string(r * grid.stride) + " cannot be read: " + CPLGetLastErrorMsg();
      return false;
    }
    for (int64_t c = 0; c < grid.columns; ++c) {
      const float value = row[c];
      row[c] = heightScale.heightOf(value);
      if (!std::isinf(row[c])) continue;
      char text[160];
      std::snprintf(text, sizeof text,
                    "the post at column %lld, row %lld (%g) is no finite height in single "
                    "precision after scale, offset and --zscale",
                    (long long)(c * grid.stride), (long long)(r * grid.stride), double(value));
      reason = text;
      return false;
    }
    progress.ticks.fetch_add(1, std::memory_order_relaxed);
  }
  return true;
}

bool validPost(const std::vector<float> & heights, size_t at)
{
  return !std::isnan(heights[at]);
}

// Whether the cell whose north-west post (in raster order) is at (c, r) has four valid posts.
bool validCell(const std::vector<float> & heights, const Grid & grid, int64_t c, int64_t r)
{
  const size_t at = size_t(r * grid.columns + c);
  return validPost(heights, at) && validPost(heights, at + 1) &&
         validPost(heights, at + size_t(grid.columns)) &&
         validPost(heights, at + size_t(grid.columns) + 1);
}

// A post is a vertex when a cell of four valid posts uses it: 0 marks such posts, -1 the rest.
int64_t markVertices(const std::vector<float> & heights, const Grid & grid,
                     std::vector<int32_t> & vertexOf, ContainedProgress & progress)
{
  vertexOf.assign(heights.size(), -1);
  int64_t cells = 0;
  for (int64_t r = 0; r + 1 < grid.rows; ++r) {
    for (int64_t c = 0; c + 1 < grid.columns; ++c) {
      if (!validCell(heights, grid, c, r)) continue;
      const size_t at = size_t(r * grid.columns + c);
      vertexOf[at] = vertexOf[at + 1] = vertexOf[at + size_t(grid.columns)] =
        vertexOf[at + size_t(grid.columns) + 1] = 0;
      ++cells;
    }
    progress.ticks.fetch_add(1, std::memory_order_relaxed);
  }
  return cells;
}

// Refuses a georeference whose posts do not land on distinct finite single-precision positions:
// the corners of the raster must be finite and neighbouring posts apart.
bool checkPlacement(const Georeference & georeference, const Grid & grid, std::string & reason)
{
  const int64_t lastColumn = (grid.columns - 1) * grid.stride, lastRow = (grid.rows - 1) * grid.stride;
  const int64_t corners[4][2] = {{0, 0}, {lastColumn, 0}, {0, lastRow}, {lastColumn, lastRow}};
  for (const auto & corner : corners) {
    float east, south;
    georeference.localOf(corner[0], corner[1], east, south);
    if (!std::isfinite(east) || !std::isfinite(south)) {
      reason = "its posts lie beyond the range of single-precision positions (pixel size or origin too large)";
      return false;
    }
  }
  float x0, z0, x1, z1, x2, z2;
  georeference.localOf(0, 0, x0, z0);
  georeference.localOf(grid.stride, 0, x1, z1);
  georeference.localOf(0, grid.stride, x2, z2);
  if ((x1 == x0 && z1 == z0) || (x2 == x0 && z2 == z0)) {
    reason = "neighbouring posts fall on one position in single precision (pixel size too small)";
    return false;
  }
  return true;
}

// Where the kept posts lie on the ground, as the toolkit's text files write them: a saved scene
// reads back to the very same positions, so no sliver of a triangle turns over in the file. A
// row's positions are worked out together, when the row is first asked for.
class PostPositions {
public:
  PostPositions(const Georeference & georeference, const Grid & grid)
    : georeference(georeference), grid(grid), east(size_t(grid.columns)), south(size_t(grid.columns))
  {
  }

  SbVec3f at(int64_t c, int64_t r, float height)
  {
    if (r != row) {
      georeference.localRow(0, grid.stride, grid.columns, r * grid.stride, east.data(), south.data());
      for (int64_t k = 0; k < grid.columns; ++k) {
        east[size_t(k)] = asWritten(east[size_t(k)]);
        south[size_t(k)] = asWritten(south[size_t(k)]);
      }
      row = r;
    }
    return SbVec3f(east[size_t(c)], asWritten(height), south[size_t(c)]);
  }

private:
  const Georeference & georeference;
  const Grid & grid;
  int64_t row = -1;
  std::vector<float> east, south;
};

// Positions and texture coordinates of the vertices, in raster order.
void emitVertices(const Grid & grid, const std::vector<float> & heights,
                  std::vector<int32_t> & vertexOf, const Georeference & georeference,
                  const ImagePlacement * placement, FlatMesh & mesh, ContainedProgress & progress)
{
  const size_t count = size_t(std::count(vertexOf.begin(), vertexOf.end(), 0));
  mesh.points.reserve(count);
  mesh.texCoords.reserve(count);
  mesh.posts.reserve(count);
  mesh.grid.columns = grid.columns;
  mesh.grid.rows = grid.rows;
  mesh.grid.stride = grid.stride;
  PostPositions positions(georeference, grid);
  int32_t numVertices = 0;
  for (int64_t r = 0; r < grid.rows; ++r) {
    for (int64_t c = 0; c < grid.columns; ++c) {
      int32_t & vertex = vertexOf[size_t(r * grid.columns + c)];
      if (vertex < 0) continue;
      vertex = numVertices++;
      const int column = int(c * grid.stride), row = int(r * grid.stride);
      mesh.points.push_back(positions.at(c, r, heights[size_t(r * grid.columns + c)]));
      mesh.posts.push_back(uint32_t(r * grid.columns + c));
      if (placement != nullptr && placement->isPlaced()) {
        mesh.texCoords.push_back(placement->texCoordOf(georeference, column, row));
      } else {
        mesh.texCoords.emplace_back(float(column) / float(grid.width - 1),
                                    1.0f - float(row) / float(grid.height - 1));
      }
    }
    progress.ticks.fetch_add(1, std::memory_order_relaxed);
  }
}

// Two triangles a cell, counter-clockwise seen from above (X east, Z south, Y up), over the
// diagonal from the cell's north-east corner to its south-west one on the ground. A raster
// stored south-up or east to west runs the other way round on the ground: there the cell's
// other diagonal is that one, and the corners are taken in the other order.
void emitTriangles(const Grid & grid, const std::vector<float> & heights,
                   const std::vector<int32_t> & vertexOf, bool mirrored, int64_t cells,
                   FlatMesh & mesh, ContainedProgress & progress)
{
  mesh.coordIndex.reserve(size_t(cells) * 8);
  for (int64_t r = 0; r + 1 < grid.rows; ++r) {
    for (int64_t c = 0; c + 1 < grid.columns; ++c) {
      if (!validCell(heights, grid, c, r)) continue;
      const size_t at = size_t(r * grid.columns + c);
      const int32_t a = vertexOf[at], b = vertexOf[at + 1];
      const int32_t d = vertexOf[at + size_t(grid.columns)], e = vertexOf[at + size_t(grid.columns) + 1];
      if (mirrored)
        mesh.coordIndex.insert(mesh.coordIndex.end(), {d, a, e, -1, e, a, b, -1});
      else
        mesh.coordIndex.insert(mesh.coordIndex.end(), {a, d, b, -1, b, d, e, -1});
    }
    progress.ticks.fetch_add(1, std::memory_order_relaxed);
  }
}

// True when the raster's columns and rows make a left-handed pair on the ground.
bool storedMirrored(const Georeference & georeference)
{
  float x0, z0, x1, z1, x2, z2;
  georeference.localOf(0, 0, x0, z0);
  georeference.localOf(1, 0, x1, z1);
  georeference.localOf(0, 1, x2, z2);
  const double up = double(z2 - z0) * double(x1 - x0) - double(x2 - x0) * double(z1 - z0);
  return up < 0.0;
}

// The user's image, read and placed; its files join the sources.
bool drapeImage(const std::string & imageFile, const Georeference & georeference, FlatMesh & mesh,
                std::unique_ptr<ImagePlacement> & placement, std::string & reason)
{
  Dataset image(GDALOpenEx(imageFile.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
  std::vector<std::string> sources;
  if (image == nullptr || !sourcesAreSafe(image.get(), imageFile, sources, reason) ||
      !readImage(image.get(), mesh.texture)) {
    if (reason.empty()) reason = "the texture " + imageFile + " cannot be read as an image";
    return false;
  }
  mesh.sources.insert(mesh.sources.end(), sources.begin(), sources.end());
  placement.reset(new ImagePlacement(image.get(), georeference));
  // Outside its own extent a placed image has nothing to show.
  if (placement->isPlaced()) mesh.texture.wrapS = mesh.texture.wrapT = SoTexture2::CLAMP;
  return true;
}

// GDAL's messages become the reasons of a refusal, not lines on standard error; the cache it
// fills while reading stays within what the size check counts.
class QuietGdal {
public:
  QuietGdal(void)
  {
    GDALAllRegister();
    // A raster's georeference and scale may be kept in an .aux.xml beside it, which is read;
    // the reading child writes nothing (its calls to make files fail).
    CPLSetConfigOption("GDAL_PAM_ENABLED", "YES");
    GDALSetCacheMax64(GIntBig(blockCacheBytes));
    CPLPushErrorHandler(CPLQuietErrorHandler);
  }
  ~QuietGdal(void) { CPLPopErrorHandler(); }
  QuietGdal(const QuietGdal &) = delete;
  QuietGdal & operator=(const QuietGdal &) = delete;
};

// Opens the raster and decides what of it is kept: refused when it has no cell, names sources
// it may not read, or would not fit.
bool openGrid(const char * fileName, const RasterOptions & options, Dataset & dataset, Grid & grid,
              FlatMesh & mesh, std::string & reason)
{
  GDALDatasetH ds = dataset.get();
  const int width = GDALGetRasterXSize(ds), height = GDALGetRasterYSize(ds);
  if (GDALGetRasterCount(ds) < 1 || width < 2 || height < 2) {
    reason = "a raster of " + std::to_string(width) + " x " + std::to_string(height) +
             " posts has no cell to make triangles of";
    return false;
  }
  if (!sourcesAreSafe(ds, fileName, mesh.sources, reason)) return false;
  grid = gridOf(width, height, std::max(1, options.stride));
  if (grid.columns < 2 || grid.rows < 2) {
    reason = "--stride " + std::to_string(grid.stride) + " leaves " + std::to_string(grid.columns) +
             " x " + std::to_string(grid.rows) + " posts, no cell";
    return false;
  }
  return checkSize(grid, reason);
}

} // namespace

RasterFit fitRaster(int64_t width, int64_t height, int stride, uint64_t budget)
{
  const Grid grid = gridOf(width, height, std::max(1, stride));
  RasterFit fit;
  fit.bytes = bytesFor(grid);
  fit.tooManyTriangles = grid.triangles() > uint64_t(INT32_MAX) / 4;
  fit.tooLarge = budget != 0 && fit.bytes > budget;
  fit.fits = !fit.tooManyTriangles && !fit.tooLarge;
  if (!fit.fits) fit.advisedStride = strideThatFits(grid, budget);
  return fit;
}

RasterOutcome loadRaster(const char * fileName, const RasterOptions & options, FlatMesh & mesh,
                         ContainedProgress & progress, std::string & reason)
{
  const QuietGdal quiet;
  const char * const rasterOnly[] = {nullptr};
  Dataset dataset(GDALOpenEx(fileName, GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, rasterOnly, nullptr));
  if (dataset == nullptr) return RasterOutcome::NOT_A_RASTER;
  Grid grid;
  if (!openGrid(fileName, options, dataset, grid, mesh, reason)) return RasterOutcome::REFUSED;

  GDALRasterBandH band = GDALGetRasterBand(dataset.get(), 1);
  std::vector<float> heights;
  if (!readHeights(band, grid, HeightScale(band, options.zScale), heights, progress, reason))
    return RasterOutcome::REFUSED;
  std::vector<int32_t> vertexOf;
  const int64_t cells = markVertices(heights, grid, vertexOf, progress);
  if (cells == 0) {
    reason = "no cell has four valid posts (all nodata?)";
    return RasterOutcome::REFUSED;
  }
  const Georeference georeference(dataset.get(), options.verticalDatum);
  if (!checkPlacement(georeference, grid, reason)) return RasterOutcome::REFUSED;
  std::unique_ptr<ImagePlacement> placement;
  if (!options.texture.empty() &&
      !drapeImage(options.texture, georeference, mesh, placement, reason))
    return RasterOutcome::REFUSED;

  emitVertices(grid, heights, vertexOf, georeference, placement.get(), mesh, progress);
  emitTriangles(grid, heights, vertexOf, storedMirrored(georeference), cells, mesh, progress);
  if (options.texture.empty())
    makeReliefTexture(grid.columns, grid.rows, mesh.points, vertexOf, maxTextureSide, mesh.texture);
  mesh.note = georeference.describe();
  mesh.origin = georeference.origin();
  mesh.placement = georeference.placement();
  return RasterOutcome::LOADED;
}
