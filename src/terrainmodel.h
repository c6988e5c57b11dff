#ifndef TERRAVEL_TERRAINMODEL_H
#define TERRAVEL_TERRAINMODEL_H

#include "vertexwelder.h"

#include <Inventor/SbVec2f.h>
#include <Inventor/actions/SoCallbackAction.h>
#include <Inventor/nodes/SoSeparator.h>

#include <cstdint>
#include <memory>
#include <vector>

class SbBSPTree;
class SbVec3f;
class SoCallbackAction;
class SoInput;
struct ContainedProgress;
class SoCoordinate3;
class SoGroup;
class SoIndexedFaceSet;
class SoMFFloat;
class SoMFInt32;
class SoNode;
class SoNodeSensor;
class SoPrimitiveVertex;
class SoTexture2;
class SoTextureCoordinate2;

// The flattened terrain of one run: every triangle of the loaded scene in world coordinates,
// every distinct vertex once, one texture coordinate per vertex and the scene's last texture.
// The mesh operations read it and build new nodes; nothing changes it after loading.
class TerrainModel {
public:
  TerrainModel(void);
  ~TerrainModel(void);
  TerrainModel(const TerrainModel &) = delete;
  TerrainModel & operator=(const TerrainModel &) = delete;

  // Loading and saving.
  bool load(const char * fileName);
  SoSeparator * getRoot(void) const;
  void addTexture(SoGroup * group);
  // Writes through a temporary file renamed into place; says "Failed" rather than replace
  // keepIntact (the input of the run), whatever name leads to it.
  void save(SoSeparator * node, const char * fileName, const char * keepIntact = nullptr);

  // Mesh operations; they work only on the nodes passed in.
  void getExtent(SoNode * node, float & minX, float & minZ, float & maxX, float & maxZ);
  SoSeparator * cutRegion(SoNode * node, float x1, float y1, float x2, float y2,
                          SbBSPTree * borderPoints);
  void reduce(SoNode * node, SbBSPTree * borderPoints, int percent);
  void sortCandidates(SoMFFloat & lengths, SoMFInt32 & from, SoMFInt32 & to, int lo, int hi);
  void removeCollinearTriangles(SoCoordinate3 * coordinates, SoIndexedFaceSet * faceSet);

  // Level-of-detail tree.
  SoSeparator * buildTree(int maxLevel, int percent);
  SoSeparator * buildChunk(float x1, float y1, float x2, float y2, int level, int maxLevel,
                           int percent);

private:
  void progressStep(void);
  // Reads the scene and flattens it into the loading lists, then writes them to fd; runs in a
  // child process of its own.
  bool flattenScene(SoInput & input, int fd, ContainedProgress & progress);

  friend void triangleCallback(void * userData, SoCallbackAction * action,
                               const SoPrimitiveVertex * v1, const SoPrimitiveVertex * v2,
                               const SoPrimitiveVertex * v3);
  friend SoCallbackAction::Response shapeCallback(void * userData, SoCallbackAction * action,
                                                  const SoNode * node);

  SoSeparator * lodRoot;
  SoSeparator * root;
  SoCoordinate3 * coords;
  std::unique_ptr<VertexWelder> pointTree;
  SoIndexedFaceSet * faceSet;
  SoTexture2 * texture;
  SoTextureCoordinate2 * texCoords;
  int32_t progressCount;
  int32_t progressTotal;

  // While the tree is built: per level of the recursion, the triangles that can matter to the
  // cell being built there (kept by its rectangle, or with a corner strictly inside it).
  std::vector<std::vector<int32_t>> cellTriangles;
  std::vector<float> centroidX;
  std::vector<float> centroidZ;

  // Lists being filled while loading; written into the fields in one go at the end.
  std::vector<int32_t> loadingIndices;
  std::vector<SbVec2f> loadingTexCoords;
  ContainedProgress * loadingProgress = nullptr;
  bool loadingFull = false;   // the lists reached what they can hold
  bool loadingBroken = false; // a shape's counts or indices ran past its data
  bool loaded;
  // Tells whether root still exists: in run mode 1 the main flow's last release destroys it
  // before the model goes; in the other run modes the model releases load's reference itself.
  std::unique_ptr<SoNodeSensor> rootWatch;
  bool rootDestroyed = false;
};

// The region cut on plain lists, for callers that already hold the mesh's values (the fields of
// a coordinate, texture-coordinate and face-set node) and want to visit only some triangles:
// `triangles` lists triangle numbers (groups of four in coordIndex) in increasing order, or is
// null to visit all of them. Gives the same chunk and records the same border points as
// cutRegion on a mesh that holds only the visited triangles. A triangle with a corner index
// outside either list (other than in its unread fourth entry) is skipped.
// `distinctPositions` promises that no two input vertices share a position (as in the model,
// which welds while loading, or in a chunk): vertices are then numbered by input index alone,
// with the same result and without a position hash.
SoSeparator * cutTriangles(const SbVec3f * points, int numPoints, const SbVec2f * texCoords,
                           int numTexCoords, const int32_t * coordIndex, int numIndices,
                           const int32_t * triangles, int numTriangles, float x1, float y1,
                           float x2, float y2, SbBSPTree * borderPoints,
                           bool distinctPositions = false);

#endif
