// Tests of the motion behaviours: damping, damped and undamped motion, acceleration feeding the
// inertia, and archives.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "Source/Further/GLMotionBehaviours.h"
#include "Source/Scene/GLSceneGraph.h"
#include "rtl/Streaming.h"

namespace {

struct MotionFixture : ::testing::Test {
  void SetUp() override { RegisterGLMotionBehavioursClasses(); }
  void Tick(TGLBaseSceneObject* o, double dt) { o->Behaviours()->DoProgress(TProgressTimes{dt, now += dt}); }
  TGLSceneGraph scene{nullptr};
  double now = 0;
};

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The bytes of one float value as the writer stores it.
std::string EncodedFloat(double v) {
  TStringStream s;
  {
    TWriter w(&s);
    w.WriteFloat(v);
  }
  return s.DataString();
}

}  // namespace

TEST(MotionDamping, IntegratesInHundredthsAndNeverGoesNegative) {
  TGLDamping none(nullptr);
  EXPECT_DOUBLE_EQ(none.Calculate(3.5, 2.0), 3.5);

  // 0.025 s = 0.01 + 0.01 + 0.005: linear 10 removes 10 % twice, then 5 %.
  TGLDamping linear(nullptr, 0, 10, 0);
  EXPECT_NEAR(linear.Calculate(1.0, 0.025), 0.9 * 0.9 * 0.95, 1e-6);

  TGLDamping quadratic(nullptr, 0, 0, 2);
  EXPECT_NEAR(quadratic.Calculate(1.0, 0.01), 1.0 - 2 * 0.01, 1e-9);
}

TEST_F(MotionFixture, DampedTranslationStopsAtZero) {
  auto* o = scene.Objects()->AddNewChild<TGLSceneObject>();
  auto* inertia = GetOrCreateInertia(o);
  inertia->TranslationSpeed()->SetXYZAsVector(0.5, 0, 0);
  inertia->TranslationDamping()->SetConstant(1);
  Tick(o, 1.0);
  EXPECT_EQ(inertia->TranslationSpeed()->X(), 0.0f);
  EXPECT_EQ(o->Position()->X(), 0.0f);  // stopped: no movement at all this tick
  EXPECT_EQ(o->Position()->W(), 1.0f);

  // Rotation speeds damp by magnitude towards zero from either side.
  inertia->SetTurnSpeed(-30);
  inertia->SetRollSpeed(50);
  inertia->RotationDamping()->SetConstant(100);
  Tick(o, 0.1);
  EXPECT_NEAR(inertia->RollSpeed(), 40, 1e-3);
  EXPECT_NEAR(o->RollAngle(), 4, 1e-3);
  EXPECT_NEAR(inertia->TurnSpeed(), -20, 1e-3);
  Tick(o, 1.0);
  EXPECT_EQ(inertia->TurnSpeed(), 0.0f);
  EXPECT_EQ(inertia->RollSpeed(), 0.0f);
}

TEST_F(MotionFixture, UndampedMotionMovesAndTurns) {
  auto* o = scene.Objects()->AddNewChild<TGLSceneObject>();
  auto* inertia = GetOrCreateInertia(o);
  EXPECT_EQ(GetOrCreateInertia(o), inertia);
  inertia->SetDampingEnabled(false);
  inertia->TranslationDamping()->SetConstant(100);  // ignored while disabled
  inertia->TranslationSpeed()->SetXYZAsVector(1, 2, 0);
  inertia->SetPitchSpeed(90);
  Tick(o, 0.5);
  EXPECT_FLOAT_EQ(o->Position()->X(), 0.5f);
  EXPECT_FLOAT_EQ(o->Position()->Y(), 1.0f);
  EXPECT_FLOAT_EQ(o->PitchAngle(), 45.0f);
  EXPECT_THROW(o->Behaviours()->Add<TGLBInertia>(), EAssertionFailed);  // one per object
}

TEST_F(MotionFixture, AccelerationCreatesInertiaAndFeedsIt) {
  auto* o = scene.Objects()->AddNewChild<TGLSceneObject>();
  auto* acc = o->Behaviours()->Add<TGLBAcceleration>();
  acc->Acceleration()->SetXYZAsVector(0, 0, -10);
  Tick(o, 0.1);
  const int i = o->Behaviours()->IndexOfClass(TGLBInertia::StaticClass());
  ASSERT_GE(i, 0);
  auto* inertia = static_cast<TGLBInertia*>(o->Behaviours()->Items(i));
  inertia->SetDampingEnabled(false);
  const float vz = inertia->TranslationSpeed()->Z();
  const float z = o->Position()->Z();
  Tick(o, 0.1);
  EXPECT_NEAR(inertia->TranslationSpeed()->Z(), vz - 1.0f, 1e-5);
  EXPECT_NEAR(o->Position()->Z(), z + (vz - 1.0f) * 0.1f, 1e-5);
}

TEST_F(MotionFixture, ArchivesRoundTrip) {
  auto* src = scene.Objects()->AddNewChild<TGLSceneObject>();
  auto* a = GetOrCreateInertia(src);
  a->SetMass(3);
  a->TranslationSpeed()->SetXYZAsVector(1, 2, 3);
  a->SetTurnSpeed(4);
  a->SetRollSpeed(5);
  a->SetPitchSpeed(6);
  a->SetDampingEnabled(false);
  a->TranslationDamping()->SetDamping(0.5, 0.25, 0.125);  // the rotation damping stays all zero
  src->Behaviours()->Add<TGLBAcceleration>()->Acceleration()->SetXYZAsVector(7, 8, 9);
  TMemoryStream ms;
  {
    TWriter w(&ms);
    src->Behaviours()->WriteToFiler(&w);
  }
  ms.SetPosition(0);
  auto* dst = scene.Objects()->AddNewChild<TGLSceneObject>();
  dst->Behaviours()->Add<TGLBInertia>()->RotationDamping()->SetDamping(9, 9, 9);
  dst->Behaviours()->Clear();
  {
    TReader r(&ms);
    dst->Behaviours()->ReadFromFiler(&r);
  }
  ASSERT_EQ(dst->Behaviours()->Count(), 2);
  auto* b = static_cast<TGLBInertia*>(dst->Behaviours()->Items(0));
  EXPECT_EQ(b->ClassName(), "TGLBInertia");
  EXPECT_EQ(b->Mass(), 3.0f);
  EXPECT_TRUE(b->TranslationSpeed()->EqualsVector(TVector4f{1, 2, 3, 0}));
  EXPECT_EQ(b->TurnSpeed(), 4.0f);
  EXPECT_EQ(b->RollSpeed(), 5.0f);
  EXPECT_EQ(b->PitchSpeed(), 6.0f);
  EXPECT_FALSE(b->DampingEnabled());
  EXPECT_EQ(b->TranslationDamping()->Linear(), 0.25f);
  EXPECT_EQ(b->TranslationDamping()->Quadratic(), 0.125f);
  EXPECT_EQ(b->RotationDamping()->Constant(), 0.0f);
  auto* c = static_cast<TGLBAcceleration*>(dst->Behaviours()->Items(1));
  EXPECT_TRUE(c->Acceleration()->EqualsVector(TVector4f{7, 8, 9, 0}));
}

TEST(MotionDamping, FalseFlagReadsAsAllZero) {
  TMemoryStream ms;
  {
    TWriter w(&ms);
    TGLDamping(nullptr).WriteToFiler(&w);
    w.WriteInteger(3);  // an unknown version
  }
  EXPECT_EQ(ms.Size(), 3 + 2);  // int 0 and one boolean only, then the next archive
  ms.SetPosition(0);
  TReader r(&ms);
  TGLDamping d(nullptr, 1, 2, 3);
  d.ReadFromFiler(&r);
  EXPECT_EQ(d.Constant() + d.Linear() + d.Quadratic(), 0.0f);
  EXPECT_THROW(d.ReadFromFiler(&r), EReadError);
}

// One speed that is not a number must not leave the object's angles or position NaN for good.
TEST_F(MotionFixture, SpeedsThatAreNotNumbersAreTakenAsZero) {
  auto* o = scene.Objects()->AddNewChild<TGLSceneObject>();
  auto* inertia = GetOrCreateInertia(o);
  inertia->SetDampingEnabled(false);
  inertia->SetTurnSpeed(kNaN);
  inertia->SetRollSpeed(kInf);
  inertia->SetPitchSpeed(-kInf);
  EXPECT_EQ(inertia->TurnSpeed(), 0.0f);
  EXPECT_EQ(inertia->RollSpeed(), 0.0f);
  EXPECT_EQ(inertia->PitchSpeed(), 0.0f);
  Tick(o, 0.02);
  inertia->SetTurnSpeed(10);
  Tick(o, 1.0);
  EXPECT_FLOAT_EQ(o->TurnAngle(), 10.0f);
  EXPECT_EQ(o->RollAngle(), 0.0f);
  EXPECT_TRUE(std::isfinite(o->Direction()->X()));

  // The speed coordinates can be set directly; damped or not, such a speed stops.
  for (bool damped : {false, true}) {
    inertia->SetDampingEnabled(damped);
    inertia->TranslationSpeed()->SetXYZAsVector(kNaN, 1, 0);
    Tick(o, 0.5);
    EXPECT_TRUE(inertia->TranslationSpeed()->EqualsVector(TVector4f{0, 0, 0, 0})) << damped;
    inertia->TranslationSpeed()->SetXYZAsVector(kInf, 0, 0);
    Tick(o, 0.5);
    EXPECT_TRUE(inertia->TranslationSpeed()->EqualsVector(TVector4f{0, 0, 0, 0})) << damped;
    EXPECT_EQ(o->Position()->X(), 0.0f) << damped;
    EXPECT_EQ(o->Position()->Y(), 0.0f) << damped;
  }

  // An acceleration that is not a number is not taken in.
  inertia->SetDampingEnabled(false);
  inertia->TranslationSpeed()->SetXYZAsVector(1, 0, 0);
  inertia->ApplyTranslationAcceleration(0.1, TVector4f{kNaN, 0, 0, 0});
  EXPECT_EQ(inertia->TranslationSpeed()->X(), 1.0f);

  // Nor does a damping law that gives no number, or one past any limit, move the object.
  inertia->SetDampingEnabled(true);
  for (float linear : {kNaN, -1e30f}) {
    inertia->TranslationSpeed()->SetXYZAsVector(1, 0, 0);
    inertia->TranslationDamping()->SetLinear(linear);
    Tick(o, 0.5);
    EXPECT_EQ(inertia->TranslationSpeed()->X(), 0.0f) << linear;
    EXPECT_EQ(o->Position()->X(), 0.0f) << linear;
  }
}

TEST_F(MotionFixture, AStoredSpeedThatIsNotANumberReadsAsZero) {
  auto* src = scene.Objects()->AddNewChild<TGLSceneObject>();
  GetOrCreateInertia(src)->SetTurnSpeed(12.5f);
  TStringStream ms;
  {
    TWriter w(&ms);
    src->Behaviours()->WriteToFiler(&w);
  }
  std::string bytes = ms.DataString();
  const std::string speed = EncodedFloat(12.5), nan = EncodedFloat(kNaN);
  ASSERT_EQ(speed.size(), nan.size());
  const size_t at = bytes.find(speed);
  ASSERT_NE(at, std::string::npos);
  bytes.replace(at, speed.size(), nan);
  TStringStream in(bytes);
  auto* dst = scene.Objects()->AddNewChild<TGLSceneObject>();
  {
    TReader r(&in);
    dst->Behaviours()->ReadFromFiler(&r);
  }
  auto* b = static_cast<TGLBInertia*>(dst->Behaviours()->Items(0));
  EXPECT_EQ(b->TurnSpeed(), 0.0f);
}

// A step that would take an angle or the position past the largest number, or a step that is not
// a number, leaves the object where it was.
TEST_F(MotionFixture, StepsPastAnyLimitLeaveTheObjectWhereItWas) {
  auto* o = scene.Objects()->AddNewChild<TGLSceneObject>();
  auto* inertia = GetOrCreateInertia(o);
  inertia->SetDampingEnabled(false);
  inertia->SetTurnSpeed(3e38f);
  inertia->TranslationSpeed()->SetXYZAsVector(3e38f, 0, 0);
  Tick(o, 1.0);
  Tick(o, 1.0);
  EXPECT_TRUE(std::isfinite(o->TurnAngle()));
  EXPECT_TRUE(std::isfinite(o->Position()->X()));
  EXPECT_TRUE(std::isfinite(o->Direction()->X()));

  inertia->SetTurnSpeed(1);
  inertia->TranslationSpeed()->SetXYZAsVector(1, 0, 0);
  const float x = o->Position()->X(), turn = o->TurnAngle();
  o->Behaviours()->DoProgress(TProgressTimes{std::numeric_limits<double>::quiet_NaN(), 1});
  EXPECT_EQ(o->Position()->X(), x);
  EXPECT_EQ(o->TurnAngle(), turn);

  // A rotation damping that speeds up past any limit stops the turn.
  inertia->SetDampingEnabled(true);
  inertia->RotationDamping()->SetLinear(-1e30f);
  Tick(o, 0.02);
  EXPECT_EQ(inertia->TurnSpeed(), 0.0f);
  EXPECT_EQ(o->TurnAngle(), turn);
}

// An object left turning for days keeps its speed: the angle stays within one turn, so the small
// step of each frame is not lost against a large angle.
TEST_F(MotionFixture, ATurnLeftRunningForDaysKeepsItsSpeed) {
  auto* o = scene.Objects()->AddNewChild<TGLSceneObject>();
  auto* inertia = GetOrCreateInertia(o);
  inertia->SetDampingEnabled(false);
  // The angle turned (degrees, -180..180) between two directions in the turn plane.
  auto turned = [](const TVector4f& a, const TVector4f& b) {
    return RadToDegExtended(std::atan2(a[0] * b[2] - a[2] * b[0], a[0] * b[0] + a[2] * b[2]));
  };
  auto oneSecondAt60Hz = [&] {
    double sum = 0;
    for (int i = 0; i < 60; ++i) {
      const TVector4f from = o->Direction()->AsVector();
      Tick(o, 1.0 / 60);
      sum += turned(from, o->Direction()->AsVector());
    }
    return sum;
  };

  inertia->SetTurnSpeed(90);
  Tick(o, 48 * 3600.0);  // 48 hours
  EXPECT_GE(o->TurnAngle(), -360.0f);
  EXPECT_LE(o->TurnAngle(), 360.0f);
  EXPECT_NEAR(oneSecondAt60Hz(), 90, 1e-2);

  // Also from an angle set far past one turn, and turning the other way.
  inertia->SetTurnSpeed(10);
  o->SetTurnAngle(4200000);
  EXPECT_NEAR(oneSecondAt60Hz(), 10, 1e-2);
  inertia->SetTurnSpeed(-45);
  for (int i = 0; i < 100; ++i) Tick(o, 3600);
  EXPECT_NEAR(oneSecondAt60Hz(), -45, 1e-2);
}
