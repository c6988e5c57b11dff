#include "runmodes.h"
#include "safewrite.h"
#include "scenesaving.h"
#include "steps.h"
#include "terrainmodel.h"

#include <Inventor/SbBSPTree.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/SoDB.h>
#include <Inventor/SoInput.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoTexture2.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

#include <gdal.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <atomic>
#include <thread>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include <dirent.h>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(RunModes, OutputNames)
{
  EXPECT_EQ(outputFileName("terrain.iv", ".reduced.iv"), "terrain.reduced.iv");
  EXPECT_EQ(outputFileName("a.iv.iv", ".reduced.iv"), "a.reduced.iv");
  EXPECT_EQ(outputFileName("terrain.ivx", ".noRECT.iv"), "terrain.noRECT.iv");
  EXPECT_EQ(outputFileName("maps/terrain.iv", ".reduced.iv"), "maps/terrain.reduced.iv");
  EXPECT_EQ(outputFileName("terrain.iv.gz", ".noRECT.iv"), "terrain.noRECT.iv");
  // Case matters, and a name without ".iv" keeps all of itself.
  EXPECT_EQ(outputFileName("terrain.IV", ".reduced.iv"), "terrain.IV.reduced.iv");
  EXPECT_EQ(outputFileName("terrain.dat", ".reduced.iv"), "terrain.dat.reduced.iv");
  // A long name is neither cut nor overflows anything.
  const std::string dir(2000, 'd');
  EXPECT_EQ(outputFileName((dir + "/t.iv").c_str(), ".noRECT.iv"), dir + "/t.noRECT.iv");
  EXPECT_EQ(outputFileName(dir.c_str(), ".noRECT.iv"), dir + ".noRECT.iv");
  // Only the file's own name is looked at: a folder whose name holds ".iv" stays whole.
  EXPECT_EQ(outputFileName("p/scenes.iv/t.iv", ".reduced.iv"), "p/scenes.iv/t.reduced.iv");
  EXPECT_EQ(outputFileName("p/x.iv.d/../x.reduced.iv", ".reduced.iv"),
            "p/x.iv.d/../x.reduced.reduced.iv");
  EXPECT_EQ(outputFileName("p.iv/terrain", ".noRECT.iv"), "p.iv/terrain.noRECT.iv");
}

namespace {

class Saving : public testing::Test {
protected:
  static void SetUpTestSuite() { SoDB::init(); }
};

std::string copyVolcano(const std::string & name)
{
  const std::string dir = testing::TempDir();
  const std::string data = std::string(TERRAVEL_SHARED_DATA) + "/terrain/tiny_volcano";
  std::ofstream(dir + name, std::ios::binary) << std::ifstream(data + ".iv").rdbuf();
  std::ofstream(dir + "tiny_volcano.png", std::ios::binary)
      << std::ifstream(data + ".png", std::ios::binary).rdbuf();
  return dir + name;
}

} // namespace

TEST_F(Saving, ReducedFileHoldsTextureAndChunkAndLoadsAgain)
{
  const std::string input = copyVolcano("terravel_runs.iv");
  TerrainModel model;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(model.load(input.c_str()));
  SoSeparator * output = runReduceMode(model, input.c_str(), 50);
  const std::string printed = testing::internal::GetCapturedStdout();
  const std::string saved = testing::TempDir() + "terravel_runs.reduced.iv";
  EXPECT_EQ(printed.substr(printed.find("Reducing")),
            "Reducing model ...Done\nSaving " + saved + " ...Done\n");
  EXPECT_EQ(output->getRefCount(), 1);
  ASSERT_EQ(output->getNumChildren(), 2);
  EXPECT_EQ(output->getChild(0), model.getRoot()->getChild(0));

  SoInput in;
  ASSERT_TRUE(in.openFile(saved.c_str()));
  SoSeparator * read = SoDB::readAll(&in);
  ASSERT_NE(read, nullptr);
  read->ref();
  // The file holds one separator, which readAll hands back as the scene itself.
  SoSeparator * top = read;
  ASSERT_EQ(top->getNumChildren(), 2);
  SoTexture2 * texture = static_cast<SoTexture2 *>(top->getChild(0));
  EXPECT_EQ(texture->filename.getValue(), SbString("tiny_volcano.png"));
  SoSeparator * chunk = static_cast<SoSeparator *>(top->getChild(1));
  SoSeparator * shown = static_cast<SoSeparator *>(output->getChild(1));
  ASSERT_EQ(chunk->getNumChildren(), 3);
  EXPECT_TRUE(static_cast<SoCoordinate3 *>(chunk->getChild(0))->point ==
              static_cast<SoCoordinate3 *>(shown->getChild(0))->point);
  EXPECT_TRUE(static_cast<SoIndexedFaceSet *>(chunk->getChild(2))->coordIndex ==
              static_cast<SoIndexedFaceSet *>(shown->getChild(2))->coordIndex);
  const int triangles = static_cast<SoIndexedFaceSet *>(chunk->getChild(2))->coordIndex.getNum() / 4;
  EXPECT_EQ(triangles, 10320 - 10320 * 50 / 100);
  read->unref();
  output->unref();

  // Passes follow one another until the share asked for is gone, far beyond what one pass can
  // take away.
  for (const int percent : {30, 90}) {
    testing::internal::CaptureStdout();
    SoSeparator * again = runReduceMode(model, input.c_str(), percent);
    testing::internal::GetCapturedStdout();
    const SoSeparator * reduced = static_cast<SoSeparator *>(again->getChild(1));
    EXPECT_EQ(static_cast<SoIndexedFaceSet *>(reduced->getChild(2))->coordIndex.getNum() / 4,
              10320 - 10320 * percent / 100);
    again->unref();
  }
}

TEST_F(Saving, CutFileAndFailedSaves)
{
  const std::string input = copyVolcano("terravel_cut.iv");
  TerrainModel model;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(model.load(input.c_str()));
  SoSeparator * output = runCutMode(model, input.c_str(), 100, 100, 200, 200);
  std::string printed = testing::internal::GetCapturedStdout();
  const std::string saved = testing::TempDir() + "terravel_cut.noRECT.iv";
  EXPECT_EQ(printed.substr(printed.find("Cutting")),
            "Cutting model ...Done\nSaving " + saved + " ...Done\n");
  // A 100 x 100 square of a 10-unit grid: 10 x 10 cells of two triangles, give or take the
  // triangles whose centroid sits on the border.
  const int triangles = static_cast<SoIndexedFaceSet *>(
                            static_cast<SoSeparator *>(output->getChild(1))->getChild(2))
                            ->coordIndex.getNum() / 4;
  EXPECT_GE(triangles, 200);
  EXPECT_LE(triangles, 240);

  // Into a folder that cannot be made, as its path runs through a file: the failure is said,
  // nothing is claimed done.
  testing::internal::CaptureStdout();
  saveStep(model, output, (input + "/x.noRECT.iv").c_str());
  printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed, "Saving " + input + "/x.noRECT.iv ...Failed\n");
  output->unref();
}

TEST_F(Saving, AFailedWriteLeavesTheEarlierFileIntact)
{
  const std::string input = copyVolcano("terravel_keep.iv");
  const std::string target = testing::TempDir() + "terravel_keep.noRECT.iv";
  std::ofstream(target) << "earlier result\n";
  TerrainModel model;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(model.load(input.c_str()));
  testing::internal::GetCapturedStdout();
  SoSeparator * output = new SoSeparator;
  output->ref();
  output->addChild(model.getRoot());

  // A child process whose files may not grow past 4 KiB: the write fails half-way, as on a
  // full disk.
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit small = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &small);
    testing::internal::CaptureStdout();
    saveStep(model, output, target.c_str());
    const std::string printed = testing::internal::GetCapturedStdout();
    _exit(printed == "Saving " + target + " ...Failed\n" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "save did not report Failed";
  std::ifstream kept(target);
  std::string line;
  std::getline(kept, line);
  EXPECT_EQ(line, "earlier result");

  // Without the limit the save replaces the file and leaves no temporary file behind.
  testing::internal::CaptureStdout();
  saveStep(model, output, target.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Saving " + target + " ...Done\n");
  std::ifstream replaced(target);
  std::getline(replaced, line);
  EXPECT_EQ(line, "#Inventor V2.1 ascii");
  struct stat info;
  ASSERT_EQ(stat(target.c_str(), &info), 0);
  EXPECT_NE(info.st_mode & S_IROTH, 0u) << "saved like any new file, readable by others";
  DIR * dir = opendir(testing::TempDir().c_str());
  ASSERT_NE(dir, nullptr);
  int leftovers = 0;
  while (const dirent * entry = readdir(dir))
    leftovers += std::string(entry->d_name).rfind("terravel_keep.noRECT.iv.", 0) == 0;
  closedir(dir);
  EXPECT_EQ(leftovers, 0);
  output->unref();
}

namespace {

std::string firstLine(const std::string & path)
{
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

mode_t modeOf(const std::string & path)
{
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

} // namespace

TEST_F(Saving, NeverOntoTheInputAndKeepingPermissions)
{
  // The output beside an input in a folder whose name holds ".iv" stays in that folder.
  const std::string folder = testing::TempDir() + "terravel_scenes.iv";
  mkdir(folder.c_str(), 0755);
  const std::string input = copyVolcano("terravel_scenes.iv/t.iv");
  TerrainModel model;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(model.load(input.c_str()));
  SoSeparator * output = runReduceMode(model, input.c_str(), 50);
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("Saving " + folder + "/t.reduced.iv ...Done\n"), std::string::npos)
      << printed;

  // A name that leads to the input, here through a link, is refused and the input stays.
  const std::string link = folder + "/u.reduced.iv";
  unlink(link.c_str());
  ASSERT_EQ(symlink(input.c_str(), link.c_str()), 0);
  testing::internal::CaptureStdout();
  saveStep(model, output, link.c_str());
  printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed, "Saving " + link + " ...Failed\n");
  struct stat info;
  ASSERT_EQ(lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  const std::ifstream original(std::string(TERRAVEL_SHARED_DATA) + "/terrain/tiny_volcano.iv");
  std::ostringstream expected, kept;
  expected << original.rdbuf();
  kept << std::ifstream(input).rdbuf();
  EXPECT_TRUE(expected.str() == kept.str()) << "the input changed";

  // A file that is replaced keeps its permissions, narrow or read-only.
  for (const mode_t mode : {mode_t(0600), mode_t(0444), mode_t(0640)}) {
    const std::string target = folder + "/kept.iv";
    unlink(target.c_str());
    std::ofstream(target) << "earlier\n";
    ASSERT_EQ(chmod(target.c_str(), mode), 0);
    testing::internal::CaptureStdout();
    saveStep(model, output, target.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Saving " + target + " ...Done\n");
    EXPECT_EQ(firstLine(target), "#Inventor V2.1 ascii");
    EXPECT_EQ(modeOf(target), mode);
  }
  output->unref();
}

TEST_F(Saving, ASignalDuringTheSaveLeavesNoTemporaryFile)
{
  // A mesh big enough that writing it takes a while: a 700 x 700 grid, about a million triangles.
  SoSeparator * scene = new SoSeparator;
  scene->ref();
  SoCoordinate3 * coords = new SoCoordinate3;
  SoIndexedFaceSet * faces = new SoIndexedFaceSet;
  const int n = 700;
  coords->point.setNum(n * n);
  SbVec3f * p = coords->point.startEditing();
  for (int i = 0; i < n * n; ++i) p[i].setValue(float(i % n), float(i % 7), float(i / n));
  coords->point.finishEditing();
  faces->coordIndex.setNum(8 * (n - 1) * (n - 1));
  int32_t * f = faces->coordIndex.startEditing();
  for (int r = 0; r + 1 < n; ++r) {
    for (int c = 0; c + 1 < n; ++c) {
      const int32_t a = r * n + c;
      const int32_t q[8] = {a, a + n, a + 1, -1, a + 1, a + n, a + n + 1, -1};
      std::copy(q, q + 8, f);
      f += 8;
    }
  }
  faces->coordIndex.finishEditing();
  scene->addChild(coords);
  scene->addChild(faces);

  // A folder of its own, so that nothing left by an earlier run is counted; the save makes the
  // folder it writes into, which must go with the temporary file.
  std::string parent = testing::TempDir() + "terravel_signal.XXXXXX";
  ASSERT_NE(mkdtemp(&parent[0]), nullptr);
  const std::string dir = parent + "/made/";
  const std::string target = dir + "big.noRECT.iv";
  const auto temporaries = [&]() {
    int count = 0;
    DIR * d = opendir(dir.c_str());
    while (const dirent * entry = d ? readdir(d) : nullptr)
      count += std::string(entry->d_name).rfind("big.noRECT.iv.", 0) == 0;
    if (d) closedir(d);
    return count;
  };
  for (const int sig : {SIGTERM, SIGINT}) {
    unlink(target.c_str());
    const pid_t saver = fork();
    if (saver == 0) {
      std::freopen("/dev/null", "w", stdout);
      TerrainModel model;
      saveStep(model, scene, target.c_str());
      _exit(0);
    }
    // Catch the saver while its temporary file exists: stopped, it cannot finish meanwhile.
    bool caught = false;
    for (int i = 0; i < 20000 && !caught; ++i) {
      if (temporaries() > 0) {
        kill(saver, SIGSTOP);
        caught = temporaries() > 0;
        if (!caught) kill(saver, SIGCONT);
      }
      if (!caught) usleep(500);
    }
    ASSERT_TRUE(caught) << "the save never showed its temporary file";
    kill(saver, sig);
    kill(saver, SIGCONT);
    int status = 0;
    ASSERT_EQ(waitpid(saver, &status, 0), saver);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig);
    EXPECT_EQ(temporaries(), 0) << "signal " << sig;
    EXPECT_NE(access(dir.c_str(), F_OK), 0) << "the folder the save made is left";
  }
  rmdir(parent.c_str());
  scene->unref();
}

TEST(RunModes, TextureNamesSeenFromAnotherFolder)
{
  const std::string dir = testing::TempDir() + "terravel_relocate/";
  mkdir(dir.c_str(), 0755);
  mkdir((dir + "maps").c_str(), 0755);
  mkdir((dir + "out").c_str(), 0755);
  mkdir((dir + "out/deep").c_str(), 0755);
  std::ofstream(dir + "maps/picture.png") << "png";
  const std::string input = dir + "maps/terrain.iv";
  EXPECT_EQ(relocatedName("picture.png", input.c_str(), (dir + "maps/tree.iv").c_str()),
            "picture.png");
  EXPECT_EQ(relocatedName("picture.png", input.c_str(), (dir + "out/tree.iv").c_str()),
            "../maps/picture.png");
  EXPECT_EQ(relocatedName("picture.png", input.c_str(), (dir + "out/deep/tree.iv").c_str()),
            "../../maps/picture.png");
  EXPECT_EQ(relocatedName("picture.png", input.c_str(), (dir + "tree.iv").c_str()),
            "maps/picture.png");
  // Absolute names, no name, and pictures that are not there stay as they are.
  EXPECT_EQ(relocatedName("/abs/p.png", input.c_str(), (dir + "out/t.iv").c_str()), "/abs/p.png");
  EXPECT_EQ(relocatedName("", input.c_str(), (dir + "out/t.iv").c_str()), "");
  EXPECT_EQ(relocatedName("gone.png", input.c_str(), (dir + "out/t.iv").c_str()), "gone.png");
}

TEST_F(Saving, SavedTreeHoldsItsLodNodesAndFindsItsTextureFromItsOwnFolder)
{
  const std::string input = copyVolcano("terravel_tree_input.iv");
  const std::string folder = testing::TempDir() + "terravel_trees";
  mkdir(folder.c_str(), 0755);
  TerrainModel model;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(model.load(input.c_str()));
  testing::internal::GetCapturedStdout();
  for (const int level : {2, 4}) {
    testing::internal::CaptureStdout();
    SoSeparator * tree = treeStep(model, level, 50);
    const std::string file = folder + "/tree" + std::to_string(level) + ".iv";
    EXPECT_TRUE(saveStep(model, tree, file.c_str()));
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("Saving " + file + " ...Done\n"), std::string::npos);
    if (level == 2) {
      EXPECT_EQ(printed.substr(0, printed.find("Saving")),
                "\rBuilding Terravel tree ... 20%\rBuilding Terravel tree ... 40%"
                "\rBuilding Terravel tree ... 60%\rBuilding Terravel tree ... 80%"
                "\rBuilding Terravel tree ... 100%\rBuilding Terravel tree ... Done\n");
    }
    // The shown tree still holds the model's own texture node.
    EXPECT_EQ(tree->getChild(0), model.getRoot()->getChild(0));

    std::ostringstream text;
    text << std::ifstream(file).rdbuf();
    const std::string saved = text.str();
    EXPECT_EQ(saved.rfind("#Inventor V2.1 ascii", 0), 0u);
    size_t lods = 0;
    for (size_t at = saved.find("LOD {"); at != std::string::npos; at = saved.find("LOD {", at + 1))
      ++lods;
    EXPECT_EQ(lods, size_t((std::pow(4, level - 1) - 1) / 3)) << "level " << level;
    EXPECT_NE(saved.find("filename \"../tiny_volcano.png\""), std::string::npos);

    // It reads again, and its texture is found from its own folder.
    TerrainModel again;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(again.load(file.c_str()));
    testing::internal::GetCapturedStdout();
    const SoTexture2 * texture = static_cast<SoTexture2 *>(again.getRoot()->getChild(0));
    SbVec2s size;
    int components = 0;
    texture->image.getValue(size, components);
    EXPECT_GT(size[0], 0) << "the picture was found";
    tree->unref();
  }
}

namespace {

// A PNG of w x h pixels in a folder of its own: one 16-bit band of heights, or three 8-bit
// colour bands.
std::string makePng(const std::string & file, int w, int h, int bands)
{
  GDALAllRegister();
  GDALDatasetH memory =
    GDALCreate(GDALGetDriverByName("MEM"), "", w, h, bands, bands == 1 ? GDT_UInt16 : GDT_Byte, nullptr);
  std::vector<uint16_t> values(size_t(w) * size_t(h));
  for (size_t i = 0; i < values.size(); ++i) values[i] = uint16_t((i * 7919) % 251);
  for (int b = 1; b <= bands; ++b)
    EXPECT_EQ(GDALRasterIO(GDALGetRasterBand(memory, b), GF_Write, 0, 0, w, h, values.data(), w, h,
                           GDT_UInt16, 0, 0),
              CE_None);
  GDALClose(GDALCreateCopy(GDALGetDriverByName("PNG"), file.c_str(), memory, FALSE, nullptr,
                           nullptr, nullptr));
  GDALClose(memory);
  return file;
}

std::string contentOf(const std::string & file)
{
  std::ostringstream text;
  text << std::ifstream(file, std::ios::binary).rdbuf();
  return text.str();
}

bool exists(const std::string & file)
{
  return access(file.c_str(), F_OK) == 0;
}

// The output of run mode 3 over a small rectangle: the model's texture and a small chunk.
SoSeparator * smallOutput(TerrainModel & model)
{
  SoSeparator * output = new SoSeparator;
  output->ref();
  model.addTexture(output);
  SbBSPTree border;
  SoSeparator * chunk = model.cutRegion(model.getRoot(), -50, -50, 50, 50, &border);
  output->addChild(chunk);
  chunk->unref();
  return output;
}

std::string freshFolder(const std::string & name)
{
  std::string dir = testing::TempDir() + name + ".XXXXXX";
  EXPECT_NE(mkdtemp(&dir[0]), nullptr);
  return dir + "/";
}

} // namespace

// A saved scene and the picture beside it are one result. The picture never replaces a file
// the run read (the raster itself, the user's image); a refused save writes nothing; a save
// that fails half-way leaves the earlier scene and picture as they were.
TEST_F(Saving, ASceneAndItsPictureReplaceEarlierFilesTogetherAndNothingTheRunReads)
{
  const std::string dir = freshFolder("terravel_pair");
  const std::string dem = makePng(dir + "dem.png", 40, 30, 1);
  const std::string demBytes = contentOf(dem);
  TerrainModel fromPng;
  ASSERT_TRUE(fromPng.load(dem.c_str()).raster);
  SoSeparator * output = smallOutput(fromPng);
  const WriteOutcome overDem = fromPng.save(output, (dir + "dem.iv").c_str());
  EXPECT_EQ(overDem.status, WriteStatus::REFUSED) << overDem.reason;
  EXPECT_EQ(contentOf(dem), demBytes) << "the heights were replaced";
  EXPECT_FALSE(exists(dir + "dem.iv"));
  EXPECT_EQ(fromPng.save(output, dem.c_str()).status, WriteStatus::REFUSED);
  EXPECT_FALSE(exists(dem + ".png")) << "a refused save wrote its picture";
  output->unref();

  const std::string photo = makePng(dir + "photo.png", 64, 48, 3);
  const std::string photoBytes = contentOf(photo);
  RasterOptions draped;
  draped.texture = photo;
  TerrainModel withPhoto;
  ASSERT_TRUE(withPhoto.load(dem.c_str(), draped));
  output = smallOutput(withPhoto);
  EXPECT_EQ(withPhoto.save(output, (dir + "photo.iv").c_str()).status, WriteStatus::REFUSED);
  EXPECT_EQ(contentOf(photo), photoBytes) << "the user's picture was replaced";

  // An earlier pair, then a save of another terrain that fails half-way, as on a full disk.
  ASSERT_TRUE(withPhoto.save(output, (dir + "tree.iv").c_str()).written());
  const std::string earlierScene = contentOf(dir + "tree.iv"), earlierPicture = contentOf(dir + "tree.png");
  output->unref();
  output = smallOutput(fromPng);
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit small = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &small);
    _exit(fromPng.save(output, (dir + "tree.iv").c_str()).status == WriteStatus::FAILED ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the save did not fail";
  EXPECT_EQ(contentOf(dir + "tree.iv"), earlierScene);
  EXPECT_EQ(contentOf(dir + "tree.png"), earlierPicture) << "the earlier picture was replaced";
  output->unref();
}

// A signal while the picture beside a scene is written leaves neither temporary file behind,
// nor half a result.
TEST_F(Saving, ASignalDuringThePicturesSaveLeavesNoTemporaryFile)
{
  const std::string dir = freshFolder("terravel_picture_signal");
  // A picture of a million texels of noise takes a while to encode.
  const std::string dem = makePng(dir + "noise.png", 1000, 1000, 1);
  TerrainModel model;
  ASSERT_TRUE(model.load(dem.c_str()));
  SoSeparator * output = smallOutput(model);
  const auto temporaries = [&]() {
    int count = 0;
    DIR * d = opendir(dir.c_str());
    while (const dirent * entry = d ? readdir(d) : nullptr) {
      const std::string name = entry->d_name;
      count += name.rfind("t.png.", 0) == 0 || name.rfind("t.iv.", 0) == 0;
    }
    if (d) closedir(d);
    return count;
  };
  const pid_t saver = fork();
  if (saver == 0) {
    model.save(output, (dir + "t.iv").c_str());
    _exit(0);
  }
  bool caught = false;
  for (int i = 0; i < 40000 && !caught; ++i) {
    DIR * d = opendir(dir.c_str());
    while (const dirent * entry = d ? readdir(d) : nullptr)
      caught = caught || std::string(entry->d_name).rfind("t.png.", 0) == 0;
    if (d) closedir(d);
    if (caught) kill(saver, SIGSTOP);
    else usleep(100);
  }
  ASSERT_TRUE(caught) << "the save never showed the picture's temporary file";
  kill(saver, SIGTERM);
  kill(saver, SIGCONT);
  int status = 0;
  ASSERT_EQ(waitpid(saver, &status, 0), saver);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_EQ(temporaries(), 0);
  EXPECT_EQ(exists(dir + "t.iv"), exists(dir + "t.png")) << "half a result";
  output->unref();
}

// The missing folders of a result's targets are made; a result that fails takes away all it
// made, for each of its files.
TEST(RunModes, WritingMakesMissingFoldersAndTakesThemAwayWhenItFails)
{
  const std::string dir = freshFolder("terravel_folders");
  const auto text = [](int fd) { return write(fd, "x\n", 2) == 2; };
  const std::string tooLong(300, 'n');
  const WriteOutcome failed = writeTogether(
    {{dir + "new/scene/t.iv", text}, {dir + "new/picture/" + tooLong, text}}, {});
  EXPECT_EQ(failed.status, WriteStatus::FAILED);
  EXPECT_FALSE(exists(dir + "new")) << "a folder made for a failed result is left";
  EXPECT_TRUE(writeTogether({{dir + "new/scene/t.iv", text}, {dir + "new/picture/t.png", text}}, {})
                .written());
  EXPECT_EQ(contentOf(dir + "new/scene/t.iv"), "x\n");
  EXPECT_EQ(contentOf(dir + "new/picture/t.png"), "x\n");
}

// Working out the permissions of a new file never changes the process's file creation mask,
// not even for a moment: threads writing meanwhile would make files anyone may write.
TEST(RunModes, PermissionsLeaveTheMaskAlone)
{
  const mode_t mask = umask(022);
  EXPECT_EQ(fileCreationMask(), mode_t(022));
  std::atomic<bool> done{false};
  std::thread asker([&done] {
    for (int i = 0; i < 200000 && !done; ++i) permissionsFor("/nonexistent/terravel");
    done = true;
  });
  int widened = 0, seen = 0;
  while (!done) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("Umask:", 0) == 0) widened += std::stoi(line.substr(6), nullptr, 8) != 022, ++seen;
  }
  asker.join();
  umask(mask);
  EXPECT_GT(seen, 10);
  EXPECT_EQ(widened, 0);
}
