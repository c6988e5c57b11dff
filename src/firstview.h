#ifndef TERRAVEL_FIRSTVIEW_H
#define TERRAVEL_FIRSTVIEW_H

class SbViewportRegion;
class SoCamera;
class SoNode;

// The first view of a terrain: from above, looking north (towards -Z) and down at
// viewFromAboveTilt degrees below the horizon, as near as the whole of the scene's bounding box
// allows, so that the terrain fills most of the window. The camera's focal point is the box's
// centre, which the examiner viewer turns about. A scene without extent leaves the camera.
const float viewFromAboveTilt = 40.0f;
void viewFromAbove(SoCamera * camera, SoNode * scene, const SbViewportRegion & viewport);

#endif
