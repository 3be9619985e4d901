// Actors: animations, animation controllers and the mesh scene object that plays them over
// its skeleton and morph targets.
#include "Source/Further/GLActor.h"
#include "Source/Further/GLVectorFileInternal.h"

using namespace vector_file_detail;

#include "Source/Base/OpenGL1x.h"
#include "Source/Further/GLBaseMeshSilhouette.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLMaterialPasses.h"
#include "Source/Scene/GLState.h"
#include "Source/Scene/GLStrings.h"
#include "Source/Further/MeshUtils.h"
#include "rtl/SysUtils.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

// ---------------------------------------------------------------------------------------------
// Actor animations and controllers

TGLActor* TActorAnimation::Owner() const {
  return Collection() ? static_cast<TActorAnimations*>(Collection())->Owner() : nullptr;
}

int TActorAnimation::FrameCount() const {
  TGLActor* actor = Owner();
  if (!actor) return 0;
  switch (reference_) {
    case aarMorph: return actor->MeshObjects()->MorphTargetCount();
    case aarSkeleton: return actor->Skeleton()->Frames()->Count();
    default: return 0;  // aarNone: nothing is animated
  }
}

// Without frames, or while the actor is being loaded, there is nothing to clamp to yet: the
// numbers are kept as given and clamped where they are used.
bool TActorAnimation::KeepsFramesAsGiven() const {
  TGLActor* actor = Owner();
  return FrameCount() == 0 || (actor && actor->LoadUnderWay());
}

int TActorAnimation::StartFrame() const {
  return KeepsFramesAsGiven() ? startFrame_ : std::min(startFrame_, FrameCount() - 1);
}

int TActorAnimation::EndFrame() const {
  return KeepsFramesAsGiven() ? endFrame_ : std::min(endFrame_, FrameCount() - 1);
}

void TActorAnimation::SetStartFrame(int Value) {
  const int count = FrameCount();
  if (Value >= count && !KeepsFramesAsGiven()) Value = count - 1;
  if (Value < 0) Value = 0;
  startFrame_ = Value;
  if (endFrame_ < startFrame_) endFrame_ = startFrame_;
}

void TActorAnimation::SetEndFrame(int Value) {
  const int count = FrameCount();
  if (Value >= count && !KeepsFramesAsGiven()) Value = count - 1;
  if (Value < 0) Value = 0;
  endFrame_ = Value;
  if (startFrame_ > endFrame_) startFrame_ = endFrame_;
}

void TActorAnimation::SetReference(TActorAnimationReference Value) {
  if (Value == reference_) return;
  reference_ = Value;
  SetStartFrame(startFrame_);
  SetEndFrame(endFrame_);
}

void TActorAnimation::Assign(TPersistent* Source) {
  if (Source && Source->Is<TActorAnimation>()) {
    auto* other = static_cast<TActorAnimation*>(Source);
    name_ = other->name_;
    startFrame_ = other->startFrame_;
    endFrame_ = other->endFrame_;
    reference_ = other->reference_;
    return;
  }
  inherited::Assign(Source);
}

std::string TActorAnimation::GetDisplayName() {
  return Format("%d - %s [%d - %d]", Index(), name_, StartFrame(), EndFrame());
}

TActorAnimations::TActorAnimations(TGLActor* AOwner)
    : TOwnedCollection(AOwner, TActorAnimation::StaticClass()), owner_(AOwner) {}

TActorAnimation* TActorAnimations::FindName(const std::string& Name) const {
  for (int i = 0; i < Count(); ++i)
    if (SameText(Items(i)->Name(), Name)) return Items(i);
  return nullptr;
}

TGLBaseAnimationControler::~TGLBaseAnimationControler() {
  if (actor_ && actor_->ControlerCount() > 0) actor_->UnRegisterControler(this);
}

void TGLBaseAnimationControler::DoChange() {
  if (actor_) actor_->StructureChanged();
}

void TGLBaseAnimationControler::SetEnabled(bool Value) {
  if (Value == enabled_) return;
  enabled_ = Value;
  DoChange();
}

void TGLBaseAnimationControler::SetActor(TGLActor* Value) {
  if (Value == actor_) return;
  if (actor_) actor_->UnRegisterControler(this);
  actor_ = Value;
  if (actor_) {
    actor_->RegisterControler(this);
    DoChange();
  }
}

void TGLBaseAnimationControler::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent == actor_) actor_ = nullptr;
  inherited::Notification(AComponent, Operation);
}

void TGLAnimationControler::SetAnimationName(const std::string& Value) {
  if (Value == animationName_) return;
  animationName_ = Value;
  DoChange();
}

void TGLAnimationControler::SetRatio(float Value) {
  Value = std::clamp(Value, 0.0f, 1.0f);
  if (Value == ratio_) return;
  ratio_ = Value;
  DoChange();
}

bool TGLAnimationControler::Apply(TBlendedLerpInfo& LerpInfo) {
  if (!Enabled() || !Actor()) return false;
  TActorAnimation* anim = Actor()->Animations()->FindName(animationName_);
  if (!anim) return false;
  if (ratio_ <= 0) {
    LerpInfo.frameIndex1 = LerpInfo.frameIndex2 = anim->StartFrame();
    LerpInfo.lerpFactor = 0;
  } else if (ratio_ >= 1) {
    LerpInfo.frameIndex1 = LerpInfo.frameIndex2 = anim->EndFrame();
    LerpInfo.lerpFactor = 0;
  } else {
    const double pos = anim->StartFrame() + double(ratio_) * (anim->EndFrame() - anim->StartFrame());
    LerpInfo.frameIndex1 = static_cast<int>(pos);
    LerpInfo.frameIndex2 = LerpInfo.frameIndex1 + 1;
    LerpInfo.lerpFactor = static_cast<float>(pos - LerpInfo.frameIndex1);
  }
  LerpInfo.weight = 1;
  LerpInfo.externalPositions = nullptr;
  LerpInfo.externalRotations = nullptr;
  LerpInfo.externalQuaternions = nullptr;
  return true;
}

namespace {

void DrawBone(TSkeletonBone* Bone) {
  const TMatrix4f& g = Bone->GlobalMatrix();
  const std::uint32_t c = Bone->Color();
  GL.glColor4f((c & 0xFF) / 255.0f, ((c >> 8) & 0xFF) / 255.0f, ((c >> 16) & 0xFF) / 255.0f,
               ((c >> 24) & 0xFF) / 255.0f);
  GL.glPointSize(5);
  GL.glBegin(GL_POINTS);
  GL.glVertex3fv(g[3].data());
  GL.glEnd();
  GL.glPointSize(1);
  if (Bone->Owner() && Bone->Owner()->Is<TSkeletonBone>()) {
    GL.glBegin(GL_LINES);
    GL.glVertex3fv(Bone->Owner()->GlobalMatrix()[3].data());
    GL.glVertex3fv(g[3].data());
    GL.glEnd();
  }
  for (int i = 0; i < Bone->Count(); ++i) DrawBone((*Bone)[i]);
}

void DrawSkeleton(TSkeleton* Skeleton) {
  GL.glPushAttrib(GL_ENABLE_BIT);
  GL.glDisable(GL_COLOR_MATERIAL);
  GL.glDisable(GL_LIGHTING);
  GL.glColor3f(1, 1, 1);
  for (int i = 0; i < Skeleton->RootBones()->Count(); ++i) DrawBone((*Skeleton->RootBones())[i]);
  GL.glPopAttrib();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TGLActor

TGLActor::TGLActor(TComponent* AOwner) : TGLBaseMesh(AOwner), animations_(std::make_unique<TActorAnimations>(this)) {
  objectStyle_ |= osDirectDraw;
}

TGLActor::~TGLActor() {
  if (controlers_) {
    std::vector<TGLBaseAnimationControler*> list = *controlers_;
    for (TGLBaseAnimationControler* c : list) c->SetActor(nullptr);
  }
}

int TGLActor::FrameCount() const {
  switch (reference_) {
    case aarMorph: return MeshObjects()->MorphTargetCount();
    case aarSkeleton: return Skeleton()->Frames()->Count();
    default: return 0;  // aarNone: nothing is animated
  }
}

bool TGLActor::LoadUnderWay() const { return meshLoading_ || ComponentState().Contains(csLoading); }

bool TGLActor::KeepsFramesAsGiven() const { return FrameCount() == 0 || LoadUnderWay(); }

int TGLActor::LastFrame() const { return std::max(FrameCount() - 1, 0); }

int TGLActor::UsedStartFrame() const { return std::clamp(startFrame_, 0, LastFrame()); }

int TGLActor::UsedEndFrame() const { return std::clamp(endFrame_, UsedStartFrame(), LastFrame()); }

int TGLActor::StartFrame() const { return KeepsFramesAsGiven() ? startFrame_ : std::min(startFrame_, LastFrame()); }

int TGLActor::EndFrame() const { return KeepsFramesAsGiven() ? endFrame_ : std::min(endFrame_, LastFrame()); }

int TGLActor::CurrentFrame() const {
  return KeepsFramesAsGiven() ? currentFrame_ : std::min(currentFrame_, LastFrame());
}

void TGLActor::SetReference(TActorAnimationReference Value) {
  if (Value == reference_) return;
  reference_ = Value;
  if (KeepsFramesAsGiven()) {
    StructureChanged();
    return;
  }
  // The frame numbers stay within the frames of the new reference.
  const int last = LastFrame();
  startFrame_ = std::clamp(startFrame_, 0, last);
  endFrame_ = std::clamp(endFrame_, startFrame_, last);
  currentFrame_ = std::clamp(currentFrame_, 0, last);
  StructureChanged();
}

void TGLActor::SetOptions(TGLActorOptions Value) {
  if (Value == options_) return;
  options_ = Value;
  StructureChanged();
}

void TGLActor::SetStartFrame(int Value) {
  if (Value < 0 || (Value >= FrameCount() && !KeepsFramesAsGiven())) return;
  startFrame_ = Value;
  if (endFrame_ < startFrame_) endFrame_ = startFrame_;
  if (currentFrame_ < startFrame_) SetCurrentFrame(startFrame_);
}

void TGLActor::SetEndFrame(int Value) {
  if (Value < 0 || (Value >= FrameCount() && !KeepsFramesAsGiven())) return;
  endFrame_ = Value;
  if (currentFrame_ > endFrame_) SetCurrentFrame(endFrame_);
}

void TGLActor::SetCurrentFrame(int Value) {
  if (Value == currentFrame_) return;
  const int count = FrameCount();
  if (Value >= count && !KeepsFramesAsGiven()) Value = count - 1;
  if (Value < 0) Value = 0;
  currentFrame_ = Value;
  currentFrameDelta_ = 0;
  const int start = UsedStartFrame(), end = UsedEndFrame();
  if (animationMode_ == aamPlayOnce && currentFrame_ == end)
    animationMode_ = aamNone;
  else if (animationMode_ == aamBounceForward && currentFrame_ == end)
    animationMode_ = aamBounceBackward;
  else if (animationMode_ == aamBounceBackward && currentFrame_ == start)
    animationMode_ = aamBounceForward;
  StructureChanged();
  if (OnFrameChanged) OnFrameChanged(this);
}

int TGLActor::NextFrameIndex() const {
  // Frame numbers kept beyond the frames there are count as the last one.
  const int last = LastFrame();
  if (targetSmoothAnimation_ && animationMode_ != aamExternal)
    return std::clamp(targetSmoothAnimation_->StartFrame(), 0, last);
  const int start = UsedStartFrame(), end = UsedEndFrame();
  const int current = std::clamp(currentFrame_, 0, last);
  switch (animationMode_) {
    case aamNone:
    case aamPlayOnce: return std::min(current + 1, end);
    case aamLoop:
    case aamBounceForward: {
      int result = current + 1;
      if (result > end) {
        result = start + (result - end - 1);
        if (result > end) result = end;
      }
      return result;
    }
    case aamBounceBackward:
    case aamLoopBackward: {
      int result = current - 1;
      if (result < start) {
        result = end - (start - result - 1);
        if (result < start) result = start;
      }
      return result;
    }
    case aamExternal: return current;
  }
  return current;
}

void TGLActor::NextFrame(int N) {
  while (N > 0) {
    SetCurrentFrame(NextFrameIndex());
    --N;
    if (OnEndFrameReached && currentFrame_ == UsedEndFrame()) OnEndFrameReached(this);
    if (OnStartFrameReached && currentFrame_ == UsedStartFrame()) OnStartFrameReached(this);
  }
}

void TGLActor::AllFrames() {
  startFrame_ = 0;
  endFrame_ = FrameCount() - 1;
  currentFrame_ = 0;
  if (OnFrameChanged) OnFrameChanged(this);
  StructureChanged();
}

void TGLActor::SwitchToAnimation(TActorAnimation* AnAnimation, bool Smooth) {
  if (!AnAnimation) return;
  if (Smooth) {
    targetSmoothAnimation_ = AnAnimation;
    currentFrameDelta_ = 0;
    return;
  }
  SetReference(AnAnimation->Reference());
  int start = AnAnimation->StartFrame(), end = AnAnimation->EndFrame();
  if (!KeepsFramesAsGiven()) {
    // An animation kept beyond the frames there are plays the frames it can.
    start = std::clamp(start, 0, LastFrame());
    end = std::clamp(end, start, LastFrame());
  }
  SetStartFrame(start);
  SetEndFrame(end);
  SetCurrentFrame(startFrame_);
}

void TGLActor::SwitchToAnimation(const std::string& AnimationName, bool Smooth) {
  SwitchToAnimation(animations_->FindName(AnimationName), Smooth);
}

void TGLActor::SwitchToAnimation(int AnimationIndex, bool Smooth) {
  if (AnimationIndex >= 0 && AnimationIndex < animations_->Count())
    SwitchToAnimation(animations_->Items(AnimationIndex), Smooth);
}

void TGLActor::Synchronize(TGLActor* ReferenceActor) {
  if (!ReferenceActor) return;
  const int count = FrameCount();
  if (ReferenceActor->startFrame_ < count) startFrame_ = ReferenceActor->startFrame_;
  if (ReferenceActor->endFrame_ < count) endFrame_ = ReferenceActor->endFrame_;
  if (ReferenceActor->currentFrame_ < count) currentFrame_ = ReferenceActor->currentFrame_;
  reference_ = ReferenceActor->reference_;
  currentFrameDelta_ = ReferenceActor->currentFrameDelta_;
  animationMode_ = ReferenceActor->animationMode_;
  frameInterpolation_ = ReferenceActor->frameInterpolation_;
  targetSmoothAnimation_ = ReferenceActor->targetSmoothAnimation_
                               ? animations_->FindName(ReferenceActor->targetSmoothAnimation_->Name())
                               : nullptr;
  if (Skeleton()->Frames()->Count() > 0 && ReferenceActor->Skeleton()->Frames()->Count() > 0)
    Skeleton()->Synchronize(ReferenceActor->Skeleton());
  StructureChanged();
}

void TGLActor::RegisterControler(TGLBaseAnimationControler* AControler) {
  if (!controlers_) controlers_ = std::make_unique<std::vector<TGLBaseAnimationControler*>>();
  controlers_->push_back(AControler);
  FreeNotification(AControler);
}

void TGLActor::UnRegisterControler(TGLBaseAnimationControler* AControler) {
  RTL_ASSERT(controlers_ != nullptr);
  auto it = std::find(controlers_->begin(), controlers_->end(), AControler);
  if (it != controlers_->end()) controlers_->erase(it);
  RemoveFreeNotification(AControler);
  if (controlers_->empty()) controlers_.reset();
}

void TGLActor::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && controlers_) {
    auto it = std::find(controlers_->begin(), controlers_->end(), AComponent);
    if (it != controlers_->end()) {
      controlers_->erase(it);
      if (controlers_->empty()) controlers_.reset();
    }
  }
  inherited::Notification(AComponent, Operation);
}

void TGLActor::LoadFromStream(const std::string& FileName, TStream* Stream) {
  if (FileName.empty()) return;
  // The actor's animations stay unless the file brings its own (a format appends them); a
  // refused file leaves them as they were.
  const int own = animations_->Count();
  auto dropAnimations = [this](int From, int Count) {
    for (int i = 0; i < Count; ++i) {
      if (targetSmoothAnimation_ == animations_->Items(From)) targetSmoothAnimation_ = nullptr;
      animations_->Delete(From);
    }
  };
  try {
    TRestore<bool> loading(meshLoading_, true);
    inherited::LoadFromStream(FileName, Stream);
  } catch (...) {
    dropAnimations(own, animations_->Count() - own);
    throw;
  }
  if (animations_->Count() > own) dropAnimations(0, own);
}

void TGLActor::BuildList(TRenderContextInfo& rci) {
  // Frame numbers chosen before frames went away (another mesh loaded, targets or skeleton
  // frames removed) are taken as the last frame there is.
  const int last = std::max(FrameCount() - 1, 0);
  const int frame = std::clamp(currentFrame_, 0, last);
  const int next = NextFrameIndex() >= 0 ? std::clamp(NextFrameIndex(), 0, last) : -1;
  if (reference_ == aarMorph) {
    if (next >= 0) {
      if (frameInterpolation_ == afpLinear)
        MeshObjects()->Lerp(frame, next, currentFrameDelta_);
      else
        MeshObjects()->MorphTo(frame);
    }
  } else if (reference_ == aarSkeleton && Skeleton()->Frames()->Count() > 0) {
    if (controlers_ && animationMode_ != aamExternal) {
      std::vector<TBlendedLerpInfo> blend(1);
      if (frameInterpolation_ == afpLinear && next >= 0) {
        blend[0].frameIndex1 = frame;
        blend[0].frameIndex2 = next;
        blend[0].lerpFactor = currentFrameDelta_;
      } else {
        blend[0].frameIndex1 = blend[0].frameIndex2 = frame;
        blend[0].lerpFactor = 0;
      }
      blend[0].weight = 1;
      for (TGLBaseAnimationControler* c : *controlers_) {
        TBlendedLerpInfo info;
        if (c->Apply(info)) {
          info.frameIndex1 = std::clamp(info.frameIndex1, 0, last);
          info.frameIndex2 = std::clamp(info.frameIndex2, 0, last);
          blend.push_back(info);
        }
      }
      Skeleton()->BlendedLerps(blend);
    } else if (animationMode_ != aamExternal && next >= 0) {
      if (frameInterpolation_ == afpLinear)
        Skeleton()->Lerp(frame, next, currentFrameDelta_);
      else
        Skeleton()->SetCurrentFrame((*Skeleton()->Frames())[frame]);
    }
    Skeleton()->MorphMesh((options_ & (1 << aoSkeletonNormalizeNormals)) != 0);
  }
  inherited::BuildList(rci);
  if (OverlaySkeleton()) {
    GL.glPushAttrib(GL_ENABLE_BIT);
    GL.glDisable(GL_DEPTH_TEST);
    DrawSkeleton(Skeleton());
    GL.glPopAttrib();
  }
}

void TGLActor::DoProgress(const TProgressTimes& progressTime) {
  inherited::DoProgress(progressTime);
  if (animationMode_ == aamNone || interval_ <= 0 || FrameCount() < 2 || UsedStartFrame() == UsedEndFrame()) return;
  currentFrameDelta_ += float(progressTime.deltaTime * 1000.0 / interval_);
  if (currentFrameDelta_ >= 1) {
    if (targetSmoothAnimation_) {
      TActorAnimation* target = targetSmoothAnimation_;
      targetSmoothAnimation_ = nullptr;
      SwitchToAnimation(target, false);
    }
    const float whole = std::floor(currentFrameDelta_);
    const float fraction = currentFrameDelta_ - whole;
    NextFrame(static_cast<int>(whole));
    currentFrameDelta_ = fraction;
    StructureChanged();
  } else if (frameInterpolation_ != afpNone) {
    StructureChanged();
  }
}

void TGLActor::Assign(TPersistent* Source) {
  inherited::Assign(Source);
  if (Source && Source->Is<TGLActor>()) {
    auto* other = static_cast<TGLActor*>(Source);
    animations_->Assign(other->animations_.get());
    animationMode_ = other->animationMode_;
    Synchronize(other);
  }
}

void RegisterGLActorClasses() {
  RegisterClasses({TActorAnimation::StaticClass(), TGLBaseAnimationControler::StaticClass(), TGLActor::StaticClass(),
                   TGLAnimationControler::StaticClass()});
  static const std::vector<std::string> orientations{"mnoDefault", "mnoInvert"};
  static const std::vector<std::string> centerings{"macCenterX", "macCenterY", "macCenterZ", "macUseBarycenter"};
  TPublished<TGLActor>()
      .Integer("StartFrame", &TGLActor::KeptStartFrame, &TGLActor::SetStartFrame, 0)
      .Integer("EndFrame", &TGLActor::KeptEndFrame, &TGLActor::SetEndFrame, 0)
      .Enum("Reference", &TGLActor::Reference, &TGLActor::SetReference, {"aarMorph", "aarSkeleton", "aarNone"},
            aarMorph)
      .Integer("CurrentFrame", &TGLActor::KeptCurrentFrame, &TGLActor::SetCurrentFrame, 0)
      .Float("CurrentFrameDelta", &TGLActor::CurrentFrameDelta, &TGLActor::SetCurrentFrameDelta, 0.0)
      .Enum("FrameInterpolation", &TGLActor::FrameInterpolation, &TGLActor::SetFrameInterpolation,
            {"afpNone", "afpLinear"}, afpLinear)
      .Enum("AnimationMode", &TGLActor::AnimationMode, &TGLActor::SetAnimationMode,
            {"aamNone", "aamPlayOnce", "aamLoop", "aamBounceForward", "aamBounceBackward", "aamLoopBackward",
             "aamExternal"},
            aamNone)
      .Integer("Interval", &TGLActor::Interval, &TGLActor::SetInterval, 100)
      .Set("Options", &TGLActor::Options, &TGLActor::SetOptions, {"aoSkeletonNormalizeNormals"}, 1)
      .Event("OnFrameChanged")
      .Event("OnEndFrameReached")
      .Event("OnStartFrameReached")
      .Object("Animations", &TGLActor::Animations)
      .StoredIf([](TGLActor* a) { return a->Animations()->Count() > 0; })
      .Set("AutoCentering", &TGLBaseMesh::AutoCentering, &TGLBaseMesh::SetAutoCentering, centerings, 0)
      .Component("MaterialLibrary", &TGLBaseMesh::MaterialLibrary, &TGLBaseMesh::SetMaterialLibrary)
      .Component("LightmapLibrary", &TGLBaseMesh::LightmapLibrary, &TGLBaseMesh::SetLightmapLibrary)
      .Boolean("UseMeshMaterials", &TGLBaseMesh::UseMeshMaterials, &TGLBaseMesh::SetUseMeshMaterials, true)
      .Enum("NormalsOrientation", &TGLBaseMesh::NormalsOrientation, &TGLBaseMesh::SetNormalsOrientation, orientations,
            mnoDefault)
      .Boolean("OverlaySkeleton", &TGLBaseMesh::OverlaySkeleton, &TGLBaseMesh::SetOverlaySkeleton, false);
  TPublished<TActorAnimation>()
      .String("Name", &TActorAnimation::Name, &TActorAnimation::SetName)
      .Integer("StartFrame", &TActorAnimation::KeptStartFrame, &TActorAnimation::SetStartFrame, 0)
      .Integer("EndFrame", &TActorAnimation::KeptEndFrame, &TActorAnimation::SetEndFrame, 0)
      .Enum("Reference", &TActorAnimation::Reference, &TActorAnimation::SetReference,
            {"aarMorph", "aarSkeleton", "aarNone"}, aarMorph);
  TPublished<TGLBaseAnimationControler>()
      .Boolean("Enabled", &TGLBaseAnimationControler::Enabled, &TGLBaseAnimationControler::SetEnabled, true)
      .Component("Actor", &TGLBaseAnimationControler::Actor, &TGLBaseAnimationControler::SetActor);
  TPublished<TGLAnimationControler>()
      .String("AnimationName", &TGLAnimationControler::AnimationName, &TGLAnimationControler::SetAnimationName)
      .Float("Ratio", &TGLAnimationControler::Ratio, &TGLAnimationControler::SetRatio, 0.0);
}
