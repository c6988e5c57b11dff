#ifndef TERRAVEL_GLBWRITER_H
#define TERRAVEL_GLBWRITER_H

// One mesh as a binary glTF file, through the glTF library: one node (its translation in double
// precision, so that a tile far from the Earth's centre keeps its vertices' millimetres), one
// primitive of triangles, and a material with the picture embedded, or plain white.
//
//   GlbMesh mesh;  mesh.positions = {0,0,0, 1,0,0, 0,0,1};  mesh.indices = {0, 2, 1};
//   std::string bytes;  encodeGlb(mesh, bytes);   // "glTF" ... a GLB of one triangle

#include <cstdint>
#include <string>
#include <vector>

struct GlbMesh {
  std::vector<float> positions;  // three a vertex, about the translation
  std::vector<float> normals;    // three a vertex, of unit length; none when empty
  std::vector<float> texCoords;  // two a vertex, glTF's (v from the top down); none when empty
  std::vector<uint32_t> indices; // three a triangle, counter-clockwise seen from outside
  double translation[3] = {0.0, 0.0, 0.0};
  std::string picture;           // PNG or JPEG bytes, or none
  std::string pictureType = "image/png";
  bool repeat = false;           // the picture repeats beyond texture coordinates 0 to 1
};

// False when the glTF library cannot write it.
bool encodeGlb(const GlbMesh & mesh, std::string & glb);

#endif
