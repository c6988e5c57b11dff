#include "terrainmodel.h"

SoSeparator * TerrainModel::buildTree(int, int) { return NULL; }
SoSeparator * TerrainModel::buildChunk(float, float, float, float, int, int, int) { return NULL; }
