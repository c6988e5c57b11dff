#ifndef TERRAVEL_CHUNKERROR_H
#define TERRAVEL_CHUNKERROR_H

// A tree's coarse chunks carry their measured vertical error in an SoInfo in front of their
// SoLOD, so that a saved tree keeps it:
//
//   Separator {
//     Info { string "coarse chunk: largest vertical error 1.250000 m, RMS 0.130000 m" }
//     LOD { range 840 center 150 0 215  Separator { ... }  Separator { ... } }
//   }
//
// With it the tree can switch by what an error looks like on screen rather than by distance.

#include "verticalerror.h"

class SoInfo;
class SoNode;

SoInfo * errorInfo(const VerticalError & error);

// The largest error and RMS an SoInfo of errorInfo holds; false for any other node.
bool errorOfInfo(const SoNode * node, double & largest, double & rms);

// Sets every SoLOD whose coarse chunk has a measured error so that the chunk is drawn only
// where that error comes to at most `pixels` on screen, in a view `viewportHeight` pixels high
// whose vertical field of view is `heightAngle` radians: the LOD is centred on the chunk's
// bounds, and its range is the distance at which the error shows that large plus the bounds'
// radius, so that no point of the bounds comes nearer than that distance while the chunk is
// drawn. Gives the number of LODs set.
int setRangesForPixelError(SoNode * tree, double pixels, double heightAngle, int viewportHeight);

// The distance from which a vertical error of `error` metres shows as `pixels` on screen.
double distanceForPixelError(double error, double pixels, double heightAngle, int viewportHeight);

#endif
