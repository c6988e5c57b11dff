// Fuzz target: the input bytes are an Inventor file handed to the loader. Whatever the toolkit
// makes of them, loading must end with a model whose lists agree with each other, or fail.

#include "terrainmodel.h"

#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/SoDB.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * data, size_t size)
{
  static std::string path;
  if (path.empty()) {
    SoDB::init();
    // The loader reports on standard output; thousands of runs need not.
    std::freopen("/dev/null", "w", stdout);
    path = "/tmp/terravel-fuzz-load-" + std::to_string(getpid()) + ".iv";
  }
  FILE * file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);

  TerrainModel model;
  if (model.load(path.c_str())) {
    SoSeparator * root = model.getRoot();
    if (root->getNumChildren() != 4) std::abort();
    const int numPoints = static_cast<SoCoordinate3 *>(root->getChild(1))->point.getNum();
    if (static_cast<SoTextureCoordinate2 *>(root->getChild(2))->point.getNum() != numPoints)
      std::abort();
    const SoMFInt32 & index = static_cast<SoIndexedFaceSet *>(root->getChild(3))->coordIndex;
    for (int i = 0; i < index.getNum(); ++i) {
      const bool ok = i % 4 == 3 ? index[i] == -1 : index[i] >= 0 && index[i] < numPoints;
      if (!ok) std::abort();
    }
  }
  return 0;
}
