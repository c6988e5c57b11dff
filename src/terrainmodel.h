#ifndef TERRAVEL_TERRAINMODEL_H
#define TERRAVEL_TERRAINMODEL_H

#include "vertexwelder.h"

#include <Inventor/SbVec2f.h>
#include <Inventor/nodes/SoSeparator.h>

#include <cstdint>
#include <memory>
#include <vector>

class SbBSPTree;
class SoCallbackAction;
class SoCoordinate3;
class SoGroup;
class SoIndexedFaceSet;
class SoMFFloat;
class SoMFInt32;
class SoNode;
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
  void save(SoSeparator * node, const char * fileName);

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
  friend void triangleCallback(void * userData, SoCallbackAction * action,
                               const SoPrimitiveVertex * v1, const SoPrimitiveVertex * v2,
                               const SoPrimitiveVertex * v3);

  SoSeparator * lodRoot;
  SoSeparator * root;
  SoCoordinate3 * coords;
  std::unique_ptr<VertexWelder> pointTree;
  SoIndexedFaceSet * faceSet;
  SoTexture2 * texture;
  SoTextureCoordinate2 * texCoords;
  int32_t progressCount;
  int32_t progressTotal;

  // Lists being filled while loading; written into the fields in one go at the end.
  std::vector<int32_t> loadingIndices;
  std::vector<SbVec2f> loadingTexCoords;
  bool loaded;
};

#endif
