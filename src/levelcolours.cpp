#include "levelcolours.h"

#include <Inventor/nodes/SoLOD.h>
#include <Inventor/nodes/SoMaterial.h>
#include <Inventor/nodes/SoSeparator.h>

#include <cstdio>
#include <vector>

namespace {

struct LevelColour {
  const char * name;
  float rgb[3];
};

// Strong, and far apart from one level to the next, yet none so dark that the texture is lost.
const LevelColour colours[] = {
  {"red", {1.0f, 0.25f, 0.25f}},     {"green", {0.3f, 1.0f, 0.3f}},
  {"blue", {0.4f, 0.5f, 1.0f}},      {"yellow", {1.0f, 1.0f, 0.2f}},
  {"magenta", {1.0f, 0.3f, 1.0f}},   {"cyan", {0.2f, 1.0f, 1.0f}},
  {"orange", {1.0f, 0.6f, 0.15f}},   {"violet", {0.65f, 0.4f, 1.0f}},
  {"grey", {0.7f, 0.7f, 0.7f}},      {"white", {1.0f, 1.0f, 1.0f}},
};
const int numColours = int(sizeof colours / sizeof colours[0]);

class Tinter {
public:
  explicit Tinter(int maxLevel) : maxLevel(maxLevel)
  {
    for (int level = 1; level <= maxLevel; ++level) {
      SoMaterial * material = new SoMaterial;
      const float * rgb = colours[(level - 1) % numColours].rgb;
      material->diffuseColor.setValue(rgb[0], rgb[1], rgb[2]);
      materials.push_back(material);
    }
  }

  // A cell separator holds the texture (the root only) and one SoLOD: its sub-cells, then its
  // coarse chunk.
  void tintCell(SoGroup * cell, int level)
  {
    for (int i = 0; i < cell->getNumChildren(); ++i) {
      if (!cell->getChild(i)->isOfType(SoLOD::getClassTypeId())) continue;
      SoLOD * lod = static_cast<SoLOD *>(cell->getChild(i));
      if (lod->getNumChildren() != 2) continue;
      wrap(lod, 1, level);
      SoGroup * subCells = static_cast<SoGroup *>(lod->getChild(0));
      for (int q = 0; q < subCells->getNumChildren(); ++q) {
        if (level + 1 == maxLevel) {
          wrap(subCells, q, maxLevel);
        } else if (subCells->getChild(q)->isOfType(SoGroup::getClassTypeId())) {
          tintCell(static_cast<SoGroup *>(subCells->getChild(q)), level + 1);
        }
      }
    }
  }

private:
  void wrap(SoGroup * parent, int index, int level)
  {
    SoSeparator * tinted = new SoSeparator;
    tinted->addChild(materials[size_t(level) - 1]);
    tinted->addChild(parent->getChild(index));
    parent->replaceChild(index, tinted);
  }

  const int maxLevel;
  std::vector<SoMaterial *> materials;
};

} // namespace

void tintLevels(SoSeparator * tree, int maxLevel)
{
  Tinter(maxLevel).tintCell(tree, 1);
  for (int level = 1; level <= maxLevel; ++level) {
    const LevelColour & colour = colours[(level - 1) % numColours];
    std::printf("Level %d -> %s%s\n", level, colour.name,
                level == maxLevel ? " (unreduced chunks)" : "");
  }
}
