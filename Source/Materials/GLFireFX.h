// Fire: a manager component owns a pool of particles that it emits around a reference point and
// ages and moves at every tick of its frame clock; fire effects attached to scene objects draw
// the pool as camera-facing hexagonal glows, blended additively.
//
// The random source is injectable (Random); by default one shared uniform generator in [0, 1).
// GUI thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Source/Base/VectorTypes.h"
#include "Source/Scene/GLBehaviours.h"
#include "Source/Scene/GLMisc.h"
#include "Source/Scene/GLStoredLimits.h"

class TGLBFireFX;
class TGLBaseSceneObject;
class TGLCadencer;
class TGLColor;
class TGLCoordinates;

// One particle, 11 singles.
struct TFireParticle {
  TVector4f Position;  // w = 1
  TVector4f Speed;
  float Density;
  float Life;         // remaining, seconds
  float InitialLife;  // seconds
};
static_assert(sizeof(TFireParticle) == 44);

// Vertices of one particle's glow: a centre and a closed hexagon.
inline constexpr int kFireParticleVertices = 8;
// Particles a stored fire may ask for: the stored vertex limit in glows drawn each frame. Far
// more than any fire shows, and a pool of a few megabytes, so that a damaged value neither
// allocates gigabytes nor sorts millions per frame.
inline constexpr int kMaxStoredFireParticles = int(kMaxStoredVertices / kFireParticleVertices);

class TGLFireFXManager : public TGLCadenceAbleComponent {
  RTL_CLASS(TGLFireFXManager, TGLCadenceAbleComponent)
 public:
  // Joins the manager registry, so that effects find it by name after loading.
  explicit TGLFireFXManager(TComponent* AOwner);
  // Detaches every client effect and leaves the registry.
  ~TGLFireFXManager() override;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  // One simulation step (unless paused or the interval is not positive), then every client's
  // scene object is told that it changed.
  void DoProgress(const TProgressTimes& progressTime) override;

  // Empties the pool and the interval accumulator.
  void FireInit();
  void RegisterClient(TGLBFireFX* aClient);
  void UnRegisterClient(TGLBFireFX* aClient);
  int ClientCount() const noexcept { return int(clients_.size()); }

  int ParticleCount() const noexcept { return particleCount_; }
  const TFireParticle* Particles() const noexcept { return particles_.data(); }
  float IntervalAccumulator() const noexcept { return intervalAccumulator_; }
  // Test aid: the pool and accumulator as they are to continue from.
  void SetParticles(const std::vector<TFireParticle>& particles, float accumulator);

  TGLCoordinates* FireDir() const noexcept { return fireDir_.get(); }
  void SetFireDir(TGLCoordinates* Value);
  TGLCoordinates* InitialDir() const noexcept { return initialDir_.get(); }
  void SetInitialDir(TGLCoordinates* Value);
  TGLCadencer* Cadencer() const noexcept { return cadencer_; }
  void SetCadencer(TGLCadencer* Value);
  int MaxParticles() const noexcept { return maxParticles_; }
  // Below 1 becomes 0. Raises EReadError naming the manager above kMaxStoredFireParticles while
  // the manager is read from a stored scene (before allocating), and EOutOfMemory (the pool
  // unchanged) when the pool cannot be allocated.
  void SetMaxParticles(int Value);
  int ParticleLife() const noexcept { return particleLife_; }
  void SetParticleLife(int Value) noexcept { particleLife_ = Value; }
  float ParticleSize() const noexcept { return particleSize_; }
  void SetParticleSize(float Value) noexcept { particleSize_ = Value; }
  float FireDensity() const noexcept { return fireDensity_; }
  void SetFireDensity(float Value) noexcept { fireDensity_ = Value; }
  float FireEvaporation() const noexcept { return fireEvaporation_; }
  void SetFireEvaporation(float Value) noexcept { fireEvaporation_ = Value; }
  float FireCrown() const noexcept { return fireCrown_; }
  void SetFireCrown(float Value) noexcept { fireCrown_ = Value; }
  float ParticleInterval() const noexcept { return particleInterval_; }
  void SetParticleInterval(float Value) noexcept { particleInterval_ = Value; }
  TGLColor* InnerColor() const noexcept { return innerColor_.get(); }
  void SetInnerColor(TGLColor* Value);
  TGLColor* OuterColor() const noexcept { return outerColor_.get(); }
  void SetOuterColor(TGLColor* Value);
  float FireBurst() const noexcept { return fireBurst_; }
  void SetFireBurst(float Value) noexcept { fireBurst_ = Value; }
  float FireRadius() const noexcept { return fireRadius_; }
  void SetFireRadius(float Value) noexcept { fireRadius_ = Value; }
  bool Disabled() const noexcept { return disabled_; }
  void SetDisabled(bool Value) noexcept { disabled_ = Value; }
  bool Paused() const noexcept { return paused_; }
  void SetPaused(bool Value) noexcept { paused_ = Value; }
  bool UseInterval() const noexcept { return useInterval_; }
  void SetUseInterval(bool Value) noexcept { useInterval_ = Value; }
  TGLBaseSceneObject* Reference() const noexcept { return reference_; }
  void SetReference(TGLBaseSceneObject* Value);
  bool NoZWrite() const noexcept { return noZWrite_; }
  void SetNoZWrite(bool Value) noexcept { noZWrite_ = Value; }

  // Uniform values in [0, 1); nullptr uses the shared generator.
  std::function<float()> Random;

 private:
  friend class TGLBFireFX;
  void CalcFire(float deltaTime);
  void AddParticle(const TVector4f& centre);
  float NextRandom();

  std::vector<TGLBFireFX*> clients_;
  std::vector<TFireParticle> particles_;  // MaxParticles records
  std::unique_ptr<TGLCoordinates> fireDir_, initialDir_;
  TGLCadencer* cadencer_ = nullptr;
  int maxParticles_ = 256;
  int particleLife_ = 3;
  float particleSize_ = 1.0f;
  float fireDensity_ = 1.0f;
  float fireEvaporation_ = 0.86f;
  float fireCrown_ = 0.0f;
  float particleInterval_ = 0.1f;
  float intervalAccumulator_ = 0.0f;
  int particleCount_ = 0;
  std::unique_ptr<TGLColor> innerColor_, outerColor_;
  float fireBurst_ = 0.0f;
  float fireRadius_ = 1.0f;
  bool disabled_ = false;
  bool paused_ = false;
  bool useInterval_ = true;
  TGLBaseSceneObject* reference_ = nullptr;
  bool noZWrite_ = true;
};

// The effect that draws a manager's particles after its scene object.
class TGLBFireFX : public TGLObjectPostEffect {
  RTL_CLASS(TGLBFireFX, TGLObjectPostEffect)
 public:
  TGLBFireFX() = default;
  ~TGLBFireFX() override;
  static std::string FriendlyName() { return "FireFX"; }
  static std::string FriendlyDescription() { return "Fire FX"; }

  void Assign(TPersistent* Source) override;
  // Base data, then Integer 0 and the manager's name (empty without manager).
  void WriteToFiler(TWriter* Writer) override;
  // Version 0 only; the name is kept until the owner has loaded.
  void ReadFromFiler(TReader* Reader) override;
  // Resolves the stored manager name among the registered fire managers.
  void OwnerLoaded() override;
  void Render(TGLSceneBuffer* buffer, TRenderContextInfo& rci) override;

  TGLFireFXManager* Manager() const noexcept { return manager_; }
  void SetManager(TGLFireFXManager* Value);
  const std::string& PendingManagerName() const noexcept { return managerName_; }

 private:
  friend class TGLFireFXManager;
  TGLFireFXManager* manager_ = nullptr;
  std::string managerName_;
};

void RegisterGLFireFXClasses();
