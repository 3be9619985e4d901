// The shadow plane: the plane itself, then the shadow caster flattened onto it in a flat colour.
#include "Source/Further/GLShadowPlane.h"

#include <algorithm>
#include <cmath>

#include "Source/Base/OpenGL1x.h"
#include "Source/Base/VectorGeometry.h"
#include "Source/Scene/GLLightSource.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLMaterialPasses.h"
#include "Source/Further/GLPlanarRender.h"
#include "Source/Scene/GLSceneBuffer.h"
#include "Source/Scene/GLState.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

TGLShadowPlane::TGLShadowPlane(TComponent* AOwner)
    : TGLPlane(AOwner), shadowColor_(std::make_unique<TGLColor>(this, TVector4f{0, 0, 0, 0.5f})) {
  objectStyle_ |= osDirectDraw;
}

TGLShadowPlane::~TGLShadowPlane() {
  SetShadowingObject(nullptr);
  SetShadowedLight(nullptr);
}

void TGLShadowPlane::Assign(TPersistent* Source) {
  if (auto* s = dynamic_cast<TGLShadowPlane*>(Source)) {
    shadowOptions_ = s->shadowOptions_;
    SetShadowingObject(s->shadowingObject_);
    SetShadowedLight(s->shadowedLight_);
    shadowColor_->Assign(s->shadowColor_.get());
  }
  inherited::Assign(Source);
}

void TGLShadowPlane::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove) {
    if (AComponent == shadowingObject_) shadowingObject_ = nullptr;
    if (AComponent == shadowedLight_) shadowedLight_ = nullptr;
  }
  inherited::Notification(AComponent, Operation);
}

void TGLShadowPlane::SetShadowingObject(TGLBaseSceneObject* v) {
  if (v == shadowingObject_) return;
  if (shadowingObject_) shadowingObject_->RemoveFreeNotification(this);
  shadowingObject_ = v;
  if (v) v->FreeNotification(this);
  NotifyChange(this);
}

void TGLShadowPlane::SetShadowedLight(TGLLightSource* v) {
  if (v == shadowedLight_) return;
  if (shadowedLight_) shadowedLight_->RemoveFreeNotification(this);
  shadowedLight_ = v;
  if (v) v->FreeNotification(this);
  NotifyChange(this);
}

void TGLShadowPlane::SetShadowOptions(TShadowPlaneOptions v) {
  if (v == shadowOptions_) return;
  shadowOptions_ = v;
  NotifyChange(this);
}

void TGLShadowPlane::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  if (rendering_) return;
  // The shadows draw the scene: a draw handler there may free the plane.
  const TGLObjectWatch self(this);
  const TGLObjectFlagScope guard(self, rendering_);
  {
    TRestore<bool> sub(rci.proxySubObject, true);
    if (renderSelf && CameraInFrontOf(this, rci)) {
      // Popped on every exit: a failing material or shadow pass must not leave stencil and
      // scissor tests on for the rest of the frame (and an attribute level per frame).
      GL.glPushAttrib(GL_ENABLE_BIT);
      // The pop gives GL the enables of the push: the cache takes them again too.
      TScopeExit popAttrib(
          [states = rci.GLStates, before = rci.GLStates ? rci.GLStates->Enables() : TGLStateCache::TEnables{}] {
            GL.glPopAttrib();
            if (states) states->EnablesRestored(before);
          });
      if (shadowOptions_.Contains(spoScissor) &&
          GetBoundingSphereRadius() < std::abs(DistanceToPlane(rci.cameraPosition))) {
        TGLRect r = GetScreenRect();
        // An empty rectangle means no buffer projected it: drawing is then left unclipped.
        if (r.Right > r.Left || r.Bottom > r.Top) {
          r.Left = std::max(r.Left - 1, 0);
          r.Top = std::max(r.Top - 1, 0);
          r.Right = std::min(r.Right + 1, rci.viewPortWidth);
          r.Bottom = std::min(r.Bottom + 1, rci.viewPortHeight);
          GL.glScissor(r.Left, r.Top, r.Right - r.Left, r.Bottom - r.Top);
          SetGLState(rci.GLStates, stScissorTest, true);
        }
      }
      if (shadowOptions_.Contains(spoUseStencil)) {
        GL.glClearStencil(0);
        GL.glClear(GL_STENCIL_BUFFER_BIT);
        SetGLState(rci.GLStates, stStencilTest, true);
        GL.glStencilFunc(GL_ALWAYS, 1, 1);
        GL.glStencilOp(GL_REPLACE, GL_REPLACE, GL_REPLACE);
      }
      if (shadowOptions_.Contains(spoIgnoreZ)) SetGLState(rci.GLStates, stDepthTest, false);
      SetGLState(rci.GLStates, stAlphaTest, false);
      if (!shadowOptions_.Contains(spoTransparent)) {
        DrawUnderMaterial(*Material(), rci, [&] { BuildList(rci); });
      } else {
        GL.glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
        GL.glDepthMask(GL_FALSE);
        TScopeExit masks([] {
          GL.glDepthMask(GL_TRUE);
          GL.glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
        });
        BuildList(rci);
      }
      if (shadowedLight_ && rci.buffer) RenderShadows(rci);
    }
    if (self.Freed()) return;
    if (renderChildren && GetChildCount() > 0) RenderChildren(0, GetChildCount() - 1, rci);
  }
}

void TGLShadowPlane::RenderShadows(TRenderContextInfo& rci) {
  TGLSceneBuffer* buffer = rci.buffer;
  GL.glPushMatrix();
  GL.glLoadMatrixf(buffer->ModelViewMatrix().data());
  TVector4f light;
  if (shadowedLight_->LightStyle() == lsParallel) {
    // A point far along the light's absolute direction.
    TVector4f dir = VectorTransform(shadowedLight_->SpotDirection()->AsVector(), shadowedLight_->AbsoluteMatrix());
    light = TVector4f{dir[0] * 1e10f, dir[1] * 1e10f, dir[2] * 1e10f, 1};
  } else {
    light = shadowedLight_->AbsolutePosition();
  }
  const TMatrix4f shadow = MakeShadowMatrix(AbsolutePosition(), GetAbsoluteDirection(), light);
  GL.glMultMatrixf(shadow.data());
  buffer->PushModelViewMatrix(MatrixMultiply(shadow, buffer->ModelViewMatrix()));
  TScopeExit popMatrix([buffer] {
    buffer->PopModelViewMatrix();
    GL.glLoadMatrixf(buffer->ModelViewMatrix().data());
    GL.glPopMatrix();
  });
  {
    SetGLState(rci.GLStates, stCullFace, false);
    SetGLState(rci.GLStates, stNormalize, true);
    GL.glPolygonOffset(-1, -1);
    GL.glEnable(GL_POLYGON_OFFSET_FILL);
    TRestore<bool> noMaterials(rci.ignoreMaterials, true);
    SetGLState(rci.GLStates, stTexture2D, false);
    SetGLState(rci.GLStates, stLighting, false);
    SetGLState(rci.GLStates, stFog, false);
    // The shadow's colour is the casters' current colour for this pass only. Read back rather
    // than pushed: a colour set and popped with no vertex between can outlive the pop.
    GLfloat colour[4] = {1, 1, 1, 1};
    GL.glGetFloatv(GL_CURRENT_COLOR, colour);
    TScopeExit colourBack([&colour] { GL.glColor4fv(colour); });
    GL.glColor4fv(shadowColor_->GetColorPtr());
    if (shadowOptions_.Contains(spoUseStencil)) {
      SetGLState(rci.GLStates, stBlend, true);
      GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
      GL.glStencilFunc(GL_EQUAL, 1, 1);
      GL.glStencilOp(GL_KEEP, GL_KEEP, GL_ZERO);  // each plane pixel darkens once
    }
    if (OnBeginRenderingShadows) OnBeginRenderingShadows(this);
    const TGLObjectWatch self(this);
    RenderSceneOrObject(this, shadowingObject_, rci);
    if (!self.Freed() && OnEndRenderingShadows) OnEndRenderingShadows(this);
  }
}

void RegisterGLShadowPlaneClasses() {
  RegisterClasses({TGLShadowPlane::StaticClass()});
  TPublished<TGLShadowPlane>()
      .Component("ShadowingObject", &TGLShadowPlane::ShadowingObject, &TGLShadowPlane::SetShadowingObject)
      .Component("ShadowedLight", &TGLShadowPlane::ShadowedLight, &TGLShadowPlane::SetShadowedLight)
      .Object("ShadowColor", &TGLShadowPlane::ShadowColor)
      .Set("ShadowOptions", &TGLShadowPlane::ShadowOptions, &TGLShadowPlane::SetShadowOptions,
           {"spoUseStencil", "spoScissor", "spoTransparent", "spoIgnoreZ"},
           TShadowPlaneOptions{spoUseStencil, spoScissor}.Bits())
      .Event("OnBeginRenderingShadows")
      .Event("OnEndRenderingShadows");
}
