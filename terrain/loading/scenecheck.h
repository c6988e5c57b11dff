#ifndef TERRAVEL_SCENECHECK_H
#define TERRAVEL_SCENECHECK_H

// Checks on a scene read from a file, made before and while its triangles are collected. The
// toolkit trusts the counts and indices in a file: it reads past its arrays where they run
// past the data, and it expands shared subgraphs (DEF/USE) without limit.

#include <Inventor/actions/SoCallbackAction.h>

#include <cstdint>

class SoNode;

namespace scenecheck {

// The most triangles the flat lists can hold: four 32-bit index entries per triangle.
const uint64_t maxTriangles = uint64_t(INT32_MAX) / 4;

// An estimate, from above for vertex-based shapes, of the triangles a traversal of the scene
// delivers: every shape counted once per path that reaches it (a shared subgraph used twice
// counts twice), the children of switches all counted. Found in one walk over the distinct
// nodes, however often they are shared. Saturates; a cycle counts as without end.
uint64_t estimateTriangles(SoNode * scene);

// A pre-callback for shapes: ABORT (and *bad = true) when a vertex-based shape's counts or
// indices run past the coordinates or texture coordinates it will read, so that no triangle of
// it is made from memory outside them.
SoCallbackAction::Response checkShape(void * bad, SoCallbackAction * action, const SoNode * node);

} // namespace scenecheck

#endif
