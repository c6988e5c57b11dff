// The tiled build: levels from the window up, each level's tiles dealt to the threads; a tile
// already complete from an earlier run (record and content checked) is kept; tileset.json last.

#include "geodeticbuild.h"

#include "buildparts.h"
#include "containedrun.h"
#include "paths.h"
#include "safewrite.h"
#include "terrainlayer.h"
#include "tilecontent.h"
#include "tilework.h"
#include "workerthreads.h"

#include <cpl_error.h>
#include <gdal.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const uint64_t mebibyte = uint64_t(1) << 20;
// What the program holds besides its tiles: code, libraries, the lists of the build.
const uint64_t baseBytes = 96 * mebibyte;
// Bytes a post of a tile's window costs while it is built, everything counted.
const uint64_t bytesPerPost = 240;

std::string describeErrno(const std::string & what)
{
  return what + " (" + std::strerror(errno) + ")";
}

bool readWhole(const std::string & path, std::string & bytes)
{
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (ok) {
    bytes.resize(size_t(info.st_size));
    size_t at = 0;
    while (ok && at < bytes.size()) {
      const ssize_t n = read(fd, &bytes[at], bytes.size() - at);
      if (n <= 0) ok = false;
      else at += size_t(n);
    }
  }
  close(fd);
  return ok;
}

// The build's files: content by address, records and half-written files in .build.
class BuildFolder {
public:
  explicit BuildFolder(const std::string & folder) : folder(folder) {}

  bool prepare(std::string & reason)
  {
    std::vector<std::string> made;
    if (!makeFolders(temporary(), made, reason)) return false;
    // What an interrupted run left half-written goes.
    if (DIR * dir = opendir(temporary().c_str())) {
      while (const dirent * entry = readdir(dir))
        if (entry->d_name[0] != '.') {
          const std::string left = temporary() + "/" + entry->d_name;
          std::string why;
          if (mayReplace(left, why)) unlink(left.c_str());
        }
      closedir(dir);
    }
    return true;
  }
  std::string contentOf(const TileAddress & tile) const { return folder + "/" + tile.path() + ".glb"; }
  std::string recordOf(const TileAddress & tile) const { return folder + "/.build/" + tile.path() + ".record"; }
  std::string temporary(void) const { return folder + "/.build/tmp"; }

  // Files the build reads: never replaced, wherever they lie.
  void keepIntact(const std::vector<std::string> & files)
  {
    for (const std::string & file : files) {
      struct stat info;
      if (stat(file.c_str(), &info) == 0) read.emplace(info.st_dev, info.st_ino);
    }
  }

  // Into a file beside the others, then renamed into place: a reader sees the whole or nothing.
  bool write(const std::string & target, const std::string & bytes, std::string & reason)
  {
    if (!mayReplace(target, reason) || !ensureFolder(folderOf(target), reason)) return false;
    const std::string temp = temporary() + "/" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return reason = describeErrno("cannot write " + target), false;
    size_t at = 0;
    while (at < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
      if (n <= 0) break;
      at += size_t(n);
    }
    const bool whole = at == bytes.size();
    if (close(fd) != 0 || !whole || rename(temp.c_str(), target.c_str()) != 0) {
      reason = describeErrno("cannot write " + target);
      unlink(temp.c_str());
      return false;
    }
    return true;
  }

  // An earlier tile that is no more.
  bool remove(const std::string & target, std::string & reason)
  {
    if (!mayReplace(target, reason)) return false;
    unlink(target.c_str());
    return true;
  }

private:
  bool mayReplace(const std::string & target, std::string & reason) const
  {
    struct stat info;
    if (stat(target.c_str(), &info) == 0 && read.count({info.st_dev, info.st_ino}))
      return reason = target + " is a file this build reads", false;
    return true;
  }

  bool ensureFolder(const std::string & path, std::string & reason)
  {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (made.count(path)) return true;
    }
    std::vector<std::string> folders;
    if (!makeFolders(path, folders, reason)) return false;
    std::lock_guard<std::mutex> lock(mutex);
    made.insert(path);
    return true;
  }

  std::string folder;
  std::mutex mutex;
  std::set<std::string> made;
  std::set<std::pair<dev_t, ino_t>> read;
  std::atomic<uint64_t> counter{0};
};

// What the build is made from: the program's way of building, the input and every file it
// reads (by size and time), the settings. A record made otherwise is not this build's.
uint64_t settingsHash(const TileSource & source, double maxError, int deepest, int shallowest, bool terrain)
{
  std::string text = terrain ? "terravel geodetic terrain 1\n" : "terravel geodetic tiles 1\n";
  char * real = realpath(source.path().c_str(), nullptr);
  text += std::string(real != nullptr ? real : source.path()) + "\n";
  std::free(real);
  for (const std::string & file : source.sources()) {
    struct stat info;
    if (stat(file.c_str(), &info) != 0) continue;
    text += file + " " + std::to_string(info.st_size) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
            std::to_string(info.st_mtim.tv_nsec) + "\n";
  }
  char numbers[256];
  std::snprintf(numbers, sizeof numbers, "%.17g %.17g %d %d\n", double(source.options().zScale), maxError, deepest,
                shallowest);
  text += numbers;
  text += source.options().verticalDatum + "\n" + source.options().texture + "\n";
  return hashBytes(text.data(), text.size());
}

// An eighth of the distance between neighbouring posts at the raster's middle, through PROJ.
double defaultMaxError(const TileSource & source, const TileLattice & lattice)
{
  PostPlacer placer(source, lattice);
  const int64_t c = source.grid().columns / 2, r = source.grid().rows / 2;
  const int64_t columns[2] = {c, c}, rows[2] = {r, std::min(r + 1, source.grid().rows - 1)};
  const float heights[2] = {0.0f, 0.0f};
  double at[6], ellipsoidal[2];
  if (rows[1] == r || !placer.place(2, columns, rows, heights, at, ellipsoidal)) return 1.0;
  return std::hypot(at[3] - at[0], at[4] - at[1], at[5] - at[2]) / 8.0;
}

// The raster's size: the longest chord between its corners and the middles of its sides, on the
// ellipsoid, through PROJ; 0 where PROJ cannot place them.
double extentOf(const TileSource & source, const TileLattice & lattice)
{
  PostPlacer placer(source, lattice);
  const int64_t c = source.grid().columns - 1, r = source.grid().rows - 1;
  const int64_t columns[8] = {0, c / 2, c, c, c, c / 2, 0, 0}, rows[8] = {0, 0, 0, r / 2, r, r, r, r / 2};
  const float heights[8] = {};
  double at[24], ellipsoidal[8];
  if (!placer.place(8, columns, rows, heights, at, ellipsoidal)) return 0.0;
  double longest = 0.0;
  for (int i = 0; i < 8; ++i)
    for (int j = i + 1; j < 8; ++j)
      longest = std::max(longest, std::hypot(at[3 * j] - at[3 * i], at[3 * j + 1] - at[3 * i + 1], at[3 * j + 2] - at[3 * i + 2]));
  return longest;
}

// Whether the target is a terrain layer's layer.json rather than a tileset.
bool terrainTarget(const std::string & target)
{
  const size_t slash = target.find_last_of('/');
  return target.substr(slash == std::string::npos ? 0 : slash + 1) == "layer.json";
}

class Builder {
public:
  Builder(const GeodeticSettings & settings, const std::function<void(const GeodeticProgress &)> & progress)
    : settings(settings), progress(progress), folder(folderOf(settings.target))
  {
  }
  GeodeticOutcome run(void);

private:
  bool plan(std::string & reason);
  bool planParts(int first, std::string & reason);
  bool readMarks(int & parts, std::string & reason);
  bool complete(const TileAddress & tile, int64_t & contents);
  bool level(int z, std::string & reason);
  bool tilesetJson(std::string & reason);
  bool terrainLayer(std::string & reason);
  bool writeLast(const std::string & text, std::string & reason);
  nlohmann::json tileJson(const TileRecord & record, double & error);

  const GeodeticSettings & settings;
  const std::function<void(const GeodeticProgress &)> & progress;
  GeodeticOutcome outcome;
  TileSource source;
  std::unique_ptr<TileLattice> lattice;
  BuildFolder folder;
  TileBuild build;
  int threads = 1;
  std::map<int, std::vector<TileAddress>> levels; // the tiles this run builds, by level
  std::vector<TileAddress> tops;                  // the shallowest level's
  int split = -1, partIndex = -1, partCount = 0;
  std::atomic<int64_t> done{0}, reusedTasks{0}, reused{0}, contents{0};
  int64_t total = 0;
  std::chrono::steady_clock::time_point began;
};

bool Builder::plan(std::string & reason)
{
  if (!source.open(settings.input, settings.raster, reason)) return false;
  for (const std::string & file : source.sources())
    if (sameFile(file, settings.target)) return reason = settings.target + " is a file this build reads", false;
  folder.keepIntact(source.sources());
  lattice = std::make_unique<TileLattice>(source.grid());
  outcome.deepest = settings.level >= 0 ? settings.level : lattice->deepestLevel();
  outcome.shallowest = std::min(outcome.deepest, lattice->shallowestLevel(outcome.deepest));
  outcome.maxError = settings.maxError > 0.0 ? settings.maxError : defaultMaxError(source, *lattice);
  // The memory a tile built from its window takes: its posts and a border, all it holds.
  const int first = outcome.deepest > outcome.shallowest ? outcome.deepest - 1 : outcome.deepest;
  const double spacing = std::min(std::fabs(source.grid().gt[1]), std::fabs(source.grid().gt[5]));
  const double side = tileDegrees(first) / spacing + 3.0;
  const uint64_t perTile = uint64_t(side * side) * bytesPerPost + 4 * mebibyte;
  uint64_t budget = settings.memory > 0 ? settings.memory : availableMemory() / 4;
  if (budget == 0) budget = uint64_t(1) << 30;
  // GDAL's cache of blocks: an eighth of the budget, within what one tile leaves of it.
  const uint64_t least = 16 * mebibyte;
  if (budget < baseBytes + least + perTile) {
    reason = "a memory budget of " + std::to_string(budget / mebibyte) + " MiB is too small for one tile of " +
             settings.input + ": it needs about " + std::to_string((baseBytes + least + perTile) / mebibyte + 1) +
             " MiB (--memory)";
    return false;
  }
  const uint64_t cache =
    std::max(least, std::min<uint64_t>({256 * mebibyte, budget / 8, budget - baseBytes - perTile}));
  GDALSetCacheMax64(GIntBig(cache));
  const int wanted = settings.threads > 0 ? settings.threads : workerThreads();
  threads = int(std::max<uint64_t>(1, std::min<uint64_t>(uint64_t(wanted), (budget - baseBytes - cache) / perTile)));
  build.source = &source;
  build.lattice = lattice.get();
  build.deepest = outcome.deepest;
  build.maxError = outcome.maxError;
  build.spanDegrees = std::min(360.0, std::max(double(source.grid().columns) * std::fabs(source.grid().gt[1]),
                                               double(source.grid().rows) * std::fabs(source.grid().gt[5])));
  build.terrain = terrainTarget(settings.target);
  build.settings = settingsHash(source, outcome.maxError, outcome.deepest, outcome.shallowest, build.terrain);
  build.save = [this](const TileRecord & record, const std::string & content, std::string & why) {
    const std::string glb = folder.contentOf(record.address);
    if (record.empty || content.empty()) {
      if (!folder.remove(glb, why)) return false;
    } else if (!folder.write(glb, content, why)) {
      return false;
    }
    return folder.write(folder.recordOf(record.address), encodeRecord(record), why);
  };
  build.load = [this](const TileAddress & tile, TileRecord & record) {
    std::string bytes;
    return readWhole(folder.recordOf(tile), bytes) && decodeRecord(bytes, record) && record.address == tile &&
           record.settings == build.settings;
  };
  if (!folder.prepare(reason)) return false;
  tops = lattice->tilesOf(outcome.shallowest);
  if (settings.parts > 0 || settings.merge) return planParts(first, reason);
  for (int z = outcome.shallowest; z <= first; ++z) {
    levels[z] = z == outcome.shallowest ? tops : lattice->tilesOf(z);
    total += int64_t(levels[z].size());
  }
  return true;
}

// The records the parts left: the number of parts from them, and every one of them there and
// made by this build, or a refusal that names the parts missing or made otherwise.
bool Builder::readMarks(int & parts, std::string & reason)
{
  const std::string where = folderOf(settings.target) + "/.build/parts";
  std::vector<PartMark> marks;
  if (DIR * dir = opendir(where.c_str())) {
    while (const dirent * entry = readdir(dir)) {
      std::string text;
      PartMark mark;
      if (entry->d_name[0] != '.' && readWhole(where + "/" + entry->d_name, text) && decodeMark(text, mark) &&
          std::string(entry->d_name) == markName(mark.index, mark.count))
        marks.push_back(mark);
    }
    closedir(dir);
  }
  if (marks.empty()) return reason = "no part of this build has finished in " + folderOf(settings.target), false;
  std::sort(marks.begin(), marks.end(), [](const PartMark & a, const PartMark & b) {
    return a.count != b.count ? a.count < b.count : a.index < b.index;
  });
  parts = marks.back().count;
  std::string missing, other;
  for (int i = 0; i < parts; ++i) {
    const auto found = std::find_if(marks.begin(), marks.end(), [&](const PartMark & m) { return m.index == i && m.count == parts; });
    if (found == marks.end()) missing += (missing.empty() ? "" : ", ") + std::to_string(i);
    else if (found->settings != build.settings || (settings.splitLevel >= 0 && found->split != settings.splitLevel) ||
             found->split != marks.back().split)
      other += (other.empty() ? "" : ", ") + std::to_string(i);
  }
  for (const PartMark & m : marks)
    if (m.count != parts) other += (other.empty() ? "" : ", ") + std::to_string(m.index) + " of " + std::to_string(m.count);
  if (!missing.empty() || !other.empty()) {
    reason = "the merge needs all " + std::to_string(parts) + " parts, made from these inputs and settings: ";
    const auto many = [](const std::string & list) { return list.find(',') != std::string::npos; };
    if (!missing.empty()) reason += (many(missing) ? "parts " : "part ") + missing + (many(missing) ? " have" : " has") + " not finished";
    if (!missing.empty() && !other.empty()) reason += "; ";
    if (!other.empty())
      reason += (many(other) ? "parts " : "part ") + other + (many(other) ? " were" : " was") + " made from other inputs or settings";
    reason += " (run them again with --part I/" + std::to_string(parts) + "); nothing written";
    return false;
  }
  split = marks.back().split;
  return true;
}

// Part I of N builds the subtrees of the tiles of the split level dealt to it; the merge the
// levels above.
bool Builder::planParts(int first, std::string & reason)
{
  int parts = settings.parts;
  if (settings.merge) {
    if (!readMarks(parts, reason)) return false;
  } else {
    partIndex = settings.part;
    if (partIndex < 0 && !indexFromScheduler(partIndex, reason)) return false;
    if (partIndex >= parts) {
      reason = "part " + std::to_string(partIndex) + " of " + std::to_string(parts) + " does not exist: parts count from 0";
      return false;
    }
    split = settings.splitLevel >= 0 ? std::max(outcome.shallowest, std::min(first, settings.splitLevel))
                                     : splitLevelFor(*lattice, outcome.shallowest, first, parts);
  }
  partCount = parts;
  if (settings.merge) {
    for (int z = outcome.shallowest; z < split; ++z) {
      levels[z] = z == outcome.shallowest ? tops : lattice->tilesOf(z);
      total += int64_t(levels[z].size());
    }
    return true;
  }
  const std::vector<TileAddress> splitTiles = lattice->tilesOf(split);
  const std::vector<int> dealt = dealTiles(source, splitTiles, parts);
  std::set<TileAddress> mine;
  for (size_t i = 0; i < splitTiles.size(); ++i)
    if (dealt[i] == partIndex) mine.insert(splitTiles[i]);
  for (int z = split; z <= first; ++z) {
    std::vector<TileAddress> & tiles = levels[z];
    for (const TileAddress & tile : z == split ? splitTiles : lattice->tilesOf(z)) {
      const int up = z - split;
      if (mine.count({split, tile.x >> up, tile.y >> up})) tiles.push_back(tile);
    }
    total += int64_t(tiles.size());
  }
  return true;
}

// A tile of an earlier run of this build, whole: its record, and its content as recorded.
bool Builder::complete(const TileAddress & tile, int64_t & contents)
{
  TileRecord record;
  if (!build.load(tile, record)) return false;
  if (record.empty) return true;
  // A terrain layer's tiles are made from the records afterwards.
  if (build.terrain) return true;
  std::string bytes;
  if (!readWhole(folder.contentOf(tile), bytes) || bytes.size() != record.contentSize ||
      hashBytes(bytes.data(), bytes.size()) != record.contentHash)
    return false;
  ++contents;
  return true;
}

bool Builder::level(int z, std::string & reason)
{
  const std::vector<TileAddress> & tiles = levels[z];
  const bool fromPosts = z == outcome.deepest || z == outcome.deepest - 1;
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex mutex;
  std::condition_variable finished;
  int running = threads;
  std::string firstReason;
  const auto work = [&]() {
    TileTools tools(build);
    if (!tools.reader.valid() || !tools.placer.valid()) {
      std::lock_guard<std::mutex> lock(mutex);
      if (!failed.exchange(true))
        firstReason = tools.reader.valid() ? "PROJ cannot place " + settings.input + " on the Earth: " + tools.placer.reason()
                                           : "GDAL cannot open " + settings.input + " again";
    }
    for (size_t i = next++; i < tiles.size() && !failed; i = next++) {
      const TileAddress & tile = tiles[i];
      int64_t kept = 0;
      bool whole = complete(tile, kept);
      if (whole && z == outcome.deepest - 1)
        for (int k = 0; k < 4 && whole; ++k) whole = complete(tile.child(k), kept);
      std::string why;
      if (whole) {
        reused += kept;
        ++reusedTasks;
      }
      else if (!(fromPosts ? buildFromPosts(build, tools, tile, why) : buildFromChildren(build, tools, tile, why))) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!failed.exchange(true)) firstReason = why;
      }
      ++done;
    }
    std::lock_guard<std::mutex> lock(mutex);
    --running;
    finished.notify_all();
  };
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) workers.emplace_back(work);
  {
    std::unique_lock<std::mutex> lock(mutex);
    while (running > 0) {
      finished.wait_for(lock, std::chrono::milliseconds(500));
      if (progress) {
        GeodeticProgress p;
        p.done = done;
        p.total = total;
        p.reused = reusedTasks;
        p.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        lock.unlock();
        progress(p);
        lock.lock();
      }
    }
  }
  for (std::thread & worker : workers) worker.join();
  if (failed) reason = firstReason;
  return !failed;
}

nlohmann::json Builder::tileJson(const TileRecord & record, double & error)
{
  nlohmann::json tile;
  tile["boundingVolume"]["region"] = std::vector<double>(record.region, record.region + 6);
  tile["geometricError"] = record.error;
  tile["refine"] = "REPLACE";
  tile["content"]["uri"] = record.address.path() + ".glb";
  error = std::max(error, record.error);
  ++contents;
  if (record.address.level >= outcome.deepest) return tile;
  nlohmann::json children = nlohmann::json::array();
  for (int k = 0; k < 4; ++k) {
    TileRecord child;
    if (build.load(record.address.child(k), child) && !child.empty) {
      double ignored = 0.0;
      children.push_back(tileJson(child, ignored));
    }
  }
  if (!children.empty()) tile["children"] = children;
  return tile;
}

// The tree of tiles from the shallowest level, its root the one tile there or a tile without
// content over the two of level 0.
bool Builder::tilesetJson(std::string & reason)
{
  std::vector<nlohmann::json> roots;
  double error = 0.0;
  double region[6] = {M_PI, M_PI / 2, -M_PI, -M_PI / 2, HUGE_VAL, -HUGE_VAL};
  bool wraps = false;
  for (const TileAddress & tile : tops) {
    TileRecord record;
    if (!build.load(tile, record)) return reason = "the record of tile " + tile.path() + " is missing", false;
    if (record.empty) continue;
    roots.push_back(tileJson(record, error));
    wraps = wraps || record.region[0] > record.region[2];
    region[0] = std::min(region[0], record.region[0]);
    region[2] = std::max(region[2], record.region[2]);
    region[1] = std::min(region[1], record.region[1]);
    region[3] = std::max(region[3], record.region[3]);
    region[4] = std::min(region[4], record.region[4]);
    region[5] = std::max(region[5], record.region[5]);
  }
  if (roots.empty()) return reason = settings.input + " has no cell of four valid posts (all nodata?)", false;
  nlohmann::json root;
  if (roots.size() == 1) {
    root = roots.front();
  } else {
    if (wraps) {
      region[0] = -M_PI;
      region[2] = M_PI;
    }
    // The tiles of the top level under one without content: shown alone it shows nothing, so
    // its error is the whole terrain's, as the tileset's is.
    root["boundingVolume"]["region"] = std::vector<double>(region, region + 6);
    root["geometricError"] = std::max(2.0 * error, extentOf(source, *lattice) / 20.0);
    root["refine"] = "REPLACE";
    root["children"] = roots;
  }
  nlohmann::json tileset;
  tileset["asset"] = {{"version", "1.1"}, {"generator", "Terravel"}};
  // Leaving the whole tileset out loses all of the terrain: a viewer is to draw it until it is
  // a few pixels across, not only until its top tile's error is.
  tileset["geometricError"] = std::max(2.0 * root["geometricError"].get<double>(), extentOf(source, *lattice) / 20.0);
  nlohmann::json grid;
  grid["geoTransform"] = std::vector<double>(source.grid().gt, source.grid().gt + 6);
  grid["columns"] = source.grid().columns;
  grid["rows"] = source.grid().rows;
  grid["warped"] = source.warped();
  nlohmann::json extras;
  extras["tiling"] = "geodetic";
  extras["source"] = settings.input;
  extras["grid"] = grid;
  const RasterPlacement & place = source.placement();
  extras["verticalDatum"] = place.datum == VerticalDatum::EGM96   ? "egm96"
                            : place.datum == VerticalDatum::GRID  ? place.datumFile
                            : place.datum == VerticalDatum::RASTER ? "raster"
                                                                   : "ellipsoid";
  extras["maxError"] = outcome.maxError;
  extras["levels"] = {outcome.shallowest, outcome.deepest};
  tileset["extras"]["terravel"] = extras;
  tileset["root"] = root;
  return writeLast(tileset.dump(1) + "\n", reason);
}

// The file that names the tiles, once they are on disk.
bool Builder::writeLast(const std::string & text, std::string & reason)
{
  const int dir = open(folderOf(settings.target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    syncfs(dir);
    close(dir);
  }
  const WriteOutcome written = writeTogether(
    {{settings.target, [&text](int out) { return writeAll(out, text.data(), text.size()); }}}, source.sources());
  if (!written.written()) return reason = written.reason, false;
  return true;
}

bool Builder::terrainLayer(std::string & reason)
{
  TerrainLayerPlan plan;
  plan.build = &build;
  plan.shallowest = outcome.shallowest;
  plan.deepest = outcome.deepest;
  plan.tops = tops;
  plan.threads = threads;
  const std::string dir = folderOf(settings.target);
  plan.write = [this, &dir](const std::string & name, const std::string & bytes, std::string & why) {
    return folder.write(dir + "/" + name, bytes, why);
  };
  TerrainLayerOutcome layer;
  if (!buildTerrainLayer(plan, layer, reason)) return false;
  outcome.lines.insert(outcome.lines.end(), layer.lines.begin(), layer.lines.end());
  contents = layer.tiles;
  return writeLast(layer.layerJson, reason);
}

GeodeticOutcome Builder::run(void)
{
  std::string reason;
  if (!plan(reason)) {
    outcome.reason = reason;
    return outcome;
  }
  char line[512];
  if (outcome.shallowest < outcome.deepest)
    std::snprintf(line, sizeof line, "Tiles: levels %d to %d of the geodetic grid, the last keeping every post, "
                  "the one above within %.3g m, twice that each level up; %d thread%s",
                  outcome.shallowest, outcome.deepest, outcome.maxError, threads, threads == 1 ? "" : "s");
  else
    std::snprintf(line, sizeof line, "Tiles: level %d of the geodetic grid, keeping every post; %d thread%s",
                  outcome.deepest, threads, threads == 1 ? "" : "s");
  outcome.lines.push_back(source.heightsNote());
  outcome.lines.push_back(line);
  if (partIndex >= 0) {
    std::snprintf(line, sizeof line, "Part %d of %d: %lld tiles from level %d down", partIndex, partCount,
                  static_cast<long long>(total), split);
    outcome.lines.push_back(line);
  } else if (settings.merge) {
    std::snprintf(line, sizeof line, "Merge of %d parts: %lld tiles above level %d", partCount,
                  static_cast<long long>(total), split);
    outcome.lines.push_back(line);
  }
  began = std::chrono::steady_clock::now();
  for (auto it = levels.rbegin(); it != levels.rend(); ++it)
    if (!level(it->first, reason)) {
      outcome.reason = reason;
      return outcome;
    }
  if (partIndex >= 0) {
    // The part's record, once its every tile stands: what the merge looks for.
    PartMark mark;
    mark.index = partIndex;
    mark.count = partCount;
    mark.split = split;
    mark.settings = build.settings;
    if (!folder.write(folderOf(settings.target) + "/.build/parts/" + markName(partIndex, partCount), encodeMark(mark),
                      reason)) {
      outcome.reason = reason;
      return outcome;
    }
    outcome.built = true;
    outcome.tiles = done;
    outcome.reused = reused;
    return outcome;
  }
  if (!(build.terrain ? terrainLayer(reason) : tilesetJson(reason))) {
    outcome.reason = reason;
    return outcome;
  }
  outcome.built = true;
  outcome.tiles = contents;
  outcome.reused = reused;
  return outcome;
}

} // namespace

GeodeticOutcome buildGeodeticTileset(const GeodeticSettings & settings,
                                     const std::function<void(const GeodeticProgress &)> & progress)
{
  // GDAL's messages come back as the reasons of a refusal, never as lines of their own: the
  // handler is the process's, so that the worker threads are quiet too.
  const CPLErrorHandler earlier = CPLSetErrorHandler(CPLQuietErrorHandler);
  GeodeticOutcome outcome;
  {
    Builder builder(settings, progress);
    outcome = builder.run();
  }
  CPLSetErrorHandler(earlier);
  return outcome;
}
