#ifndef TERRAVEL_TESTS_LITERAL_MESHOPS_H
#define TERRAVEL_TESTS_LITERAL_MESHOPS_H

// The region cut and the reduction pass written step by step the slow, obvious way: the
// toolkit's fields as working arrays, one deleteValues per deleted triangle or vertex, the
// toolkit's point tree for vertex identity and protection. The fast operations must give exactly
// what these give. Only for valid input: every index inside both lists, finite coordinates.
//
// The same mended rules as the real operations: the shortest-edge search starts at infinity, an
// edge from a vertex to itself is never proposed, a non-finite point is never recorded, and a
// collapse that would turn a triangle over, flatten it on the ground, leave it for the final
// sweep to delete or fold the surface onto itself is passed over.

class SbBSPTree;
class SoCoordinate3;
class SoIndexedFaceSet;
class SoMFFloat;
class SoMFInt32;
class SoNode;
class SoSeparator;

namespace literal {

SoSeparator * cutRegion(SoNode * node, float x1, float y1, float x2, float y2,
                        SbBSPTree * borderPoints);
void reduce(SoNode * node, SbBSPTree * borderPoints, int percent);
void sortCandidates(SoMFFloat & lengths, SoMFInt32 & from, SoMFInt32 & to, int lo, int hi);
void removeCollinearTriangles(SoCoordinate3 * coordinates, SoIndexedFaceSet * faceSet);

} // namespace literal

#endif
