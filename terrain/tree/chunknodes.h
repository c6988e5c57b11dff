#ifndef TERRAVEL_CHUNKNODES_H
#define TERRAVEL_CHUNKNODES_H

// Between plain lists and the toolkit's nodes: a mesh chunk is a separator holding, in this
// order, a coordinate node, a texture-coordinate node (entry i for vertex i) and an indexed
// face set whose coordIndex holds the triangles; it carries no texture of its own.

#include "flatmesh.h"
#include "meshcut.h"

#include <functional>

class SoCoordinate3;
class SoIndexedFaceSet;
class SoNode;
class SoSeparator;
class SoTextureCoordinate2;

// The first coordinate, face-set and texture-coordinate node below a node (types derived from
// them included, every child searched); all three or none.
struct ChunkNodes {
  SoCoordinate3 * coords = nullptr;
  SoIndexedFaceSet * faceSet = nullptr;
  SoTextureCoordinate2 * texCoords = nullptr;
};
bool findChunkNodes(SoNode * node, ChunkNodes & found);
MeshView viewOf(const ChunkNodes & nodes, bool distinctPositions);

// A new chunk, referenced once, that a cut writes straight into.
class NodeChunkWriter : public ChunkWriter {
public:
  NodeChunkWriter(void);
  ~NodeChunkWriter(void) override;
  NodeChunkWriter(const NodeChunkWriter &) = delete;
  NodeChunkWriter & operator=(const NodeChunkWriter &) = delete;

  int32_t * indices(int32_t count) override;
  void vertices(int32_t count, SbVec3f *& points, SbVec2f *& texCoords) override;
  void finish(void) override;
  // The chunk with its one reference, which now belongs to the caller.
  SoSeparator * release(void);

private:
  SoSeparator * chunk;
  ChunkNodes nodes;
  bool editing = false;
};

// Lets the edit rewrite the chunk's three lists in place, as an editable mesh, and shrinks the
// fields to the counts it leaves.
void editInPlace(const ChunkNodes & nodes, const std::function<void(EditableMesh &)> & edit);

// A new chunk holding copies of the lists, referenced once.
SoSeparator * makeChunkNode(const FlatMesh & lists);

#endif
