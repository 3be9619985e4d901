// Motion behaviours: an inertia that keeps translation and rotation speeds and moves its object
// on every frame-clock tick, with optional damping, and a constant acceleration feeding it.
#pragma once

#include <memory>
#include <string>

#include "Source/Scene/GLBehaviours.h"
#include "Source/Scene/GLCoordinates.h"
#include "Source/Scene/GLMisc.h"

class TGLBaseSceneObject;

// Damping law: each step removes ((Quadratic * s + Linear) * s + Constant) * step from s.
class TGLDamping : public TGLUpdateAbleObject {
  RTL_CLASS(TGLDamping, TGLUpdateAbleObject)
 public:
  explicit TGLDamping(TPersistent* AOwner) : TGLUpdateAbleObject(AOwner) {}
  TGLDamping(TPersistent* AOwner, float constant, float linear, float quadratic);

  void Assign(TPersistent* Source) override;
  // Integer 0, then true and the three values (Constant, Linear, Quadratic) when any is non-zero,
  // else false.
  void WriteToFiler(TWriter* Writer);
  void ReadFromFiler(TReader* Reader);

  // The speed after deltaTime seconds, integrated in steps of at most 0.01 s.
  double Calculate(double speed, double deltaTime) const;
  void SetDamping(float constant = 0, float linear = 0, float quadratic = 0);

  float Constant() const noexcept { return constant_; }
  void SetConstant(float v);
  float Linear() const noexcept { return linear_; }
  void SetLinear(float v);
  float Quadratic() const noexcept { return quadratic_; }
  void SetQuadratic(float v);

 private:
  float constant_ = 0, linear_ = 0, quadratic_ = 0;
};

// Translation and rotation speeds applied to the owner each tick; one per object. A speed that
// is not a finite number (set, read or reached) is taken as 0, so it never reaches the owner's
// position or angles.
class TGLBInertia : public TGLBehaviour {
  RTL_CLASS(TGLBInertia, TGLBehaviour)
 public:
  TGLBInertia();
  ~TGLBInertia() override;

  static std::string FriendlyName() { return "Simple Inertia"; }
  static std::string FriendlyDescription() { return "A simple translation and rotation inertia"; }
  static bool UniqueItem() { return true; }

  void Assign(TPersistent* Source) override;
  void WriteToFiler(TWriter* Writer) override;
  void ReadFromFiler(TReader* Reader) override;
  void DoProgress(const TProgressTimes& progressTime) override;

  // TranslationSpeed += acceleration * deltaTime; ignored when that is not finite.
  void ApplyTranslationAcceleration(double deltaTime, const TVector4f& accel);

  float Mass() const noexcept { return mass_; }
  void SetMass(float v) { mass_ = v; }
  TGLCoordinates* TranslationSpeed() const noexcept { return translationSpeed_.get(); }
  void SetTranslationSpeed(TGLCoordinates* v) { translationSpeed_->Assign(v); }
  float TurnSpeed() const noexcept { return turnSpeed_; }
  void SetTurnSpeed(float v);
  float RollSpeed() const noexcept { return rollSpeed_; }
  void SetRollSpeed(float v);
  float PitchSpeed() const noexcept { return pitchSpeed_; }
  void SetPitchSpeed(float v);
  bool DampingEnabled() const noexcept { return dampingEnabled_; }
  void SetDampingEnabled(bool v) { dampingEnabled_ = v; }
  TGLDamping* TranslationDamping() const noexcept { return translationDamping_.get(); }
  void SetTranslationDamping(TGLDamping* v) { translationDamping_->Assign(v); }
  TGLDamping* RotationDamping() const noexcept { return rotationDamping_.get(); }
  void SetRotationDamping(TGLDamping* v) { rotationDamping_->Assign(v); }

 private:
  float mass_ = 1;
  std::unique_ptr<TGLCoordinates> translationSpeed_;
  float turnSpeed_ = 0, rollSpeed_ = 0, pitchSpeed_ = 0;
  bool dampingEnabled_ = true;
  std::unique_ptr<TGLDamping> translationDamping_, rotationDamping_;
};

// A constant acceleration added to the owner's inertia (created when absent); one per object.
class TGLBAcceleration : public TGLBehaviour {
  RTL_CLASS(TGLBAcceleration, TGLBehaviour)
 public:
  TGLBAcceleration();
  ~TGLBAcceleration() override;

  static std::string FriendlyName() { return "Simple Acceleration"; }
  static std::string FriendlyDescription() { return "A simple and constant acceleration"; }
  static bool UniqueItem() { return true; }

  void Assign(TPersistent* Source) override;
  void WriteToFiler(TWriter* Writer) override;
  void ReadFromFiler(TReader* Reader) override;
  void DoProgress(const TProgressTimes& progressTime) override;

  TGLCoordinates* Acceleration() const noexcept { return acceleration_.get(); }
  void SetAcceleration(TGLCoordinates* v) { acceleration_->Assign(v); }

 private:
  std::unique_ptr<TGLCoordinates> acceleration_;
};

// The object's inertia, created and added when absent.
TGLBInertia* GetOrCreateInertia(TGLBehaviours* behaviours);
TGLBInertia* GetOrCreateInertia(TGLBaseSceneObject* obj);

// Registers the two behaviours with the typed-item registry, and the published properties.
void RegisterGLMotionBehavioursClasses();
