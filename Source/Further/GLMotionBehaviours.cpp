// Inertia and acceleration behaviours: per-tick motion, damping and their archives.
#include "Source/Further/GLMotionBehaviours.h"

#include <cmath>

#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"
#include "Source/Scene/GLSceneGraph.h"

namespace {

void CheckVersion0(TReader* Reader, const std::string& className) {
  const int version = Reader->ReadInteger();
  if (version != 0) throw EReadError(className + " : unknown archive version " + std::to_string(version));
}

// A NaN or infinite speed would make the owner's position or angles NaN for good (a NaN angle
// turns the orientation vectors into NaN, and no later angle can turn them back).
float FiniteOrZero(double v) {
  const float f = float(v);
  return std::isfinite(f) ? f : 0.0f;
}

bool IsFinite(const TVector4f& v) {
  return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]) && std::isfinite(v[3]);
}

// Damps a signed speed towards zero by its magnitude; crossing zero stops it.
float DampSigned(const TGLDamping& damping, float speed, double dt) {
  if (speed > 0) {
    const double s = damping.Calculate(speed, dt);
    return s > 0 ? FiniteOrZero(s) : 0.0f;
  }
  if (speed < 0) {
    const double s = damping.Calculate(-speed, dt);
    return s > 0 ? FiniteOrZero(-s) : 0.0f;
  }
  return 0.0f;
}

// Turns the object by speed x dt about one of its axes (the angle's index in Rotation()) and
// keeps the angle within one turn, its sign kept. A float angle left to grow without bound loses
// the small step of each tick (at 90 degrees a second, 48 hours in, a second turned 120 degrees),
// so the object is turned by the step itself, not by the difference of two large angles.
// A step or an angle that is not a number leaves the object as it was.
void AddAngle(TGLBaseSceneObject* obj, float (TGLBaseSceneObject::*get)() const,
              void (TGLBaseSceneObject::*turn)(float), int axis, float speed, double dt) {
  if (speed == 0) return;
  const double step = double(speed) * dt;
  const double angle = std::fmod(double((obj->*get)()) + step, 360.0);
  if (!std::isfinite(step) || !std::isfinite(angle)) return;
  (obj->*turn)(float(std::fmod(step, 360.0)));
  TVector4f rotation = obj->Rotation()->AsVector();
  rotation[axis] = float(angle);
  obj->Rotation()->StoreVector(rotation);
}

}  // namespace

// --- TGLDamping

TGLDamping::TGLDamping(TPersistent* AOwner, float constant, float linear, float quadratic)
    : TGLUpdateAbleObject(AOwner), constant_(constant), linear_(linear), quadratic_(quadratic) {}

void TGLDamping::Assign(TPersistent* Source) {
  if (auto* d = dynamic_cast<TGLDamping*>(Source)) {
    constant_ = d->constant_;
    linear_ = d->linear_;
    quadratic_ = d->quadratic_;
    NotifyChange(this);
  } else {
    inherited::Assign(Source);
  }
}

void TGLDamping::WriteToFiler(TWriter* Writer) {
  Writer->WriteInteger(0);
  const bool any = constant_ != 0 || linear_ != 0 || quadratic_ != 0;
  Writer->WriteBoolean(any);
  if (any) {
    Writer->WriteFloat(constant_);
    Writer->WriteFloat(linear_);
    Writer->WriteFloat(quadratic_);
  }
}

void TGLDamping::ReadFromFiler(TReader* Reader) {
  CheckVersion0(Reader, ClassName());
  if (Reader->ReadBoolean()) {
    constant_ = float(Reader->ReadFloat());
    linear_ = float(Reader->ReadFloat());
    quadratic_ = float(Reader->ReadFloat());
  } else {
    constant_ = linear_ = quadratic_ = 0;
  }
}

double TGLDamping::Calculate(double speed, double deltaTime) const {
  while (deltaTime > 0) {
    double step;
    if (deltaTime > 0.01) {
      step = 0.01;
      deltaTime -= 0.01;
    } else {
      step = deltaTime;
      deltaTime = 0;
    }
    speed -= ((quadratic_ * speed + linear_) * speed + constant_) * step;
  }
  return speed;
}

void TGLDamping::SetDamping(float constant, float linear, float quadratic) {
  constant_ = constant;
  linear_ = linear;
  quadratic_ = quadratic;
  NotifyChange(this);
}

void TGLDamping::SetConstant(float v) {
  if (v == constant_) return;
  constant_ = v;
  NotifyChange(this);
}

void TGLDamping::SetLinear(float v) {
  if (v == linear_) return;
  linear_ = v;
  NotifyChange(this);
}

void TGLDamping::SetQuadratic(float v) {
  if (v == quadratic_) return;
  quadratic_ = v;
  NotifyChange(this);
}

// --- TGLBInertia

TGLBInertia::TGLBInertia()
    : translationSpeed_(std::make_unique<TGLCoordinates>(this, TVector4f{0, 0, 0, 0}, csVector)),
      translationDamping_(std::make_unique<TGLDamping>(this)),
      rotationDamping_(std::make_unique<TGLDamping>(this)) {}

TGLBInertia::~TGLBInertia() = default;

void TGLBInertia::Assign(TPersistent* Source) {
  if (auto* s = dynamic_cast<TGLBInertia*>(Source)) {
    mass_ = s->mass_;
    translationSpeed_->Assign(s->translationSpeed_.get());
    turnSpeed_ = s->turnSpeed_;
    rollSpeed_ = s->rollSpeed_;
    pitchSpeed_ = s->pitchSpeed_;
    dampingEnabled_ = s->dampingEnabled_;
    translationDamping_->Assign(s->translationDamping_.get());
    rotationDamping_->Assign(s->rotationDamping_.get());
  }
  inherited::Assign(Source);
}

void TGLBInertia::WriteToFiler(TWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
  Writer->WriteFloat(mass_);
  translationSpeed_->WriteToFiler(Writer);
  Writer->WriteFloat(turnSpeed_);
  Writer->WriteFloat(rollSpeed_);
  Writer->WriteFloat(pitchSpeed_);
  Writer->WriteBoolean(dampingEnabled_);
  translationDamping_->WriteToFiler(Writer);
  rotationDamping_->WriteToFiler(Writer);
}

void TGLBInertia::ReadFromFiler(TReader* Reader) {
  inherited::ReadFromFiler(Reader);
  CheckVersion0(Reader, ClassName());
  mass_ = float(Reader->ReadFloat());
  translationSpeed_->ReadFromFiler(Reader);
  turnSpeed_ = FiniteOrZero(Reader->ReadFloat());
  rollSpeed_ = FiniteOrZero(Reader->ReadFloat());
  pitchSpeed_ = FiniteOrZero(Reader->ReadFloat());
  dampingEnabled_ = Reader->ReadBoolean();
  translationDamping_->ReadFromFiler(Reader);
  rotationDamping_->ReadFromFiler(Reader);
}

void TGLBInertia::SetTurnSpeed(float v) { turnSpeed_ = FiniteOrZero(v); }
void TGLBInertia::SetRollSpeed(float v) { rollSpeed_ = FiniteOrZero(v); }
void TGLBInertia::SetPitchSpeed(float v) { pitchSpeed_ = FiniteOrZero(v); }

void TGLBInertia::ApplyTranslationAcceleration(double deltaTime, const TVector4f& accel) {
  const float f = float(deltaTime);
  if (IsFinite(VectorAddScaled(translationSpeed_->AsVector(), accel, f)))
    translationSpeed_->AddVectorTimesFactor(accel, f);
}

void TGLBInertia::DoProgress(const TProgressTimes& progressTime) {
  const double dt = progressTime.deltaTime;
  // The coordinates can be set directly, past the inertia's setters.
  if (!IsFinite(translationSpeed_->AsVector())) translationSpeed_->AssignVector(TVector4f{0, 0, 0, 0});
  TVector4f movement{0, 0, 0, 0};
  if (dampingEnabled_) {
    const float s = translationSpeed_->LengthXYZ();
    if (s > 0) {
      const double damped = translationDamping_->Calculate(s, dt);
      // Not above 0, or not a finite number (from coefficients that are not numbers, or that
      // speed up past any limit) stops the motion.
      if (!(damped > 0 && std::isfinite(float(damped)))) {
        translationSpeed_->AssignVector(TVector4f{0, 0, 0, 0});
      } else {
        translationSpeed_->ScaleXYZ(float(damped / s));
        movement = translationSpeed_->AsVector();
      }
    }
    turnSpeed_ = DampSigned(*rotationDamping_, turnSpeed_, dt);
    rollSpeed_ = DampSigned(*rotationDamping_, rollSpeed_, dt);
    pitchSpeed_ = DampSigned(*rotationDamping_, pitchSpeed_, dt);
  } else {
    movement = translationSpeed_->AsVector();
  }
  TGLBaseSceneObject* obj = OwnerBaseSceneObject();
  if (!obj) return;
  movement[3] = 0;  // a point keeps its w
  if (IsFinite(VectorAddScaled(obj->Position()->AsVector(), movement, float(dt))))
    obj->Position()->AddVectorTimesFactor(movement, float(dt));
  AddAngle(obj, &TGLBaseSceneObject::TurnAngle, &TGLBaseSceneObject::Turn, 1, turnSpeed_, dt);
  AddAngle(obj, &TGLBaseSceneObject::RollAngle, &TGLBaseSceneObject::Roll, 2, rollSpeed_, dt);
  AddAngle(obj, &TGLBaseSceneObject::PitchAngle, &TGLBaseSceneObject::Pitch, 0, pitchSpeed_, dt);
}

// --- TGLBAcceleration

TGLBAcceleration::TGLBAcceleration()
    : acceleration_(std::make_unique<TGLCoordinates>(this, TVector4f{0, 0, 0, 0}, csVector)) {}

TGLBAcceleration::~TGLBAcceleration() = default;

void TGLBAcceleration::Assign(TPersistent* Source) {
  if (auto* s = dynamic_cast<TGLBAcceleration*>(Source)) acceleration_->Assign(s->acceleration_.get());
  inherited::Assign(Source);
}

void TGLBAcceleration::WriteToFiler(TWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
  acceleration_->WriteToFiler(Writer);
}

void TGLBAcceleration::ReadFromFiler(TReader* Reader) {
  inherited::ReadFromFiler(Reader);
  CheckVersion0(Reader, ClassName());
  acceleration_->ReadFromFiler(Reader);
}

void TGLBAcceleration::DoProgress(const TProgressTimes& progressTime) {
  TGLBaseSceneObject* obj = OwnerBaseSceneObject();
  if (!obj) return;
  GetOrCreateInertia(obj)->ApplyTranslationAcceleration(progressTime.deltaTime, acceleration_->AsVector());
}

// --- helpers

TGLBInertia* GetOrCreateInertia(TGLBehaviours* behaviours) {
  const int i = behaviours->IndexOfClass(TGLBInertia::StaticClass());
  if (i >= 0) return static_cast<TGLBInertia*>(behaviours->Items(i));
  return behaviours->Add<TGLBInertia>();
}

TGLBInertia* GetOrCreateInertia(TGLBaseSceneObject* obj) { return GetOrCreateInertia(obj->Behaviours()); }

void RegisterGLMotionBehavioursClasses() {
  RegisterXCollectionItemClass<TGLBInertia>();
  RegisterXCollectionItemClass<TGLBAcceleration>();
  TPublished<TGLDamping>()
      .Float("Constant", &TGLDamping::Constant, &TGLDamping::SetConstant, 0.0)
      .Float("Linear", &TGLDamping::Linear, &TGLDamping::SetLinear, 0.0)
      .Float("Quadratic", &TGLDamping::Quadratic, &TGLDamping::SetQuadratic, 0.0);
  TPublished<TGLBInertia>()
      .Float("Mass", &TGLBInertia::Mass, &TGLBInertia::SetMass, 1.0)
      .Object("TranslationSpeed", &TGLBInertia::TranslationSpeed)
      .Float("TurnSpeed", &TGLBInertia::TurnSpeed, &TGLBInertia::SetTurnSpeed, 0.0)
      .Float("RollSpeed", &TGLBInertia::RollSpeed, &TGLBInertia::SetRollSpeed, 0.0)
      .Float("PitchSpeed", &TGLBInertia::PitchSpeed, &TGLBInertia::SetPitchSpeed, 0.0)
      .Boolean("DampingEnabled", &TGLBInertia::DampingEnabled, &TGLBInertia::SetDampingEnabled, true)
      .Object("TranslationDamping", &TGLBInertia::TranslationDamping)
      .Object("RotationDamping", &TGLBInertia::RotationDamping);
  TPublished<TGLBAcceleration>().Object("Acceleration", &TGLBAcceleration::Acceleration);
}
