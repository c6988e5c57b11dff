#include "chunkerror.h"
#include "lodtreebuilder.h"
#include "terrainmodel.h"
#include "workerthreads.h"

#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/SbBSPTree.h>
#include <Inventor/SbBox3f.h>
#include <Inventor/SoDB.h>
#include <Inventor/misc/SoChildList.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoLOD.h>
#include <Inventor/nodes/SoTexture2.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

class Tree : public testing::Test {
protected:
  static void SetUpTestSuite() { SoDB::init(); }

  static bool loadQuietly(TerrainModel & model, const std::string & path)
  {
    return model.load(path.c_str()).loaded;
  }

  // The tree, and the share of the build done at every progress step, in per cent.
  static SoSeparator * buildQuietly(TerrainModel & model, int maxLevel, int percent,
                                    std::vector<int> * progress = nullptr)
  {
    return model.buildTree(maxLevel, percent, [progress](int32_t done, int32_t total) {
      if (progress != nullptr) progress->push_back(done * 100 / total);
    });
  }
};

std::string volcano() { return std::string(TERRAVEL_SHARED_DATA) + "/terrain/tiny_volcano.iv"; }

// The builder as first written: every cell cut from the full model, nothing reused.
SoSeparator * literalCell(TerrainModel & model, float x1, float y1, float x2, float y2, int level,
                          int maxLevel, int percent)
{
  SbBSPTree borderPoints(16, 0);
  if (level == maxLevel) {
    SoSeparator * chunk = model.cutRegion(model.getRoot(), x1, y1, x2, y2, &borderPoints);
    chunk->unrefNoDelete();
    return chunk;
  }
  SoSeparator * cell = new SoSeparator;
  SoSeparator * group = new SoSeparator;
  SoLOD * lod = new SoLOD;
  SoSeparator * chunk = model.cutRegion(model.getRoot(), x1, y1, x2, y2, &borderPoints);
  // A triangle whose centroid lies on the cell's border keeps its corners.
  const SoMFVec3f & p = static_cast<SoCoordinate3 *>(chunk->getChild(0))->point;
  const SoMFInt32 & f = static_cast<SoIndexedFaceSet *>(chunk->getChild(2))->coordIndex;
  for (int t = 0; t < f.getNum() / 4; ++t) {
    float cx = 0, cz = 0;
    for (int k = 0; k < 3; ++k) {
      cx += p[f[4 * t + k]][0];
      cz += p[f[4 * t + k]][2];
    }
    cx /= 3;
    cz /= 3;
    if (cx == x1 || cx == x2 || cz == y1 || cz == y2)
      for (int k = 0; k < 3; ++k)
        if (borderPoints.findPoint(p[f[4 * t + k]]) < 0) borderPoints.addPoint(p[f[4 * t + k]]);
  }
  const float xm = x1 + (x2 - x1) / 2;
  const float ym = y1 + (y2 - y1) / 2;
  group->addChild(literalCell(model, x1, y1, xm, ym, level + 1, maxLevel, percent));
  group->addChild(literalCell(model, x1, ym, xm, y2, level + 1, maxLevel, percent));
  group->addChild(literalCell(model, xm, y1, x2, ym, level + 1, maxLevel, percent));
  group->addChild(literalCell(model, xm, ym, x2, y2, level + 1, maxLevel, percent));
  lod->range.setValue((x2 - x1) * 2.1f);
  lod->center.setValue((x1 + x2) / 2, 0, (y1 + y2) / 2);
  lod->addChild(group);
  for (int i = 0; i < maxLevel - level; ++i) model.reduce(chunk, &borderPoints, percent);
  lod->addChild(chunk);
  chunk->unref();
  if (level == 1) model.addTexture(cell);
  cell->addChild(lod);
  return cell;
}

SoSeparator * literalTree(TerrainModel & model, int maxLevel, int percent)
{
  float minX = 0, minZ = 0, maxX = 0, maxZ = 0;
  model.getExtent(model.getRoot(), minX, minZ, maxX, maxZ);
  SoSeparator * root = literalCell(model, minX, minZ, maxX, maxZ, 1, maxLevel, percent);
  root->ref();
  return root;
}

// Compares two trees node by node; returns the path of the first difference, or "".
std::string firstDifference(SoNode * a, SoNode * b, const std::string & path = "root")
{
  if (a->getTypeId() != b->getTypeId()) return path + ": type";
  if (a->isOfType(SoLOD::getClassTypeId())) {
    const SoLOD * la = static_cast<SoLOD *>(a);
    const SoLOD * lb = static_cast<SoLOD *>(b);
    if (!(la->range == lb->range) || !(la->center == lb->center)) return path + ": range/center";
  } else if (a->isOfType(SoCoordinate3::getClassTypeId())) {
    if (!(static_cast<SoCoordinate3 *>(a)->point == static_cast<SoCoordinate3 *>(b)->point))
      return path + ": coordinates";
  } else if (a->isOfType(SoTextureCoordinate2::getClassTypeId())) {
    if (!(static_cast<SoTextureCoordinate2 *>(a)->point ==
          static_cast<SoTextureCoordinate2 *>(b)->point))
      return path + ": texture coordinates";
  } else if (a->isOfType(SoIndexedFaceSet::getClassTypeId())) {
    if (!(static_cast<SoIndexedFaceSet *>(a)->coordIndex ==
          static_cast<SoIndexedFaceSet *>(b)->coordIndex))
      return path + ": coordIndex";
  } else if (a->isOfType(SoTexture2::getClassTypeId())) {
    if (a != b) return path + ": texture is not the model's";
  }
  SoChildList * ca = a->getChildren();
  SoChildList * cb = b->getChildren();
  if ((ca == nullptr) != (cb == nullptr)) return path + ": children";
  if (ca == nullptr) return "";
  if (ca->getLength() != cb->getLength()) return path + ": child count";
  for (int i = 0; i < ca->getLength(); ++i) {
    const std::string d = firstDifference((*ca)[i], (*cb)[i], path + "/" + std::to_string(i));
    if (!d.empty()) return d;
  }
  return "";
}

} // namespace

TEST_F(Tree, ShapeOfALevelTwoTree)
{
  TerrainModel model;
  ASSERT_TRUE(loadQuietly(model, volcano()));
  std::vector<int> progress;
  SoSeparator * tree = buildQuietly(model, 2, 50, &progress);
  EXPECT_EQ(tree->getRefCount(), 1);
  EXPECT_EQ(progress, (std::vector<int>{20, 40, 60, 80, 100}));

  // The volcano spans X 0..600 and Z 0..860: deeper than wide.
  ASSERT_EQ(tree->getNumChildren(), 2);
  EXPECT_EQ(tree->getChild(0), model.getRoot()->getChild(0)); // the model's own texture
  ASSERT_TRUE(tree->getChild(1)->isOfType(SoLOD::getClassTypeId()));
  SoLOD * lod = static_cast<SoLOD *>(tree->getChild(1));
  ASSERT_EQ(lod->range.getNum(), 1);
  EXPECT_EQ(lod->range[0], 600.0f * 2.1f);
  EXPECT_EQ(lod->center.getValue(), SbVec3f(300, 0, 430));
  ASSERT_EQ(lod->getNumChildren(), 2);
  SoSeparator * group = static_cast<SoSeparator *>(lod->getChild(0));
  ASSERT_EQ(group->getNumChildren(), 4);
  int quarterTriangles = 0;
  for (int i = 0; i < 4; ++i) {
    // Last-level cells are bare chunks: coordinates, texture coordinates, faces.
    SoSeparator * chunk = static_cast<SoSeparator *>(group->getChild(i));
    ASSERT_EQ(chunk->getNumChildren(), 3);
    EXPECT_TRUE(chunk->getChild(0)->isOfType(SoCoordinate3::getClassTypeId()));
    quarterTriangles +=
        static_cast<SoIndexedFaceSet *>(chunk->getChild(2))->coordIndex.getNum() / 4;
  }
  // Quadrants overlap only in triangles whose centroid lies on a split line.
  EXPECT_GE(quarterTriangles, 10320);
  SoSeparator * coarse = static_cast<SoSeparator *>(lod->getChild(1));
  const int coarseTriangles =
      static_cast<SoIndexedFaceSet *>(coarse->getChild(2))->coordIndex.getNum() / 4;
  EXPECT_LT(coarseTriangles, 10320 * 3 / 4);
  EXPECT_GT(coarseTriangles, 10320 / 4);
  tree->unref();
}

TEST_F(Tree, LevelThreeStepsCentresAndRanges)
{
  TerrainModel model;
  ASSERT_TRUE(loadQuietly(model, volcano()));
  std::vector<int> progress;
  SoSeparator * tree = buildQuietly(model, 3, 0, &progress);
  EXPECT_EQ(progress, (std::vector<int>{4, 9, 13, 18, 22, 27, 31, 36, 40, 45, 50, 54, 59, 63,
                                        68, 72, 77, 81, 86, 90, 95, 100}));

  // Quadrant order: (x1,y1)-(xm,ym), (x1,ym)-(xm,y2), (xm,y1)-(x2,ym), (xm,ym)-(x2,y2).
  SoLOD * lod = static_cast<SoLOD *>(tree->getChild(1));
  SoSeparator * group = static_cast<SoSeparator *>(lod->getChild(0));
  const SbVec3f centres[4] = {{150, 0, 215}, {150, 0, 645}, {450, 0, 215}, {450, 0, 645}};
  for (int i = 0; i < 4; ++i) {
    SoSeparator * cell = static_cast<SoSeparator *>(group->getChild(i));
    ASSERT_EQ(cell->getNumChildren(), 1) << "only the root cell holds the texture";
    SoLOD * sub = static_cast<SoLOD *>(cell->getChild(0));
    EXPECT_EQ(sub->center.getValue(), centres[i]);
    EXPECT_EQ(sub->range[0], 300.0f * 2.1f);
    EXPECT_EQ(static_cast<SoSeparator *>(sub->getChild(0))->getNumChildren(), 4);
  }

  // With percent 0 the reduction passes only drop triangles whose corners lie on one line;
  // the volcano has none, so the coarse chunk is the cell's plain cut.
  SbBSPTree border(16, 0);
  float minX, minZ, maxX, maxZ;
  model.getExtent(model.getRoot(), minX, minZ, maxX, maxZ);
  SoSeparator * plain = model.cutRegion(model.getRoot(), minX, minZ, maxX, maxZ, &border);
  EXPECT_EQ(firstDifference(lod->getChild(1), plain), "");
  plain->unref();
  tree->unref();
}

TEST_F(Tree, ProgressTotals)
{
  // A model of one triangle is enough to count the steps of every level.
  const std::string path = testing::TempDir() + "terravel_tree_one.iv";
  std::ofstream(path) << "#Inventor V2.1 ascii\nCoordinate3 { point [ 0 0 0, 1 0 0, 0 0 1 ] }\n"
                         "IndexedFaceSet { coordIndex [ 0, 1, 2, -1 ] }\n";
  TerrainModel model;
  ASSERT_TRUE(loadQuietly(model, path));
  const int expected[] = {5, 22, 91, 368, 1477, 5914};
  for (int level = 2; level <= 7; ++level) {
    std::vector<int> steps;
    SoSeparator * tree = buildQuietly(model, level, 50, &steps);
    EXPECT_EQ(int(steps.size()), expected[level - 2]) << "level " << level;
    EXPECT_EQ(steps.back(), 100);
    tree->unref();
  }
}

// Rows of triangles whose centroids fall on every whole X from 1 to 15, so on the lines that
// split cells of the extent 0..16:
//
//   1 ---- 3 ---- 5 ---- ... 15          odd rows
//  /  \   /  \   /  \   (drawn)
// 0 ---- 2 ---- 4 ---- ... ---- 16      even rows
std::string zigzagTerrain(void)
{
  const std::string path = testing::TempDir() + "terravel_tree_zigzag.iv";
  std::ofstream scene(path);
  const int rows = 9, evenPosts = 9;
  std::vector<int> first(rows + 1, 0);
  scene << "#Inventor V2.1 ascii\nCoordinate3 { point [\n";
  for (int r = 0; r < rows; ++r) {
    const int posts = r % 2 == 0 ? evenPosts : evenPosts - 1;
    first[size_t(r) + 1] = first[size_t(r)] + posts;
    for (int c = 0; c < posts; ++c)
      scene << (2 * c + r % 2) << " " << ((c * 7 + r * 3) % 5) << " " << r << ",\n";
  }
  scene << "] }\nIndexedFaceSet { coordIndex [\n";
  for (int r = 0; r + 1 < rows; ++r) {
    const int even = first[size_t(r % 2 == 0 ? r : r + 1)], odd = first[size_t(r % 2 == 0 ? r + 1 : r)];
    for (int c = 0; c + 1 < evenPosts; ++c) {
      scene << even + c << ", " << odd + c << ", " << even + c + 1 << ", -1,\n";
      if (c + 2 < evenPosts) scene << even + c + 1 << ", " << odd + c << ", " << odd + c + 1 << ", -1,\n";
    }
  }
  scene << "] }\n";
  return path;
}

TEST_F(Tree, SameTreeAsCuttingEveryCellFromTheFullModel)
{
  const std::string terrains[] = {volcano(), zigzagTerrain(),
                                  std::string(TERRAVEL_SHARED_DATA) + "/terrain/tiny_topobathy.iv"};
  for (const std::string & path : terrains) {
    TerrainModel model;
    ASSERT_TRUE(loadQuietly(model, path));
    for (int level = 2; level <= 5; ++level) {
      for (int percent : {0, 50, 90}) {
        SoSeparator * fast = buildQuietly(model, level, percent);
        SoSeparator * literal = literalTree(model, level, percent);
        EXPECT_EQ(firstDifference(fast, literal), "")
            << path << " level " << level << " percent " << percent;
        fast->unref();
        literal->unref();
      }
    }
  }
}

// However many threads build it, the tree is the same, node for node, and so is the progress
// the build reports: the cells finish in another order, but every step is reported once.
TEST_F(Tree, SameTreeAndProgressWithAnyNumberOfThreads)
{
  TerrainModel model;
  ASSERT_TRUE(loadQuietly(model, std::string(TERRAVEL_SHARED_DATA) + "/terrain/tiny_topobathy.iv"));
  for (const int level : {2, 5}) {
    SCOPED_TRACE(level);
    setenv("TERRAVEL_THREADS", "1", 1);
    std::vector<int> aloneProgress;
    SoSeparator * alone = buildQuietly(model, level, 50, &aloneProgress);
    for (const char * threads : {"2", "5"}) {
      setenv("TERRAVEL_THREADS", threads, 1);
      std::vector<int> progress;
      SoSeparator * parallel = buildQuietly(model, level, 50, &progress);
      EXPECT_EQ(firstDifference(parallel, alone), "") << threads << " threads";
      EXPECT_EQ(progress, aloneProgress) << threads << " threads";
      parallel->unref();
    }
    alone->unref();
  }
  // The error reducer's tree too.
  ReductionSettings byError;
  byError.reducer = Reducer::ERROR;
  byError.maxError = 0.5;
  byError.measure = true;
  setenv("TERRAVEL_THREADS", "1", 1);
  SoSeparator * alone = model.buildTree(5, 50, TerrainModel::TreeProgress(), byError);
  setenv("TERRAVEL_THREADS", "3", 1);
  SoSeparator * parallel = model.buildTree(5, 50, TerrainModel::TreeProgress(), byError);
  EXPECT_EQ(firstDifference(parallel, alone), "");
  alone->unref();
  parallel->unref();
  unsetenv("TERRAVEL_THREADS");
  EXPECT_GE(workerThreads(), 1);
  setenv("TERRAVEL_THREADS", "3", 1);
  EXPECT_EQ(workerThreads(), 3);
  setenv("TERRAVEL_THREADS", "none", 1);
  EXPECT_GE(workerThreads(), 1);
  unsetenv("TERRAVEL_THREADS");
}

// With an error budget every level's coarse chunks keep within it (the level above the last
// within the budget, each level up within twice the level below's) and say their error in front
// of their LOD; switching by pixels then centres each LOD on its chunk and sets its range to the
// distance at which the chunk's error shows that large, plus the chunk's radius.
TEST_F(Tree, ErrorBudgetsPerLevelAndRangesByPixels)
{
  TerrainModel model;
  ASSERT_TRUE(loadQuietly(model, volcano()));
  ReductionSettings settings;
  settings.reducer = Reducer::ERROR;
  settings.maxError = 0.25;
  settings.measure = true;
  SoSeparator * tree = model.buildTree(4, 50, TerrainModel::TreeProgress(), settings);
  const std::vector<LevelSummary> & levels = model.treeLevels();
  ASSERT_EQ(levels.size(), 3u);
  for (size_t i = 0; i < levels.size(); ++i) {
    EXPECT_EQ(levels[i].chunks, 1 << (2 * i));
    EXPECT_LE(levels[i].largest, 0.25 * std::ldexp(1.0, int(levels.size() - 1 - i))) << "level " << i + 1;
    EXPECT_GT(levels[i].measured, 0);
  }
  double largest = 0.0, rms = 0.0;
  ASSERT_TRUE(errorOfInfo(tree->getChild(1), largest, rms));
  EXPECT_NEAR(largest, levels[0].largest, 1e-6);

  EXPECT_EQ(setRangesForPixelError(tree, 2.0, M_PI / 4, 600), 1 + 4 + 16);
  SoLOD * lod = static_cast<SoLOD *>(tree->getChild(2));
  const SoMFVec3f & points =
    static_cast<SoCoordinate3 *>(static_cast<SoSeparator *>(lod->getChild(1))->getChild(0))->point;
  SbBox3f bounds;
  for (int i = 0; i < points.getNum(); ++i) bounds.extendBy(points[i]);
  const double distance = largest * 600 / (2 * 2.0 * std::tan(M_PI / 8));
  EXPECT_NEAR(lod->range[0], distance + (bounds.getMax() - bounds.getMin()).length() / 2, 1e-3);
  EXPECT_TRUE(lod->center.getValue().equals(bounds.getCenter(), 1e-3f));
  tree->unref();
}
