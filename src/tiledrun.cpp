#include "tiledrun.h"

#include "geodeticbuild.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

std::string clock(double seconds)
{
  const long s = long(seconds + 0.5);
  char text[32];
  if (s >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

// One line on a terminal, rewritten: tiles done of the total, and the time left at the pace of
// the tiles built so far (those kept from an earlier run cost next to nothing).
class ProgressLine {
public:
  ProgressLine(void) : shown(isatty(2) != 0) {}
  ~ProgressLine(void) { clear(); }
  ProgressLine(const ProgressLine &) = delete;
  ProgressLine & operator=(const ProgressLine &) = delete;

  void operator()(const GeodeticProgress & p)
  {
    if (!shown || p.total == 0) return;
    std::string line = "Tiles: " + std::to_string(p.done) + " of " + std::to_string(p.total);
    const int64_t built = p.done - p.reused;
    if (built > 0 && p.done < p.total)
      line += ", " + clock(p.seconds / double(built) * double(p.total - p.done)) + " left";
    if (p.reused > 0) line += " (" + std::to_string(p.reused) + " kept)";
    std::fprintf(stderr, "\r%-*s", int(last), line.c_str());
    last = line.size();
  }
  void clear(void)
  {
    if (last > 0) std::fprintf(stderr, "\r%*s\r", int(last), "");
    last = 0;
  }

private:
  const bool shown;
  size_t last = 0;
};

} // namespace

int runTiledBuild(const char * fileName, const Settings & s, const LongOptions & extras)
{
  if (s.operation != 0) {
    std::fprintf(stderr, "--tiling builds the tiles of run mode 0 (-operation is %d).\n", s.operation);
    return 1;
  }
  if (s.level != -1 && (s.level < 0 || s.level > 30)) {
    std::fprintf(stderr, "-level for a tiled build takes a level of the grid from 0 to 30, not %d.\n", s.level);
    return 1;
  }
  GeodeticSettings settings;
  settings.input = fileName;
  settings.raster = extras.raster;
  settings.target = extras.saveTree;
  settings.maxError = extras.reduction.maxError;
  settings.level = s.level;
  settings.memory = extras.memory;
  settings.part = extras.part;
  settings.parts = extras.parts;
  settings.merge = extras.merge;
  settings.splitLevel = extras.splitLevel;
  std::printf("Tiling %s ...\n", fileName);
  std::fflush(stdout);
  const auto started = std::chrono::steady_clock::now();
  ProgressLine line;
  const GeodeticOutcome outcome = buildGeodeticTileset(settings, [&line](const GeodeticProgress & p) { line(p); });
  line.clear();
  for (const std::string & text : outcome.lines)
    if (!text.empty()) std::printf("%s\n", text.c_str());
  if (!outcome.built) {
    std::fflush(stdout);
    std::fprintf(stderr, "terravel: %s\n", outcome.reason.c_str());
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (extras.parts > 0) {
    std::printf("Part done in %s", clock(seconds).c_str());
    if (outcome.reused > 0) std::printf(" (%lld content files built before, checked and kept)", static_cast<long long>(outcome.reused));
    std::printf("\n");
    std::fflush(stdout);
    return 0;
  }
  std::printf("Saved %s: %lld tile%s", extras.saveTree.c_str(), static_cast<long long>(outcome.tiles),
              outcome.tiles == 1 ? "" : "s");
  if (outcome.reused > 0) std::printf(" (%lld of them built before, checked and kept)", static_cast<long long>(outcome.reused));
  std::printf(" in %s\n", clock(seconds).c_str());
  std::fflush(stdout);
  return 0;
}
