#include "buildparts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <numeric>

int splitLevelFor(const TileLattice & lattice, int shallowest, int first, int parts)
{
  for (int z = shallowest; z < first; ++z)
    if (int64_t(lattice.tilesOf(z).size()) >= 4 * int64_t(parts)) return z;
  return first;
}

std::vector<int> dealTiles(const TileSource & source, const std::vector<TileAddress> & tiles, int parts)
{
  // Valid posts of the sampled picture, each counted for the tile of the split level that
  // holds its cell.
  std::map<TileAddress, int64_t> posts;
  for (const TileAddress & tile : tiles) posts[tile] = 0;
  const PostGrid & grid = source.grid();
  const int bw = source.sampleWidth(), bh = source.sampleHeight();
  const std::vector<float> & sample = source.sample();
  const int level = tiles.empty() ? 0 : tiles.front().level;
  const double size = tileDegrees(level);
  for (int j = 0; j < bh; ++j)
    for (int i = 0; i < bw; ++i) {
      if (!std::isfinite(sample[size_t(j) * size_t(bw) + size_t(i)])) continue;
      const int64_t c = int64_t(std::floor((i + 0.5) * double(grid.columns) / bw));
      const int64_t r = int64_t(std::floor((j + 0.5) * double(grid.rows) / bh));
      double lon = std::fmod(grid.longitudeOf(double(c) + 1.0) + 180.0, 360.0);
      if (lon < 0.0) lon += 360.0;
      const double lat = grid.latitudeOf(double(r) + 1.0) + 90.0;
      const TileAddress tile{level, int64_t(lon / size), std::min<int64_t>((int64_t(1) << level) - 1, int64_t(lat / size))};
      const auto found = posts.find(tile);
      if (found != posts.end()) ++found->second;
    }
  // Largest first, ties by address; each to the part with the fewest so far, ties to the first.
  std::vector<size_t> order(tiles.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const int64_t pa = posts[tiles[a]], pb = posts[tiles[b]];
    return pa != pb ? pa > pb : tiles[a] < tiles[b];
  });
  std::vector<int64_t> load(size_t(std::max(1, parts)), 0);
  std::vector<int> part(tiles.size(), 0);
  for (const size_t t : order) {
    const size_t least = size_t(std::min_element(load.begin(), load.end()) - load.begin());
    part[t] = int(least);
    load[least] += posts[tiles[t]] + 1;
  }
  return part;
}

std::string encodeMark(const PartMark & mark)
{
  char text[256];
  std::snprintf(text, sizeof text, "terravel part %d of %d\nsettings %016llx\nsplit level %d\n", mark.index, mark.count,
                static_cast<unsigned long long>(mark.settings), mark.split);
  return text;
}

bool decodeMark(const std::string & text, PartMark & mark)
{
  unsigned long long settings = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "terravel part %d of %d\nsettings %llx\nsplit level %d\n%n", &mark.index, &mark.count,
                  &settings, &mark.split, &used) != 4 || size_t(used) != text.size())
    return false;
  mark.settings = settings;
  return mark.count > 0 && mark.index >= 0 && mark.index < mark.count;
}

std::string markName(int index, int count)
{
  return "part-" + std::to_string(index) + "-of-" + std::to_string(count);
}

bool indexFromScheduler(int & index, std::string & reason)
{
  for (const char * name : {"SLURM_ARRAY_TASK_ID", "JOB_COMPLETION_INDEX", "AWS_BATCH_JOB_ARRAY_INDEX"}) {
    const char * value = std::getenv(name);
    if (value == nullptr) continue;
    char * end = nullptr;
    const long n = std::strtol(value, &end, 10);
    if (*value == '\0' || *end != '\0' || n < 0 || n > 1000000) {
      reason = std::string(name) + " is \"" + value + "\", no part's index";
      return false;
    }
    index = int(n);
    return true;
  }
  reason = "--part env/N takes the part's index from SLURM_ARRAY_TASK_ID, JOB_COMPLETION_INDEX or "
           "AWS_BATCH_JOB_ARRAY_INDEX, and none is set";
  return false;
}
