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

#include <geodesic.h>

#include <algorithm>
#include <chrono>
#include <array>
#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const double earthRadius = 6371008.8;
const double degree = M_PI / 180.0;

struct Loaded {
  bool ok = false;
  std::string note;  // where the origin lies
  std::string said;  // why it did not load
  std::vector<SbVec3f> points;
  std::vector<SbVec2f> texCoords;
  std::vector<int32_t> coordIndex;
  SbVec2s imageSize = SbVec2s(0, 0);
  std::vector<unsigned char> image; // rows from the bottom up, three bytes a texel
  std::vector<std::string> readFiles;
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
    const LoadOutcome outcome = model.load(file.c_str(), options);
    loaded.ok = outcome.loaded;
    loaded.note = outcome.note;
    loaded.said = outcome.reason;
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
    const unsigned char * bytes = texture->image.getValue(loaded.imageSize, components);
    loaded.image.assign(bytes, bytes + size_t(loaded.imageSize[0]) * loaded.imageSize[1] * components);
    loaded.readFiles = model.readFiles();
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
  static const SbVec3f * at(const Loaded & loaded, float x, float z, float within = 1e-3f)
  {
    for (const SbVec3f & p : loaded.points)
      if (std::fabs(p[0] - x) < within && std::fabs(p[2] - z) < within) return &p;
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
  ASSERT_TRUE(loaded.ok) << loaded.said;
  EXPECT_EQ(loaded.note, "Origin: easting 500075.000, northing 5899940.000 "
                         "(WGS 84 / UTM zone 32N); X east, Z south, metres\n"
                         "Heights: above a datum the raster does not name; tiles take them as "
                         "heights on the ellipsoid (--vertical-datum names one)");
  EXPECT_EQ(triangles(loaded), 2u * 4u * 3u);
  ASSERT_EQ(loaded.points.size(), 20u);
  // Posts at their pixel centres, X east and Z south of the raster's centre, on the ground: 30 m
  // of the grid on the zone's central meridian, whose scale is 0.9996, are 30 / 0.9996 m.
  const float post = 30.0f / 0.9996f;
  for (int row = 0; row < 4; ++row) {
    for (int column = 0; column < 5; ++column) {
      const SbVec3f * p = at(loaded, (column + 0.5f - 2.5f) * post, (row + 0.5f - 2.0f) * post, 5e-3f);
      ASSERT_NE(p, nullptr) << column << ", " << row;
      EXPECT_EQ((*p)[1], float(posts[size_t(row * 5 + column)]));
    }
  }
  // The highest post lies east of the centre and north of it (north is -Z).
  const SbVec3f top = highest(loaded);
  EXPECT_NEAR(top[0], post, 5e-3);
  EXPECT_EQ(top[1], 99.0f);
  EXPECT_NEAR(top[2], -post / 2, 5e-3);
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
  ASSERT_NE(at(strided, -2 * post, -1.5f * post, 5e-3f), nullptr);
  EXPECT_EQ((*at(strided, -2 * post, -1.5f * post, 5e-3f))[1], 20.0f);
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
  // (column, row) + 0.5 - 1.5 = (1, -1): east 8 - 6 = 2, north 6 + 8 = 14, in the grid's metres.
  // On the ground 100 km east of the zone's meridian the grid's north turns by about a degree
  // against true north, and its metres are shorter by 0.9997: the post lies 14.14 m from the
  // centre, and its bearing is about 8 degrees east of north.
  const SbVec3f * centre = at(loaded, 0, 0);
  ASSERT_NE(centre, nullptr);
  const SbVec3f * p = nullptr;
  for (const SbVec3f & q : loaded.points)
    if (q[2] < -10.0f && q[0] > 0.0f) p = &q;
  ASSERT_NE(p, nullptr);
  EXPECT_NEAR(std::hypot((*p)[0], (*p)[2]), std::hypot(2.0, 14.0) / 0.99972, 0.002);
  EXPECT_NEAR(std::atan2((*p)[0], -(*p)[2]) / degree, std::atan2(2.0, 14.0) / degree, 1.5);

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
  ASSERT_TRUE(inFeet.ok) << inFeet.note;
  EXPECT_NE(inFeet.note.find("(NAD83 / California zone 3 (ftUS)"), std::string::npos)
    << inFeet.note;
  // Cells of the 4 x 3 grid: 3 x 2 = 6, less the one with the nodata post.
  EXPECT_EQ(triangles(inFeet), 2u * (6u - 1u));
  // Neighbouring posts 100 ft apart on the ground, give or take the zone's scale.
  const float foot = 1200.0f / 3937.0f;
  const auto heightAt = [&](float h) {
    return std::find_if(inFeet.points.begin(), inFeet.points.end(), [h](const SbVec3f & q) { return q[1] == h; });
  };
  ASSERT_NE(heightAt(1.0f), inFeet.points.end());
  ASSERT_NE(heightAt(2.0f), inFeet.points.end());
  const SbVec3f step = *heightAt(2.0f) - *heightAt(1.0f);
  EXPECT_NEAR(std::hypot(step[0], step[2]), 100 * foot, 0.01);
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
  EXPECT_NE(empty.said.find("no cell has four valid posts"), std::string::npos) << empty.said;
}

TEST_F(Raster, GeographicTileIsMappedAboutItsCentre)
{
  const std::string file = std::string(TERRAVEL_SHARED_DATA) + "/dem/N57E011.hgt";
  const Loaded loaded = load(file);
  ASSERT_TRUE(loaded.ok) << loaded.said;
  EXPECT_NE(loaded.note.find("Origin: 57.500000 N, 11.500000 E (WGS 84)"), std::string::npos);

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

  // Distances between posts on the ground are the geodesic ones on the ellipsoid, to far better
  // than a thousandth: across the tile from corner to corner, along its edges, and to its top.
  const SbVec3f & top = highest(loaded);
  EXPECT_EQ(top[1], posts[size_t(topRow * n + topColumn)]);
  geod_geodesic wgs84;
  geod_init(&wgs84, 6378137.0, 1 / 298.257223563);
  const auto lonLatOf = [&](int c, int r, double & lon, double & lat) {
    lon = 11.0 + c / 1200.0;
    lat = 58.0 - r / 1200.0;
  };
  // Every post of the tile is valid: the vertices are the posts in raster order.
  ASSERT_EQ(loaded.points.size(), size_t(n) * size_t(n));
  const auto positionOf = [&](int c, int r) { return loaded.points[size_t(r) * size_t(n) + size_t(c)]; };
  const int pairs[][4] = {{0, 0, n - 1, n - 1}, {0, n - 1, n - 1, 0}, {0, 0, n - 1, 0},
                          {0, n - 1, n - 1, n - 1}, {600, 600, topColumn, topRow}};
  for (const auto & pair : pairs) {
    double lon1, lat1, lon2, lat2, geodesic = 0.0;
    lonLatOf(pair[0], pair[1], lon1, lat1);
    lonLatOf(pair[2], pair[3], lon2, lat2);
    geod_inverse(&wgs84, lat1, lon1, lat2, lon2, &geodesic, nullptr, nullptr);
    const SbVec3f a = positionOf(pair[0], pair[1]), b = positionOf(pair[2], pair[3]);
    const double onGround = std::hypot(double(a[0]) - b[0], double(a[2]) - b[2]);
    EXPECT_NEAR(onGround / geodesic, 1.0, 1e-4) << pair[0] << "," << pair[1] << " to " << pair[2] << "," << pair[3];
  }
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
  ASSERT_TRUE(stretched.ok) << stretched.said;
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
  ASSERT_TRUE(placed.ok) << placed.said;
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
  const Loaded refused = load(huge);
  const std::string & said = refused.said;
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(said.find("200000 x 200000 posts need about"), std::string::npos) << said;
  EXPECT_NE(said.find("--stride"), std::string::npos) << said;
}

// The memory a load takes follows the posts it keeps, not the raster's width: 500 x 2 posts of
// a raster 500,000,000 posts wide are read a few at a time. The advice for a raster too large
// holds when followed, also when the machine has a quarter less to spare, and is the least
// stride that does.
TEST_F(Raster, MemoryFollowsWhatIsKeptAndTheAdviceFits)
{
  const std::string wide = path("terravel_wide.vrt");
  std::ofstream(wide) << "<VRTDataset rasterXSize=\"500000000\" rasterYSize=\"1000001\">"
                         "<VRTRasterBand dataType=\"Float32\" band=\"1\"/></VRTDataset>\n";
  const pid_t loader = fork();
  if (loader == 0) {
    RasterOptions options;
    options.stride = 1000000;
    TerrainModel model;
    const bool ok = model.load(wide.c_str(), options).loaded;
    rusage child;
    getrusage(RUSAGE_CHILDREN, &child);
    _exit(!ok ? 2 : child.ru_maxrss > 300 * 1024 ? 3 : 0); // ru_maxrss is in KiB
  }
  int status = 0;
  ASSERT_EQ(waitpid(loader, &status, 0), loader);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit " << WEXITSTATUS(status);

  const int64_t side = INT32_MAX;
  for (const uint64_t budget : {uint64_t(1) << 30, uint64_t(8) << 30, uint64_t(20) << 30}) {
    const RasterFit whole = fitRaster(side, side, 1, budget);
    EXPECT_FALSE(whole.fits);
    ASSERT_GT(whole.advisedStride, 1);
    EXPECT_TRUE(fitRaster(side, side, whole.advisedStride, budget / 4 * 3).fits) << budget;
    EXPECT_FALSE(fitRaster(side, side, whole.advisedStride - 1, budget / 4 * 3).fits) << budget;
  }
}

// Heights and positions that single precision cannot hold are refused before anything is
// kept: a huge --zscale, band scale or offset, a huge pixel size.
TEST_F(Raster, HeightsAndPositionsBeyondSinglePrecisionAreRefused)
{
  const double gt[6] = {500000, 30, 0, 5900000, 0, -30};
  const std::vector<double> posts(16, 100.0);
  RasterOptions tall;
  tall.zScale = 1e38f;
  const Loaded zScaled = load(makeGeoTiff("terravel_tall.tif", 4, 4, posts, GDT_Float32, gt, 32632), tall);
  EXPECT_FALSE(zScaled.ok);
  EXPECT_NE(zScaled.said.find("no finite height"), std::string::npos) << zScaled.said;

  for (const bool offset : {false, true}) {
    const std::string file = makeGeoTiff("terravel_scaled.tif", 4, 4, posts, GDT_Float32, gt, 32632);
    GDALDatasetH ds = GDALOpen(file.c_str(), GA_Update);
    ASSERT_NE(ds, nullptr);
    if (offset)
      GDALSetRasterOffset(GDALGetRasterBand(ds, 1), 1e39);
    else
      GDALSetRasterScale(GDALGetRasterBand(ds, 1), 1e300);
    GDALClose(ds);
    const Loaded scaled = load(file);
    EXPECT_FALSE(scaled.ok) << (offset ? "offset" : "scale");
    EXPECT_NE(scaled.said.find("no finite height"), std::string::npos) << scaled.said;
  }

  const double vast[6] = {0, 1e300, 0, 0, 0, -1e300};
  const Loaded spread = load(makeGeoTiff("terravel_vast.tif", 4, 4, posts, GDT_Float32, vast, 0));
  EXPECT_FALSE(spread.ok);
  EXPECT_NE(spread.said.find("beyond the range"), std::string::npos) << spread.said;
}

// Loading stays on this machine and reads rasters only: a mosaic of a local GeoTIFF loads and
// names it among the files it read, a source on the network is refused without a request, a
// raw band over a file that is no raster is refused unless the user allows it.
TEST_F(Raster, UntrustedSourcesStayLocal)
{
  const double gt[6] = {500000, 30, 0, 5900000, 0, -30};
  const std::string tile =
    makeGeoTiff("terravel_tile.tif", 4, 4, std::vector<double>(16, 5.0), GDT_Float32, gt, 32632);
  const auto vrt = [](const std::string & name, const std::string & band) {
    const std::string file = path(name);
    std::ofstream(file) << "<VRTDataset rasterXSize=\"4\" rasterYSize=\"4\">" << band
                        << "</VRTDataset>\n";
    return file;
  };
  const auto simple = [](const std::string & source) {
    return "<VRTRasterBand dataType=\"Float32\" band=\"1\"><SimpleSource><SourceFilename>" +
           source + "</SourceFilename><SourceBand>1</SourceBand></SimpleSource></VRTRasterBand>";
  };
  const Loaded mosaic = load(vrt("terravel_mosaic.vrt", simple(tile)));
  ASSERT_TRUE(mosaic.ok) << mosaic.said;
  EXPECT_NE(std::find(mosaic.readFiles.begin(), mosaic.readFiles.end(), tile), mosaic.readFiles.end());

  // A listener on this machine sees whether a request was made.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
  const std::string url =
    "/vsicurl/http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/tile.tif";
  const Loaded remote = load(vrt("terravel_remote.vrt", simple(url)));
  EXPECT_FALSE(remote.ok);
  EXPECT_NE(remote.said.find("network"), std::string::npos) << remote.said;
  // A network source spelt with a character reference is still one, and said to be one.
  std::string spelt = url;
  spelt.replace(0, 1, "&#47;");
  const Loaded hidden = load(vrt("terravel_spelt.vrt", simple(spelt)));
  EXPECT_FALSE(hidden.ok);
  EXPECT_NE(hidden.said.find("network"), std::string::npos) << hidden.said;
  pollfd pending = {listener, POLLIN, 0};
  EXPECT_EQ(poll(&pending, 1, 200), 0) << "the load made a request";
  close(listener);

  const std::string raw = vrt("terravel_raw.vrt",
                              "<VRTRasterBand dataType=\"Byte\" band=\"1\" subClass=\"VRTRawRasterBand\">"
                              "<SourceFilename>/etc/passwd</SourceFilename><ImageOffset>0</ImageOffset>"
                              "<PixelOffset>1</PixelOffset><LineOffset>4</LineOffset></VRTRasterBand>");
  const Loaded refused = load(raw);
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(refused.said.find("TERRAVEL_ALLOW_RAW"), std::string::npos) << refused.said;
  setenv("TERRAVEL_ALLOW_RAW", "1", 1);
  EXPECT_TRUE(load(raw).ok);
  unsetenv("TERRAVEL_ALLOW_RAW");

  // Raw bytes that a header beside them describes, through a link to any file: refused, from
  // a mosaic and as the input alike.
  unlink(path("terravel_x.bil").c_str());
  ASSERT_EQ(symlink("/etc/passwd", path("terravel_x.bil").c_str()), 0);
  std::ofstream(path("terravel_x.hdr")) << "NROWS 4\nNCOLS 4\nNBITS 8\nBYTEORDER I\nLAYOUT BIL\n";
  for (const std::string & input :
       {vrt("terravel_linked.vrt", simple(path("terravel_x.bil"))), path("terravel_x.bil")}) {
    const Loaded linked = load(input);
    EXPECT_FALSE(linked.ok) << input;
    EXPECT_NE(linked.said.find("a link"), std::string::npos) << linked.said;
  }

  // Mosaics that name each other: each file is looked at once, and the load ends soon.
  for (int i = 0; i < 9; ++i) {
    std::string sources;
    for (int j = 0; j < 9; ++j)
      if (j != i) sources += simple(path("terravel_ring" + std::to_string(j) + ".vrt"));
    vrt("terravel_ring" + std::to_string(i) + ".vrt", sources + simple(tile));
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(load(path("terravel_ring0.vrt")).ok);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// A raster's georeference and scale kept in an .aux.xml beside it (as GDAL writes them for a
// PNG) place and scale it; loading writes nothing beside it.
TEST_F(Raster, AuxiliaryFileBesideTheRasterIsRead)
{
  const std::string png = path("terravel_aux.png");
  GDALDatasetH mem = GDALCreate(GDALGetDriverByName("MEM"), "", 4, 3, 1, GDT_UInt16, nullptr);
  std::vector<uint16_t> posts(12, 1000);
  posts[5] = 1234;
  ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(mem, 1), GF_Write, 0, 0, 4, 3, posts.data(), 4, 3, GDT_UInt16, 0, 0), CE_None);
  double gt[6] = {6.0, 0.01, 0, 50.0, 0, -0.01};
  GDALSetGeoTransform(mem, gt);
  OGRSpatialReferenceH wgs84 = OSRNewSpatialReference(nullptr);
  OSRImportFromEPSG(wgs84, 4326);
  GDALSetSpatialRef(mem, wgs84);
  OSRRelease(wgs84);
  GDALSetRasterScale(GDALGetRasterBand(mem, 1), 0.1);
  unlink((png + ".aux.xml").c_str());
  GDALClose(GDALCreateCopy(GDALGetDriverByName("PNG"), png.c_str(), mem, FALSE, nullptr, nullptr, nullptr));
  GDALClose(mem);
  struct stat aux;
  ASSERT_EQ(stat((png + ".aux.xml").c_str(), &aux), 0) << "GDAL kept no sidecar";
  const Loaded loaded = load(png);
  ASSERT_TRUE(loaded.ok) << loaded.said;
  EXPECT_NE(loaded.note.find("49.98"), std::string::npos) << loaded.note;
  float highest = 0.0f;
  for (const SbVec3f & p : loaded.points) highest = std::max(highest, p[1]);
  EXPECT_FLOAT_EQ(highest, 123.4f);
  struct stat after;
  ASSERT_EQ(stat((png + ".aux.xml").c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_nsec, aux.st_mtim.tv_nsec);
  EXPECT_EQ(after.st_size, aux.st_size);
}

// However a raster stores its rows and columns (north-up, south-up, east to west, or both
// turned round), every triangle faces up and the terrain comes out the same: the same
// triangles on the ground, the same colour at every post.
TEST_F(Raster, StorageOrderDoesNotTurnTheTerrainOver)
{
  const int w = 6, h = 5;
  std::vector<double> north(size_t(w * h));
  for (int i = 0; i < w * h; ++i) north[size_t(i)] = 100 + 37 * ((i * 7) % 11) + 3 * i;
  const auto stored = [&](bool southUp, bool westward) {
    std::vector<double> posts(north.size());
    for (int r = 0; r < h; ++r)
      for (int c = 0; c < w; ++c)
        posts[size_t(r * w + c)] = north[size_t((southUp ? h - 1 - r : r) * w + (westward ? w - 1 - c : c))];
    const double gt[6] = {westward ? 500000.0 + 30 * w : 500000.0, westward ? -30.0 : 30.0, 0,
                          southUp ? 5900000.0 - 30 * h : 5900000.0, 0, southUp ? 30.0 : -30.0};
    return load(makeGeoTiff("terravel_order.tif", w, h, posts, GDT_Float32, gt, 32632));
  };
  // Each triangle as its corners' positions and colours, starting from its least corner.
  using Corner = std::array<float, 6>;
  const auto triangleSet = [](const Loaded & l) {
    std::vector<std::array<Corner, 3>> set;
    for (size_t t = 0; t + 3 < l.coordIndex.size(); t += 4) {
      std::array<Corner, 3> tri;
      for (int k = 0; k < 3; ++k) {
        const SbVec3f & p = l.points[size_t(l.coordIndex[t + k])];
        const SbVec2f & uv = l.texCoords[size_t(l.coordIndex[t + k])];
        const int x = int(std::lround(uv[0] * (l.imageSize[0] - 1)));
        const int y = int(std::lround(uv[1] * (l.imageSize[1] - 1)));
        const unsigned char * texel = &l.image[size_t(y * l.imageSize[0] + x) * 3];
        tri[size_t(k)] = {p[0], p[1], p[2], float(texel[0]), float(texel[1]), float(texel[2])};
      }
      std::rotate(tri.begin(), std::min_element(tri.begin(), tri.end()), tri.end());
      set.push_back(tri);
    }
    std::sort(set.begin(), set.end());
    return set;
  };
  const Loaded reference = stored(false, false);
  ASSERT_TRUE(reference.ok);
  for (const bool southUp : {false, true}) {
    for (const bool westward : {false, true}) {
      const Loaded l = stored(southUp, westward);
      ASSERT_TRUE(l.ok) << l.said;
      for (size_t t = 0; t + 3 < l.coordIndex.size(); t += 4) {
        const SbVec3f & a = l.points[size_t(l.coordIndex[t])];
        const SbVec3f & b = l.points[size_t(l.coordIndex[t + 1])];
        const SbVec3f & c = l.points[size_t(l.coordIndex[t + 2])];
        ASSERT_GT((b - a).cross(c - a)[1], 0.0f) << "south-up " << southUp << ", westward " << westward;
      }
      EXPECT_TRUE(triangleSet(l) == triangleSet(reference)) << southUp << westward;
    }
  }
}
