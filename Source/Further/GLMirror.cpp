// The mirror object: stencil set-up, the reflected scene or object pass and the blended surface.
#include "Source/Further/GLMirror.h"

#include "Source/Base/OpenGL1x.h"
#include "Source/Base/VectorGeometry.h"
#include "Source/Materials/GLColor.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLMaterialPasses.h"
#include "Source/Further/GLPlanarRender.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneBuffer.h"
#include "Source/Scene/GLState.h"
#include "rtl/Streaming.h"

TGLMirror::TGLMirror(TComponent* AOwner) : TGLSceneObject(AOwner) {
  objectStyle_ |= osDirectDraw;
  Material()->FrontProperties()->Diffuse()->Initialize(TVector4f{1, 1, 1, 0.1f});
  Material()->SetBlendingMode(bmTransparency);
}

TGLMirror::~TGLMirror() { SetMirrorObject(nullptr); }

void TGLMirror::Assign(TPersistent* Source) {
  if (auto* s = dynamic_cast<TGLMirror*>(Source)) {
    SetMirrorObject(s->mirrorObject_);
    mirrorOptions_ = s->mirrorOptions_;
    width_ = s->width_;
    height_ = s->height_;
    radius_ = s->radius_;
    slices_ = s->slices_;
    shape_ = s->shape_;
    OnBeginRenderingMirrors = s->OnBeginRenderingMirrors;
    OnEndRenderingMirrors = s->OnEndRenderingMirrors;
  }
  inherited::Assign(Source);
}

void TGLMirror::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent == mirrorObject_) mirrorObject_ = nullptr;
  inherited::Notification(AComponent, Operation);
}

void TGLMirror::SetMirrorObject(TGLBaseSceneObject* v) {
  if (v == mirrorObject_) return;
  if (mirrorObject_) mirrorObject_->RemoveFreeNotification(this);
  mirrorObject_ = v;
  if (v) v->FreeNotification(this);
  NotifyChange(this);
}

#define MIRROR_SETTER(Setter, T, field) \
  void TGLMirror::Setter(T v) {         \
    if (v == field) return;             \
    field = v;                          \
    MarkStructureChanged();             \
  }
MIRROR_SETTER(SetMirrorOptions, TMirrorOptions, mirrorOptions_)
MIRROR_SETTER(SetWidth, float, width_)
MIRROR_SETTER(SetHeight, float, height_)
MIRROR_SETTER(SetRadius, float, radius_)
MIRROR_SETTER(SetShape, TMirrorShapes, shape_)
#undef MIRROR_SETTER

void TGLMirror::SetSlices(int v) {
  CheckStoredSubdivisions(*this, v);  // bounded when read, like every subdivision count
  if (v == slices_) return;
  slices_ = v;
  MarkStructureChanged();
}

void TGLMirror::BuildList(TRenderContextInfo&) {
  if (shape_ == msDisk) {
    GLUquadricObj* q = GL.gluNewQuadric();
    GL.gluDisk(q, 0, radius_, slices_, 1);
    if (q) GL.gluDeleteQuadric(q);
    return;
  }
  const float hw = width_ * 0.5f, hh = height_ * 0.5f;
  GL.glNormal3f(0, 0, 1);
  GL.glBegin(GL_QUADS);
  GL.glVertex3f(hw, hh, 0);
  GL.glVertex3f(-hw, hh, 0);
  GL.glVertex3f(-hw, -hh, 0);
  GL.glVertex3f(hw, -hh, 0);
  GL.glEnd();
}

void TGLMirror::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  if (rendering_) return;
  // The reflection draws the scene: a draw handler there may free the mirror.
  const TGLObjectWatch self(this);
  const TGLObjectFlagScope guard(self, rendering_);
  // A pass without colours but picking's (a shadow's caster, a view without a colour buffer)
  // takes the mirror's shape only: a reflection is colours, and its stencil and depth clears
  // would cut into that pass's own.
  if (rci.ignoreMaterials && rci.drawState != dsPicking) {
    if (renderSelf) BuildList(rci);
  } else if (CameraInFrontOf(this, rci) && rci.buffer) {
    {
      TRestore<bool> sub(rci.proxySubObject, true);
      GL.glPushAttrib(GL_ENABLE_BIT);
      // The pop gives GL the enables of the push: the cache, which the reflected pass moved on,
      // takes them again too.
      TScopeExit popEnables(
          [states = rci.GLStates, before = rci.GLStates ? rci.GLStates->Enables() : TGLStateCache::TEnables{}] {
            GL.glPopAttrib();
            if (states) states->EnablesRestored(before);
          });
      if (!mirrorOptions_.Empty()) {
        if (mirrorOptions_.Contains(moUseStencil)) {
          GL.glClearStencil(0);
          GL.glClear(GL_STENCIL_BUFFER_BIT);
          SetGLState(rci.GLStates, stStencilTest, true);
          GL.glStencilFunc(GL_ALWAYS, 1, 1);
          GL.glStencilOp(GL_REPLACE, GL_ZERO, GL_REPLACE);
        }
        if (mirrorOptions_.Contains(moOpaque)) {
          // Black in GL state only: the stored material keeps its colours.
          SetGLState(rci.GLStates, stLighting, false);
          SetGLState(rci.GLStates, stTexture2D, false);
          GL.glColor4f(0, 0, 0, 1);
        } else {
          GL.glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
        }
        GL.glDepthMask(GL_FALSE);
        BuildList(rci);
        GL.glDepthMask(GL_TRUE);
        if (mirrorOptions_.Contains(moUseStencil)) {
          GL.glStencilFunc(GL_EQUAL, 1, 1);
          GL.glStencilOp(GL_KEEP, GL_KEEP, GL_KEEP);
        }
        if (mirrorOptions_.Contains(moClearZBuffer)) ClearZBufferArea(rci);
        if (!mirrorOptions_.Contains(moOpaque)) GL.glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
      }
      RenderReflection(rci);
    }
    if (self.Freed()) return;
    if (renderSelf) DrawUnderMaterial(*Material(), rci, [&] { BuildList(rci); });
  }
  if (renderChildren && GetChildCount() > 0) RenderChildren(0, GetChildCount() - 1, rci);
  if (mirrorObject_ && mirrorObject_->EffectsIfAny()) mirrorObject_->EffectsIfAny()->RenderPostEffects(rci.buffer, rci);
}

void TGLMirror::RenderReflection(TRenderContextInfo& rci) {
  TGLSceneBuffer* buffer = rci.buffer;
  const TVector4f pos = AbsolutePosition();
  const TVector4f dir = VectorNormalized(GetAbsoluteDirection());
  GL.glPushMatrix();
  GL.glLoadMatrixf(buffer->ModelViewMatrix().data());
  if (mirrorOptions_.Contains(moMirrorPlaneClip)) {
    // Set under the camera matrix alone, so the plane is in world space: it keeps what lies
    // behind the mirror, where the reflections of the objects in front of it appear.
    const double eq[4] = {-dir[0], -dir[1], -dir[2],
                          double(dir[0]) * pos[0] + double(dir[1]) * pos[1] + double(dir[2]) * pos[2]};
    GL.glClipPlane(GL_CLIP_PLANE0, eq);
    GL.glEnable(GL_CLIP_PLANE0);
  }
  const TMatrix4f reflection =
      MakeReflectionMatrix(TAffineVector{pos[0], pos[1], pos[2]}, TAffineVector{dir[0], dir[1], dir[2]});
  GL.glMultMatrixf(reflection.data());
  if (Scene()) Scene()->SetupLights(TGLSceneGraph::LightTableSize);
  buffer->PushModelViewMatrix(MatrixMultiply(reflection, buffer->ModelViewMatrix()));
  // The reflection turns every winding: the front face flips, so that what an object culls (its
  // back, as each material asks) is still its back in the mirror.
  const auto reverseWinding = [&rci] {
    if (rci.GLStates) {
      rci.GLStates->ReverseWinding();
    } else {
      GLint face = GL_CCW;
      GL.glGetIntegerv(GL_FRONT_FACE, &face);
      GL.glFrontFace(face == GL_CCW ? GL_CW : GL_CCW);
    }
  };
  reverseWinding();
  SetGLState(rci.GLStates, stNormalize, true);
  // The camera as seen in the mirror.
  const auto reflect = [&](const TVector4f& v, bool point) {
    TVector4f d = v;
    float s = 0;
    for (int i = 0; i < 3; ++i) s += (point ? v[i] - pos[i] : v[i]) * dir[i];
    for (int i = 0; i < 3; ++i) d[i] -= 2 * s * dir[i];
    return d;
  };
  const TGLObjectWatch self(this);
  try {
    TRestore<TVector4f> camPos(rci.cameraPosition, reflect(rci.cameraPosition, true));
    TRestore<TVector4f> camDir(rci.cameraDirection, reflect(rci.cameraDirection, false));
    if (OnBeginRenderingMirrors) OnBeginRenderingMirrors(this);
    RenderSceneOrObject(this, mirrorObject_, rci);
    if (!self.Freed() && OnEndRenderingMirrors) OnEndRenderingMirrors(this);
  } catch (...) {
    reverseWinding();
    buffer->PopModelViewMatrix();
    GL.glPopMatrix();
    throw;
  }
  reverseWinding();
  buffer->PopModelViewMatrix();
  GL.glLoadMatrixf(buffer->ModelViewMatrix().data());
  if (TGLSceneGraph* scene = self.Freed() ? rci.scene : Scene()) scene->SetupLights(TGLSceneGraph::LightTableSize);
  GL.glPopMatrix();
  if (rci.GLStates) {
    rci.GLStates->SendDefaultMaterial();
    rci.GLStates->ResetBoundTextures();
  }
}

void TGLMirror::ClearZBufferArea(TRenderContextInfo& rci) {
  TGLSceneBuffer* buffer = rci.buffer;
  GL.glMatrixMode(GL_PROJECTION);
  GL.glPushMatrix();
  GL.glLoadIdentity();
  GL.glOrtho(0, rci.viewPortWidth, 0, rci.viewPortHeight, -1, 1);
  GL.glMatrixMode(GL_MODELVIEW);
  GL.glPushMatrix();
  GL.glLoadIdentity();
  GL.glDepthFunc(GL_ALWAYS);
  GL.glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
  const TMatrix4f abs = AbsoluteMatrix();
  const float hw = width_ * 0.5f, hh = height_ * 0.5f;
  const TVector4f corners[4] = {{hw, hh, 0, 1}, {-hw, hh, 0, 1}, {-hw, -hh, 0, 1}, {hw, -hh, 0, 1}};
  GL.glBegin(GL_QUADS);
  for (const TVector4f& c : corners) {
    const TVector4f p = buffer->WorldToScreen(VectorTransform(c, abs));
    GL.glVertex3f(p[0], p[1], -0.999f);  // the far depth of this projection
  }
  GL.glEnd();
  GL.glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  GL.glDepthFunc(GL_LESS);
  GL.glPopMatrix();
  GL.glMatrixMode(GL_PROJECTION);
  GL.glPopMatrix();
  GL.glMatrixMode(GL_MODELVIEW);
}

void RegisterGLMirrorClasses() {
  RegisterClasses({TGLMirror::StaticClass()});
  TPublished<TGLMirror>()
      .Component("MirrorObject", &TGLMirror::MirrorObject, &TGLMirror::SetMirrorObject)
      .Set("MirrorOptions", &TGLMirror::MirrorOptions, &TGLMirror::SetMirrorOptions,
           {"moUseStencil", "moOpaque", "moMirrorPlaneClip", "moClearZBuffer"}, TMirrorOptions{moUseStencil}.Bits())
      .Float("Width", &TGLMirror::Width, &TGLMirror::SetWidth, 1.0)
      .Float("Height", &TGLMirror::Height, &TGLMirror::SetHeight, 1.0)
      .Float("Radius", &TGLMirror::Radius, &TGLMirror::SetRadius, 1.0)
      .Integer("Slices", &TGLMirror::Slices, &TGLMirror::SetSlices, 16)
      .Enum("Shape", &TGLMirror::Shape, &TGLMirror::SetShape, {"msRect", "msDisk"}, msRect)
      .Event("OnBeginRenderingMirrors")
      .Event("OnEndRenderingMirrors")
      .Default("Material.BlendingMode", bmTransparency);
}
