#ifndef TERRAVEL_TERRAINMODEL_H
#define TERRAVEL_TERRAINMODEL_H

#include "lodtreebuilder.h"
#include "rasterloader.h"
#include "safewrite.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class ContainedOutput;
class PostLookup;
class SbBSPTree;
class VertexWelder;
struct EditableMesh;
class SoCoordinate3;
class SoGroup;
class SoIndexedFaceSet;
class SoNode;
class SoSeparator;
class SoTexture2;
class SoTextureCoordinate2;

// How far a save has come: done of total (total 0: not known beforehand).
using SaveProgress = std::function<void(int64_t done, int64_t total)>;

// What loading a file came to.
struct LoadOutcome {
  bool loaded = false;
  bool raster = false; // an elevation raster, not a scene
  std::string reason;  // why not, for the user, when not loaded
  std::string note;    // a raster's: where its origin lies
  explicit operator bool(void) const { return loaded; }
};

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
  // broken files cost the load and not the program; the child reaches no network. A file that
  // is no Inventor scene but an elevation raster is meshed by the options (see loadRaster).
  LoadOutcome load(const char * fileName, const RasterOptions & raster = RasterOptions());
  // Every file the loading read (the input, a mosaic's rasters, a draped image, a scene's
  // picture): saves never replace one of them.
  const std::vector<std::string> & readFiles(void) const;
  // Where a georeferenced raster's origin lies on the Earth; unplaced otherwise.
  const GeoOrigin & origin(void) const { return geoOrigin; }
  // The model's root: texture, coordinates, texture coordinates, face set. Takes no reference;
  // load took one, which the model releases when it goes.
  SoSeparator * getRoot(void) const;
  void addTexture(SoGroup * group);
  // Writes the node and everything below it as an Inventor file (see writeTogether), never onto
  // a file the loading read. Where the node's first child is the model's texture, the file
  // names the picture as seen from its own folder; a picture the model made (from a raster) is
  // written beside it as NAME.png, and the two replace earlier files together or not at all.
  WriteOutcome save(SoSeparator * node, const char * fileName, bool binary = false,
                    const SaveProgress & progress = SaveProgress());
  // Writes a tree built by buildTree as 3D Tiles (see saveTileset), placed on the Earth where
  // the terrain is georeferenced.
  WriteOutcome saveTiles(SoSeparator * tree, const char * tilesetPath,
                         const SaveProgress & progress = SaveProgress());

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
  // Run mode 2's reduction (see reduceShare): passes in a row until percent of the chunk's
  // triangles are gone or no collapse is left, or the error reducer. The chunk's vertical error
  // against its vertices before, when settings.measure.
  VerticalError reduceToShare(SoNode * node, SbBSPTree * borderPoints, int percent,
                              const ReductionSettings & settings = ReductionSettings());
  // The level-of-detail tree over the model's extent, referenced once. progress hears of every
  // step (each last-level cut and each reduction pass), on the calling thread.
  using TreeProgress = std::function<void(int32_t done, int32_t total)>;
  SoSeparator * buildTree(int maxLevel, int percent, const TreeProgress & progress = TreeProgress(),
                          const ReductionSettings & settings = ReductionSettings());
  // The coarse chunks of the last tree built, level by level.
  const std::vector<LevelSummary> & treeLevels(void) const;

private:
  void reduceWith(SoNode * node, SbBSPTree * borderPoints,
                  const std::function<void(EditableMesh &, const VertexWelder &)> & pass);
  // The settings with the raster's posts where the error reducer can mesh them.
  ReductionSettings withPosts(const ReductionSettings & settings);

  SoSeparator * root;
  SoCoordinate3 * coords;
  SoIndexedFaceSet * faceSet;
  SoTexture2 * texture;
  SoTextureCoordinate2 * texCoords;
  int32_t progressCount;
  int32_t progressTotal;
  std::string loadedFrom;
  std::vector<std::string> sources;
  std::vector<LevelSummary> levels;
  GeoOrigin geoOrigin;
  RasterGrid grid;
  std::vector<uint32_t> posts;
  RasterPlacement placementOfRaster;
  std::unique_ptr<PostLookup> postLookup; // made when first needed
  // The reading child's bytes, which the model's lists are read in place from: they live as
  // long as the model, and the model's lists never change size.
  std::unique_ptr<ContainedOutput> loadedBytes;
};

#endif
