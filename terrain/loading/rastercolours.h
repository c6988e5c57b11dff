#ifndef TERRAVEL_RASTERCOLOURS_H
#define TERRAVEL_RASTERCOLOURS_H

#include "flatmesh.h"

#include <cstdint>
#include <vector>

// The colour of one post of the height, among a terrain's lowest and highest, shaded by its
// slopes (rise over run) to the east and to the south.
void reliefColour(float height, float lowest, float highest, float slopeEast, float slopeSouth,
                  unsigned char rgb[3]);

// A picture of a terrain's relief, so that it reads at a glance without a texture of its own: a
// colour ramp by height (blues at sea level and below; green, ochre, brown and white from the
// lowest land to the highest) shaded by light from the north-west, 45 degrees up. One texel per post of
// the grid of columns x rows, or per k-th post where that would pass maxSide texels a side.
// vertexOf gives each post's vertex in points (X east, Y up, Z south), -1 where there is none;
// such posts are black. The picture goes into the texture's image, rows from the bottom up.
void makeReliefTexture(int64_t columns, int64_t rows, const std::vector<SbVec3f> & points,
                       const std::vector<int32_t> & vertexOf, int maxSide, TextureFields & texture);

#endif
