// Elevation rasters through the real loader: rasters made here with GDAL, with known posts, and
// the shared SRTM tile; the mesh's triangles, heights, spacing, orientation and texture.

#include "terrainmodel.h"

#include <Inventor/SoDB.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoTexture2.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

#include <cpl_conv.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

namespace {

const double earthRadius = 6371008.8;
const double degree = M_PI / 180.0;

struct Loaded {
  bool ok = false;
  std::string printed;
  std::vector<SbVec3f> points;
  std::vector<SbVec2f> texCoords;
  std::vector<int32_t> coordIndex;
  SbVec2s imageSize = SbVec2s(0, 0);
  std::string textureName;
  int wrapS = 0;
};

class Raster : public testing::Test {
protected:
  static void SetUpTestSuite()
  {
    SoDB::init();
    GDALAllRegister();
  }

  static std::string path(const std::string & name) { return testing::TempDir() + name; }

  static Loaded load(const std::string & file, const RasterOptions & options = RasterOptions())
  {
    TerrainModel model;
    Loaded loaded;
    testing::internal::CaptureStdout();
    loaded.ok = model.load(file.c_str(), options);
    loaded.printed = testing::internal::GetCapturedStdout();
    if (!loaded.ok) return loaded;
    SoSeparator * root = model.getRoot();
    const SoMFVec3f & p = static_cast<SoCoordinate3 *>(root->getChild(1))->point;
    const SoMFVec2f & t = static_cast<SoTextureCoordinate2 *>(root->getChild(2))->point;
    const SoMFInt32 & f = static_cast<SoIndexedFaceSet *>(root->getChild(3))->coordIndex;
    loaded.points.assign(p.getValues(0), p.getValues(0) + p.getNum());
    loaded.texCoords.assign(t.getValues(0), t.getValues(0) + t.getNum());
    loaded.coordIndex.assign(f.getValues(0), f.getValues(0) + f.getNum());
    const SoTexture2 * texture = static_cast<SoTexture2 *>(root->getChild(0));
    int components = 0;
    texture->image.getValue(loaded.imageSize, components);
    loaded.textureName = texture->filename.getValue().getString();
    loaded.wrapS = texture->wrapS.getValue();
    return loaded;
  }

  // A GeoTIFF of the given posts (row by row from the north), type, georeference and CRS.
  static std::string makeGeoTiff(const std::string & name, int width, int height,
                                 const std::vector<double> & posts, GDALDataType type,
                                 const double gt[6], int epsg, const double * noData = nullptr)
  {
    const std::string file = path(name);
    GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), file.c_str(), width, height, 1,
                                 type, nullptr);
    EXPECT_NE(ds, nullptr);
    GDALSetGeoTransform(ds, const_cast<double *>(gt));
    if (epsg != 0) {
      OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
      OSRImportFromEPSG(srs, epsg);
      GDALSetSpatialRef(ds, srs);
      OSRRelease(srs);
    }
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    if (noData != nullptr) GDALSetRasterNoDataValue(band, *noData);
    std::vector<double> values = posts;
    EXPECT_EQ(GDALRasterIO(band, GF_Write, 0, 0, width, height, values.data(), width, height,
                           GDT_Float64, 0, 0),
              CE_None);
    GDALClose(ds);
    return file;
  }

  static size_t triangles(const Loaded & loaded) { return loaded.coordIndex.size() / 4; }

  // The vertex at a position in X and Z, or null.
  static const SbVec3f * at(const Loaded & loaded, float x, float z)
  {
    for (const SbVec3f & p : loaded.points)
      if (std::fabs(p[0] - x) < 1e-3f && std::fabs(p[2] - z) < 1e-3f) return &p;
    return nullptr;
  }

  static const SbVec3f & highest(const Loaded & loaded)
  {
    return *std::max_element(loaded.points.begin(), loaded.points.end(),
                             [](const SbVec3f & a, const SbVec3f & b) { return a[1] < b[1]; });
  }
};

} // namespace

// A projected GeoTIFF, 5 x 4 posts 30 m apart; the highest post is in column 3 of row 1.
//
//   row 0:  10  11  12  13  14        north
//   row 1:  20  21  22  99  24
//   row 2:  30  31  32  33  34
//   row 3:  40  41  42  43  44        south
TEST_F(Raster, ProjectedGeoTiffBecomesAMeshInMetresAboutItsCentre)
{
  const double gt[6] = {500000, 30, 0, 5900000, 0, -30};
  const std::vector<double> posts = {10, 11, 12, 13, 14, 20, 21, 22, 99, 24,
                                     30, 31, 32, 33, 34, 40, 41, 42, 43, 44};
  const std::string file = makeGeoTiff("terravel_utm.tif", 5, 4, posts, GDT_Int16, gt, 32632);
  const Loaded loaded = load(file);
  ASSERT_TRUE(loaded.ok) << loaded.printed;
  EXPECT_EQ(loaded.printed, "Loading " + file +
                              " ... Done\nOrigin: easting 500075.000, northing 5899940.000 "
                              "(WGS 84 / UTM zone 32N); X east, Z south, metres\n");
  EXPECT_EQ(triangles(loaded), 2u * 4u * 3u);
  ASSERT_EQ(loaded.points.size(), 20u);
  // Posts at their pixel centres, 30 m apart, X east and Z south of the raster's centre.
  for (int row = 0; row < 4; ++row) {
    for (int column = 0; column < 5; ++column) {
      const SbVec3f * p = at(loaded, (column + 0.5f - 2.5f) * 30, (row + 0.5f - 2.0f) * 30);
      ASSERT_NE(p, nullptr) << column << ", " << row;
      EXPECT_EQ((*p)[1], float(posts[size_t(row * 5 + column)]));
    }
  }
  // The highest post lies east of the centre and north of it (north is -Z).
  EXPECT_EQ(highest(loaded), SbVec3f(30, 99, -15));
  // The first cell: north-west, south-west, north-east, then north-east, south-west, south-east;
  // both counter-clockwise seen from above.
  ASSERT_GE(loaded.coordIndex.size(), 8u);
  const std::vector<int32_t> first(loaded.coordIndex.begin(), loaded.coordIndex.begin() + 8);
  EXPECT_EQ(first, (std::vector<int32_t>{0, 5, 1, -1, 1, 5, 6, -1}));
  for (size_t t = 0; t < triangles(loaded); ++t) {
    const SbVec3f & a = loaded.points[size_t(loaded.coordIndex[4 * t])];
    const SbVec3f & b = loaded.points[size_t(loaded.coordIndex[4 * t + 1])];
    const SbVec3f & c = loaded.points[size_t(loaded.coordIndex[4 * t + 2])];
    const SbVec3f flat[3] = {SbVec3f(a[0], 0, a[2]), SbVec3f(b[0], 0, b[2]), SbVec3f(c[0], 0, c[2])};
    EXPECT_GT((flat[1] - flat[0]).cross(flat[2] - flat[0])[1], 0.0f) << "triangle " << t;
  }
  // Texture coordinates span the raster; a texture was made, one texel per post.
  EXPECT_EQ(loaded.texCoords.front(), SbVec2f(0, 1));
  EXPECT_EQ(loaded.texCoords.back(), SbVec2f(1, 0));
  EXPECT_EQ(loaded.imageSize, SbVec2s(5, 4));
  EXPECT_EQ(loaded.textureName, "");

  // Every second post, and heights doubled.
  RasterOptions options;
  options.stride = 2;
  options.zScale = 2;
  const Loaded strided = load(file, options);
  EXPECT_EQ(strided.points.size(), 3u * 2u);
  EXPECT_EQ(triangles(strided), 2u * 2u * 1u);
  ASSERT_NE(at(strided, -60, -45), nullptr);
  EXPECT_EQ((*at(strided, -60, -45))[1], 20.0f);
}

TEST_F(Raster, RotationTermsAndFeetAreHonoured)
{
  // Rotated: each column steps 8 east and 6 north, each row 6 east and 8 south (10 m a post).
  const double gt[6] = {600000, 8, 6, 5000000, 6, -8};
  const std::string rotated =
    makeGeoTiff("terravel_rotated.tif", 3, 3, std::vector<double>(9, 5.0), GDT_Float32, gt, 32632);
  const Loaded loaded = load(rotated);
  ASSERT_TRUE(loaded.ok);
  // Post (2, 0) is one step of a column east-north and one of a row west... from the centre:
  // (column, row) + 0.5 - 1.5 = (1, -1): east 8 - 6 = 2, north 6 + 8 = 14.
  EXPECT_NE(at(loaded, 2, -14), nullptr);
  EXPECT_NE(at(loaded, 0, 0), nullptr);

  // An ESRI ASCII grid in US survey feet with its .prj: 100 ft posts are 30.48 m apart; the
  // nodata post in the corner takes its one cell with it.
  const std::string grid = path("terravel_feet.asc");
  std::ofstream(grid) << "ncols 4\nnrows 3\nxllcorner 6000000\nyllcorner 2000000\ncellsize 100\n"
                         "NODATA_value -9999\n"
                         "1 2 3 4\n5 6 7 8\n9 10 11 -9999\n";
  OGRSpatialReferenceH feet = OSRNewSpatialReference(nullptr);
  OSRImportFromEPSG(feet, 2227);
  OSRMorphToESRI(feet);
  char * wkt = nullptr;
  OSRExportToWkt(feet, &wkt);
  std::ofstream(path("terravel_feet.prj")) << wkt;
  CPLFree(wkt);
  OSRRelease(feet);
  const Loaded inFeet = load(grid);
  ASSERT_TRUE(inFeet.ok) << inFeet.printed;
  EXPECT_NE(inFeet.printed.find("(NAD83 / California zone 3 (ftUS)"), std::string::npos)
    << inFeet.printed;
  // Cells of the 4 x 3 grid: 3 x 2 = 6, less the one with the nodata post.
  EXPECT_EQ(triangles(inFeet), 2u * (6u - 1u));
  const float foot = 1200.0f / 3937.0f;
  const SbVec3f * corner = at(inFeet, -1.5f * 100 * foot, -1.0f * 100 * foot);
  ASSERT_NE(corner, nullptr);
  EXPECT_EQ((*corner)[1], 1.0f);
  EXPECT_NE(at(inFeet, -0.5f * 100 * foot, -1.0f * 100 * foot), nullptr);
}

TEST_F(Raster, NaNPostsAndNoDataLeaveHolesOpen)
{
  //   1   2   3   4
  //   5  NaN  7   8        NaN is nodata: the four cells around it give no triangle.
  //   9  10  11  12
  //  13  14  15  nd        -1e30 is the declared nodata: one cell goes.
  const double nan = std::numeric_limits<double>::quiet_NaN(), noData = -1e30;
  const double gt[6] = {0, 10, 0, 0, 0, -10};
  const std::vector<double> posts = {1, 2, 3, 4, 5, nan, 7, 8, 9, 10, 11, 12, 13, 14, 15, noData};
  const Loaded loaded =
    load(makeGeoTiff("terravel_nan.tif", 4, 4, posts, GDT_Float32, gt, 32632, &noData));
  ASSERT_TRUE(loaded.ok);
  // 9 cells; the NaN post is a corner of 4, the nodata post of 1.
  EXPECT_EQ(triangles(loaded), 2u * (9u - 4u - 1u));
  // Every vertex once: the 11 valid posts that are corners of a cell with four valid posts
  // (1, 2 and 5 are not).
  EXPECT_EQ(loaded.points.size(), 11u);
  for (const SbVec3f & p : loaded.points) EXPECT_TRUE(std::isfinite(p[1]) && p[1] > 0);

  // Only nodata: nothing to mesh, and the load says so.
  const std::vector<double> none(16, noData);
  const Loaded empty =
    load(makeGeoTiff("terravel_nodata.tif", 4, 4, none, GDT_Float32, gt, 32632, &noData));
  EXPECT_FALSE(empty.ok);
  EXPECT_EQ(empty.printed.substr(empty.printed.size() - 8), " Failed\n");
}

TEST_F(Raster, GeographicTileIsMappedAboutItsCentre)
{
  const std::string file = std::string(TERRAVEL_SHARED_DATA) + "/dem/N57E011.hgt";
  const Loaded loaded = load(file);
  ASSERT_TRUE(loaded.ok) << loaded.printed;
  EXPECT_NE(loaded.printed.find("Origin: 57.500000 N, 11.500000 E (WGS 84)"), std::string::npos);

  // The tile's own posts, read here: the cells with four valid posts, and the highest post.
  GDALDatasetH ds = GDALOpen(file.c_str(), GA_ReadOnly);
  ASSERT_NE(ds, nullptr);
  const int n = GDALGetRasterXSize(ds);
  std::vector<float> posts(size_t(n) * size_t(n));
  int hasNoData = 0;
  GDALRasterBandH band = GDALGetRasterBand(ds, 1);
  const float noData = float(GDALGetRasterNoDataValue(band, &hasNoData));
  ASSERT_EQ(GDALRasterIO(band, GF_Read, 0, 0, n, n, posts.data(), n, n, GDT_Float32, 0, 0), CE_None);
  GDALClose(ds);
  const auto valid = [&](int c, int r) { return posts[size_t(r * n + c)] != noData; };
  size_t cells = 0;
  int topColumn = 0, topRow = 0;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      if (posts[size_t(r * n + c)] > posts[size_t(topRow * n + topColumn)]) {
        topColumn = c;
        topRow = r;
      }
      if (r + 1 < n && c + 1 < n && valid(c, r) && valid(c + 1, r) && valid(c, r + 1) &&
          valid(c + 1, r + 1))
        ++cells;
    }
  }
  EXPECT_EQ(triangles(loaded), 2 * cells);

  // Posts 3 arc-seconds apart: R x angle north-south, R cos(57.5) x angle east-west.
  const double step = 3.0 / 3600.0 * degree;
  const float dz = float(earthRadius * step), dx = float(earthRadius * std::cos(57.5 * degree) * step);
  const SbVec3f & top = highest(loaded);
  EXPECT_EQ(top[1], posts[size_t(topRow * n + topColumn)]);
  EXPECT_NEAR(top[0], (topColumn - 600) * dx, 0.05);
  EXPECT_NEAR(top[2], (topRow - 600) * dz, 0.05);
  for (const SbVec3f & p : loaded.points) {
    ASSERT_LT(std::fabs(p[0]), 1e6f);
    ASSERT_LT(std::fabs(p[2]), 1e6f);
  }
}

TEST_F(Raster, ATextureOfTheUsersIsPlacedOrStretched)
{
  const double gt[6] = {500000, 30, 0, 5900000, 0, -30};
  const std::string dem =
    makeGeoTiff("terravel_draped.tif", 5, 4, std::vector<double>(20, 7.0), GDT_Int16, gt, 32632);
  // A plain picture (no georeference) is stretched over the raster.
  GDALDatasetH picture =
    GDALCreate(GDALGetDriverByName("MEM"), "", 8, 8, 3, GDT_Byte, nullptr);
  GDALDatasetH png = GDALCreateCopy(GDALGetDriverByName("PNG"), path("terravel_plain.png").c_str(),
                                    picture, FALSE, nullptr, nullptr, nullptr);
  GDALClose(png);
  GDALClose(picture);
  RasterOptions options;
  options.texture = path("terravel_plain.png");
  const Loaded stretched = load(dem, options);
  ASSERT_TRUE(stretched.ok) << stretched.printed;
  EXPECT_EQ(stretched.imageSize, SbVec2s(8, 8));
  EXPECT_EQ(stretched.texCoords.front(), SbVec2f(0, 1));
  EXPECT_EQ(stretched.texCoords.back(), SbVec2f(1, 0));

  // A georeferenced image covering twice the raster's extent, from the same corner: the posts'
  // centres fall in its upper left quarter, placed by its georeference.
  const double wide[6] = {500000, 30, 0, 5900000, 0, -30};
  const std::string image =
    makeGeoTiff("terravel_image.tif", 10, 8, std::vector<double>(80, 100.0), GDT_Byte, wide, 32632);
  options.texture = image;
  const Loaded placed = load(dem, options);
  ASSERT_TRUE(placed.ok) << placed.printed;
  EXPECT_EQ(placed.wrapS, int(SoTexture2::CLAMP));
  EXPECT_NEAR(placed.texCoords.front()[0], 0.5 / 10, 1e-6);
  EXPECT_NEAR(placed.texCoords.front()[1], 1 - 0.5 / 8, 1e-6);
  EXPECT_NEAR(placed.texCoords.back()[0], 4.5 / 10, 1e-6);
  EXPECT_NEAR(placed.texCoords.back()[1], 1 - 3.5 / 8, 1e-6);

  options.texture = path("terravel_missing.png");
  EXPECT_FALSE(load(dem, options).ok);
}

TEST_F(Raster, RastersTooLargeAreRefusedBeforeAnythingIsRead)
{
  // A virtual raster that claims 200,000 x 200,000 posts over a small file: about 4 TB.
  const double gt[6] = {0, 1, 0, 0, 0, -1};
  const std::string small =
    makeGeoTiff("terravel_small.tif", 4, 4, std::vector<double>(16, 1.0), GDT_Int16, gt, 32632);
  const std::string huge = path("terravel_huge.vrt");
  std::ofstream(huge) << "<VRTDataset rasterXSize=\"200000\" rasterYSize=\"200000\">\n"
                         "  <VRTRasterBand dataType=\"Int16\" band=\"1\">\n"
                         "    <SimpleSource><SourceFilename>" << small
                      << "</SourceFilename><SourceBand>1</SourceBand></SimpleSource>\n"
                         "  </VRTRasterBand>\n</VRTDataset>\n";
  testing::internal::CaptureStderr();
  const Loaded refused = load(huge);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(said.find("200000 x 200000 posts need about"), std::string::npos) << said;
  EXPECT_NE(said.find("--stride"), std::string::npos) << said;
}
