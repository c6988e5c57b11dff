// The saved tree for other viewers, in one run: the tree of a terrain at one level saved as the
// toolkit's text and binary formats and as 3D Tiles; sizes, save times against the build's, and
// how fast the toolkit reads each scene file back (best of two reads each, taken in turns).
// Usage: bench_save [terrain [level [folder for the files]]]

#include "chunkreduction.h"
#include "shownpath.h"
#include "terrainmodel.h"

#include <Inventor/SbTime.h>
#include <Inventor/SoDB.h>
#include <Inventor/SoInput.h>
#include <Inventor/nodes/SoSeparator.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

double now(void) { return SbTime::getTimeOfDay().getValue(); }

// Bytes in a file, or in every file of a folder and the folders below it.
double bytesOf(const std::string & path)
{
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return 0.0;
  if (!S_ISDIR(info.st_mode)) return double(info.st_size);
  double total = 0.0;
  DIR * dir = opendir(path.c_str());
  while (const dirent * entry = dir != nullptr ? readdir(dir) : nullptr)
    if (entry->d_name[0] != '.') total += bytesOf(path + "/" + entry->d_name);
  if (dir != nullptr) closedir(dir);
  return total;
}

// Seconds the toolkit takes to read the file into a scene; negative when it cannot.
double readSeconds(const std::string & file)
{
  const double t0 = now();
  SoInput in;
  if (!in.openFile(file.c_str())) return -1.0;
  SoSeparator * scene = SoDB::readAll(&in);
  const double seconds = now() - t0;
  if (scene == nullptr) return -1.0;
  scene->ref();
  scene->unref();
  return seconds;
}

// Seconds a save takes, or negative when it fails.
template <class Save> double timed(Save save)
{
  const double t0 = now();
  return save() ? now() - t0 : -1.0;
}

} // namespace

int main(int argc, char ** argv)
{
  const char * path = argc > 1 ? argv[1] : TERRAVEL_SHARED_DATA "/dem/N57E011.hgt";
  const int level = argc > 2 ? std::atoi(argv[2]) : 8;
  std::string folder = argc > 3 ? argv[3] : "/tmp/bench_save-XXXXXX";
  if (argc <= 3 && mkdtemp(&folder[0]) == nullptr) return 1;
  SoDB::init();

  TerrainModel model;
  if (!model.load(path)) return 1;
  double t0 = now();
  SoSeparator * plain = model.buildTree(level, 50);
  const double build = now() - t0;
  ReductionSettings measured;
  measured.measure = true;
  t0 = now();
  SoSeparator * tree = model.buildTree(level, 50, TerrainModel::TreeProgress(), measured);
  const double buildMeasured = now() - t0;
  plain->unref();

  const std::string text = folder + "/tree.iv", binary = folder + "/tree-binary.iv";
  const std::string tiles = folder + "/tiles/tileset.json";
  mkdir((folder + "/tiles").c_str(), 0777);
  const double saveText = timed([&] { return model.save(tree, text.c_str()).written(); });
  const double saveBinary = timed([&] { return model.save(tree, binary.c_str(), true).written(); });
  const double saveTiles = timed([&] { return model.saveTiles(tree, tiles.c_str()).written(); });
  tree->unref();
  double readText = 1e30, readBinary = 1e30;
  for (int round = 0; round < 2; ++round) {
    readText = std::min(readText, readSeconds(text));
    readBinary = std::min(readBinary, readSeconds(binary));
  }

  const double mb = 1e6, textBytes = bytesOf(text), binaryBytes = bytesOf(binary);
  const double tilesBytes = bytesOf(folder + "/tiles");
  std::printf("%s, level %d, in %s\n", shownPath(path).c_str(), level, folder.c_str());
  std::printf("build: %.2f s; with every chunk's error measured: %.2f s\n\n", build, buildMeasured);
  std::printf("format     size (MB)  size/text  save (s)  save/build  toolkit read (s)\n");
  std::printf("text       %9.1f  %9.2f  %8.2f  %10.2f  %16.2f\n", textBytes / mb, 1.0, saveText,
              saveText / build, readText);
  std::printf("binary     %9.1f  %9.2f  %8.2f  %10.2f  %16.2f\n", binaryBytes / mb,
              binaryBytes / textBytes, saveBinary, saveBinary / build, readBinary);
  std::printf("3D Tiles   %9.1f  %9.2f  %8.2f  %10.2f  %16s\n", tilesBytes / mb,
              tilesBytes / textBytes, saveTiles, saveTiles / buildMeasured, "-");
  std::printf("\ntext read / binary read: %.1f (tiles' save against the measured build)\n",
              readText / readBinary);
  if (argc <= 3 && std::getenv("BENCH_KEEP") == nullptr) {
    const std::string remove = "rm -rf '" + folder + "'";
    if (std::system(remove.c_str()) != 0) return 1;
  }
  return saveText < 0 || saveBinary < 0 || saveTiles < 0 || readText < 0 || readBinary < 0;
}
