#ifndef TERRAVEL_FLATMESH_H
#define TERRAVEL_FLATMESH_H

// The flattened terrain as plain arrays: what loading produces and hands from the reading child
// to the program, what the mesh operations read, and what a chunk is before it becomes nodes.
// Triangles are groups of four entries in coordIndex: three vertex indices, then -1.

#include <Inventor/SbColor.h>
#include <Inventor/SbVec2f.h>
#include <Inventor/SbVec3f.h>
#include <Inventor/nodes/SoTexture2.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The fields of the one texture that the model takes over. From a scene the picture is named by
// its file only (an image stored in the scene itself is not carried); a raster brings its
// picture along instead, made from its heights or read from an image the user named.
struct TextureFields {
  std::string filename;
  std::vector<unsigned char> image; // rows from the bottom up, imageComponents bytes a texel
  int32_t imageWidth = 0;
  int32_t imageHeight = 0;
  int32_t imageComponents = 0;
  int32_t wrapS = SoTexture2::REPEAT;
  int32_t wrapT = SoTexture2::REPEAT;
  int32_t model = SoTexture2::MODULATE;
  SbColor blendColor = SbColor(0.0f, 0.0f, 0.0f);
};

// Where a georeferenced terrain's origin (X, Y, Z = 0) lies on the Earth: on the WGS 84
// ellipsoid at the height 0, as latitude and longitude in degrees and as Earth-centred
// coordinates in metres. Unplaced for a scene, or a raster without a reference system.
struct GeoOrigin {
  bool placed = false;
  double latitude = 0.0, longitude = 0.0;
  double earthCentred[3] = {0.0, 0.0, 0.0};
};

// How a raster's heights are measured: above which surface its posts' heights lie.
enum class VerticalDatum : int32_t {
  UNKNOWN,   // not said: taken as heights on the ellipsoid, and the load says so
  ELLIPSOID, // the WGS 84 ellipsoid
  EGM96,     // the EGM96 geoid (as SRTM files keep them)
  GRID,      // a geoid model in a grid file PROJ reads (datumFile)
  RASTER     // the vertical part of the raster's own reference system
};

// Where a raster's posts lie, to place any post on the Earth afresh: the pixel of post (c, r) of
// the kept grid is (c * stride, r * stride), its centre mapped by the geotransform into the
// reference system of wkt, its height above the vertical datum.
struct RasterPlacement {
  bool placed = false; // a geotransform and a reference system
  double geoTransform[6] = {0.0, 1.0, 0.0, 0.0, 0.0, -1.0};
  std::string wkt;
  VerticalDatum datum = VerticalDatum::UNKNOWN;
  std::string datumFile;
};

// Where a raster's mesh comes from: the grid of posts the load kept (every stride-th post of the
// raster), and for every vertex the number of its post in that grid (row * columns + column).
// Empty for a scene.
struct RasterGrid {
  int64_t columns = 0, rows = 0;
  int32_t stride = 1;
  bool present(void) const { return columns > 0 && rows > 0; }
};

struct FlatMesh {
  std::vector<SbVec3f> points;
  std::vector<SbVec2f> texCoords; // entry i belongs to vertex i
  std::vector<int32_t> coordIndex;
  TextureFields texture;
  std::string note; // a line for the user about where the mesh lies, or nothing
  // Every file the reading took data from (the input, the rasters a mosaic names, the image
  // draped over it): nothing the run writes may replace one of them.
  std::vector<std::string> sources;
  GeoOrigin origin;
  RasterGrid grid;
  std::vector<uint32_t> posts; // a raster's: the post of every vertex
  RasterPlacement placement;
};

// What comes with a mesh's lists across from the reading child.
struct MeshDetails {
  TextureFields texture;
  std::string note;
  std::vector<std::string> sources;
  GeoOrigin origin;
  RasterGrid grid;
  std::vector<uint32_t> posts;
  RasterPlacement placement;
};

// The three lists of a mesh, wherever they live (a FlatMesh, the fields of nodes, a mapping).
struct MeshView {
  const SbVec3f * points = nullptr;
  int32_t numPoints = 0;
  const SbVec2f * texCoords = nullptr;
  int32_t numTexCoords = 0;
  const int32_t * coordIndex = nullptr;
  int32_t numIndices = 0;
  // No two vertices share a position (the mesh was welded, or is a cut's chunk): a vertex can
  // then be told by its index alone.
  bool distinctPositions = false;

  int32_t numTriangles(void) const { return numIndices / 4; }
};

// The same lists for a pass that rewrites them in place; the counts shrink with them.
struct EditableMesh {
  SbVec3f * points = nullptr;
  int32_t numPoints = 0;
  SbVec2f * texCoords = nullptr;
  int32_t numTexCoords = 0;
  int32_t * coordIndex = nullptr;
  int32_t numIndices = 0;
};

MeshView viewOf(const FlatMesh & mesh, bool distinctPositions);
EditableMesh editableViewOf(FlatMesh & mesh);
// Shrinks the lists to the counts a pass left in the view.
void resizeTo(FlatMesh & mesh, const EditableMesh & edited);

// Crossing from the child that reads a file to the program: the lists and the texture's fields
// as bytes. writeFlatMesh gives false on a failed write; parseFlatMesh gives false when the
// bytes are not a whole mesh, and otherwise a view into them (valid while they are).
bool writeFlatMesh(int fd, const FlatMesh & mesh);
bool parseFlatMesh(const char * bytes, size_t size, MeshView & mesh, MeshDetails & details);

#endif
