// Actors: meshes animated frame by frame over their morph targets or skeleton frames, the named
// animations they play and the controllers that blend animations over the skeleton.
#pragma once

#include "Source/Further/GLBaseMesh.h"
#include "Source/Further/GLSkeleton.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum TActorAnimationReference : std::uint8_t { aarMorph, aarSkeleton, aarNone };
enum TActorFrameInterpolation : std::uint8_t { afpNone, afpLinear };
enum TActorAnimationMode : std::uint8_t {
  aamNone,
  aamPlayOnce,
  aamLoop,
  aamBounceForward,
  aamBounceBackward,
  aamLoopBackward,
  aamExternal
};
enum TGLActorOption : std::uint8_t { aoSkeletonNormalizeNormals };
using TGLActorOptions = std::uint8_t;  // bit 0: aoSkeletonNormalizeNormals

class TGLActor;

class TActorAnimation : public TCollectionItem {
  RTL_CLASS(TActorAnimation, TCollectionItem)
 public:
  explicit TActorAnimation(TCollection* ACollection) : TCollectionItem(ACollection) {}
  void Assign(TPersistent* Source) override;
  std::string GetDisplayName() override;

  const std::string& Name() const noexcept { return name_; }
  void SetName(const std::string& Value) { name_ = Value; }
  // Set: clamped to the frames of Reference (kept as given while there are none or the actor is
  // being loaded); pulls EndFrame up / pushes StartFrame down. Read: within the frames there
  // are; a number kept beyond them answers as the last frame.
  int StartFrame() const;
  void SetStartFrame(int Value);
  int EndFrame() const;
  void SetEndFrame(int Value);
  // The numbers as kept, for the stored form: a mesh with more frames given back restores them.
  int KeptStartFrame() const noexcept { return startFrame_; }
  int KeptEndFrame() const noexcept { return endFrame_; }
  TActorAnimationReference Reference() const noexcept { return reference_; }
  void SetReference(TActorAnimationReference Value);
  TGLActor* Owner() const;

 private:
  int FrameCount() const;
  bool KeepsFramesAsGiven() const;
  std::string name_;
  int startFrame_ = 0;
  int endFrame_ = 0;
  TActorAnimationReference reference_ = aarMorph;
};

class TActorAnimations : public TOwnedCollection {
  RTL_CLASS(TActorAnimations, TOwnedCollection)
 public:
  explicit TActorAnimations(TGLActor* AOwner);
  TGLActor* Owner() const noexcept { return owner_; }
  TActorAnimation* Add() { return AddAs<TActorAnimation>(); }
  TActorAnimation* Items(int Index) const { return ItemAs<TActorAnimation>(Index); }
  // First item whose name equals Name ignoring case; nullptr when none.
  TActorAnimation* FindName(const std::string& Name) const;

 private:
  TGLActor* owner_;
};

class TGLBaseAnimationControler : public TComponent {
  RTL_CLASS(TGLBaseAnimationControler, TComponent)
 public:
  explicit TGLBaseAnimationControler(TComponent* AOwner) : TComponent(AOwner) {}
  ~TGLBaseAnimationControler() override;

  bool Enabled() const noexcept { return enabled_; }
  void SetEnabled(bool Value);
  TGLActor* Actor() const noexcept { return actor_; }
  void SetActor(TGLActor* Value);
  // Fills one blend entry; the base fills none.
  virtual bool Apply(TBlendedLerpInfo& /*LerpInfo*/) { return false; }
  void Notification(TComponent* AComponent, TOperation Operation) override;

 protected:
  void DoChange();

 private:
  bool enabled_ = true;
  TGLActor* actor_ = nullptr;
};

class TGLAnimationControler : public TGLBaseAnimationControler {
  RTL_CLASS(TGLAnimationControler, TGLBaseAnimationControler)
 public:
  using TGLBaseAnimationControler::TGLBaseAnimationControler;
  const std::string& AnimationName() const noexcept { return animationName_; }
  void SetAnimationName(const std::string& Value);
  float Ratio() const noexcept { return ratio_; }
  // Clamped to 0 .. 1.
  void SetRatio(float Value);
  bool Apply(TBlendedLerpInfo& LerpInfo) override;

 private:
  std::string animationName_;
  float ratio_ = 0;
};

// A mesh animated frame by frame (morph targets or skeleton frames) by the frame clock.
class TGLActor : public TGLBaseMesh {
  RTL_CLASS(TGLActor, TGLBaseMesh)
 public:
  explicit TGLActor(TComponent* AOwner);
  ~TGLActor() override;

  // Within the frames there are once there are frames (and no load is under way): a number
  // kept beyond them, from before another mesh was given or from a stored form, answers as the
  // last frame. The setters accept 0 .. FrameCount - 1 (any number while there are no frames).
  int StartFrame() const;
  void SetStartFrame(int Value);
  int EndFrame() const;
  void SetEndFrame(int Value);
  int CurrentFrame() const;
  void SetCurrentFrame(int Value);
  // The numbers as kept, for the stored form: a mesh with more frames given back restores them.
  int KeptStartFrame() const noexcept { return startFrame_; }
  int KeptEndFrame() const noexcept { return endFrame_; }
  int KeptCurrentFrame() const noexcept { return currentFrame_; }
  float CurrentFrameDelta() const noexcept { return currentFrameDelta_; }
  void SetCurrentFrameDelta(float Value) noexcept { currentFrameDelta_ = Value; }
  TActorAnimationReference Reference() const noexcept { return reference_; }
  // Brings the start, end and current frame within the frames of the new reference.
  void SetReference(TActorAnimationReference Value);
  TActorFrameInterpolation FrameInterpolation() const noexcept { return frameInterpolation_; }
  void SetFrameInterpolation(TActorFrameInterpolation Value) noexcept { frameInterpolation_ = Value; }
  TActorAnimationMode AnimationMode() const noexcept { return animationMode_; }
  void SetAnimationMode(TActorAnimationMode Value) noexcept { animationMode_ = Value; }
  int Interval() const noexcept { return interval_; }
  void SetInterval(int Value) noexcept { interval_ = Value; }
  TGLActorOptions Options() const noexcept { return options_; }
  void SetOptions(TGLActorOptions Value);
  TActorAnimations* Animations() const noexcept { return animations_.get(); }
  void SetAnimations(TActorAnimations* Value) { animations_->Assign(Value); }
  TActorAnimation* TargetSmoothAnimation() const noexcept { return targetSmoothAnimation_; }
  int ControlerCount() const noexcept { return controlers_ ? static_cast<int>(controlers_->size()) : 0; }

  std::function<void(TObject*)> OnFrameChanged;
  std::function<void(TObject*)> OnEndFrameReached;
  std::function<void(TObject*)> OnStartFrameReached;

  // By Reference: the morph targets or the skeleton frames; none for aarNone.
  int FrameCount() const;
  // While the stored form or a mesh file is being read. Then, and while there are no frames,
  // the frame setters keep the numbers as given; they are clamped to the frames where used.
  bool LoadUnderWay() const;
  int NextFrameIndex() const;
  void NextFrame(int N = 1);
  void AllFrames();
  void SwitchToAnimation(TActorAnimation* AnAnimation, bool Smooth = false);
  void SwitchToAnimation(const std::string& AnimationName, bool Smooth = false);
  void SwitchToAnimation(int AnimationIndex, bool Smooth = false);
  void Synchronize(TGLActor* ReferenceActor);
  void RegisterControler(TGLBaseAnimationControler* AControler);
  void UnRegisterControler(TGLBaseAnimationControler* AControler);

  // The animations stay unless the file brings its own.
  void LoadFromStream(const std::string& FileName, TStream* Stream) override;
  void BuildList(TRenderContextInfo& rci) override;
  void DoProgress(const TProgressTimes& progressTime) override;
  void Assign(TPersistent* Source) override;
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  bool KeepsFramesAsGiven() const;
  int LastFrame() const;
  int UsedStartFrame() const;
  int UsedEndFrame() const;

  bool meshLoading_ = false;
  int startFrame_ = 0;
  int endFrame_ = 0;
  int currentFrame_ = 0;
  float currentFrameDelta_ = 0;
  TActorAnimationReference reference_ = aarMorph;
  TActorFrameInterpolation frameInterpolation_ = afpLinear;
  TActorAnimationMode animationMode_ = aamNone;
  int interval_ = 100;
  TGLActorOptions options_ = 1;
  std::unique_ptr<TActorAnimations> animations_;
  TActorAnimation* targetSmoothAnimation_ = nullptr;
  std::unique_ptr<std::vector<TGLBaseAnimationControler*>> controlers_;
};

// Makes the actor and animation classes known by name and declares their published properties.
void RegisterGLActorClasses();
