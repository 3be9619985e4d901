// A flat rectangular or disc-shaped object that shows the scene, or one object, reflected in its
// plane, limited to its own pixels by the stencil buffer, with its surface blended over it.
#pragma once

#include <cstdint>

#include "Source/Scene/GLSceneGraph.h"

enum TMirrorOption : uint8_t { moUseStencil, moOpaque, moMirrorPlaneClip, moClearZBuffer };
using TMirrorOptions = TSet<TMirrorOption>;
enum TMirrorShapes : uint8_t { msRect, msDisk };

class TGLMirror : public TGLSceneObject {
  RTL_CLASS(TGLMirror, TGLSceneObject)
 public:
  explicit TGLMirror(TComponent* AOwner);
  ~TGLMirror() override;
  void Assign(TPersistent* Source) override;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  void BuildList(TRenderContextInfo& rci) override;
  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;

  // nullptr: the whole scene.
  TGLBaseSceneObject* MirrorObject() const noexcept { return mirrorObject_; }
  void SetMirrorObject(TGLBaseSceneObject* v);
  TMirrorOptions MirrorOptions() const noexcept { return mirrorOptions_; }
  void SetMirrorOptions(TMirrorOptions v);
  float Width() const noexcept { return width_; }
  void SetWidth(float v);
  float Height() const noexcept { return height_; }
  void SetHeight(float v);
  float Radius() const noexcept { return radius_; }
  void SetRadius(float v);
  int Slices() const noexcept { return slices_; }
  void SetSlices(int v);
  TMirrorShapes Shape() const noexcept { return shape_; }
  void SetShape(TMirrorShapes v);

  TNotifyEvent OnBeginRenderingMirrors, OnEndRenderingMirrors;

 private:
  void RenderReflection(TRenderContextInfo& rci);
  void ClearZBufferArea(TRenderContextInfo& rci);
  TGLBaseSceneObject* mirrorObject_ = nullptr;
  TMirrorOptions mirrorOptions_{moUseStencil};
  float width_ = 1, height_ = 1, radius_ = 1;
  int slices_ = 16;
  TMirrorShapes shape_ = msRect;
  bool rendering_ = false;
};

void RegisterGLMirrorClasses();
