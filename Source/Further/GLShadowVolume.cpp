// Stencil shadow volumes: occluder silhouettes per light, their extrusion, and the stencil passes
// of the accurate and darkening modes.
#include "Source/Further/GLShadowVolume.h"

#include <algorithm>
#include <cmath>

#include "Source/Base/OpenGL1x.h"
#include "Source/Base/VectorGeometry.h"
#include "Source/Scene/GLLightSource.h"
#include "Source/Further/GLPlanarRender.h"
#include "Source/Scene/GLSceneBuffer.h"
#include "Source/Scene/GLState.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

namespace {

// The light's position; a parallel light is a point far along its absolute direction.
TVector4f LightPoint(TGLLightSource* light, bool& parallel) {
  parallel = light->LightStyle() == lsParallel;
  if (!parallel) return light->AbsolutePosition();
  const TVector4f d = VectorTransform(light->SpotDirection()->AsVector(), light->AbsoluteMatrix());
  return {d[0] * 1e10f, d[1] * 1e10f, d[2] * 1e10f, 1};
}

bool VisibleUpTo(TGLBaseSceneObject* obj, TGLBaseSceneObject* stop) {
  for (TGLBaseSceneObject* o = obj; o && o != stop; o = o->Parent())
    if (!o->Visible()) return false;
  return true;
}

}  // namespace

// --- items

// The volume's free-notification link to the caster is left in place (it may be the caster's
// own going that deletes this item); a notification for a caster no longer listed finds nothing.
TGLShadowVolumeCaster::~TGLShadowVolumeCaster() = default;

TGLShadowVolume* TGLShadowVolumeCaster::ShadowVolume() const {
  auto* c = dynamic_cast<TGLShadowVolumeCasters*>(Collection());
  return c ? c->ShadowVolume() : nullptr;
}

void TGLShadowVolumeCaster::Assign(TPersistent* Source) {
  if (auto* s = dynamic_cast<TGLShadowVolumeCaster*>(Source)) {
    SetCaster(s->caster_);
    effectiveRadius_ = s->effectiveRadius_;
    capping_ = s->capping_;
    castingMode_ = s->castingMode_;
  } else {
    inherited::Assign(Source);
  }
}

std::string TGLShadowVolumeCaster::GetDisplayName() {
  if (!caster_) return "nil";
  std::string s = caster_->InheritsFrom(TGLLightSource::StaticClass()) ? "[Light]" : "[Object]";
  s += " " + caster_->Name();
  if (effectiveRadius_ > 0) s += Format(" (%.1f)", double(effectiveRadius_));
  return s;
}

void TGLShadowVolumeCaster::SetCaster(TGLBaseSceneObject* v) {
  if (v == caster_) return;
  TGLBaseSceneObject* old = caster_;
  caster_ = v;
  if (ShadowVolume()) ShadowVolume()->CasterChanged(this, old);
}

TGLLightSource* TGLShadowVolumeLight::LightSource() const { return dynamic_cast<TGLLightSource*>(Caster()); }
void TGLShadowVolumeLight::SetLightSource(TGLLightSource* v) { SetCaster(v); }

TGLShadowVolumeCasters::TGLShadowVolumeCasters(TGLShadowVolume* AOwner, TClass ItemClass)
    : TOwnedCollection(AOwner, ItemClass), volume_(AOwner) {}

TGLShadowVolumeCaster* TGLShadowVolumeCasters::AddCaster(TGLBaseSceneObject* obj, float effectiveRadius,
                                                         TGLShadowCastingMode castingMode) {
  auto* item = static_cast<TGLShadowVolumeCaster*>(Add());
  item->SetCaster(obj);
  item->SetEffectiveRadius(effectiveRadius);
  item->SetCastingMode(castingMode);
  return item;
}

int TGLShadowVolumeCasters::IndexOfCaster(TGLBaseSceneObject* obj) const {
  for (int i = 0; i < Count(); ++i)
    if (Items(i)->Caster() == obj) return i;
  return -1;
}

void TGLShadowVolumeCasters::RemoveCaster(TComponent* obj) {
  for (int i = Count() - 1; i >= 0; --i)
    if (static_cast<TComponent*>(Items(i)->Caster()) == obj) Delete(i);
}

void TGLShadowVolumeCasters::Notify(TCollectionItem* Item, TCollectionNotification Action) {
  inherited::Notify(Item, Action);
  // The caches are indexed by occluder position: any change of the list invalidates them.
  if (volume_ && volume_->Occluders() == this) volume_->FlushSilhouetteCache();
}

// --- TGLShadowVolume

TGLShadowVolume::TGLShadowVolume(TComponent* AOwner)
    : TGLImmaterialSceneObject(AOwner),
      lights_(std::make_unique<TGLShadowVolumeCasters>(this, TGLShadowVolumeLight::StaticClass())),
      occluders_(std::make_unique<TGLShadowVolumeCasters>(this, TGLShadowVolumeOccluder::StaticClass())),
      darkeningColor_(std::make_unique<TGLColor>(this, TVector4f{0, 0, 0, 0.5f})) {
  objectStyle_ &= ~osDirectDraw;
  objectStyle_ |= osNoVisibilityCulling;
}

TGLShadowVolume::~TGLShadowVolume() {
  // Items deleted while the volume goes away must not call back into it.
  auto lights = std::move(lights_);
  auto occluders = std::move(occluders_);
  for (auto* list : {lights.get(), occluders.get()})
    for (int i = 0; i < list->Count(); ++i)
      if (TGLBaseSceneObject* c = list->Items(i)->Caster()) c->RemoveFreeNotification(this);
}

void TGLShadowVolume::Assign(TPersistent* Source) {
  if (auto* s = dynamic_cast<TGLShadowVolume*>(Source)) {
    active_ = s->active_;
    SetLights(s->lights_.get());
    SetOccluders(s->occluders_.get());
    capping_ = s->capping_;
    options_ = s->options_;
    mode_ = s->mode_;
    darkeningColor_->Assign(s->darkeningColor_.get());
  }
  inherited::Assign(Source);
}

void TGLShadowVolume::CasterChanged(TGLShadowVolumeCaster*, TGLBaseSceneObject* oldCaster) {
  if (!lights_ || !occluders_) return;
  if (oldCaster && lights_->IndexOfCaster(oldCaster) < 0 && occluders_->IndexOfCaster(oldCaster) < 0)
    oldCaster->RemoveFreeNotification(this);
  for (auto* list : {lights_.get(), occluders_.get()})
    for (int i = 0; i < list->Count(); ++i)
      if (TGLBaseSceneObject* c = list->Items(i)->Caster()) c->FreeNotification(this);
  FlushSilhouetteCache();
}

void TGLShadowVolume::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && lights_ && occluders_) {
    // Compared as components: the object is past its own destructor here.
    lights_->RemoveCaster(AComponent);
    occluders_->RemoveCaster(AComponent);
  }
  inherited::Notification(AComponent, Operation);
}

void TGLShadowVolume::SetActive(bool v) {
  if (v == active_) return;
  active_ = v;
  NotifyChange(this);
}

void TGLShadowVolume::SetLights(TGLShadowVolumeCasters* v) {
  RTL_ASSERT(v->ItemClass() == TGLShadowVolumeLight::StaticClass(), "Lights need light items");
  lights_->Assign(v);
}

void TGLShadowVolume::SetOccluders(TGLShadowVolumeCasters* v) {
  RTL_ASSERT(v->ItemClass() == TGLShadowVolumeOccluder::StaticClass(), "Occluders need occluder items");
  occluders_->Assign(v);
}

void TGLShadowVolume::SetCapping(TGLShadowVolumeCapping v) {
  if (v == capping_) return;
  capping_ = v;
  NotifyChange(this);
}

void TGLShadowVolume::SetOptions(TGLShadowVolumeOptions v) {
  if (v == options_) return;
  options_ = v;
  if (!v.Contains(svoCacheSilhouettes)) FlushSilhouetteCache();
  NotifyChange(this);
}

void TGLShadowVolume::SetMode(TGLShadowVolumeMode v) {
  if (v == mode_) return;
  mode_ = v;
  NotifyChange(this);
}

void TGLShadowVolume::FlushSilhouetteCache() {
  if (!lights_) return;
  for (int i = 0; i < lights_->Count(); ++i)
    static_cast<TGLShadowVolumeLight*>(lights_->Items(i))->FlushSilhouetteCache();
}

bool TGLShadowVolume::CasterCapped(const TGLShadowVolumeCaster* caster) const {
  return caster->Capping() == svcAlways || (caster->Capping() == svcDefault && capping_ == svcAlways);
}

std::vector<TGLShadowVolumeCaster*> TGLShadowVolume::SelectCasters(const TRenderContextInfo& rci) {
  std::vector<TGLShadowVolumeCaster*> kept;
  for (int i = 0; i < occluders_->Count(); ++i) {
    TGLShadowVolumeCaster* item = occluders_->Items(i);
    TGLBaseSceneObject* c = item->Caster();
    bool keep = false;
    if (c) {
      switch (item->CastingMode()) {
        case scmAlways: keep = true; break;
        case scmVisible: keep = c->Visible(); break;
        case scmRecursivelyVisible: keep = VisibleUpTo(c, this); break;
        case scmParentRecursivelyVisible: keep = !c->Parent() || VisibleUpTo(c->Parent(), this); break;
        case scmParentVisible: keep = !c->Parent() || c->Parent()->Visible(); break;
      }
      if (keep && item->EffectiveRadius() > 0 &&
          AffineVectorLength(AffineVectorMake(VectorSubtract(c->AbsolutePosition(), rci.cameraPosition))) >=
              item->EffectiveRadius())
        keep = false;
    }
    kept.push_back(keep ? item : nullptr);
  }
  return kept;
}

bool TGLShadowVolume::SetupScissorRect(const TAxisAlignedBox* worldBox, TGLShadowVolumeLight* light,
                                       const TVector4f& lightPos, TRenderContextInfo& rci) {
  TAxisAlignedBox box;
  if (light->EffectiveRadius() > 0 && light->LightSource()->LightStyle() != lsParallel) {
    const float r = light->EffectiveRadius();
    box.min = {lightPos[0] - r, lightPos[1] - r, lightPos[2] - r};
    box.max = {lightPos[0] + r, lightPos[1] + r, lightPos[2] + r};
    if (worldBox) {
      for (int k = 0; k < 3; ++k) {
        box.min[k] = std::max(box.min[k], worldBox->min[k]);
        box.max[k] = std::min(box.max[k], worldBox->max[k]);
      }
    }
  } else if (worldBox) {
    box = *worldBox;
  } else {
    return false;
  }
  bool inside = true;
  for (int k = 0; k < 3; ++k)
    inside = inside && rci.cameraPosition[k] >= box.min[k] && rci.cameraPosition[k] <= box.max[k];
  if (inside || !rci.buffer || !rci.modelViewMatrix) return false;
  const TMatrix4f mvp = MatrixMultiply(*rci.modelViewMatrix, rci.buffer->ProjectionMatrix());
  float left = 1e30f, right = -1e30f, bottom = 1e30f, top = -1e30f;
  for (int c = 0; c < 8; ++c) {
    const TVector4f p{c & 1 ? box.max[0] : box.min[0], c & 2 ? box.max[1] : box.min[1], c & 4 ? box.max[2] : box.min[2],
                      1};
    TVector4f q = VectorTransform(p, mvp);
    if (q[3] <= 0) return false;  // a corner behind the eye: no safe rectangle
    const float sx = (q[0] / q[3] + 1) * 0.5f * float(rci.viewPortWidth);
    const float sy = (q[1] / q[3] + 1) * 0.5f * float(rci.viewPortHeight);
    left = std::min(left, sx);
    right = std::max(right, sx);
    bottom = std::min(bottom, sy);
    top = std::max(top, sy);
  }
  if (right < 0 || left > float(rci.viewPortWidth) || top < 0 || bottom > float(rci.viewPortHeight)) return false;
  GL.glScissor(GLint(std::nearbyint(left)), GLint(std::nearbyint(bottom)), GLsizei(std::nearbyint(right - left)),
               GLsizei(std::nearbyint(top - bottom)));
  return true;
}

void TGLShadowVolume::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  if (!active_) {
    inherited::DoRender(rci, false, renderChildren);
    return;
  }
  if (rendering_ || (!renderSelf && !renderChildren)) return;
  if ((ComponentState().Contains(csDesigning) && !options_.Contains(svoDesignVisible)) || mode_ == svmOff ||
      rci.drawState == dsPicking) {
    inherited::DoRender(rci, renderSelf, renderChildren);
    return;
  }
  TRestore<bool> guard(rendering_, true);
  RenderShadows(rci);
}

void TGLShadowVolume::RenderShadows(TRenderContextInfo& rci) {
  const int childCount = GetChildCount();
  auto renderChildren = [&] {
    if (childCount > 0) RenderChildren(0, childCount - 1, rci);
  };
  TAxisAlignedBox worldBox{};
  const bool hasWorldBox = options_.Contains(svoWorldScissorClip);
  if (hasWorldBox) worldBox = GetBoundingBoxWithChildren();
  const std::vector<TGLShadowVolumeCaster*> casters = SelectCasters(rci);

  auto shining = [](TGLShadowVolumeCaster* item) {
    TGLLightSource* l = static_cast<TGLShadowVolumeLight*>(item)->LightSource();
    return l && l->Shining() && l->LightID() != 0 ? l : nullptr;
  };
  // The volume's capabilities go through the state cache, so that the children of its passes
  // and whatever is drawn after it find the cache in step with GL.
  TGLStateCache* cache = rci.GLStates;
  const uint32_t cachedStates = cache ? cache->States() : 0;
  auto setState = [cache](TGLState state, bool on) {
    if (cache)
      on ? cache->EnableState(state) : cache->DisableState(state);
    else
      on ? GL.glEnable(GLStateCapability(state)) : GL.glDisable(GLStateCapability(state));
  };
  static const GLfloat kBlack[4] = {0, 0, 0, 0};
  GL.glPushAttrib(GL_ENABLE_BIT);
  // Light enables as they were before the volume switched them off: not every driver restores
  // them from the enable bits.
  std::vector<GLboolean> lightWasOn;
  // A failure inside a pass (a child or a silhouette that raises) must not leave the enable
  // bits pushed, colour or depth writes off, the lights dark or a matrix pushed.
  int pushedModelView = 0;
  bool pushedProjection = false;
  bool finished = false;
  auto restoreEnables = [&] {
    GL.glPopAttrib();
    for (size_t i = 0; i < lightWasOn.size(); ++i) {
      if (lightWasOn[i])
        GL.glEnable(GLenum(GL_LIGHT0 + i));
      else if (!finished)
        GL.glDisable(GLenum(GL_LIGHT0 + i));  // a light pass cut short leaves its light on
    }
    if (cache)
      for (int s = 0; s < GLStateCount; ++s) {
        const bool was = (cachedStates >> s) & 1u;
        if (cache->StateEnabled(TGLState(s)) != was) setState(TGLState(s), was);
      }
  };
  TScopeExit restore([&] {
    if (finished) return;
    if (pushedProjection) {
      GL.glMatrixMode(GL_PROJECTION);
      GL.glPopMatrix();
      GL.glMatrixMode(GL_MODELVIEW);
    }
    for (; pushedModelView > 0; --pushedModelView) GL.glPopMatrix();
    GL.glDisableClientState(GL_VERTEX_ARRAY);
    GL.glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    GL.glStencilOp(GL_KEEP, GL_KEEP, GL_KEEP);
    for (int i = 0; i < lights_->Count(); ++i)
      if (TGLLightSource* l = shining(lights_->Items(i))) {
        GL.glLightfv(GLenum(l->LightID()), GL_AMBIENT, l->Ambient()->Color().data());
        GL.glLightfv(GLenum(l->LightID()), GL_DIFFUSE, l->Diffuse()->Color().data());
        GL.glLightfv(GLenum(l->LightID()), GL_SPECULAR, l->Specular()->Color().data());
      }
    restoreEnables();
    GL.glDepthMask(GL_TRUE);
    GL.glDepthFunc(GL_LESS);
    GL.glLightModelfv(GL_LIGHT_MODEL_AMBIENT, rci.sceneAmbientColor.data());
  });
  if (mode_ == svmAccurate) {
    for (int i = 0; i < lights_->Count(); ++i)
      if (TGLLightSource* l = shining(lights_->Items(i))) {
        GL.glLightfv(GLenum(l->LightID()), GL_DIFFUSE, kBlack);
        GL.glLightfv(GLenum(l->LightID()), GL_SPECULAR, kBlack);
      }
  }
  renderChildren();  // ambient pass (darkening: fully lit)

  GL.glDepthMask(GL_FALSE);
  TRestore<bool> noBlendRequests(rci.ignoreBlendingRequests, true);
  setState(stBlend, true);
  GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE);
  setState(stAlphaTest, false);
  setState(stStencilTest, true);
  setState(stDepthTest, true);
  // The number of lights is asked from GL (the constant is a query name, not a count).
  GLint maxLights = 0;
  GL.glGetIntegerv(GL_MAX_LIGHTS, &maxLights);
  lightWasOn.resize(size_t(std::max(maxLights, 0)));
  for (int i = 0; i < maxLights; ++i) lightWasOn[size_t(i)] = GL.glIsEnabled(GLenum(GL_LIGHT0 + i));
  for (int i = 0; i < maxLights; ++i) GL.glDisable(GLenum(GL_LIGHT0 + i));
  static const GLfloat kAmbientOff[4] = {0, 0, 0, 1};
  GL.glLightModelfv(GL_LIGHT_MODEL_AMBIENT, kAmbientOff);

  for (int li = 0; li < lights_->Count(); ++li) {
    auto* lightItem = static_cast<TGLShadowVolumeLight*>(lights_->Items(li));
    TGLLightSource* light = shining(lightItem);
    if (!light) continue;
    const GLenum id = GLenum(light->LightID());
    bool parallel = false;
    const TVector4f lightPos = LightPoint(light, parallel);
    if (hasWorldBox || options_.Contains(svoScissorClips))
      setState(stScissorTest, SetupScissorRect(hasWorldBox ? &worldBox : nullptr, lightItem, lightPos, rci));
    GL.glClear(GL_STENCIL_BUFFER_BIT);
    GL.glStencilFunc(GL_ALWAYS, 0, 0);
    GL.glDepthFunc(GL_LESS);
    if (options_.Contains(svoShowVolumes)) {
      GL.glColor3f(0.05f * float(li), 0.1f, 0);
      setState(stBlend, true);
    } else {
      GL.glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
      setState(stBlend, false);
    }
    setState(stLighting, false);
    // The two stencil passes are told apart by culling, whatever the buffer or the children's
    // materials left.
    setState(stCullFace, true);
    GL.glEnableClientState(GL_VERTEX_ARRAY);
    GL.glPolygonOffset(1, 1);

    for (size_t j = 0; j < casters.size(); ++j) {
      TGLShadowVolumeCaster* item = casters[j];
      if (!item) continue;
      TGLBaseSceneObject* caster = item->Caster();
      const TVector4f local = VectorTransform(lightPos, caster->InvAbsoluteMatrix());
      const TAffineVector seenFrom{local[0], local[1], local[2]};
      const bool capped = CasterCapped(item);
      const uint32_t revision = caster->StructureRevision();
      auto& silhouettes = lightItem->cache_;
      std::unique_ptr<TGLSilhouette> fresh;
      TGLSilhouette* sil = nullptr;
      // A silhouette made without caps cannot serve a capped volume, nor the other way round; one
      // of an occluder whose geometry changed since is made again (it lies in the occluder's own
      // space: a move shows in seenFrom).
      if (j < silhouettes.size() && silhouettes[j].silhouette && silhouettes[j].revision == revision &&
          silhouettes[j].parallel == parallel && silhouettes[j].capped == capped &&
          silhouettes[j].seenFrom[0] == seenFrom[0] && silhouettes[j].seenFrom[1] == seenFrom[1] &&
          silhouettes[j].seenFrom[2] == seenFrom[2]) {
        sil = silhouettes[j].silhouette.get();
      } else {
        TGLSilhouetteParameters params;
        params.SeenFrom = seenFrom;
        params.Style = parallel ? ssParallel : ssOmni;
        params.CapSilhouette = capped ? 1 : 0;
        fresh.reset(caster->GenerateSilhouette(params));
        if (!fresh) continue;
        fresh->ExtrudeVerticesToInfinity(seenFrom);
        sil = fresh.get();
      }
      GL.glPushMatrix();
      ++pushedModelView;
      if (rci.modelViewMatrix) GL.glLoadMatrixf(rci.modelViewMatrix->data());
      GL.glMultMatrixf(caster->GetAbsoluteMatrixPtr()->data());
      GL.glVertexPointer(4, GL_FLOAT, 0, sil->Vertices()->List());
      const TIntegerList& quads = *sil->Indices();
      const TIntegerList& caps = *sil->CapIndices();
      auto drawQuads = [&] {
        if (quads.Count() > 0) GL.glDrawElements(GL_QUADS, quads.Count(), GL_UNSIGNED_INT, quads.List());
      };
      auto drawCaps = [&] {
        if (caps.Count() == 0) return;
        GL.glEnable(GL_POLYGON_OFFSET_FILL);
        GL.glDrawElements(GL_TRIANGLES, caps.Count(), GL_UNSIGNED_INT, caps.List());
        GL.glDisable(GL_POLYGON_OFFSET_FILL);
      };
      if (!capped) {
        GL.glCullFace(GL_BACK);
        GL.glStencilOp(GL_KEEP, GL_KEEP, GL_INCR);
        drawQuads();
        GL.glCullFace(GL_FRONT);
        GL.glStencilOp(GL_KEEP, GL_KEEP, GL_DECR);
        drawQuads();
      } else {
        const bool lock = GLCaps.EXT_compiled_vertex_array && GL.glLockArraysEXT;
        if (lock) GL.glLockArraysEXT(0, sil->Vertices()->Count());
        GL.glCullFace(GL_FRONT);
        GL.glStencilOp(GL_KEEP, GL_INCR, GL_KEEP);
        drawQuads();
        drawCaps();
        GL.glCullFace(GL_BACK);
        GL.glStencilOp(GL_KEEP, GL_DECR, GL_KEEP);
        drawQuads();
        drawCaps();
        if (lock) GL.glUnlockArraysEXT();
      }
      GL.glPopMatrix();
      --pushedModelView;
      if (fresh && options_.Contains(svoCacheSilhouettes) && !(ObjectStyle() & osDirectDraw)) {
        if (silhouettes.size() <= j) silhouettes.resize(j + 1);
        silhouettes[j].seenFrom = seenFrom;
        silhouettes[j].parallel = parallel;
        silhouettes[j].capped = capped;
        silhouettes[j].revision = revision;
        silhouettes[j].silhouette = std::move(fresh);
      }
    }

    GL.glDisableClientState(GL_VERTEX_ARRAY);
    GL.glEnable(id);
    GL.glLightfv(id, GL_AMBIENT, kBlack);
    GL.glLightfv(id, GL_DIFFUSE, light->Diffuse()->Color().data());
    GL.glLightfv(id, GL_SPECULAR, light->Specular()->Color().data());
    GL.glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    GL.glStencilOp(GL_KEEP, GL_KEEP, GL_KEEP);
    setState(stBlend, true);
    GL.glCullFace(GL_BACK);
    if (mode_ == svmAccurate) {
      GL.glStencilFunc(GL_EQUAL, 0, 0xFF);
      GL.glDepthFunc(GL_EQUAL);
      setState(stLighting, true);
      renderChildren();  // additive light pass where the stencil is zero
    } else {
      GL.glStencilFunc(GL_NOTEQUAL, 0, 0xFF);
      GL.glDepthFunc(GL_ALWAYS);
      GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
      // The screen quad covers the view whichever way it winds.
      setState(stCullFace, false);
      GL.glPushMatrix();
      ++pushedModelView;
      GL.glLoadIdentity();
      GL.glMatrixMode(GL_PROJECTION);
      GL.glPushMatrix();
      pushedProjection = true;
      GL.glLoadIdentity();
      GL.glOrtho(0, 1, 0, 1, -1, 1);
      GL.glColor4fv(darkeningColor_->GetColorPtr());
      GL.glBegin(GL_QUADS);
      GL.glVertex2f(0, 0);
      GL.glVertex2f(0, 1);
      GL.glVertex2f(1, 1);
      GL.glVertex2f(1, 0);
      GL.glEnd();
      GL.glPopMatrix();
      pushedProjection = false;
      GL.glMatrixMode(GL_MODELVIEW);
      GL.glPopMatrix();
      --pushedModelView;
      GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE);
    }
    GL.glDisable(id);
    GL.glLightfv(id, GL_AMBIENT, light->Ambient()->Color().data());
  }
  finished = true;
  restoreEnables();
  GL.glDepthMask(GL_TRUE);
  GL.glDepthFunc(GL_LESS);
  GL.glLightModelfv(GL_LIGHT_MODEL_AMBIENT, rci.sceneAmbientColor.data());
}

void RegisterGLShadowVolumeClasses() {
  RegisterClasses({TGLShadowVolume::StaticClass()});
  const std::vector<std::string> cappings{"svcDefault", "svcAlways", "svcNever"};
  TPublished<TGLShadowVolumeCaster>()
      .Float("EffectiveRadius", &TGLShadowVolumeCaster::EffectiveRadius, &TGLShadowVolumeCaster::SetEffectiveRadius,
             0.0)
      .Enum("Capping", &TGLShadowVolumeCaster::Capping, &TGLShadowVolumeCaster::SetCapping, cappings, svcDefault)
      .Enum("CastingMode", &TGLShadowVolumeCaster::CastingMode, &TGLShadowVolumeCaster::SetCastingMode,
            {"scmAlways", "scmVisible", "scmRecursivelyVisible", "scmParentVisible", "scmParentRecursivelyVisible"},
            scmRecursivelyVisible);
  TPublished<TGLShadowVolumeOccluder>().Component("Caster", &TGLShadowVolumeOccluder::Caster,
                                                  &TGLShadowVolumeOccluder::SetCaster);
  TPublished<TGLShadowVolumeLight>().Component("LightSource", &TGLShadowVolumeLight::LightSource,
                                               &TGLShadowVolumeLight::SetLightSource);
  TPublished<TGLShadowVolume>()
      .Boolean("Active", &TGLShadowVolume::Active, &TGLShadowVolume::SetActive, true)
      .Object("Lights", &TGLShadowVolume::Lights)
      .Object("Occluders", &TGLShadowVolume::Occluders)
      .Enum("Capping", &TGLShadowVolume::Capping, &TGLShadowVolume::SetCapping, cappings, svcAlways)
      .Set("Options", &TGLShadowVolume::Options, &TGLShadowVolume::SetOptions,
           {"svoShowVolumes", "svoCacheSilhouettes", "svoScissorClips", "svoWorldScissorClip", "svoDesignVisible"},
           TGLShadowVolumeOptions{svoCacheSilhouettes, svoScissorClips}.Bits())
      .Enum("Mode", &TGLShadowVolume::Mode, &TGLShadowVolume::SetMode, {"svmAccurate", "svmDarkening", "svmOff"},
            svmAccurate)
      .Object("DarkeningColor", &TGLShadowVolume::DarkeningColor);
}
