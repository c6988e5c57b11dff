#ifndef TERRAVEL_BUILDPARTS_H
#define TERRAVEL_BUILDPARTS_H

// A tiled build in parts, for a cluster's scheduler: the tiles of a split level are dealt to N
// parts by a rule fixed by the inputs alone (largest first, each to the part with the fewest
// valid posts so far, the posts counted on the raster's sampled picture); part I builds the
// subtrees of its tiles; the merge builds the levels above once every part has finished, each
// part's record saying what it was built from. How it is cut changes no byte of the result.
//
//   part 0 of 2:  [A] [C]        split level:  A B C D
//   part 1 of 2:  [B] [D]        the merge:      AB CD -> root

#include "geodeticgrid.h"
#include "tilelattice.h"
#include "tilesource.h"

#include <cstdint>
#include <string>
#include <vector>

// The shallowest level, from the top down to the first, with at least four tiles a part.
int splitLevelFor(const TileLattice & lattice, int shallowest, int first, int parts);

// The part of each tile of the split level (tiles as lattice.tilesOf gives them).
std::vector<int> dealTiles(const TileSource & source, const std::vector<TileAddress> & tiles, int parts);

// What a finished part leaves: "terravel part I of N", the build's settings and split level.
struct PartMark {
  int index = 0, count = 0, split = 0;
  uint64_t settings = 0;
};
std::string encodeMark(const PartMark & mark);
bool decodeMark(const std::string & text, PartMark & mark);
// The name of part I of N's mark in the build's folder of records.
std::string markName(int index, int count);

// The index a scheduler gives this task: the first of SLURM_ARRAY_TASK_ID, JOB_COMPLETION_INDEX
// and AWS_BATCH_JOB_ARRAY_INDEX that is set; false, with the reason, when none is, or it is no
// whole number.
bool indexFromScheduler(int & index, std::string & reason);

#endif
