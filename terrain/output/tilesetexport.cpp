// Writing a level-of-detail tree as 3D Tiles: the tile tree from the tree's cells, a GLB for
// every chunk made with the glTF library, and tileset.json with the JSON library.

#include "tilesetexport.h"

#include "chunkerror.h"
#include "chunknodes.h"
#include "containedrun.h"
#include "earthplacement.h"
#include "glbwriter.h"
#include "postlookup.h"
#include "paths.h"
#include "picturefile.h"
#include "workerthreads.h"

#include <Inventor/SbBox3f.h>
#include <Inventor/SbVec3d.h>
#include <Inventor/nodes/SoGroup.h>
#include <Inventor/nodes/SoLOD.h>
#include <Inventor/nodes/SoTexture2.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Pictures embedded in a tile are at most this many pixels a side: the root's covers the whole
// terrain coarsely, a deep tile's its small part at full resolution.
const int tilePictureSide = 256;

// A tile: its chunk, the measured error of that chunk, and its children.
struct Tile {
  SoNode * chunk = nullptr;
  MeshView view;           // the chunk's lists, read on the calling thread
  double error = 0.0;
  bool measured = false;
  std::vector<size_t> children;
  SbBox3f bounds;          // of its chunk and its children, in the tile frame
  std::string uri;         // of its content, when it has a chunk with triangles
};

// The tiles of a cell (a separator holding an SoLOD, maybe behind its error) or of a chunk of the
// last level, depth first.
size_t collectTiles(SoNode * node, std::vector<Tile> & tiles)
{
  const size_t index = tiles.size();
  tiles.emplace_back();
  SoGroup * group = node->isOfType(SoGroup::getClassTypeId()) ? static_cast<SoGroup *>(node) : nullptr;
  SoLOD * lod = nullptr;
  double largest = 0.0, rms = 0.0;
  for (int i = 0; group != nullptr && i < group->getNumChildren(); ++i) {
    SoNode * child = group->getChild(i);
    if (errorOfInfo(child, largest, rms)) {
      tiles[index].error = largest;
      tiles[index].measured = true;
    } else if (child->isOfType(SoLOD::getClassTypeId())) {
      lod = static_cast<SoLOD *>(child);
    }
  }
  if (lod == nullptr || lod->getNumChildren() < 2) {
    tiles[index].chunk = node; // a chunk of the last level: its error is none
    tiles[index].measured = true;
    return index;
  }
  tiles[index].chunk = lod->getChild(1);
  SoGroup * near = static_cast<SoGroup *>(lod->getChild(0));
  for (int i = 0; i < near->getNumChildren(); ++i) {
    const size_t child = collectTiles(near->getChild(i), tiles);
    tiles[index].children.push_back(child);
  }
  return index;
}

// A chunk as glTF lists: positions about the centre, normals, texture coordinates.
struct Content {
  std::vector<float> positions, normals, texCoords;
  std::vector<uint32_t> indices;
  SbBox3f bounds; // in the tileset's frame
  double centre[3] = {0.0, 0.0, 0.0};
};

// The tileset's frame: X east, Y up and Z south about the terrain's origin, as glTF content
// has it (a viewer turns it Z up). A raster placed on the Earth has every vertex where its post
// stands, through PROJ, in the east-north-up frame at the origin that the root's transform
// places; anything else keeps its own positions. One a thread.
class TileFrame {
public:
  TileFrame(const TilePlacement * placement, const GeoOrigin & origin)
  {
    if (placement == nullptr || placement->posts == nullptr || !origin.placed) return;
    earth = std::make_unique<EarthPlacement>(*placement->raster, *placement->grid);
    if (!earth->valid()) {
      earth.reset();
      return;
    }
    posts = placement->posts;
    const double lat = origin.latitude * M_PI / 180.0, lon = origin.longitude * M_PI / 180.0;
    const double axes[3][3] = {{-std::sin(lon), std::cos(lon), 0.0},
                               {-std::sin(lat) * std::cos(lon), -std::sin(lat) * std::sin(lon), std::cos(lat)},
                               {std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon), std::sin(lat)}};
    std::copy(&axes[0][0], &axes[0][0] + 9, &east[0]);
    std::copy(origin.earthCentred, origin.earthCentred + 3, centred);
  }

  // Three numbers a vertex; false where a vertex stands on no post or cannot be placed.
  bool positionsOf(const MeshView & view, std::vector<double> & at) const
  {
    const size_t n = size_t(view.numPoints);
    at.resize(3 * n);
    if (earth == nullptr) {
      for (size_t v = 0; v < n; ++v)
        for (int k = 0; k < 3; ++k) at[3 * v + size_t(k)] = view.points[v][k];
      return true;
    }
    std::vector<int64_t> columns(n), rows(n);
    std::vector<double> heights(n), xyz(3 * n);
    for (size_t v = 0; v < n; ++v) {
      if (!posts->postAt(view.points[v], columns[v], rows[v])) return false;
      heights[v] = view.points[v][1];
    }
    if (!earth->place(n, columns.data(), rows.data(), heights.data(), xyz.data())) return false;
    for (size_t v = 0; v < n; ++v) {
      const double d[3] = {xyz[3 * v] - centred[0], xyz[3 * v + 1] - centred[1], xyz[3 * v + 2] - centred[2]};
      const double e = east[0] * d[0] + east[1] * d[1] + east[2] * d[2];
      const double nn = east[3] * d[0] + east[4] * d[1] + east[5] * d[2];
      const double u = east[6] * d[0] + east[7] * d[1] + east[8] * d[2];
      at[3 * v] = e;
      at[3 * v + 1] = u;
      at[3 * v + 2] = -nn;
    }
    return true;
  }

private:
  std::unique_ptr<EarthPlacement> earth;
  const PostLookup * posts = nullptr;
  double east[9] = {}; // the rows: east, north and up in Earth-centred terms
  double centred[3] = {};
};

// False for a chunk without triangles, and, with placed false, for one whose vertices cannot
// be placed.
bool contentOf(const MeshView & view, const TileFrame & frame, Content & content, bool & placed)
{
  std::vector<double> at;
  placed = frame.positionsOf(view, at);
  if (!placed) return false;
  double low[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, high[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  for (size_t i = 0; i < at.size(); ++i) {
    low[i % 3] = std::min(low[i % 3], at[i]);
    high[i % 3] = std::max(high[i % 3], at[i]);
  }
  const auto point = [&at](size_t v) { return SbVec3d(at[3 * v], at[3 * v + 1], at[3 * v + 2]); };
  for (int32_t t = 0; t < view.numTriangles(); ++t) {
    const int32_t * c = view.coordIndex + 4 * size_t(t);
    if (uint32_t(c[0]) >= uint32_t(view.numPoints) || uint32_t(c[1]) >= uint32_t(view.numPoints) ||
        uint32_t(c[2]) >= uint32_t(view.numPoints))
      continue;
    // A triangle of one point or one line shows nothing.
    const SbVec3d a = point(size_t(c[0]));
    if ((point(size_t(c[1])) - a).cross(point(size_t(c[2])) - a).sqrLength() == 0.0) continue;
    content.indices.insert(content.indices.end(), {uint32_t(c[0]), uint32_t(c[1]), uint32_t(c[2])});
  }
  if (content.indices.empty()) return false;
  for (int k = 0; k < 3; ++k) content.centre[k] = (low[k] + high[k]) / 2.0;
  content.bounds.setBounds(SbVec3f(float(low[0]), float(low[1]), float(low[2])),
                           SbVec3f(float(high[0]), float(high[1]), float(high[2])));
  // Normals: the corners' triangles, weighted by their area.
  const size_t n = at.size() / 3;
  std::vector<SbVec3d> normals(n, SbVec3d(0, 0, 0));
  for (size_t i = 0; i < content.indices.size(); i += 3) {
    const SbVec3d a = point(content.indices[i]);
    const SbVec3d normal = (point(content.indices[i + 1]) - a).cross(point(content.indices[i + 2]) - a);
    for (size_t k = 0; k < 3; ++k) normals[content.indices[i + k]] += normal;
  }
  for (size_t v = 0; v < n; ++v) {
    SbVec3d normal = normals[v];
    if (normal.normalize() == 0.0) normal.setValue(0, 1, 0);
    for (size_t k = 0; k < 3; ++k) content.positions.push_back(float(at[3 * v + k] - content.centre[k]));
    content.normals.insert(content.normals.end(), {float(normal[0]), float(normal[1]), float(normal[2])});
    const SbVec2f uv = v < size_t(view.numTexCoords) ? view.texCoords[v] : SbVec2f(0, 0);
    content.texCoords.insert(content.texCoords.end(), {uv[0], uv[1]});
  }
  return true;
}

// The part of the picture the chunk's texture coordinates reach, as PNG bytes; the texture
// coordinates become the part's own (glTF's run from the top down). Where they reach beyond the
// picture (a repeating texture), the whole picture goes, and they stay.
bool pictureOf(const PictureParts & picture, Content & content, std::string & png, bool & repeat)
{
  const int w = picture.width(), h = picture.height();
  float u0 = 1e30f, v0 = 1e30f, u1 = -1e30f, v1 = -1e30f;
  for (size_t i = 0; i < content.texCoords.size(); i += 2) {
    u0 = std::min(u0, content.texCoords[i]);
    u1 = std::max(u1, content.texCoords[i]);
    v0 = std::min(v0, content.texCoords[i + 1]);
    v1 = std::max(v1, content.texCoords[i + 1]);
  }
  repeat = !(u0 >= 0.0f && v0 >= 0.0f && u1 <= 1.0f && v1 <= 1.0f);
  // Columns from the left, rows from the top: the toolkit's v runs from the bottom up.
  const int x0 = repeat ? 0 : std::max(0, int(std::floor(u0 * w))), x1 = repeat ? w : std::min(w, std::max(x0 + 1, int(std::ceil(u1 * w))));
  const int y0 = repeat ? 0 : std::max(0, int(std::floor((1.0f - v1) * h))), y1 = repeat ? h : std::min(h, std::max(y0 + 1, int(std::ceil((1.0f - v0) * h))));
  for (size_t i = 0; i < content.texCoords.size(); i += 2) {
    const double x = double(content.texCoords[i]) * w, y = (1.0 - double(content.texCoords[i + 1])) * h;
    content.texCoords[i] = float((x - x0) / (x1 - x0));
    content.texCoords[i + 1] = float((y - y0) / (y1 - y0));
  }
  return picture.png(x0, y0, x1, y1, tilePictureSide, png);
}

// The chunk as GLB bytes; false for a chunk without triangles.
bool glbOf(const MeshView & view, const TileFrame & frame, const PictureParts * picture, std::string & glb,
           SbBox3f & bounds, bool & placed)
{
  Content content;
  if (!contentOf(view, frame, content, placed)) return false;
  GlbMesh mesh;
  if (picture != nullptr && picture->width() > 0 && !pictureOf(*picture, content, mesh.picture, mesh.repeat))
    mesh.picture.clear();
  mesh.positions = std::move(content.positions);
  mesh.normals = std::move(content.normals);
  mesh.texCoords = std::move(content.texCoords);
  mesh.indices = std::move(content.indices);
  std::copy(content.centre, content.centre + 3, mesh.translation);
  if (!encodeGlb(mesh, glb)) return false;
  bounds = content.bounds;
  return true;
}

// A box in the tile frame: the terrain's X east, Y up, Z south become X, Z, -Y. Its half axes
// reach a little further than the bounds, as far as the content's single-precision positions
// may stray from them, so the box holds every position a viewer reads.
nlohmann::json boxOf(const SbBox3f & bounds)
{
  const SbVec3f & low = bounds.getMin(), & high = bounds.getMax();
  double c[3], half[3], reach = 0.0;
  for (int i = 0; i < 3; ++i) {
    c[i] = (double(low[i]) + high[i]) / 2.0;
    half[i] = (double(high[i]) - low[i]) / 2.0;
    reach = std::max({reach, std::fabs(double(low[i])), std::fabs(double(high[i]))});
  }
  const double pad = reach * 4e-7 + 1e-3;
  return {{"box", {c[0], -c[2], c[1], half[0] + pad, 0, 0, 0, half[2] + pad, 0, 0, 0, half[1] + pad}}};
}

// The tile and those below it, each with an error above its children's; null when neither it
// nor any tile below it has content. A tile whose own chunk is empty stays when tiles below it
// have content, so no part of the terrain goes missing.
nlohmann::json tileJson(std::vector<Tile> & tiles, size_t index, double & error)
{
  Tile & tile = tiles[index];
  nlohmann::json children = nlohmann::json::array();
  double childError = 0.0;
  for (const size_t child : tile.children) {
    double e = 0.0;
    nlohmann::json json = tileJson(tiles, child, e);
    if (json.is_null()) continue;
    children.push_back(std::move(json));
    childError = std::max(childError, e);
    tile.bounds.extendBy(tiles[child].bounds);
  }
  if (tile.uri.empty() && children.empty()) return nlohmann::json();
  error = children.empty() ? 0.0 : std::max(tile.error, childError * 1.0001 + 1e-6);
  nlohmann::json json = {{"boundingVolume", boxOf(tile.bounds)}, {"geometricError", error}};
  if (!tile.uri.empty()) json["content"] = {{"uri", tile.uri}};
  if (!children.empty()) json["children"] = children;
  return json;
}

// Whether every number in the JSON is finite: nothing else may be written as one.
bool allFinite(const nlohmann::json & json)
{
  if (json.is_number_float()) return std::isfinite(json.get<double>());
  if (json.is_structured())
    for (const nlohmann::json & item : json)
      if (!allFinite(item)) return false;
  return true;
}

// From the east-north-up frame at the origin to Earth-centred coordinates, column by column.
std::vector<double> transformOf(const GeoOrigin & origin)
{
  const double lat = origin.latitude * M_PI / 180.0, lon = origin.longitude * M_PI / 180.0;
  const double east[3] = {-std::sin(lon), std::cos(lon), 0.0};
  const double north[3] = {-std::sin(lat) * std::cos(lon), -std::sin(lat) * std::sin(lon), std::cos(lat)};
  const double up[3] = {std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon), std::sin(lat)};
  return {east[0], east[1], east[2], 0, north[0], north[1], north[2], 0,
          up[0], up[1], up[2], 0, origin.earthCentred[0], origin.earthCentred[1], origin.earthCentred[2], 1};
}

// A new file takes the mode the file creation mask allows, as the kernel applies it.
bool writeFile(const std::string & path, const std::string & bytes)
{
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool ok = writeAll(fd, bytes.data(), bytes.size());
  return close(fd) == 0 && ok;
}

std::string glbName(size_t index)
{
  return std::to_string(index) + ".glb";
}

// Whether the file is one the run reads, whatever its name.
bool readByRun(const struct stat & file, const std::vector<std::string> & keepIntact)
{
  struct stat kept;
  for (const std::string & name : keepIntact)
    if (stat(name.c_str(), &kept) == 0 && kept.st_dev == file.st_dev && kept.st_ino == file.st_ino)
      return true;
  return false;
}

// Removes the named files of a content folder, then the folder when nothing else is left in it.
// Only regular files go, never through a link and never one the run reads; a link in the
// folder's place is left alone, so nothing outside the tileset's folder goes.
void removeContent(const std::string & folder, const std::vector<std::string> & files,
                   const std::vector<std::string> & keepIntact)
{
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  for (const std::string & file : files) {
    struct stat info;
    if (fstatat(fd, file.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
        readByRun(info, keepIntact))
      continue;
    unlinkat(fd, file.c_str(), 0);
  }
  close(fd);
  rmdir(folder.c_str());
}

// A content folder's name as this program makes them: "content-" and six letters or digits.
bool isContentFolderName(const std::string & name)
{
  return name.size() == 14 && name.compare(0, 8, "content-") == 0 &&
         std::all_of(name.begin() + 8, name.end(), [](unsigned char c) { return std::isalnum(c) != 0; });
}

// A content file's name as this program makes them: a number and ".glb".
bool isContentFileName(const std::string & name)
{
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".glb") == 0 &&
         std::all_of(name.begin(), name.end() - 4, [](unsigned char c) { return std::isdigit(c) != 0; });
}

// The content addresses of a tile and those below it; false for any shape a tileset of ours
// does not have.
bool collectUris(const nlohmann::json & tile, int depth, std::vector<std::string> & uris)
{
  if (!tile.is_object() || depth > 64) return false;
  const auto content = tile.find("content");
  if (content != tile.end()) {
    if (!content->is_object()) return false;
    const auto uri = content->find("uri");
    if (uri == content->end() || !uri->is_string()) return false;
    uris.push_back(uri->get<std::string>());
  }
  const auto children = tile.find("children");
  if (children == tile.end()) return true;
  if (!children->is_array()) return false;
  for (const nlohmann::json & child : *children)
    if (!collectUris(child, depth + 1, uris)) return false;
  return true;
}

// The text of a regular file, read without waiting on anything that is not one.
bool regularFileText(const std::string & path, std::string & text)
{
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  char buffer[65536];
  for (ssize_t n = 1; ok && n > 0;) {
    n = read(fd, buffer, sizeof buffer);
    if (n > 0) text.append(buffer, size_t(n));
    ok = n >= 0;
  }
  close(fd);
  return ok;
}

// What of an earlier tileset this program wrote: its content folder beside tileset.json and
// the files in it that the tileset names. An earlier tileset of another generator, of any
// unexpected shape, or naming anything else, has nothing of ours.
struct EarlierContent {
  std::string folder; // empty: nothing to remove
  std::vector<std::string> files;
};

EarlierContent earlierContentOf(const std::string & tilesetPath)
{
  std::string text;
  if (!regularFileText(tilesetPath, text)) return EarlierContent();
  const nlohmann::json tileset = nlohmann::json::parse(text, nullptr, false);
  if (!tileset.is_object() || !tileset.contains("asset") || !tileset["asset"].is_object() ||
      tileset["asset"].value("generator", nlohmann::json()) != "Terravel" || !tileset.contains("root"))
    return EarlierContent();
  std::vector<std::string> uris;
  if (!collectUris(tileset["root"], 0, uris)) return EarlierContent();
  std::string folder;
  EarlierContent earlier;
  for (const std::string & uri : uris) {
    const size_t slash = uri.find('/');
    if (slash == std::string::npos) return EarlierContent();
    const std::string name = uri.substr(0, slash), file = uri.substr(slash + 1);
    if (!isContentFolderName(name) || !isContentFileName(file) || (!folder.empty() && name != folder))
      return EarlierContent();
    folder = name;
    earlier.files.push_back(file);
  }
  if (!folder.empty()) earlier.folder = folderOf(tilesetPath) + "/" + folder;
  return earlier;
}

// What the threads writing the content share: the next tile to take, how many are written, and
// the first failure.
struct ContentWork {
  ContentWork(std::vector<Tile> & tiles, const std::string & folder, const std::string & prefix,
              const TilePlacement * placement, const GeoOrigin & origin)
    : tiles(tiles), folder(folder), prefix(prefix), placement(placement), origin(origin) {}
  std::vector<Tile> & tiles;
  const std::string & folder;
  const std::string & prefix;
  const TilePlacement * placement;
  const GeoOrigin & origin;
  std::atomic<size_t> next{0}, done{0};
  std::atomic<bool> failed{false};
  std::mutex failure;
  std::string reason;
};

// Takes tiles until none is left, each made into GLB bytes and written; the picture is the
// thread's own, as a picture in memory serves one reader at a time.
void writeTiles(ContentWork & work, const PictureParts * picture, const std::function<void()> & tick)
{
  const TileFrame frame(work.placement, work.origin);
  for (size_t i; !work.failed && (i = work.next++) < work.tiles.size();) {
    Tile & tile = work.tiles[i];
    std::string glb;
    bool placed = true;
    std::string failure;
    if (glbOf(tile.view, frame, picture, glb, tile.bounds, placed)) {
      tile.uri = work.prefix + glbName(i);
      const std::string file = work.folder + "/" + glbName(i);
      if (!writeFile(file, glb)) failure = "cannot write " + file + ": " + std::strerror(errno);
    } else if (!placed) {
      failure = "a vertex of tile " + std::to_string(i) + " stands on no post of the raster, or PROJ cannot place it";
    }
    if (!failure.empty()) {
      const std::lock_guard<std::mutex> lock(work.failure);
      if (!work.failed.exchange(true)) work.reason = failure;
    }
    ++work.done;
    if (tick) tick();
  }
}

// Every tile's GLB into the folder, on as many threads as the tree is built on; false, with the
// reason, where one cannot be written. progress hears on the calling thread.
bool writeContent(std::vector<Tile> & tiles, const std::string & folder, const std::string & prefix,
                  const TilePlacement * placement, const GeoOrigin & origin, const SoTexture2 * texture,
                  const std::function<void(int64_t, int64_t)> & progress, std::string & reason)
{
  for (Tile & tile : tiles) {
    ChunkNodes nodes;
    if (findChunkNodes(tile.chunk, nodes)) tile.view = viewOf(nodes, true);
  }
  ContentWork work(tiles, folder, prefix, placement, origin);
  const int threads = std::max(1, std::min<int>(workerThreads(), int(tiles.size())));
  std::vector<std::unique_ptr<PictureParts>> pictures;
  for (int t = 0; t < threads && texture != nullptr; ++t)
    pictures.push_back(std::make_unique<PictureParts>(texture->image));
  auto pictureOfThread = [&pictures](int t) { return pictures.empty() ? nullptr : pictures[size_t(t)].get(); };
  std::vector<std::thread> helpers;
  for (int t = 1; t < threads; ++t)
    helpers.emplace_back(writeTiles, std::ref(work), pictureOfThread(t), std::function<void()>());
  writeTiles(work, pictureOfThread(0), [&] {
    if (progress) progress(int64_t(work.done), int64_t(tiles.size()));
  });
  for (std::thread & helper : helpers) helper.join();
  if (progress) progress(int64_t(tiles.size()), int64_t(tiles.size()));
  reason = work.reason;
  return !work.failed;
}

// The names of the GLB files written for the tiles.
std::vector<std::string> writtenFiles(const std::vector<Tile> & tiles)
{
  std::vector<std::string> files;
  for (size_t i = 0; i < tiles.size(); ++i) files.push_back(glbName(i));
  return files;
}

// tileset.json's text: the tile tree below the root's transform; false, with the reason, when
// there is nothing to show or a number would not be finite.
bool tilesetText(std::vector<Tile> & tiles, const GeoOrigin & origin, std::string & text,
                 std::string & reason)
{
  double rootError = 0.0;
  nlohmann::json root = tileJson(tiles, 0, rootError);
  if (root.is_null()) {
    reason = "the tree has no triangle to write";
    return false;
  }
  root["refine"] = "REPLACE";
  if (origin.placed) root["transform"] = transformOf(origin);
  const SbVec3f & low = tiles[0].bounds.getMin(), & high = tiles[0].bounds.getMax();
  double diagonal = 0.0;
  for (int i = 0; i < 3; ++i) diagonal += (double(high[i]) - low[i]) * (double(high[i]) - low[i]);
  const nlohmann::json tileset = {{"asset", {{"version", "1.1"}, {"generator", "Terravel"}}},
                                  {"geometricError", std::max(2.0 * rootError, std::sqrt(diagonal) / 20.0)},
                                  {"root", root}};
  if (!allFinite(tileset)) {
    reason = "the terrain's sizes or errors are too large to write as numbers";
    return false;
  }
  text = tileset.dump();
  return true;
}

// A new content folder in the tileset's, with the mode the file creation mask allows (a web
// server running as someone else must read it).
bool makeContentFolder(const std::string & folder, std::string & content, std::string & reason)
{
  content = folder + "/content-XXXXXX";
  if (mkdtemp(&content[0]) == nullptr || chmod(content.c_str(), 0777 & ~fileCreationMask()) != 0) {
    reason = "cannot make a folder in " + folder + ": " + std::strerror(errno);
    if (content.find('X') == std::string::npos) rmdir(content.c_str());
    return false;
  }
  return true;
}

// The tileset's folder held for one save at a time; released when it goes.
class FolderLock {
public:
  explicit FolderLock(const std::string & folder)
    : fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
  {
    if (fd >= 0) flock(fd, LOCK_EX);
  }
  ~FolderLock(void)
  {
    if (fd >= 0) close(fd);
  }
  FolderLock(const FolderLock &) = delete;
  FolderLock & operator=(const FolderLock &) = delete;

private:
  const int fd;
};

} // namespace

bool isTilesetName(const std::string & fileName)
{
  return fileNameOf(fileName) == "tileset.json";
}

WriteOutcome saveTileset(SoNode * tree, const SoTexture2 * texture, const GeoOrigin & origin,
                         const std::string & tilesetPath, const std::vector<std::string> & keepIntact,
                         const std::function<void(int64_t done, int64_t total)> & progress,
                         const TilePlacement * placement)
{
  WriteOutcome outcome;
  outcome.status = WriteStatus::REFUSED;
  struct stat info;
  for (const std::string & kept : keepIntact)
    if (sameFile(tilesetPath, kept)) {
      outcome.reason = tilesetPath + " is a file this run reads";
      return outcome;
    }
  if (stat(tilesetPath.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    outcome.reason = tilesetPath + " is there and is not a regular file";
    return outcome;
  }
  outcome.status = WriteStatus::FAILED;
  const std::string folder = folderOf(tilesetPath);
  std::vector<std::string> madeFolders;
  std::string content;
  if (!makeFolders(folder, madeFolders, outcome.reason)) return outcome;
  const FolderLock lock(folder);
  if (!makeContentFolder(folder, content, outcome.reason)) {
    removeMadeFolders(madeFolders);
    return outcome;
  }
  std::vector<Tile> tiles;
  collectTiles(tree, tiles);
  PendingFolder pending(content, ".glb");
  pending.reach(int64_t(tiles.size()));
  std::string text;
  if (!writeContent(tiles, content, fileNameOf(content) + "/", placement, origin, texture, progress,
                    outcome.reason) ||
      !tilesetText(tiles, origin, text, outcome.reason)) {
    removeContent(content, writtenFiles(tiles), keepIntact);
    removeMadeFolders(madeFolders);
    return outcome;
  }
  // The content on disk before the tileset that names it.
  const int fd = open(content.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    syncfs(fd);
    close(fd);
  }
  const EarlierContent earlier = earlierContentOf(tilesetPath);
  outcome = writeTogether({{tilesetPath, [&text](int out) { return writeAll(out, text.data(), text.size()); }}},
                          keepIntact, &pending);
  if (!outcome.written()) {
    removeContent(content, writtenFiles(tiles), keepIntact);
    removeMadeFolders(madeFolders);
  } else if (!earlier.folder.empty() && !sameFile(earlier.folder, content)) {
    removeContent(earlier.folder, earlier.files, keepIntact);
  }
  return outcome;
}
