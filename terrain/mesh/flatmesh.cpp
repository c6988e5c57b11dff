#include "flatmesh.h"

#include "containedrun.h"

#include <algorithm>
#include <cstring>

namespace {

struct Header {
  uint32_t magic;
  int32_t numPoints;
  int32_t numTexCoords;
  int32_t numIndices;
  int32_t wrapS;
  int32_t wrapT;
  int32_t model;
  float blendColor[3];
  int32_t filenameLength;
  int32_t imageWidth;
  int32_t imageHeight;
  int32_t imageComponents;
  int32_t noteLength;
  int32_t sourcesLength;
  int32_t numPosts;
  int32_t placed;
  double geoTransform[6];
  int32_t datum;
  int32_t wktLength;
  int32_t datumFileLength;
};
const uint32_t MAGIC = 0x54524e36;

// The names of the sources, each ended by a NUL: no file name holds one.
std::string joinedSources(const std::vector<std::string> & sources)
{
  std::string joined;
  for (const std::string & source : sources) joined += source + '\0';
  return joined;
}

std::vector<std::string> splitSources(const char * text, size_t length)
{
  std::vector<std::string> sources;
  size_t start = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] != '\0') continue;
    sources.emplace_back(text + start, i - start);
    start = i + 1;
  }
  return sources;
}

// Points at the next count values, or null when the bytes run out first.
template <typename T>
const T * take(const char * bytes, size_t size, size_t & at, size_t count)
{
  if (count > (size - at) / sizeof(T)) return nullptr;
  const T * values = reinterpret_cast<const T *>(bytes + at);
  at += sizeof(T) * count;
  return values;
}

} // namespace

namespace {

template <typename View, typename Lists>
View viewOfLists(Lists & mesh)
{
  View view;
  view.points = mesh.points.data();
  view.numPoints = int32_t(mesh.points.size());
  view.texCoords = mesh.texCoords.data();
  view.numTexCoords = int32_t(mesh.texCoords.size());
  view.coordIndex = mesh.coordIndex.data();
  view.numIndices = int32_t(mesh.coordIndex.size());
  return view;
}

} // namespace

MeshView viewOf(const FlatMesh & mesh, bool distinctPositions)
{
  MeshView view = viewOfLists<MeshView>(mesh);
  view.distinctPositions = distinctPositions;
  return view;
}

EditableMesh editableViewOf(FlatMesh & mesh)
{
  return viewOfLists<EditableMesh>(mesh);
}

void resizeTo(FlatMesh & mesh, const EditableMesh & edited)
{
  mesh.points.resize(size_t(edited.numPoints));
  mesh.texCoords.resize(size_t(edited.numTexCoords));
  mesh.coordIndex.resize(size_t(edited.numIndices));
}

bool writeFlatMesh(int fd, const FlatMesh & mesh)
{
  const TextureFields & t = mesh.texture;
  const std::string sources = joinedSources(mesh.sources);
  const Header header = {MAGIC,
                         int32_t(mesh.points.size()),
                         int32_t(mesh.texCoords.size()),
                         int32_t(mesh.coordIndex.size()),
                         t.wrapS,
                         t.wrapT,
                         t.model,
                         {t.blendColor[0], t.blendColor[1], t.blendColor[2]},
                         int32_t(t.filename.size()),
                         t.imageWidth,
                         t.imageHeight,
                         t.imageComponents,
                         int32_t(mesh.note.size()),
                         int32_t(sources.size()),
                         int32_t(mesh.posts.size()),
                         mesh.placement.placed ? 1 : 0,
                         {},
                         int32_t(mesh.placement.datum),
                         int32_t(mesh.placement.wkt.size()),
                         int32_t(mesh.placement.datumFile.size())};
  if (t.image.size() != size_t(t.imageWidth) * size_t(t.imageHeight) * size_t(t.imageComponents))
    return false;
  Header full = header;
  std::copy(mesh.placement.geoTransform, mesh.placement.geoTransform + 6, full.geoTransform);
  return writeAll(fd, &full, sizeof full) &&
         writeAll(fd, mesh.points.data(), sizeof(SbVec3f) * mesh.points.size()) &&
         writeAll(fd, mesh.texCoords.data(), sizeof(SbVec2f) * mesh.texCoords.size()) &&
         writeAll(fd, mesh.coordIndex.data(), sizeof(int32_t) * mesh.coordIndex.size()) &&
         writeAll(fd, t.filename.data(), t.filename.size()) &&
         writeAll(fd, t.image.data(), t.image.size()) &&
         writeAll(fd, mesh.note.data(), mesh.note.size()) &&
         writeAll(fd, sources.data(), sources.size()) &&
         writeAll(fd, &mesh.origin, sizeof mesh.origin) &&
         writeAll(fd, &mesh.grid, sizeof mesh.grid) &&
         writeAll(fd, mesh.posts.data(), sizeof(uint32_t) * mesh.posts.size()) &&
         writeAll(fd, mesh.placement.wkt.data(), mesh.placement.wkt.size()) &&
         writeAll(fd, mesh.placement.datumFile.data(), mesh.placement.datumFile.size());
}

bool parseFlatMesh(const char * bytes, size_t size, MeshView & mesh, MeshDetails & details)
{
  size_t at = 0;
  const Header * header = take<Header>(bytes, size, at, 1);
  if (header == nullptr || header->magic != MAGIC || header->numPoints < 0 ||
      header->numTexCoords < 0 || header->numIndices < 0 || header->filenameLength < 0 ||
      header->imageWidth < 0 || header->imageHeight < 0 || header->imageComponents < 0 ||
      header->imageComponents > 4 || header->imageWidth > 65536 || header->imageHeight > 65536 ||
      header->noteLength < 0 || header->sourcesLength < 0 || header->numPosts < 0 ||
      header->wktLength < 0 || header->datumFileLength < 0 || header->datum < 0 ||
      header->datum > int32_t(VerticalDatum::RASTER) ||
      (header->numPosts != 0 && header->numPosts != header->numPoints))
    return false;
  const size_t imageBytes =
    size_t(header->imageWidth) * size_t(header->imageHeight) * size_t(header->imageComponents);
  const SbVec3f * points = take<SbVec3f>(bytes, size, at, size_t(header->numPoints));
  const SbVec2f * texCoords =
    points ? take<SbVec2f>(bytes, size, at, size_t(header->numTexCoords)) : nullptr;
  const int32_t * indices =
    texCoords ? take<int32_t>(bytes, size, at, size_t(header->numIndices)) : nullptr;
  const char * filename =
    indices ? take<char>(bytes, size, at, size_t(header->filenameLength)) : nullptr;
  const unsigned char * image =
    filename ? take<unsigned char>(bytes, size, at, imageBytes) : nullptr;
  const char * noteText = image ? take<char>(bytes, size, at, size_t(header->noteLength)) : nullptr;
  const char * sources =
    noteText ? take<char>(bytes, size, at, size_t(header->sourcesLength)) : nullptr;
  // The origin's doubles follow text of any length: copied out, not read in place.
  const char * origin = sources ? take<char>(bytes, size, at, sizeof(GeoOrigin)) : nullptr;
  const char * grid = origin ? take<char>(bytes, size, at, sizeof(RasterGrid)) : nullptr;
  const char * posts = grid ? take<char>(bytes, size, at, sizeof(uint32_t) * size_t(header->numPosts)) : nullptr;
  const char * wkt = posts ? take<char>(bytes, size, at, size_t(header->wktLength)) : nullptr;
  const char * datumFile = wkt ? take<char>(bytes, size, at, size_t(header->datumFileLength)) : nullptr;
  if (datumFile == nullptr) return false;

  mesh.points = points;
  mesh.numPoints = header->numPoints;
  mesh.texCoords = texCoords;
  mesh.numTexCoords = header->numTexCoords;
  mesh.coordIndex = indices;
  mesh.numIndices = header->numIndices;
  TextureFields & texture = details.texture;
  texture.filename.assign(filename, size_t(header->filenameLength));
  texture.wrapS = header->wrapS;
  texture.wrapT = header->wrapT;
  texture.model = header->model;
  texture.blendColor.setValue(header->blendColor);
  texture.image.assign(image, image + imageBytes);
  texture.imageWidth = header->imageWidth;
  texture.imageHeight = header->imageHeight;
  texture.imageComponents = header->imageComponents;
  details.note.assign(noteText, size_t(header->noteLength));
  details.sources = splitSources(sources, size_t(header->sourcesLength));
  std::memcpy(&details.origin, origin, sizeof(GeoOrigin));
  std::memcpy(&details.grid, grid, sizeof(RasterGrid));
  details.posts.resize(size_t(header->numPosts));
  if (header->numPosts > 0) std::memcpy(details.posts.data(), posts, sizeof(uint32_t) * details.posts.size());
  RasterPlacement & placement = details.placement;
  placement.placed = header->placed != 0;
  std::copy(header->geoTransform, header->geoTransform + 6, placement.geoTransform);
  placement.datum = VerticalDatum(header->datum);
  placement.wkt.assign(wkt, size_t(header->wktLength));
  placement.datumFile.assign(datumFile, size_t(header->datumFileLength));
  return true;
}
