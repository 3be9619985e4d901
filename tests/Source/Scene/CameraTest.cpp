// Tests of the camera: projection numbers, infinite depth, clamped setters, orbit near the poles,
// zoom and the target's lifetime.
#include <gtest/gtest.h>

#include <cmath>

#include "Source/Scene/GLSceneGraph.h"
#include "tests/Source/Base/GLRecorder.h"

namespace {

struct CameraFixture : ::testing::Test {
  TGLSceneGraph scene{nullptr};
  TGLCamera* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  TGLSceneObject* target = scene.Objects()->AddNewChild<TGLSceneObject>();

  double Distance() {
    return AffineVectorDistance(AffineVectorMake(cam->GetAbsolutePosition()),
                                AffineVectorMake(target->GetAbsolutePosition()));
  }
  // Polar angle between the camera's up and the line from the target to the camera.
  double Polar() {
    TAffineVector t = AffineVectorSubtract(AffineVectorMake(cam->GetAbsolutePosition()),
                                           AffineVectorMake(target->GetAbsolutePosition()));
    t = AffineVectorNormalized(t);
    return std::acos(std::clamp(double(AffineVectorDotProduct(t, AffineVectorMake(cam->GetAbsoluteUp()))), -1.0, 1.0));
  }
};

}  // namespace

TEST_F(CameraFixture, PerspectiveProjectionNumbers) {
  TMatrix4f m;
  ASSERT_TRUE(cam->ComputeProjection({0, 0, 800, 600}, 800, 600, 96, m));
  const double n = 50 * 2 * 96 / (25.4 * 800);
  EXPECT_NEAR(cam->NearPlane(), n, 1e-6);
  EXPECT_NEAR(cam->NearPlane(), 0.4724409, 1e-6);
  // left/right +-0.5, bottom/top +-0.375
  EXPECT_NEAR(m[0][0], 2 * n / 1.0, 1e-5);
  EXPECT_NEAR(m[1][1], 2 * n / 0.75, 1e-5);
  EXPECT_NEAR(m[2][0], 0, 1e-6);
  const double f = n + 100;
  EXPECT_NEAR(m[2][2], -(f + n) / (f - n), 1e-5);
  EXPECT_NEAR(m[3][2], -2 * f * n / (f - n), 1e-5);
  EXPECT_NEAR(cam->ViewPortRadius(), std::sqrt(0.375 * 0.375 + 0.25) / n, 1e-4);

  // An empty viewport leaves the projection untouched.
  TGLRecorder rec;
  cam->ApplyPerspective({0, 0, 1, 0}, 1, 0, 96);
  EXPECT_EQ(rec.Calls.size(), 0u);
  cam->ApplyPerspective({0, 0, 10, 10}, 10, 10, 96);
  EXPECT_EQ(rec.Count("glMultMatrixf"), 1);
}

TEST_F(CameraFixture, InfinitePerspectiveDepth) {
  cam->SetCameraStyle(csInfinitePerspective);
  TMatrix4f m;
  ASSERT_TRUE(cam->ComputeProjection({0, 0, 100, 100}, 100, 100, 96, m));
  const double n = cam->NearPlane(), e = 0.0001;
  // A point 100 ahead: window z = (1 - e/2)(1 - n/100) + ... per the standard infinite frustum.
  const TVector4f clip = VectorTransform(VectorMake(0, 0, -100, 1), m);
  const double winZ = (clip[2] / clip[3] + 1) / 2;
  EXPECT_NEAR(winZ, (1 - e / 2) - (1 - e / 2) * n / 100, 1e-6);
  EXPECT_EQ(m[2][3], -1);
  EXPECT_EQ(m[3][3], 0);
}

TEST_F(CameraFixture, ClampedSettersAndFieldOfView) {
  cam->SetFocalLength(0);
  EXPECT_EQ(cam->FocalLength(), 1);
  cam->SetNearPlaneBias(-3);
  EXPECT_EQ(cam->NearPlaneBias(), 1);
  cam->SetSceneScale(0);
  EXPECT_EQ(cam->SceneScale(), 1);
  cam->SetFieldOfView(92.6305f, 528);
  EXPECT_NEAR(cam->FocalLength(), 252.149, 1e-2);
  EXPECT_NEAR(cam->GetFieldOfView(528), 92.6305, 1e-3);
  // No finite focal length: ignored.
  cam->SetFieldOfView(0, 528);
  EXPECT_NEAR(cam->FocalLength(), 252.149, 1e-2);
}

TEST_F(CameraFixture, OrbitStopsShortOfThePoles) {
  cam->SetTargetObject(target);
  cam->Position()->SetXYZAsPoint(0, -10, 0);
  cam->Up()->SetXYZAsVector(0, 0, 1);
  cam->OrbitTarget(0, 0);
  EXPECT_NEAR(cam->Position()->Y(), -10, 1e-4);
  EXPECT_NEAR(cam->Position()->Z(), 0, 1e-4);

  cam->OrbitTarget(1000, 0);
  EXPECT_NEAR(Polar(), 3.1165926, 1e-3);
  EXPECT_NEAR(Distance(), 10, 1e-2);
  cam->OrbitTarget(-1000, 0);
  EXPECT_NEAR(Polar(), 0.025, 1e-3);
  EXPECT_NEAR(Distance(), 10, 1e-2);

  // Turning keeps the height and the distance.
  cam->Position()->SetXYZAsPoint(0, -10, 0);
  cam->OrbitTarget(0, 90);
  EXPECT_NEAR(Distance(), 10, 1e-3);
  EXPECT_NEAR(cam->Position()->Z(), 0, 1e-3);
  EXPECT_NEAR(std::fabs(cam->Position()->X()), 10, 1e-3);
}

TEST_F(CameraFixture, OrbitFromStraightAboveStaysFinite) {
  cam->SetTargetObject(target);
  cam->Position()->SetXYZAsPoint(0, 0, 10);
  cam->Up()->SetXYZAsVector(0, 0, 1);
  cam->OrbitTarget(10, 0);
  const TVector4f p = cam->Position()->AsVector();
  EXPECT_TRUE(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]));
  EXPECT_NEAR(Distance(), 10, 1e-2);
  // On the target itself: nothing moves.
  cam->Position()->SetXYZAsPoint(0, 0, 0);
  cam->OrbitTarget(10, 10);
  EXPECT_EQ(cam->Position()->Z(), 0);
}

TEST_F(CameraFixture, ZoomAndTargetLifetime) {
  cam->SetTargetObject(target);
  target->Position()->SetXYZAsPoint(1, 1, 1);
  cam->Position()->SetXYZAsPoint(1, 1, 11);
  cam->ScaleDistanceToTarget(1.1f);
  EXPECT_NEAR(Distance(), 11, 1e-4);
  EXPECT_NEAR(cam->Position()->X(), 1, 1e-5);

  // The view looks at the target.
  const TMatrix4f v = cam->ComputeViewMatrix();
  const TVector4f t = VectorTransform(VectorMake(1, 1, 1, 1), v);
  EXPECT_NEAR(t[0], 0, 1e-4);
  EXPECT_NEAR(t[1], 0, 1e-4);
  EXPECT_NEAR(t[2], -11, 1e-4);

  delete target;
  target = nullptr;
  EXPECT_EQ(cam->TargetObject(), nullptr);
  cam->OrbitTarget(10, 10);  // nothing to orbit
}

// Values with which no projection can be made are refused; the others are kept where every
// projection is finite, for every style and viewport, at the ends of every range.
TEST_F(CameraFixture, EveryAcceptedValueGivesAFiniteProjection) {
  cam->SetSceneScale(2);
  cam->SetNearPlaneBias(3);
  for (float bad : {NAN, INFINITY, -INFINITY}) {
    EXPECT_THROW(cam->SetSceneScale(bad), EInvalidOperation);
    EXPECT_THROW(cam->SetNearPlaneBias(bad), EInvalidOperation);
  }
  EXPECT_EQ(cam->SceneScale(), 2);
  EXPECT_EQ(cam->NearPlaneBias(), 3);
  cam->SetFocalLength(1e30f);
  EXPECT_EQ(cam->FocalLength(), 1e5f);
  cam->SetDepthOfView(1e-30f);
  EXPECT_EQ(cam->DepthOfView(), 1e-3f);
  cam->SetSceneScale(-1e-30f);
  EXPECT_EQ(cam->SceneScale(), -1e-6f);

  bool allFinite = true;
  int projections = 0;
  for (float focal : {1e-30f, 1.0f, 1e30f})
    for (float depth : {1e-30f, 100.0f, 3e38f})
      for (float bias : {1e-30f, 1.0f, 1e30f})
        for (float scale : {1e-30f, 1.0f, 1e30f, -1e30f})
          for (TGLCameraStyle style : {csPerspective, csOrthogonal, csInfinitePerspective})
            for (int w : {1, 640, 30000}) {
              cam->SetFocalLength(focal);
              cam->SetDepthOfView(depth);
              cam->SetNearPlaneBias(bias);
              cam->SetSceneScale(scale);
              cam->SetCameraStyle(style);
              TMatrix4f m;
              if (!cam->ComputeProjection({0, 0, w, 1}, w, 1, 96, m)) continue;
              ++projections;
              bool finite = std::isfinite(cam->NearPlane()) && std::isfinite(cam->ViewPortRadius());
              for (int i = 0; i < 4; ++i)
                for (int j = 0; j < 4; ++j) finite = finite && std::isfinite(m[i][j]);
              if (!finite && allFinite)
                ADD_FAILURE() << "focal " << focal << " depth " << depth << " bias " << bias << " scale " << scale
                              << " style " << int(style) << " width " << w;
              allFinite = allFinite && finite;
            }
  EXPECT_EQ(projections, 3 * 3 * 3 * 4 * 3 * 3);
  EXPECT_TRUE(allFinite);
}
