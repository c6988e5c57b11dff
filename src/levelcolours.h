#ifndef TERRAVEL_LEVELCOLOURS_H
#define TERRAVEL_LEVELCOLOURS_H

class SoSeparator;

// Tints every chunk of a level-of-detail tree by the level of its cell (the root cell is level
// 1, the cells that keep their unreduced chunks level maxLevel): each chunk goes into a
// separator behind a material of that level's colour, which the texture is modulated by, so
// the terrain stays visible under the tint. Prints the legend, one line per level.
void tintLevels(SoSeparator * tree, int maxLevel);

#endif
