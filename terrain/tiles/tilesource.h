#ifndef TERRAVEL_TILESOURCE_H
#define TERRAVEL_TILESOURCE_H

// The raster a tiled build reads, window by window: its posts on a grid of longitude and
// latitude (the raster's own where it is geographic on WGS 84, else GDAL's warper taking it
// there on the fly), what its heights stand on, and the range of its heights. Nothing is read
// whole: a mosaic (a VRT naming thousands of files) is read only where a window touches it.
//
//   TileSource source;  std::string why;
//   if (!source.open("all.vrt", options, why)) ...   // why: "all.vrt names missing.hgt, ..."
//   WindowReader reader(source);                       // one a thread
//   reader.read(c0, r0, w, h, heights.data(), why);

#include "flatmesh.h"
#include "rasterloader.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The posts: post (c, r) stands at its pixel's centre, longitude gt[0] + (c + 0.5) gt[1] and
// latitude gt[3] + (r + 0.5) gt[5], degrees on WGS 84.
struct PostGrid {
  int64_t columns = 0, rows = 0;
  double gt[6] = {0.0, 1.0, 0.0, 0.0, 0.0, -1.0};
  // The columns go once round the globe, post for post: past the last column comes the first.
  bool closesRound = false;
  double longitudeOf(double column) const { return gt[0] + column * gt[1]; }
  double latitudeOf(double row) const { return gt[3] + row * gt[5]; }
};

class TileSource {
public:
  TileSource(void) = default;
  ~TileSource(void);
  TileSource(const TileSource &) = delete;
  TileSource & operator=(const TileSource &) = delete;

  // False, with the reason, for a file GDAL cannot read as a raster, one without a place on the
  // Earth, one that reads what it may not (the network, files it does not name as rasters), a
  // mosaic naming missing files, or one with no valid post.
  bool open(const std::string & path, const RasterOptions & options, std::string & reason);

  const PostGrid & grid(void) const { return posts; }
  // How the posts are placed on the Earth: the grid's transform, WGS 84, the heights' datum.
  const RasterPlacement & placement(void) const { return place; }
  // "Heights: above ..." as the whole-raster load says it.
  const std::string & heightsNote(void) const { return note; }
  const std::vector<std::string> & sources(void) const { return read; }
  const std::string & path(void) const { return file; }
  bool warped(void) const { return !warpedName.empty(); }
  float lowest(void) const { return low; }
  float highest(void) const { return high; }
  // The picture of the whole raster its range was found from: posts sampled evenly, the nearest
  // each, rows from the north, NaN where none.
  const std::vector<float> & sample(void) const { return picture; }
  int sampleWidth(void) const { return pictureWidth; }
  int sampleHeight(void) const { return pictureHeight; }
  const RasterOptions & options(void) const { return settings; }

private:
  friend class WindowReader;
  bool openWarped(void * dataset, std::string & reason);
  bool measureHeights(std::string & reason);

  std::string file, warpedName, note;
  RasterOptions settings;
  PostGrid posts;
  RasterPlacement place;
  std::vector<std::string> read;
  float low = 0.0f, high = 0.0f;
  std::vector<float> picture;
  int pictureWidth = 0, pictureHeight = 0;
};

// A reader of windows of posts, with a GDAL handle of its own: one a thread.
class WindowReader {
public:
  explicit WindowReader(const TileSource & source);
  ~WindowReader(void);
  WindowReader(const WindowReader &) = delete;
  WindowReader & operator=(const WindowReader &) = delete;
  bool valid(void) const { return dataset != nullptr; }

  // Heights in metres of posts c0 .. c0 + w - 1, r0 .. r0 + h - 1, row by row, NaN where there
  // is no post (nodata, or outside the raster); columns run on round the globe where the grid
  // closes. False, with GDAL's reason, where the raster cannot be read there.
  bool read(int64_t c0, int64_t r0, int w, int h, float * heights, std::string & reason);
  // The same window sampled down to bw x bh posts, the nearest post each (GDAL takes overviews
  // where the raster has them).
  bool readSampled(int64_t c0, int64_t r0, int w, int h, int bw, int bh, float * heights, std::string & reason);

private:
  bool readPart(int64_t c0, int64_t r0, int w, int h, int bw, int bh, float * heights, int stride,
                std::string & reason);

  const TileSource & source;
  void * dataset = nullptr;
  void * band = nullptr;
  double scale = 1.0, offset = 0.0;
  bool hasNoData = false;
  double noData = 0.0;
};

#endif
