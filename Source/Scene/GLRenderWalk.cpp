// The render walk: children drawn in the order their sorting asks for, the scene's lights set up,
// and a pass over the scene (each object under its matrix, pick name and effects, one failing
// object reported once while the rest still draws).
#include "Source/Scene/GLSceneGraph.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <utility>

#include "Source/Base/XOpenGL.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLMaterialPasses.h"
#include "Source/Scene/GLBatchArrays.h"
#include "Source/Scene/GLStrings.h"
#include "rtl/Streaming.h"

// ============================================================================================
// Children of a scene object

namespace {

// Children handed to the walk in drawing order: those that can be drawn in a batch wait until
// one that looks different or cannot comes, then go as one batch.
class TBatchingWalk {
 public:
  TBatchingWalk(TGLSceneGraph& scene, TRenderContextInfo& rci) : scene_(scene), rci_(rci) {}
  TBatchingWalk(const TBatchingWalk&) = delete;
  TBatchingWalk& operator=(const TBatchingWalk&) = delete;

  void Render(TGLBaseSceneObject* obj) {
    if (TGLSceneGraph::DrawableInBatch(obj, rci_)) {
      if (!batch_.empty() && !batch_.front()->SameBatchLookAs(*obj)) Flush();
      batch_.push_back(obj);
      return;
    }
    Flush();
    scene_.RenderObject(obj, rci_);
  }
  // Draws what waits; the caller's last step.
  void Flush() {
    if (batch_.size() == 1)
      scene_.RenderObject(batch_.front(), rci_);
    else if (!batch_.empty())
      scene_.RenderBatch(batch_, rci_);
    batch_.clear();
  }

 private:
  TGLSceneGraph& scene_;
  TRenderContextInfo& rci_;
  std::vector<TGLBaseSceneObject*> batch_;
};

}  // namespace

void TGLBaseSceneObject::RenderChildren(int firstChildIndex, int lastChildIndex, TRenderContextInfo& rci) {
  if (!children_ || !scene_) return;
  TRestore<uint8_t> cullingGuard(rci.visibilityCulling, rci.visibilityCulling);
  if (visibilityCulling_ != vcInherited) rci.visibilityCulling = visibilityCulling_;
  if (lastChildIndex == firstChildIndex) {
    TGLBaseSceneObject* c = GetChild(firstChildIndex);
    if (c && c->Visible()) scene_->RenderObject(c, rci);
    return;
  }
  firstChildIndex = std::max(firstChildIndex, 0);
  lastChildIndex = std::min(lastChildIndex, GetChildCount() - 1);
  if (lastChildIndex < firstChildIndex) return;
  TRestore<uint8_t> sortingGuard(rci.objectsSorting, rci.objectsSorting);
  if (objectsSorting_ != osInherited) rci.objectsSorting = objectsSorting_;
  const auto first = children_->begin() + firstChildIndex, last = children_->begin() + lastChildIndex + 1;
  // What the walk draws is taken from the list before anything is drawn: an object's drawing
  // may free or move a sibling, which then is not reached, or add one, which waits for the
  // next frame.
  std::vector<TGLBaseSceneObject*> inOrder, sorted;
  // Each child is read here and by the walk after: what is read of it is fetched some children
  // ahead, the child first, then what it points at.
  constexpr ptrdiff_t kObjectAhead = 16, kMoreAhead = 8;
  for (auto it = first; it != last && it - first < kObjectAhead; ++it) (*it)->PrefetchForWalk();
  auto prefetch = [&](auto it) {
    if (last - it > kObjectAhead) (*(it + kObjectAhead))->PrefetchForWalk();
    if (last - it > kMoreAhead) (*(it + kMoreAhead))->PrefetchMoreForWalk();
  };
  switch (TGLObjectsSorting(rci.objectsSorting)) {
    case osNone:
      for (auto it = first; it != last; ++it) {
        prefetch(it);
        if ((*it)->Visible()) inOrder.push_back(*it);
      }
      break;
    case osRenderFarthestFirst:
    case osRenderBlendedLast:
    case osRenderNearestFirst: {
      std::vector<std::pair<float, TGLBaseSceneObject*>> entries;
      entries.reserve(size_t(last - first));
      const TVector4f cam = rci.cameraPosition;
      for (auto it = first; it != last; ++it) {
        prefetch(it);
        TGLBaseSceneObject* c = *it;
        if (!c->Visible()) continue;
        // The distance only of what is sorted: a group's barycentre walks all its children.
        switch (TGLObjectsSorting(rci.objectsSorting)) {
          case osRenderFarthestFirst: entries.emplace_back(c->SqrDistanceToBarycentre(cam) + 1, c); break;
          case osRenderBlendedLast:
            if (c->IsBlended())
              entries.emplace_back(c->SqrDistanceToBarycentre(cam) + 1, c);
            else
              inOrder.push_back(c);  // drawn first, in tree order
            break;
          default: entries.emplace_back(-1 - c->SqrDistanceToBarycentre(cam), c); break;
        }
      }
      // Stable, so objects at equal distance keep their tree order from frame to frame.
      if (entries.size() > 1)
        std::stable_sort(entries.begin(), entries.end(),
                         [](const auto& a, const auto& b) { return SortKeyLess(a.first, b.first); });
      sorted.reserve(entries.size());
      for (auto it = entries.rbegin(); it != entries.rend(); ++it) sorted.push_back(it->second);
      break;
    }
    default: RTL_ASSERT(false, "Sorting still inherited at the top of the render walk");
  }
  TListWalk<TGLBaseSceneObject*> now(childWalks_, std::move(inOrder));
  TListWalk<TGLBaseSceneObject*> then(childWalks_, std::move(sorted));
  TBatchingWalk walk(*scene_, rci);
  for (TListWalk<TGLBaseSceneObject*>* part : {&now, &then}) {
    while (TGLBaseSceneObject* c = part->Next()) walk.Render(c);
    if (part->OwnerGone()) return;
  }
  walk.Flush();
}

bool TGLBaseSceneObject::RenderEachChild(std::vector<TGLBaseSceneObject*>&& children, TRenderContextInfo& rci) {
  TListWalk<TGLBaseSceneObject*> walk(childWalks_, std::move(children));
  while (TGLBaseSceneObject* c = walk.Next()) scene_->RenderObject(c, rci);
  return !walk.OwnerGone();
}

// ============================================================================================
// Lights and the scene pass

void TGLSceneGraph::SetupLights(int maxLights) {
  const int n = std::min(int(lights_.size()), maxLights);
  GL.glPushMatrix();
  for (int i = 0; i < n; ++i) {
    TGLLightSource* light = lights_[size_t(i)];
    if (!light) {
      GL.glDisable(GLenum(GL_LIGHT0 + i));
      continue;
    }
    const GLenum id = GLenum(light->LightID());
    if (!light->Shining()) {
      GL.glDisable(id);
      continue;
    }
    GL.glEnable(id);
    GL.glPopMatrix();
    GL.glPushMatrix();
    light->RebuildMatrix();
    if (light->LightStyle() != lsParallel) {
      if (light->Parent()) GL.glMultMatrixf(light->Parent()->GetAbsoluteMatrixPtr()->data());
      TVector4f pos = light->Position()->AsVector();
      pos[3] = 1;
      GL.glLightfv(id, GL_POSITION, pos.data());
    } else {
      GL.glMultMatrixf(light->GetAbsoluteMatrixPtr()->data());
      TVector4f dir = light->SpotDirection()->AsVector();
      dir[3] = 0;
      GL.glLightfv(id, GL_POSITION, dir.data());
    }
    GL.glLightfv(id, GL_AMBIENT, light->Ambient()->Color().data());
    GL.glLightfv(id, GL_DIFFUSE, light->Diffuse()->Color().data());
    GL.glLightfv(id, GL_SPECULAR, light->Specular()->Color().data());
    if (light->LightStyle() == lsSpot) {
      if (light->SpotCutOff() != 180) {
        GL.glLightfv(id, GL_SPOT_DIRECTION, light->SpotDirection()->AsVector().data());
        GL.glLightf(id, GL_SPOT_EXPONENT, light->SpotExponent());
      }
      GL.glLightf(id, GL_SPOT_CUTOFF, light->SpotCutOff());
    } else {
      GL.glLightf(id, GL_SPOT_CUTOFF, 180);
    }
    GL.glLightf(id, GL_CONSTANT_ATTENUATION, light->ConstAttenuation());
    GL.glLightf(id, GL_LINEAR_ATTENUATION, light->LinearAttenuation());
    GL.glLightf(id, GL_QUADRATIC_ATTENUATION, light->QuadraticAttenuation());
  }
  GL.glPopMatrix();
  for (int i = n; i < maxLights; ++i) GL.glDisable(GLenum(GL_LIGHT0 + i));
}

void TGLSceneGraph::RenderScene(TGLSceneBuffer* aBuffer, int viewPortSizeX, int viewPortSizeY, TDrawState drawState,
                                TGLBaseSceneObject* baseObject) {
  RTL_ASSERT(aBuffer != nullptr);
  currentObject_ = nullptr;
  aBuffer->afterRenderEffects_.clear();
  currentBuffer_ = aBuffer;
  TRenderContextInfo rci{};
  rci.scene = this;
  rci.buffer = aBuffer;
  rci.objectsSorting = objectsSorting_;
  rci.visibilityCulling = visibilityCulling_;
  rci.bufferFaceCull = aBuffer->FaceCulling();
  rci.drawState = drawState;
  rci.sceneAmbientColor = aBuffer->AmbientColor()->Color();
  TGLCamera* cam = aBuffer->Camera();
  if (cam) {
    rci.cameraPosition = aBuffer->CameraAbsolutePosition();
    // A camera aimed at a target looks along its last look direction.
    TVector4f dir = cam->TargetObject() ? cam->LastDirection() : cam->GetAbsoluteDirection();
    dir[3] = 0;
    rci.cameraDirection = VectorNormalized(dir);
    TVector4f up = cam->GetAbsoluteUp();
    TAffineVector u = AffineVectorMake(up), d = AffineVectorMake(rci.cameraDirection);
    u = AffineVectorSubtract(u, AffineVectorScaled(d, AffineVectorDotProduct(u, d)));
    if (AffineVectorLength(u) > 1e-6f)
      u = AffineVectorNormalized(u);
    else  // Up along the line of sight: the screen up the view was built with
      u = AffineVectorNormalized(TAffineVector{aBuffer->modelViewMatrix_[0][1], aBuffer->modelViewMatrix_[1][1],
                                               aBuffer->modelViewMatrix_[2][1]});
    rci.cameraUp = VectorMakeFromAffine(u);
    rci.rcci.viewPortRadius = cam->ViewPortRadius();
    rci.rcci.farClippingDistance = cam->NearPlane() + cam->DepthOfView();
  }
  rci.modelViewMatrix = &aBuffer->modelViewMatrix_;
  rci.viewPortWidth = viewPortSizeX;
  rci.viewPortHeight = viewPortSizeY;
  rci.renderDPI = aBuffer->RenderDPI();
  rci.GLStates = &aBuffer->GLStates();
  if (drawState == dsRendering && aBuffer->UploadBudget().Limited()) {
    aBuffer->UploadBudget().StartFrame();
    rci.uploadBudget = &aBuffer->UploadBudget();
  }
  rci.rcci.origin = rci.cameraPosition;
  rci.rcci.clippingDirection = rci.cameraDirection;
  rci.rcci.frustum = ExtractFrustum(MatrixMultiply(aBuffer->modelViewMatrix_, aBuffer->projectionMatrix_));

  rci.GLStates->ResetCachedState();
  rci.proxySubObject = false;
  rci.ignoreMaterials = aBuffer->ContextOptions().Contains(roNoColorBuffer) || drawState == dsPicking;
  const GLboolean colorWrites = rci.ignoreMaterials ? GL_FALSE : GL_TRUE;
  GL.glColorMask(colorWrites, colorWrites, colorWrites, colorWrites);
  TScopeExit colorMaskRestore([] { GL.glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE); });
  if (aBuffer->InitiateRendering) aBuffer->InitiateRendering(aBuffer, rci);
  RenderObject(baseObject ? baseObject : objects_, rci);
  GL.glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  for (size_t i = 0; i < aBuffer->afterRenderEffects_.size(); ++i)
    aBuffer->afterRenderEffects_[i]->Render(aBuffer, rci);
  if (aBuffer->WrapUpRendering && !aBuffer->ViewerGone()) aBuffer->WrapUpRendering(aBuffer, rci);
  rci.GLStates->DisableState(stBlend);
  rci.GLStates->DisableState(stTexture2D);
  rci.GLStates->DisableState(stTextureRect);
  rci.GLStates->EnableState(stAlphaTest);
  GL.glAlphaFunc(GL_GREATER, 0);
}

void TGLSceneGraph::RenderObject(TGLBaseSceneObject* obj, TRenderContextInfo& rci) {
  // A viewer freed during its pass: the pass ends, drawing nothing more.
  if (rci.buffer && rci.buffer->ViewerGone()) return;
  // Its drawing (a draw handler of its own or of a child) may free it.
  const TGLObjectWatch watch(obj);
  try {
    RenderObjectUnguarded(obj, rci, watch);
  } catch (...) {
    if (!watch.Freed())
      ReportRenderFailure(obj, rci);
    else if (rci.GLStates)
      rci.GLStates->ResetCachedState();
  }
}

bool TGLSceneGraph::DrawableInBatch(TGLBaseSceneObject* obj, const TRenderContextInfo& rci) {
  if (rci.drawState != dsRendering || rci.ignoreMaterials || rci.proxySubObject || rci.amalgamating) return false;
  if (rci.visibilityCulling != vcNone && rci.visibilityCulling != vcInherited) return false;
  if (obj->HasChildList() || obj->ShowAxes() || (obj->ObjectStyle() & (osStateChanging | osIgnoreDepthBuffer)))
    return false;
  if (const TGLObjectEffects* effects = obj->EffectsIfAny(); effects && effects->Count() > 0) return false;
  return obj->JoinsBatches();
}

void TGLSceneGraph::RenderBatch(const std::vector<TGLBaseSceneObject*>& batch, TRenderContextInfo& rci) {
  RTL_ASSERT(!batch.empty());
  auto* first = dynamic_cast<TGLCustomSceneObject*>(batch.front());
  if (!first) {  // nothing to draw them under: each on its own
    for (TGLBaseSceneObject* obj : batch) RenderObject(obj, rci);
    return;
  }
  // An object that fails is reported and left out of the passes still to come; the rest of the
  // batch draws under the material, which is taken off as usual.
  std::vector<bool> failed;
  auto fail = [&](size_t i) {
    if (failed.empty()) failed.resize(batch.size());
    failed[i] = true;
    ReportFailureOnce(batch[i]);
  };
  // Objects that give their geometry as arrays are drawn together in one call, the others each
  // with its own glBegin/glEnd. A batch drawn from inside another one's drawing has arrays of
  // its own.
  std::unique_ptr<TGLBatchArrays> arrays = std::move(batchArrays_);
  if (!arrays) arrays = std::make_unique<TGLBatchArrays>();
  TScopeExit giveBack([&] {
    arrays->Trim();
    if (!batchArrays_) batchArrays_ = std::move(arrays);
  });
  arrays->Clear();
  arrays->cullBack = first->Parent() && CullsBackFaces(first->Material()->FaceCulling(), rci);
  if (arrays->cullBack)
    arrays->SeeFromCurrentView(
        rci.buffer ? MatrixMultiply(*first->Parent()->GetAbsoluteMatrixPtr(), rci.buffer->ModelViewMatrix())
                   : IdentityHmgMatrix,
        rci.buffer ? rci.buffer->ProjectionMatrix() : IdentityHmgMatrix);
  std::vector<bool> inArrays(batch.size());
  for (size_t i = 0; i < batch.size(); ++i) {
    const size_t corners = arrays->Corners(), indices = arrays->indices.size();
    try {
      inArrays[i] = batch[i]->AppendToBatch(*arrays);
    } catch (...) {
      arrays->Truncate(corners, indices);
      fail(i);
    }
  }
  try {
    DrawUnderMaterial(*first->Material(), rci, [&] {
      arrays->Draw();
      for (size_t i = 0; i < batch.size(); ++i) {
        if (inArrays[i] || (!failed.empty() && failed[i])) continue;
        TGLBaseSceneObject* obj = batch[i];
        currentObject_ = obj;
        try {
          obj->EmitInBatch(rci);
        } catch (...) {
          // The cached state is kept: it is the material's, which the rest still draw under.
          fail(i);
        }
      }
    });
  } catch (...) {
    // The material itself failed (applying or taking it off), or the arrays' draw: nothing of
    // the batch can be drawn under it, and it is the first object's.
    ReportRenderFailure(first, rci);
    return;
  }
  // What a failing object left in the cached state is unknown: the next object sends its own.
  if (!failed.empty() && rci.GLStates) rci.GLStates->ResetCachedState();
}

void TGLSceneGraph::ReportRenderFailure(TGLBaseSceneObject* obj, TRenderContextInfo& rci) noexcept {
  // What the object left in the cached state is unknown: the next object sends its own.
  if (rci.GLStates) rci.GLStates->ResetCachedState();
  ReportFailureOnce(obj);
}

void TGLSceneGraph::ReportFailureOnce(TGLBaseSceneObject* obj) noexcept {
  if (obj->renderFailureReported_) return;
  obj->renderFailureReported_ = true;
  const char* what = "unknown error";
  try {
    throw;
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
  }
  try {
    const std::string name = obj->ClassName() + (obj->Name().empty() ? "" : " \"" + obj->Name() + "\"");
    std::fprintf(stderr, "Scene: %s not drawn: %s (reported once)\n", name.c_str(), what);
  } catch (...) {
  }
}

namespace {

// Radius of the world sphere about the object's absolute position that holds its box: the box's
// corners carried by the absolute matrix, so that the scales of the object and of all its parents
// count, non-uniform and sheared ones included.
float AbsoluteBoundingSphereRadius(TGLBaseSceneObject* obj) {
  const TVector4f d = obj->AxisAlignedDimensionsUnscaled();
  const TMatrix4f& m = *obj->GetAbsoluteMatrixPtr();
  double r2 = 0;
  for (int sy = -1; sy <= 1; sy += 2)
    for (int sz = -1; sz <= 1; sz += 2) {
      double l2 = 0;
      for (int k = 0; k < 3; ++k) {
        const double c = double(d[0]) * m[0][k] + sy * double(d[1]) * m[1][k] + sz * double(d[2]) * m[2][k];
        l2 += c * c;
      }
      r2 = std::max(r2, l2);
    }
  return float(std::sqrt(r2));
}

}  // namespace

void TGLSceneGraph::RenderObjectUnguarded(TGLBaseSceneObject* obj, TRenderContextInfo& rci,
                                          const TGLObjectWatch& watch) {
  bool renderSelf = true, renderChildren = obj->HasChildList();
  const bool noCulling = (obj->ObjectStyle() & osNoVisibilityCulling) != 0;
  switch (TGLVisibilityCulling(rci.visibilityCulling)) {
    case vcInherited:
    case vcNone: break;
    case vcObjectBased:
      if (!noCulling)
        renderSelf = !IsSphereClipped(obj->GetAbsolutePosition(), rci.rcci.frustum, AbsoluteBoundingSphereRadius(obj));
      break;
    case vcHierarchical:
      if (!noCulling) {
        TAxisAlignedBox box = obj->GetBoundingBoxWithChildren();
        // The box is in the object's (scaled) space; the frustum test wants world space, so it is
        // carried by the absolute matrix without the object's own scale a second time.
        TMatrix4f abs = *obj->GetAbsoluteMatrixPtr();
        const TVector4f s = obj->Scale()->AsVector();
        for (int i = 0; i < 3; ++i)
          if (s[i] != 0) abs[i] = VectorScaled(abs[i], 1 / s[i]);
        AxisBoxTransform(box, abs);
        renderSelf = !IsBoxClipped(box.min, box.max, rci.rcci.frustum);
      }
      renderChildren = renderSelf && obj->HasChildList();
      break;
    default: RTL_ASSERT(false, "Unknown visibility culling option");
  }
  if (!renderSelf && !renderChildren) return;

  GL.glPushMatrix();
  TScopeExit popMatrix([] { GL.glPopMatrix(); });
  GL.glMultMatrixf(obj->GetLocalMatrixPtr()->data());
  const bool picking = rci.drawState == dsPicking;
  if (picking) {
    const GLuint name = rci.buffer ? rci.buffer->PickNameOf(obj) : 0;
    if (rci.proxySubObject)
      GL.glPushName(name);
    else
      GL.glLoadName(name);
  }
  TScopeExit popName([active = picking && rci.proxySubObject] {
    if (active) GL.glPopName();
  });

  TGLStateCache& states = *rci.GLStates;
  auto renderBody = [&](bool self, bool depthCondition) {
    const bool depthOff = (obj->ObjectStyle() & osIgnoreDepthBuffer) && depthCondition;
    if (depthOff) states.DisableState(stDepthTest);
    TScopeExit depthBack([&] {
      if (depthOff) states.EnableState(stDepthTest);
    });
    obj->DoRender(rci, self, renderChildren);
  };

  if (!renderSelf) {
    renderBody(false, rci.buffer && rci.buffer->DepthTest());
    return;
  }
  if (obj->ShowAxes()) obj->DrawAxes(rci, 0xCCCC);
  TGLObjectEffects* effects = obj->EffectsIfAny();
  // What it set is unknown when it went during its drawing: the next object sends its own.
  const auto afterBody = [&] {
    if (watch.Freed() || (obj->ObjectStyle() & osStateChanging)) states.ResetCachedState();
  };
  if (!effects || effects->Count() == 0) {
    renderBody(true, true);
    afterBody();
  } else {
    {
      GL.glPushMatrix();
      TScopeExit popPre([] { GL.glPopMatrix(); });
      effects->RenderPreEffects(currentBuffer_, rci);
    }
    GL.glPushMatrix();
    TScopeExit pop([] { GL.glPopMatrix(); });
    renderBody(true, true);
    afterBody();
    if (!watch.Freed()) effects->RenderPostEffects(currentBuffer_, rci);
  }
}
