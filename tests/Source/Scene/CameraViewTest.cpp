// The camera's view where it used to collapse: aimed along its Up, on its own target, and given
// values that leave no view, in code or from a stored scene.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "Source/Materials/GLColor.h"
#include "Source/Scene/GLCoordinates.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Materials/GLMaterial.h"
#include "rtl/Streaming.h"

namespace {

struct CameraView : ::testing::Test {
  TGLSceneGraph scene{nullptr};
  TGLCamera* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  TGLSceneObject* target = scene.Objects()->AddNewChild<TGLSceneObject>();

  // The view matrix's screen up in world space, checking that the rotation is orthonormal and
  // the target (when there is one) straight ahead at its distance.
  TAffineVector ScreenUp() {
    const TMatrix4f m = cam->ComputeViewMatrix();
    TAffineVector axes[3];
    for (int c = 0; c < 3; ++c) axes[c] = {m[0][c], m[1][c], m[2][c]};
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(AffineVectorLength(axes[c]), 1, 1e-5) << "axis " << c;
      EXPECT_NEAR(AffineVectorDotProduct(axes[c], axes[(c + 1) % 3]), 0, 1e-5) << "axes " << c;
    }
    if (cam->TargetObject()) {
      const TVector4f t = VectorTransform(target->GetAbsolutePosition(), m);
      const double dist = AffineVectorDistance(AffineVectorMake(cam->GetAbsolutePosition()),
                                               AffineVectorMake(target->GetAbsolutePosition()));
      EXPECT_NEAR(t[0], 0, 1e-4);
      EXPECT_NEAR(t[1], 0, 1e-4);
      EXPECT_NEAR(t[2], -dist, 1e-4);
    }
    return axes[1];
  }
};

bool Near(const TAffineVector& a, const TAffineVector& b, float tolerance = 1e-4f) {
  return AffineVectorDistance(a, b) < tolerance;
}

}  // namespace

// Straight above or below the target with Up (0, 1, 0): a whole view. Coming onto the axis from
// the side keeps the screen up the previous view had; a camera whose first view is on the axis
// takes the world axis least aligned with the line of sight.
TEST_F(CameraView, AimedAlongItsUpTheViewStaysWhole) {
  cam->SetTargetObject(target);
  cam->Position()->SetXYZAsPoint(0, 10, 0);
  EXPECT_TRUE(Near(ScreenUp(), {1, 0, 0}));
  cam->Position()->SetXYZAsPoint(0, -10, 0);
  EXPECT_TRUE(Near(ScreenUp(), {1, 0, 0}));

  // From the side: approaching along -Z the screen up leans to -Z, and stays there on the axis.
  cam->Position()->SetXYZAsPoint(0, 10, 0.01f);
  const TAffineVector side = ScreenUp();
  EXPECT_LT(side[2], -0.99f);
  cam->Position()->SetXYZAsPoint(0, 10, 0);
  EXPECT_TRUE(Near(ScreenUp(), side, 2e-3f));  // the 0.001 rad it leaned towards the camera
  // A tiny step off the axis on the far side keeps the picture too (no half-turn).
  cam->Position()->SetXYZAsPoint(0, 10, -1e-6f);
  EXPECT_TRUE(Near(ScreenUp(), side, 2e-3f));

  // A target on the camera's own spot: the camera's direction gives the view.
  cam->Position()->SetXYZAsPoint(0, 0, 0);
  cam->Direction()->SetXYZAsVector(1, 0, 0);
  const TMatrix4f m = cam->ComputeViewMatrix();
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_TRUE(std::isfinite(m[r][c])) << r << "," << c;
  EXPECT_TRUE(Near(AffineVectorMake(cam->LastDirection()), {1, 0, 0}));
  const TVector4f ahead = VectorTransform(VectorMake(5, 0, 0, 1), m);
  EXPECT_NEAR(ahead[2], -5, 1e-5);

  // The free function alone: an up along the sight and no fallback.
  const TMatrix4f z = CreateLookAtMatrix({0, 0, 5}, {0, 0, 0}, {0, 0, 1});
  const TVector4f o = VectorTransform(VectorMake(0, 0, 0, 1), z);
  EXPECT_NEAR(o[2], -5, 1e-5);
  EXPECT_NEAR(std::fabs(z[0][1]) + std::fabs(z[1][1]) + std::fabs(z[2][1]), 1, 1e-5);
}

// Values that leave no view are refused with an error naming the value, and the camera keeps
// the one it had; its projection stays finite. A focal length of 0 still becomes 1; a field of
// view over a viewer without size keeps the focal length.
TEST_F(CameraView, ValuesThatLeaveNoViewAreRefused) {
  cam->SetName("Eye");
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  for (float v : {0.0f, -5.0f, nan, inf}) {
    try {
      cam->SetDepthOfView(v);
      ADD_FAILURE() << "DepthOfView " << v << " taken";
    } catch (const EInvalidOperation& e) {
      EXPECT_NE(std::string(e.what()).find("TGLCamera 'Eye': DepthOfView"), std::string::npos) << e.what();
    }
    EXPECT_EQ(cam->DepthOfView(), 100);
  }
  for (float v : {nan, inf, -inf}) {
    EXPECT_THROW(cam->SetFocalLength(v), EInvalidOperation) << v;
    EXPECT_EQ(cam->FocalLength(), 50);
  }
  cam->SetDepthOfView(0.5f);
  EXPECT_EQ(cam->DepthOfView(), 0.5f);
  cam->SetFocalLength(-2);
  EXPECT_EQ(cam->FocalLength(), 1);
  cam->SetFocalLength(50);

  EXPECT_FALSE(cam->SetFieldOfView(60, 0));
  EXPECT_FALSE(cam->SetFieldOfView(60, -10));
  EXPECT_FALSE(cam->SetFieldOfView(60, nan));
  EXPECT_FALSE(cam->SetFieldOfView(nan, 100));
  EXPECT_EQ(cam->FocalLength(), 50);
  EXPECT_TRUE(cam->SetFieldOfView(90, 100));
  EXPECT_NEAR(cam->FocalLength(), 50, 1e-4);

  TMatrix4f m;
  ASSERT_TRUE(cam->ComputeProjection({0, 0, 64, 64}, 64, 64, 96, m));
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_TRUE(std::isfinite(m[r][c])) << r << "," << c;
}

namespace {

// The stored bytes of a scene with some stored values replaced (as a file of an older build may
// hold them), read back into another scene.
class TPatchedScene {
 public:
  explicit TPatchedScene(TGLSceneGraph& source) {
    RegisterGLCoordinatesClasses();
    RegisterGLColorClasses();
    RegisterGLMaterialClasses();
    RegisterGLSceneGraphClasses();
    TMemoryStream ms;
    TWriter(&ms).WriteRootComponent(&source);
    bytes_.assign(static_cast<const char*>(ms.Memory()), size_t(ms.Size()));
  }
  // The first stored value `from` becomes `to`.
  void Patch(double from, double to) {
    const std::string a = Encoded(from), b = Encoded(to);
    ASSERT_EQ(a.size(), b.size());
    const size_t at = bytes_.find(a);
    ASSERT_NE(at, std::string::npos);
    bytes_.replace(at, a.size(), b);
  }
  // Reads the patched bytes into the scene; what was reported on stderr.
  std::string ReadInto(TGLSceneGraph& scene) {
    TMemoryStream in;
    in.Write(bytes_.data(), int64_t(bytes_.size()));
    in.SetPosition(0);
    testing::internal::CaptureStderr();
    TReader(&in).ReadRootComponent(&scene);
    return testing::internal::GetCapturedStderr();
  }

 private:
  static std::string Encoded(double v) {
    TMemoryStream s;
    { TWriter(&s).WriteFloat(v); }
    return std::string(static_cast<const char*>(s.Memory()), size_t(s.Size()));
  }
  std::string bytes_;
};

}  // namespace

// A stored scene from before, holding a depth of view of 0 and a focal length that is not a
// number: it reads, the camera keeps its defaults for those two, the rest of it is read, and the
// refusals are reported.
TEST(CameraViewStreaming, AStoredValueThatLeavesNoViewStillReads) {
  TGLSceneGraph source(nullptr);
  auto* eye = source.Cameras()->AddNewChild<TGLCamera>();
  eye->SetName("Eye");
  eye->SetDepthOfView(7);
  eye->SetFocalLength(3);
  eye->SetCameraStyle(csOrthogonal);
  TPatchedScene stored(source);
  stored.Patch(7, 0);
  stored.Patch(3, std::numeric_limits<double>::quiet_NaN());
  TGLSceneGraph scene(nullptr);
  const std::string err = stored.ReadInto(scene);
  ASSERT_EQ(scene.Cameras()->GetChildCount(), 1);
  auto* cam = static_cast<TGLCamera*>(scene.Cameras()->GetChild(0));
  EXPECT_EQ(cam->DepthOfView(), 100);
  EXPECT_EQ(cam->FocalLength(), 50);
  EXPECT_EQ(cam->CameraStyle(), csOrthogonal);
  EXPECT_NE(err.find("TGLCamera 'Eye': DepthOfView 0 leaves no view"), std::string::npos) << err;
  EXPECT_NE(err.find("'Eye': FocalLength NAN leaves no view"), std::string::npos) << err;
}

// A stored camera and light holding values the setters now clamp or refuse: the scene reads,
// clamped values are taken clamped, refused ones leave the value before, the rest is kept.
TEST(CameraViewStreaming, StoredValuesGLCannotUseReadClampedOrAsBefore) {
  TGLSceneGraph source(nullptr);
  auto* eye = source.Cameras()->AddNewChild<TGLCamera>();
  eye->SetName("Eye");
  eye->SetSceneScale(2.5f);
  eye->SetNearPlaneBias(3.25f);
  eye->SetFocalLength(7.75f);
  eye->SetDepthOfView(9.5f);
  eye->SetCameraStyle(csOrthogonal);
  auto* lamp = source.Objects()->AddNewChild<TGLLightSource>();
  lamp->SetName("Lamp");
  lamp->SetSpotCutOff(30);
  lamp->SetSpotExponent(11.5f);
  lamp->SetLinearAttenuation(13.5f);
  lamp->SetQuadraticAttenuation(0.75f);
  TPatchedScene stored(source);
  stored.Patch(2.5, std::numeric_limits<double>::quiet_NaN());
  stored.Patch(3.25, std::numeric_limits<double>::infinity());
  stored.Patch(7.75, 1e30);
  stored.Patch(9.5, 1e-30);
  stored.Patch(11.5, 200);
  stored.Patch(13.5, -1);
  TGLSceneGraph scene(nullptr);
  const std::string err = stored.ReadInto(scene);
  ASSERT_EQ(scene.Cameras()->GetChildCount(), 1);
  ASSERT_EQ(scene.Objects()->GetChildCount(), 1);
  auto* cam = static_cast<TGLCamera*>(scene.Cameras()->GetChild(0));
  auto* light = static_cast<TGLLightSource*>(scene.Objects()->GetChild(0));
  EXPECT_EQ(cam->SceneScale(), 1);
  EXPECT_EQ(cam->NearPlaneBias(), 1);
  EXPECT_EQ(cam->FocalLength(), 1e5f);
  EXPECT_EQ(cam->DepthOfView(), 1e-3f);
  EXPECT_EQ(cam->CameraStyle(), csOrthogonal);
  EXPECT_EQ(light->SpotExponent(), 128);
  EXPECT_EQ(light->LinearAttenuation(), 0);
  EXPECT_EQ(light->QuadraticAttenuation(), 0.75f);
  EXPECT_EQ(light->SpotCutOff(), 30);
  EXPECT_NE(err.find("TGLCamera 'Eye': SceneScale NAN leaves no view; the stored value is ignored"), std::string::npos)
      << err;
  EXPECT_NE(err.find("'Eye': NearPlaneBias INF leaves no view"), std::string::npos) << err;
}
