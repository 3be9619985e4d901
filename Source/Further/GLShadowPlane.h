// A plane that also draws the shadow of an object, or of the whole scene, cast by one light onto
// itself: the geometry is flattened onto the plane and drawn in a flat shadow colour.
#pragma once

#include <cstdint>
#include <memory>

#include "Source/Materials/GLColor.h"
#include "Source/Objects/GLObjects.h"

class TGLLightSource;

enum TShadowPlaneOption : uint8_t { spoUseStencil, spoScissor, spoTransparent, spoIgnoreZ };
using TShadowPlaneOptions = TSet<TShadowPlaneOption>;

class TGLShadowPlane : public TGLPlane {
  RTL_CLASS(TGLShadowPlane, TGLPlane)
 public:
  explicit TGLShadowPlane(TComponent* AOwner);
  ~TGLShadowPlane() override;
  void Assign(TPersistent* Source) override;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;

  // nullptr: the whole scene.
  TGLBaseSceneObject* ShadowingObject() const noexcept { return shadowingObject_; }
  void SetShadowingObject(TGLBaseSceneObject* v);
  // nullptr: no shadow.
  TGLLightSource* ShadowedLight() const noexcept { return shadowedLight_; }
  void SetShadowedLight(TGLLightSource* v);
  TGLColor* ShadowColor() const noexcept { return shadowColor_.get(); }
  void SetShadowColor(TGLColor* v) { shadowColor_->Assign(v); }
  TShadowPlaneOptions ShadowOptions() const noexcept { return shadowOptions_; }
  void SetShadowOptions(TShadowPlaneOptions v);

  TNotifyEvent OnBeginRenderingShadows, OnEndRenderingShadows;

 private:
  void RenderShadows(TRenderContextInfo& rci);
  TGLBaseSceneObject* shadowingObject_ = nullptr;
  TGLLightSource* shadowedLight_ = nullptr;
  std::unique_ptr<TGLColor> shadowColor_;
  TShadowPlaneOptions shadowOptions_{spoUseStencil, spoScissor};
  bool rendering_ = false;
};

void RegisterGLShadowPlaneClasses();
