// Helpers shared by objects that draw the scene a second time through a plane's matrix (planar
// shadows, mirrors).
#pragma once

#include <utility>

#include "Source/Scene/GLSceneGraph.h"
#include "rtl/SysUtils.h"

// Renders the scene's root objects with their children, or only `obj` (with its children) under
// its parent's absolute matrix and its own local matrix.
void RenderSceneOrObject(TGLBaseSceneObject* self, TGLBaseSceneObject* obj, TRenderContextInfo& rci);

// True when the camera is on the side of the object's plane its direction points to.
bool CameraInFrontOf(TGLBaseSceneObject* obj, const TRenderContextInfo& rci);
