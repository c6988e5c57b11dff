// Binary glTF through the glTF library: normals in bytes and texture coordinates in 16 bits where
// they fit (KHR_mesh_quantization), indices in 16 bits where the vertices are few enough.

#include "glbwriter.h"

#define TINYGLTF_IMPLEMENTATION
#define TINYGLTF_NO_STB_IMAGE
#define TINYGLTF_NO_STB_IMAGE_WRITE
#define TINYGLTF_NO_EXTERNAL_IMAGE
#include <tiny_gltf.h>

#include <algorithm>
#include <cmath>
#include <sstream>

namespace {

// Appends bytes to the buffer at a four-byte boundary and gives their view.
int addView(tinygltf::Model & model, const void * data, size_t size, int target, size_t stride = 0)
{
  std::vector<unsigned char> & buffer = model.buffers[0].data;
  buffer.resize((buffer.size() + 3) / 4 * 4);
  tinygltf::BufferView view;
  view.buffer = 0;
  view.byteOffset = buffer.size();
  view.byteLength = size;
  view.target = target;
  view.byteStride = stride;
  const unsigned char * bytes = static_cast<const unsigned char *>(data);
  buffer.insert(buffer.end(), bytes, bytes + size);
  model.bufferViews.push_back(view);
  return int(model.bufferViews.size() - 1);
}

int addAccessor(tinygltf::Model & model, int view, int componentType, size_t count, int type,
                std::vector<double> min = {}, std::vector<double> max = {}, bool normalized = false)
{
  tinygltf::Accessor accessor;
  accessor.normalized = normalized;
  accessor.bufferView = view;
  accessor.componentType = componentType;
  accessor.count = count;
  accessor.type = type;
  accessor.minValues = std::move(min);
  accessor.maxValues = std::move(max);
  model.accessors.push_back(accessor);
  return int(model.accessors.size() - 1);
}

// Normals in bytes (four a vertex, for alignment) and texture coordinates in 16 bits: finer than
// lighting and a tile's picture can show, and a third of the vertex bytes less.
bool addAttributes(tinygltf::Model & model, const GlbMesh & mesh, tinygltf::Primitive & primitive)
{
  const size_t vertices = mesh.positions.size() / 3;
  std::vector<double> low(3, 1e300), high(3, -1e300);
  for (size_t i = 0; i < mesh.positions.size(); ++i) {
    low[i % 3] = std::min(low[i % 3], double(mesh.positions[i]));
    high[i % 3] = std::max(high[i % 3], double(mesh.positions[i]));
  }
  primitive.attributes["POSITION"] = addAccessor(
    model, addView(model, mesh.positions.data(), mesh.positions.size() * 4, TINYGLTF_TARGET_ARRAY_BUFFER),
    TINYGLTF_COMPONENT_TYPE_FLOAT, vertices, TINYGLTF_TYPE_VEC3, low, high);
  bool quantized = false;
  if (mesh.normals.size() == 3 * vertices) {
    std::vector<int8_t> normals(vertices * 4, 0);
    for (size_t i = 0; i < vertices * 3; ++i)
      normals[i / 3 * 4 + i % 3] = int8_t(std::lround(mesh.normals[i] * 127.0f));
    primitive.attributes["NORMAL"] = addAccessor(
      model, addView(model, normals.data(), normals.size(), TINYGLTF_TARGET_ARRAY_BUFFER, 4),
      TINYGLTF_COMPONENT_TYPE_BYTE, vertices, TINYGLTF_TYPE_VEC3, {}, {}, true);
    quantized = true;
  }
  if (mesh.texCoords.size() == 2 * vertices) {
    const bool unitSquare = std::all_of(mesh.texCoords.begin(), mesh.texCoords.end(),
                                        [](float t) { return t >= 0.0f && t <= 1.0f; });
    if (unitSquare) {
      std::vector<uint16_t> texCoords(mesh.texCoords.size());
      for (size_t i = 0; i < texCoords.size(); ++i) texCoords[i] = uint16_t(std::lround(mesh.texCoords[i] * 65535.0f));
      primitive.attributes["TEXCOORD_0"] = addAccessor(
        model, addView(model, texCoords.data(), texCoords.size() * 2, TINYGLTF_TARGET_ARRAY_BUFFER),
        TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT, vertices, TINYGLTF_TYPE_VEC2, {}, {}, true);
    } else {
      primitive.attributes["TEXCOORD_0"] = addAccessor(
        model, addView(model, mesh.texCoords.data(), mesh.texCoords.size() * 4, TINYGLTF_TARGET_ARRAY_BUFFER),
        TINYGLTF_COMPONENT_TYPE_FLOAT, vertices, TINYGLTF_TYPE_VEC2);
    }
  }
  return quantized;
}

void addIndices(tinygltf::Model & model, const GlbMesh & mesh, tinygltf::Primitive & primitive)
{
  if (mesh.positions.size() / 3 < 65535) {
    const std::vector<uint16_t> shortIndices(mesh.indices.begin(), mesh.indices.end());
    primitive.indices = addAccessor(
      model, addView(model, shortIndices.data(), shortIndices.size() * 2, TINYGLTF_TARGET_ELEMENT_ARRAY_BUFFER),
      TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT, shortIndices.size(), TINYGLTF_TYPE_SCALAR);
  } else {
    primitive.indices = addAccessor(
      model, addView(model, mesh.indices.data(), mesh.indices.size() * 4, TINYGLTF_TARGET_ELEMENT_ARRAY_BUFFER),
      TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT, mesh.indices.size(), TINYGLTF_TYPE_SCALAR);
  }
}

// The material: the picture where there is one, plain white where there is none.
void addMaterial(tinygltf::Model & model, const GlbMesh & mesh)
{
  tinygltf::Material material;
  material.pbrMetallicRoughness.metallicFactor = 0.0;
  material.pbrMetallicRoughness.roughnessFactor = 1.0;
  if (!mesh.picture.empty()) {
    tinygltf::Image image;
    image.bufferView = addView(model, mesh.picture.data(), mesh.picture.size(), 0);
    image.mimeType = mesh.pictureType;
    model.images.push_back(image);
    tinygltf::Sampler sampler;
    sampler.magFilter = TINYGLTF_TEXTURE_FILTER_LINEAR;
    sampler.minFilter = TINYGLTF_TEXTURE_FILTER_LINEAR;
    sampler.wrapS = sampler.wrapT = mesh.repeat ? TINYGLTF_TEXTURE_WRAP_REPEAT : TINYGLTF_TEXTURE_WRAP_CLAMP_TO_EDGE;
    model.samplers.push_back(sampler);
    tinygltf::Texture texture;
    texture.source = 0;
    texture.sampler = 0;
    model.textures.push_back(texture);
    material.pbrMetallicRoughness.baseColorTexture.index = 0;
  }
  model.materials.push_back(material);
}

} // namespace

bool encodeGlb(const GlbMesh & mesh, std::string & glb)
{
  tinygltf::Model model;
  model.asset.version = "2.0";
  model.asset.generator = "Terravel";
  model.buffers.emplace_back();
  tinygltf::Primitive primitive;
  if (addAttributes(model, mesh, primitive))
    model.extensionsUsed = model.extensionsRequired = {"KHR_mesh_quantization"};
  addIndices(model, mesh, primitive);
  primitive.mode = TINYGLTF_MODE_TRIANGLES;
  primitive.material = 0;
  tinygltf::Mesh gltfMesh;
  gltfMesh.primitives.push_back(primitive);
  model.meshes.push_back(gltfMesh);
  tinygltf::Node node;
  node.mesh = 0;
  node.translation = {mesh.translation[0], mesh.translation[1], mesh.translation[2]};
  model.nodes.push_back(node);
  tinygltf::Scene scene;
  scene.nodes.push_back(0);
  model.scenes.push_back(scene);
  model.defaultScene = 0;
  addMaterial(model, mesh);
  std::ostringstream out;
  tinygltf::TinyGLTF writer;
  if (!writer.WriteGltfSceneToStream(&model, out, false, true)) return false;
  glb = out.str();
  return true;
}
