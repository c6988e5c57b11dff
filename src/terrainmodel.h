#ifndef TERRAVEL_TERRAINMODEL_H
#define TERRAVEL_TERRAINMODEL_H

#include "rasterloader.h"

#include <cstdint>
#include <memory>
#include <string>

class ContainedOutput;
class SbBSPTree;
class SoCoordinate3;
class SoGroup;
class SoIndexedFaceSet;
class SoNode;
class SoSeparator;
class SoTexture2;
class SoTextureCoordinate2;

// The flattened terrain of one run: every triangle of the loaded scene in world coordinates,
// every distinct vertex once, one texture coordinate per vertex and the scene's last texture.
// Nothing changes it after loading. Its mesh operations are front doors to the free functions
// over plain meshes (meshextent, meshcut, meshreduce, lodtreebuilder): they work on the nodes
// they are given and build new ones.
class TerrainModel {
public:
  TerrainModel(void);
  ~TerrainModel(void);
  TerrainModel(const TerrainModel &) = delete;
  TerrainModel & operator=(const TerrainModel &) = delete;

  // Reads and flattens the file in a child process, so that the toolkit's and GDAL's faults on
  // broken files cost the load and not the program. Prints "Loading NAME ..." and " Done" or
  // " Failed". A file that is no Inventor scene but an elevation raster is meshed by the
  // options (see loadRaster); a line after the loading one tells where its origin lies.
  bool load(const char * fileName, const RasterOptions & raster = RasterOptions());
  // The model's root: texture, coordinates, texture coordinates, face set. Takes no reference;
  // load took one, which the model releases when it goes.
  SoSeparator * getRoot(void) const;
  void addTexture(SoGroup * group);
  // See saveScene. True when the file was written. Where the node's first child is the model's
  // texture, the file names the picture as seen from its own folder; a picture the model made
  // (from a raster) is written beside it as NAME.png first.
  bool save(SoSeparator * node, const char * fileName, const char * keepIntact = nullptr);

  // The extent of the first coordinate node below node, in the order minimum X, minimum Z,
  // maximum X, maximum Z; left untouched without one.
  void getExtent(SoNode * node, float & minX, float & minZ, float & maxX, float & maxZ);
  // A new chunk, referenced once, of the triangles below node whose centroid the rectangle
  // keeps; records the vertices along the cut in borderPoints. Null without a coordinate,
  // face-set or texture-coordinate node below node.
  SoSeparator * cutRegion(SoNode * node, float x1, float y1, float x2, float y2,
                          SbBSPTree * borderPoints);
  // One reduction pass over the chunk below node, in place, keeping the border points.
  void reduce(SoNode * node, SbBSPTree * borderPoints, int percent);
  // The level-of-detail tree over the model's extent, referenced once, printing its progress.
  SoSeparator * buildTree(int maxLevel, int percent);

private:
  void progressStep(void);

  SoSeparator * root;
  SoCoordinate3 * coords;
  SoIndexedFaceSet * faceSet;
  SoTexture2 * texture;
  SoTextureCoordinate2 * texCoords;
  int32_t progressCount;
  int32_t progressTotal;
  bool loaded;
  std::string loadedFrom;
  // The reading child's bytes, which the model's lists are read in place from: they live as
  // long as the model, and the model's lists never change size.
  std::unique_ptr<ContainedOutput> loadedBytes;
};

#endif
