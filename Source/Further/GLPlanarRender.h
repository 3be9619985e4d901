// Helpers shared by objects that draw the scene a second time through a plane's matrix (planar
// shadows, mirrors).
#pragma once

#include <utility>

#include "Source/Scene/GLSceneGraph.h"
#include "rtl/SysUtils.h"

// Sets a value for a scope and puts the old one back, also when the scope is left by an exception.
template <class T>
class TValueRestore {
 public:
  TValueRestore(T& target, T value) : target_(target), old_(std::exchange(target, std::move(value))) {}
  ~TValueRestore() { target_ = std::move(old_); }
  TValueRestore(const TValueRestore&) = delete;
  TValueRestore& operator=(const TValueRestore&) = delete;

 private:
  T& target_;
  T old_;
};

// Renders the scene's root objects with their children, or only `obj` (with its children) under
// its parent's absolute matrix and its own local matrix.
void RenderSceneOrObject(TGLBaseSceneObject* self, TGLBaseSceneObject* obj, TRenderContextInfo& rci);

// True when the camera is on the side of the object's plane its direction points to.
bool CameraInFrontOf(TGLBaseSceneObject* obj, const TRenderContextInfo& rci);
