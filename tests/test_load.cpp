#include "flatmesh.h"
#include "scenecheck.h"
#include "sceneloader.h"
#include "terrainmodel.h"
#include "vertexwelder.h"
#include "containedrun.h"

#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/SbBSPTree.h>
#include <Inventor/SoDB.h>
#include <Inventor/SoInput.h>
#include <Inventor/SoPrimitiveVertex.h>
#include <Inventor/actions/SoCallbackAction.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoShape.h>
#include <Inventor/nodes/SoTexture2.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Load : public testing::Test {
protected:
  static void SetUpTestSuite() { SoDB::init(); }

  // Writes an Inventor file of the given body to a temporary path.
  std::string writeScene(const std::string & body)
  {
    const std::string path = testing::TempDir() + "terravel_load_" +
                             testing::UnitTest::GetInstance()->current_test_info()->name() +
                             ".iv";
    std::ofstream(path) << "#Inventor V2.1 ascii\n" << body;
    return path;
  }

  // Loads into the model and returns why it did not load: nothing when it did.
  std::string load(TerrainModel & model, const std::string & path, bool expected = true)
  {
    const LoadOutcome outcome = model.load(path.c_str());
    EXPECT_EQ(outcome.loaded, expected) << outcome.reason;
    EXPECT_EQ(outcome.reason.empty(), outcome.loaded);
    return outcome.reason;
  }

  static SoCoordinate3 * coordsOf(TerrainModel & m)
  {
    return static_cast<SoCoordinate3 *>(m.getRoot()->getChild(1));
  }
  static SoTextureCoordinate2 * texCoordsOf(TerrainModel & m)
  {
    return static_cast<SoTextureCoordinate2 *>(m.getRoot()->getChild(2));
  }
  static std::vector<int32_t> indicesOf(TerrainModel & m)
  {
    const SoMFInt32 & f = static_cast<SoIndexedFaceSet *>(m.getRoot()->getChild(3))->coordIndex;
    return std::vector<int32_t>(f.getValues(0), f.getValues(0) + f.getNum());
  }
  static SoTexture2 * textureOf(TerrainModel & m)
  {
    return static_cast<SoTexture2 *>(m.getRoot()->getChild(0));
  }
};

// One triangle with per-vertex texture coordinates, shared by several tests.
// (Texture coordinates reach the triangle callback only while a texture is active.)
const char * const TRIANGLE =
    "Texture2 { image 1 1 3 0xffffff }\n"
    "Coordinate3 { point [ 0 0 0, 1 0 0, 0 0 1 ] }\n"
    "TextureCoordinate2 { point [ 0 0, 1 0, 0 1 ] }\n"
    "IndexedFaceSet { coordIndex [ 0, 1, 2, -1 ] textureCoordIndex [ 0, 1, 2, -1 ] }\n";

} // namespace

TEST_F(Load, OneTriangleAndTheRootLayout)
{
  TerrainModel model;
  const std::string path = writeScene("Separator {\n" + std::string(TRIANGLE) + "}\n");
  EXPECT_EQ(load(model, path), "");

  SoSeparator * root = model.getRoot();
  ASSERT_EQ(root->getNumChildren(), 4);
  EXPECT_TRUE(root->getChild(0)->isOfType(SoTexture2::getClassTypeId()));
  EXPECT_TRUE(root->getChild(1)->isOfType(SoCoordinate3::getClassTypeId()));
  EXPECT_TRUE(root->getChild(2)->isOfType(SoTextureCoordinate2::getClassTypeId()));
  EXPECT_TRUE(root->getChild(3)->isOfType(SoIndexedFaceSet::getClassTypeId()));
  EXPECT_EQ(root->getRefCount(), 1);

  EXPECT_EQ(coordsOf(model)->point.getNum(), 3);
  EXPECT_EQ(texCoordsOf(model)->point.getNum(), 3);
  EXPECT_EQ(indicesOf(model), (std::vector<int32_t>{0, 1, 2, -1}));
  EXPECT_EQ(texCoordsOf(model)->point[1], SbVec2f(1, 0));
  SoIndexedFaceSet * faces = static_cast<SoIndexedFaceSet *>(root->getChild(3));
  // Left at their defaults, so texture coordinates follow the vertex indices.
  EXPECT_TRUE(faces->textureCoordIndex.isDefault());
  EXPECT_TRUE(faces->materialIndex.isDefault());
  EXPECT_TRUE(faces->normalIndex.isDefault());
}

TEST_F(Load, WeldingInWorldCoordinates)
{
  //  2---3      two triangles sharing the edge 1-2
  //  | \ |
  //  0---1
  {
    TerrainModel model;
    load(model, writeScene("Coordinate3 { point [ 0 0 0, 1 0 0, 0 0 1, 1 0 1 ] }\n"
                           "IndexedFaceSet { coordIndex [ 0, 1, 2, -1, 1, 3, 2, -1 ] }\n"));
    EXPECT_EQ(coordsOf(model)->point.getNum(), 4);
    EXPECT_EQ(indicesOf(model), (std::vector<int32_t>{0, 1, 2, -1, 1, 3, 2, -1}));
  }
  // The same triangle under two different translations: six vertices.
  {
    TerrainModel model;
    load(model, writeScene("Separator { Translation { translation 5 0 0 } DEF T Separator { " +
                           std::string(TRIANGLE) + " } }\n"
                           "Separator { Translation { translation 0 0 5 } USE T }\n"));
    EXPECT_EQ(coordsOf(model)->point.getNum(), 6);
    EXPECT_EQ(indicesOf(model), (std::vector<int32_t>{0, 1, 2, -1, 3, 4, 5, -1}));
    EXPECT_EQ(coordsOf(model)->point[0], SbVec3f(5, 0, 0));
    EXPECT_EQ(coordsOf(model)->point[5], SbVec3f(0, 0, 6));
  }
  // Under two identical transformations: three vertices, two identical triangles.
  {
    TerrainModel model;
    load(model, writeScene("Separator { Translation { translation 5 0 0 } DEF T Separator { " +
                           std::string(TRIANGLE) + " } }\n"
                           "Separator { Translation { translation 5 0 0 } USE T }\n"));
    EXPECT_EQ(coordsOf(model)->point.getNum(), 3);
    EXPECT_EQ(indicesOf(model), (std::vector<int32_t>{0, 1, 2, -1, 0, 1, 2, -1}));
  }
  // -0 and +0 are one vertex; a triangle with coinciding corners keeps its repeated index.
  {
    TerrainModel model;
    load(model, writeScene("Coordinate3 { point [ 0 0 0, -0 0 -0, 1 0 0, 0 0 1 ] }\n"
                           "IndexedFaceSet { coordIndex [ 0, 2, 3, -1, 1, 2, 1, -1 ] }\n"));
    EXPECT_EQ(coordsOf(model)->point.getNum(), 3);
    EXPECT_EQ(indicesOf(model), (std::vector<int32_t>{0, 1, 2, -1, 0, 1, 0, -1}));
  }
}

TEST_F(Load, LastTextureCoordinateAndLastTextureWin)
{
  TerrainModel model;
  load(model, writeScene(
                  "Texture2 { filename \"first.png\" wrapS CLAMP }\n"
                  "Coordinate3 { point [ 0 0 0, 1 0 0, 0 0 1, 1 0 1 ] }\n"
                  "TextureCoordinate2 { point [ 0 0, 1 0, 0 1, 1 1, 0.5 0.5 ] }\n"
                  "IndexedFaceSet { coordIndex [ 0, 1, 2, -1, 1, 3, 2, -1 ]\n"
                  "  textureCoordIndex [ 0, 1, 2, -1, 4, 3, 2, -1 ] }\n"
                  "Texture2 { filename \"second.png\" wrapT CLAMP model DECAL blendColor 1 0 0 }\n"));
  // Vertex 1 was used last by the second triangle, with texture coordinate 4.
  EXPECT_EQ(texCoordsOf(model)->point[1], SbVec2f(0.5f, 0.5f));
  EXPECT_EQ(texCoordsOf(model)->point[3], SbVec2f(1, 1));
  SoTexture2 * texture = textureOf(model);
  EXPECT_EQ(texture->filename.getValue(), SbString("second.png"));
  EXPECT_EQ(texture->wrapS.getValue(), int(SoTexture2::REPEAT));
  EXPECT_EQ(texture->wrapT.getValue(), int(SoTexture2::CLAMP));
  EXPECT_EQ(texture->model.getValue(), int(SoTexture2::DECAL));
  EXPECT_EQ(texture->blendColor.getValue(), SbColor(1, 0, 0));
}

TEST_F(Load, InlineImageIsNotCarriedOver)
{
  TerrainModel model;
  load(model, writeScene("Texture2 { image 2 1 3 0xff0000 0x00ff00 }\n" + std::string(TRIANGLE)));
  SbVec2s size;
  int components = 0;
  textureOf(model)->image.getValue(size, components);
  EXPECT_EQ(size, SbVec2s(0, 0));
  EXPECT_EQ(textureOf(model)->filename.getValue(), SbString(""));
}

TEST_F(Load, UnusableFilesFail)
{
  {
    TerrainModel model;
    EXPECT_EQ(load(model, "/nonexistent/terrain.iv", false), "no such file");
    EXPECT_EQ(model.getRoot()->getNumChildren(), 0);
  }
  {
    // Opens, but holds no scene the toolkit can read.
    TerrainModel model;
    const std::string path = testing::TempDir() + "terravel_not_inventor.iv";
    std::ofstream(path) << "this is not an Inventor file\n";
    EXPECT_NE(load(model, path, false).find("neither"), std::string::npos);
  }
  {
    // No triangles at all is still a successful load.
    TerrainModel model;
    load(model, writeScene("Coordinate3 { point [ 0 0 0, 1 1 1 ] } PointSet {}\n"));
    EXPECT_EQ(coordsOf(model)->point.getNum(), 0);
    EXPECT_EQ(indicesOf(model).size(), 0u);
  }
}

TEST_F(Load, NonFiniteWorldCoordinatesNeverHang)
{
  // The matrix maps x = 10, y = -10 to 1e39 - 1e39: infinity minus infinity, a NaN.
  TerrainModel model;
  load(model, writeScene("MatrixTransform { matrix 1e38 0 0 0  1e38 1 0 0  0 0 1 0  0 0 0 1 }\n"
                         "Coordinate3 { point [ 10 -10 0, 10 -10 0, 0 0 1 ] }\n"
                         "IndexedFaceSet { coordIndex [ 0, 1, 2, -1, 0, 1, 2, -1 ] }\n"));
  // Positions with a NaN equal nothing, so each corner is a vertex of its own.
  ASSERT_EQ(coordsOf(model)->point.getNum(), 5);
  EXPECT_TRUE(std::isnan(coordsOf(model)->point[0][0]));
  EXPECT_EQ(indicesOf(model), (std::vector<int32_t>{0, 1, 2, -1, 3, 4, 2, -1}));
}

TEST(VertexWelder, NumbersLikeThePointTree)
{
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const SbVec3f input[] = {{1, 2, 3},   {0, 0, 0}, {-0.0f, 0, -0.0f}, {1, 2, 3},  {inf, 0, 0},
                           {nan, 0, 0}, {inf, 0, 0}, {nan, 0, 0},     {1, 2, 3.0000002f}};
  VertexWelder welder;
  std::vector<int32_t> numbers;
  for (const SbVec3f & p : input) numbers.push_back(welder.weld(p));
  EXPECT_EQ(numbers, (std::vector<int32_t>{0, 1, 1, 0, 2, 3, 2, 4, 5}));
  EXPECT_EQ(welder.numPoints(), 6);
  EXPECT_EQ(welder.findPoint(SbVec3f(nan, 0, 0)), -1);
  EXPECT_EQ(welder.findPoint(SbVec3f(0, -0.0f, 0)), 1);
}

namespace {

// The loader's welding done the slow, obviously right way: the toolkit's own point tree.
void treeCallback(void * data, SoCallbackAction * action, const SoPrimitiveVertex * a,
                  const SoPrimitiveVertex * b, const SoPrimitiveVertex * c)
{
  auto * state = static_cast<std::pair<SbBSPTree *, std::vector<int32_t> *> *>(data);
  for (const SoPrimitiveVertex * v : {a, b, c}) {
    SbVec3f world;
    action->getModelMatrix().multVecMatrix(v->getPoint(), world);
    int index = state->first->findPoint(world);
    if (index == -1) index = state->first->addPoint(world);
    state->second->push_back(index);
  }
  state->second->push_back(-1);
}

} // namespace

// The loader welds on a thread of its own, taking corners into world coordinates with the
// matrix each shape had when the traversal reached it. The slow, obviously right way: the
// toolkit's point tree, fed in the triangle callback with the matrix of that moment. Both must
// number every corner alike, on a terrain of tiles under nested transforms and DEF/USE and on
// the third-party scenes (strips, quad meshes, text, binary files, File nodes).
TEST_F(Load, WeldingMatchesThePointTreeOnRealScenes)
{
  const std::string data = TERRAVEL_SHARED_DATA;
  const std::string models = data + "/real-iv/sgi-open-inventor/data/models/";
  const std::vector<std::string> scenes = {
    data + "/terrain/medium_jacksboro_tiles4x4_nested_defuse.iv",
    models + "CyberHeads/josie.iv",
    models + "chess/chessboard.iv",
    models + "geography/earth.iv",
    models + "bird.iv",
    data + "/real-iv/sgi-open-inventor/apps/demos/gview/gviewIcons.iv",
    data + "/real-iv/sgi-open-inventor/apps/samples/lod/lod.iv"};
  size_t corners = 0;
  for (const std::string & path : scenes) {
    SCOPED_TRACE(path);
    TerrainModel model;
    load(model, path);

    SoInput input;
    ASSERT_TRUE(input.openFile(path.c_str()));
    SoSeparator * scene = SoDB::readAll(&input);
    ASSERT_NE(scene, nullptr);
    scene->ref();
    SbBSPTree tree(64, 4);
    std::vector<int32_t> indices;
    std::pair<SbBSPTree *, std::vector<int32_t> *> state(&tree, &indices);
    SoCallbackAction action;
    action.addTriangleCallback(SoShape::getClassTypeId(), treeCallback, &state);
    action.apply(scene);
    scene->unref();

    corners += indices.size();
    EXPECT_TRUE(indices == indicesOf(model));
    const SoMFVec3f & points = coordsOf(model)->point;
    ASSERT_EQ(points.getNum(), tree.numPoints());
    int mismatches = 0;
    for (int i = 0; i < points.getNum(); ++i) mismatches += points[i] != tree.getPoint(i);
    EXPECT_EQ(mismatches, 0);
  }
  EXPECT_GT(corners, 1000000u);
}

// Files whose reading or traversal would never end, or whose shapes would be read past their
// data, end the load with " Failed" in bounded time.
TEST_F(Load, ScenesThatNeverEndOrRunPastTheirDataFail)
{
  const auto fails = [&](const std::string & path) {
    TerrainModel model;
    return !load(model, path, false).empty();
  };
  // A File node naming a device reads forever; one naming a FIFO that nobody writes blocks.
  EXPECT_TRUE(fails(writeScene("File { name \"/dev/zero\" }\n")));
  const std::string fifo = testing::TempDir() + "terravel_load_fifo";
  unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_TRUE(fails(writeScene("File { name \"" + fifo + "\" }\n")));

  // Thirty levels of DEF/USE doubling: 2^30 triangles, more than the lists can hold.
  std::string doubling = "DEF L0 Separator { " + std::string(TRIANGLE) + " }\n";
  for (int level = 1; level <= 30; ++level) {
    doubling += "DEF L" + std::to_string(level) + " Group { USE L" + std::to_string(level - 1) +
                " USE L" + std::to_string(level - 1) + " }\n";
  }
  EXPECT_TRUE(fails(writeScene("Separator { " + doubling + " }\n")));

  // Counts and indices past the coordinates: the toolkit would read beyond its arrays.
  EXPECT_TRUE(fails(writeScene("Coordinate3 { point [ 0 0 0, 1 0 0, 0 0 1, 1 0 1 ] }\n"
                               "QuadMesh { verticesPerColumn 1000 verticesPerRow 1000 }\n")));
  EXPECT_TRUE(fails(writeScene(
    "IndexedFaceSet { vertexProperty VertexProperty { vertex [ 0 0 0, 1 0 0 ] }\n"
    "  coordIndex [ 0, 1, 5, -1 ] }\n")));
  EXPECT_TRUE(fails(writeScene("Coordinate3 { point [ 0 0 0, 1 0 0, 0 0 1 ] }\n"
                               "FaceSet { numVertices [ 3, 3 ] }\n")));
  EXPECT_TRUE(fails(writeScene("Coordinate3 { point [ 0 0 0, 1 0 0, 0 0 1, 1 0 1 ] }\n"
                               "TriangleStripSet { startIndex 2 numVertices [ 3 ] }\n")));
  EXPECT_TRUE(fails(writeScene("Texture2 { image 1 1 3 0xffffff }\n"
                               "Coordinate3 { point [ 0 0 0, 1 0 0, 0 0 1 ] }\n"
                               "TextureCoordinate2 { point [ 0 0, 1 0 ] }\n"
                               "IndexedFaceSet { coordIndex [ 0, 1, 2, -1 ] }\n")));

  // The same kinds of shape within their data load as before.
  TerrainModel model;
  load(model, writeScene("Coordinate3 { point [ 0 0 0, 1 0 0, 0 0 1, 1 0 1, 2 0 0, 2 0 1 ] }\n"
                         "QuadMesh { verticesPerColumn 2 verticesPerRow 2 }\n"
                         "FaceSet { startIndex 3 numVertices [ 3 ] }\n"
                         "TriangleStripSet { startIndex 2 numVertices [ -1 ] }\n"
                         "IndexedFaceSet { vertexProperty VertexProperty {\n"
                         "  vertex [ 5 0 5, 6 0 5, 5 0 6 ] } coordIndex [ 0, 1, 2, -1 ] }\n"));
  EXPECT_EQ(indicesOf(model).size() / 4, 2u + 1u + 2u + 1u);
}

TEST_F(Load, AFifoAsInputFailsOnlyTheLoad)
{
  // Nobody writes: opening blocks, and only the child that reads is stuck, until it is stopped.
  const std::string fifo = testing::TempDir() + "terravel_input_fifo.iv";
  unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  TerrainModel model;
  EXPECT_EQ(load(model, fifo, false), "the reader made no progress for 10 s and was stopped");

  // Streamed through a FIFO by a writer, a scene loads.
  const pid_t writer = fork();
  if (writer == 0) {
    std::ofstream(fifo) << "#Inventor V2.1 ascii\n" << TRIANGLE;
    _exit(0);
  }
  TerrainModel streamed;
  load(streamed, fifo);
  EXPECT_EQ(indicesOf(streamed), (std::vector<int32_t>{0, 1, 2, -1}));
  waitpid(writer, nullptr, 0);
}

// The loader may be called more than once in one process: a File node refused in one scene
// must not fail the next.
TEST_F(Load, ARefusedFileNodeFailsOnlyItsOwnScene)
{
  ContainedProgress progress;
  FlatMesh refused;
  std::string reason;
  EXPECT_FALSE(loadScene(writeScene("File { name \"/tmp\" }\n").c_str(), refused, progress, reason));
  EXPECT_NE(reason.find("File node"), std::string::npos) << reason;
  FlatMesh clean;
  EXPECT_TRUE(loadScene(writeScene(TRIANGLE).c_str(), clean, progress, reason));
  EXPECT_EQ(clean.coordIndex, (std::vector<int32_t>{0, 1, 2, -1}));
}

TEST(SceneCheck, EstimateCountsEveryPathOnceAndEveryDistinctNodeOnce)
{
  SoDB::init();
  SoInput input;
  const std::string text = "#Inventor V2.1 ascii\n"
                           "Separator { DEF A IndexedFaceSet { coordIndex [ 0, 1, 2, -1 ] }\n"
                           "  DEF B Group { USE A USE A Sphere {} }\n"
                           "  DEF C Switch { USE B USE B }  USE C }\n";
  input.setBuffer(text.data(), text.size());
  SoSeparator * scene = SoDB::readAll(&input);
  ASSERT_NE(scene, nullptr);
  scene->ref();
  // A: 4 entries; B: 2 x 4 + a sphere (1000); C: 2 x B; the scene: A + B + 2 x C.
  const uint64_t b = 2 * 4 + 1000;
  EXPECT_EQ(scenecheck::estimateTriangles(scene), 4 + b + 2 * (2 * b));
  scene->unref();
}

// The child's result crosses as bytes: a whole mesh comes back as it went, and bytes cut short
// anywhere, or with a count that runs past them, are refused rather than read past.
TEST(FlatMeshPassage, RoundTripAndShortBytes)
{
  FlatMesh mesh;
  mesh.points = {SbVec3f(1, 2, 3), SbVec3f(-0.0f, 5, 6)};
  mesh.texCoords = {SbVec2f(0.5f, 1), SbVec2f(0, 0)};
  mesh.coordIndex = {0, 1, 1, -1};
  mesh.texture.filename = "maps/volcano.png";
  mesh.texture.wrapT = SoTexture2::CLAMP;
  mesh.texture.blendColor.setValue(1, 0.5f, 0);
  mesh.texture.image = {1, 2, 3, 4, 5, 6};
  mesh.texture.imageWidth = 2;
  mesh.texture.imageHeight = 1;
  mesh.texture.imageComponents = 3;
  mesh.note = "Origin: somewhere";
  mesh.sources = {"a.vrt", "tiles/b.tif"};
  FILE * file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(writeFlatMesh(fileno(file), mesh));
  const off_t size = lseek(fileno(file), 0, SEEK_END);
  ASSERT_GT(size, 0);
  std::string bytes(size_t(size), '\0');
  ASSERT_EQ(pread(fileno(file), &bytes[0], bytes.size(), 0), ssize_t(bytes.size()));
  std::fclose(file);

  MeshView view;
  MeshDetails details;
  const TextureFields & texture = details.texture;
  ASSERT_TRUE(parseFlatMesh(bytes.data(), bytes.size(), view, details));
  EXPECT_EQ(std::vector<SbVec3f>(view.points, view.points + view.numPoints), mesh.points);
  EXPECT_EQ(std::vector<SbVec2f>(view.texCoords, view.texCoords + view.numTexCoords),
            mesh.texCoords);
  EXPECT_EQ(std::vector<int32_t>(view.coordIndex, view.coordIndex + view.numIndices),
            mesh.coordIndex);
  EXPECT_EQ(texture.filename, mesh.texture.filename);
  EXPECT_EQ(texture.wrapS, int32_t(SoTexture2::REPEAT));
  EXPECT_EQ(texture.wrapT, int32_t(SoTexture2::CLAMP));
  EXPECT_EQ(texture.blendColor, mesh.texture.blendColor);
  EXPECT_EQ(texture.image, mesh.texture.image);
  EXPECT_EQ(texture.imageWidth, 2);
  EXPECT_EQ(texture.imageComponents, 3);
  EXPECT_EQ(details.note, mesh.note);
  EXPECT_EQ(details.sources, mesh.sources);

  for (size_t cut = 0; cut < bytes.size(); ++cut)
    EXPECT_FALSE(parseFlatMesh(bytes.data(), cut, view, details)) << cut << " bytes";
  // A point count far past the bytes (the header's second word).
  std::string lying = bytes;
  const int32_t huge = INT32_MAX;
  std::memcpy(&lying[4], &huge, sizeof huge);
  EXPECT_FALSE(parseFlatMesh(lying.data(), lying.size(), view, details));
  // An image whose size overflows what the bytes could hold.
  std::string wide = bytes;
  const int32_t side = 65536;
  std::memcpy(&wide[44], &side, sizeof side);
  std::memcpy(&wide[48], &side, sizeof side);
  EXPECT_FALSE(parseFlatMesh(wide.data(), wide.size(), view, details));
}
