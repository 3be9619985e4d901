// Tests of vector geometry: rotation conventions, aliased operands, inversion, decomposition,
// planes and frustum, ray casts, quaternions, shadow and reflection matrices.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "Source/Base/VectorGeometry.h"

namespace {

void ExpectNear(const TAffineVector& v, float x, float y, float z, float eps = 1e-6f) {
  EXPECT_NEAR(v[0], x, eps);
  EXPECT_NEAR(v[1], y, eps);
  EXPECT_NEAR(v[2], z, eps);
}

void ExpectNear(const TVector4f& v, float x, float y, float z, float w, float eps = 1e-6f) {
  EXPECT_NEAR(v[0], x, eps);
  EXPECT_NEAR(v[1], y, eps);
  EXPECT_NEAR(v[2], z, eps);
  EXPECT_NEAR(v[3], w, eps);
}

void ExpectMatrixNear(const TMatrix4f& a, const TMatrix4f& b, float eps = 1e-6f) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_NEAR(a[i][j], b[i][j], eps) << "element " << i << "," << j;
}

TMatrix4f SampleMatrix() { return {{{1, 2, 0, 0.5f}, {0, 3, -1, 0}, {2, 0, 1, 0}, {4, -2, 7, 1}}}; }

}  // namespace

TEST(GeometryVector, RotationConventions) {
  // The axis-angle maker uses the transposed convention: X about +Z by +pi/2 goes to -Y ...
  ExpectNear(VectorRotateAroundAxis(XVector, ZVector, float(M_PI / 2)), 0, -1, 0);
  // ... while the single-axis maker and the quaternion send it to +Y.
  ExpectNear(AffineVectorTransform(XVector, CreateRotationMatrixZ(1, 0)), 0, 1, 0);
  const TMatrix4f q = QuaternionToMatrix(QuaternionFromAxisAngle(ZVector, 90));
  ExpectNear(VectorTransform(PointMake(XVector), q), 0, 1, 0, 1);
  // The axis is normalised before use.
  ExpectMatrixNear(CreateRotationMatrix({0, 0, 5}, 0.3f), CreateRotationMatrix(ZVector, 0.3f));
  ExpectNear(AffineVectorTransform(ZVector, CreateRotationMatrixX(1, 0)), 0, -1, 0);
  ExpectNear(AffineVectorTransform(XVector, CreateRotationMatrixY(1, 0)), 0, 0, -1);
  TAffineVector v{1, 0, 0};
  AffineVectorRotateAroundY(v, float(M_PI / 2));
  ExpectNear(v, 0, 0, -1);
}

TEST(GeometryVector, ProductsAndTransformsMayAliasTheirOperands) {
  const TMatrix4f a = SampleMatrix();
  TMatrix4f b = CreateRotationMatrix({1, 1, 0}, 0.7f);
  b[3] = {1, 2, 3, 1};
  const TMatrix4f expectedAB = MatrixMultiply(a, b);
  // Element by element against the definition.
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      double s = 0;
      for (int k = 0; k < 4; ++k) s += double(a[i][k]) * b[k][j];
      EXPECT_FLOAT_EQ(expectedAB[i][j], float(s));
    }
  TMatrix4f r = a;
  MatrixMultiply(r, b, r);
  ExpectMatrixNear(r, expectedAB, 0);
  r = b;
  MatrixMultiply(a, r, r);
  ExpectMatrixNear(r, expectedAB, 0);
  r = a;
  MatrixMultiply(r, r, r);
  ExpectMatrixNear(r, MatrixMultiply(a, a), 0);

  TVector4f v{1, 2, 3, 1};
  const TVector4f expected = VectorTransform(v, a);
  ExpectNear(expected, 1 + 0 + 6 + 4, 2 + 6 + 0 - 2, 0 - 2 + 3 + 7, 0.5f + 1, 0);
  VectorTransform(v, a, v);
  ExpectNear(v, expected[0], expected[1], expected[2], expected[3], 0);
}

TEST(GeometryVector, InversionAndDeterminants) {
  TMatrix4f m = CreateScaleAndTranslationMatrix({2, 4, 8, 1}, {1, 2, 3, 0});
  EXPECT_FLOAT_EQ(MatrixDeterminant(m), 64);
  MatrixInvert(m);
  ExpectMatrixNear(m, {{{0.5f, 0, 0, 0}, {0, 0.25f, 0, 0}, {0, 0, 0.125f, 0}, {-0.5f, -0.5f, -0.375f, 1}}});

  const TMatrix4f a = SampleMatrix();
  TMatrix4f inv = a;
  MatrixInvert(inv);
  ExpectMatrixNear(MatrixMultiply(a, inv), IdentityHmgMatrix, 1e-5f);

  // Below the denormal threshold the result is the identity, not an error.
  TMatrix4f tiny = CreateScaleAndTranslationMatrix({1e-14f, 1e-14f, 1e-14f, 1}, {5, 5, 5, 0});
  ASSERT_LT(std::fabs(MatrixDeterminant(tiny)), cEpsilon40);
  MatrixInvert(tiny);
  ExpectMatrixNear(tiny, IdentityHmgMatrix, 0);
  // Just above it the inverse is still computed.
  TMatrix4f small = CreateScaleAndTranslationMatrix({1e-12f, 1e-12f, 1e-12f, 0}, {0, 0, 0, 0});
  small[3][3] = 1e-3f;
  ASSERT_GE(std::fabs(MatrixDeterminant(small)), cEpsilon40);
  MatrixInvert(small);
  EXPECT_NEAR(small[3][3], 1000, 1e-2);

  EXPECT_FLOAT_EQ(MatrixDeterminant3x3(1, 2, 3, 4, 5, 6, 7, 8, 10), -3);

  // Rotation times uniform scale plus translation.
  TMatrix4f rs = CreateRotationMatrix({1, 2, 3}, 0.9f);
  MatrixScaleAll(rs, 2);
  rs[3] = {3, -1, 2, 1};
  ExpectMatrixNear(MatrixMultiply(rs, MatrixInvertUniformScale(rs)), IdentityHmgMatrix, 1e-5f);
  TMatrix4f zero{};
  ExpectMatrixNear(MatrixInvertUniformScale(zero), IdentityHmgMatrix, 0);
}

TEST(GeometryVector, OrthonormalizeAndAdjoint) {
  // Skewed rows come out mutually orthogonal; orthogonal scaled rows come out unit length.
  TMatrix4f m = SampleMatrix();
  MatrixOrthonormalize(m);
  EXPECT_NEAR(VectorDotProduct(m[0], m[1]), 0, 1e-6);
  EXPECT_NEAR(VectorDotProduct(m[1], m[2]), 0, 1e-6);
  EXPECT_NEAR(VectorDotProduct(m[0], m[2]), 0, 1e-6);
  ExpectNear(m[3], 0, 0, 0, 1, 0);
  TMatrix4f r = CreateRotationMatrix({1, 2, 3}, 0.4f);
  MatrixScaleAll(r, 3);
  r[0][3] = 5;
  MatrixOrthonormalize(r);
  const TMatrix4f rot = CreateRotationMatrix({1, 2, 3}, 0.4f);
  for (int i = 0; i < 3; ++i) ExpectNear(r[i], rot[i][0], rot[i][1], rot[i][2], 0, 1e-6f);

  // adjoint = det * inverse
  TMatrix4f adj = SampleMatrix(), inv = SampleMatrix();
  MatrixAdjoint(adj);
  MatrixInvert(inv);
  MatrixScaleAll(inv, MatrixDeterminant(SampleMatrix()));
  ExpectMatrixNear(adj, inv, 1e-4f);
}

TEST(GeometryVector, Decomposition) {
  TTransformations t{};
  ASSERT_TRUE(MatrixDecompose(CreateScaleAndTranslationMatrix({2, 3, 4, 1}, {1, 2, 3, 0}), t));
  EXPECT_FLOAT_EQ(t[ttScaleX], 2);
  EXPECT_FLOAT_EQ(t[ttScaleY], 3);
  EXPECT_FLOAT_EQ(t[ttScaleZ], 4);
  EXPECT_FLOAT_EQ(t[ttTranslateX], 1);
  EXPECT_FLOAT_EQ(t[ttTranslateY], 2);
  EXPECT_FLOAT_EQ(t[ttTranslateZ], 3);
  for (int k : {ttShearXY, ttShearXZ, ttShearYZ, ttRotateX, ttRotateY, ttRotateZ, ttPerspectiveW})
    EXPECT_EQ(t[k], 0) << k;

  ASSERT_TRUE(MatrixDecompose(CreateRotationMatrixZ(std::sin(0.5f), std::cos(0.5f)), t));
  EXPECT_NEAR(t[ttRotateZ], 0.5f, 1e-6);
  EXPECT_NEAR(t[ttRotateX], 0, 1e-6);

  // Rounding can push |row0.z| just past 1; the arc sine is clamped instead of giving NaN.
  TMatrix4f nearPole = CreateRotationMatrixY(1, 0);
  nearPole[0][2] = -1.0000001f;
  ASSERT_TRUE(MatrixDecompose(nearPole, t));
  EXPECT_FALSE(std::isnan(t[ttRotateY]));

  TMatrix4f flat = IdentityHmgMatrix;
  flat[3][3] = 0;
  EXPECT_FALSE(MatrixDecompose(flat, t));
  TMatrix4f singular = IdentityHmgMatrix;
  singular[2][2] = 0;
  EXPECT_FALSE(MatrixDecompose(singular, t));
}

TEST(GeometryVector, ComparisonsAndUnguardedNormalisation) {
  EXPECT_FALSE(VectorEquals({0, 0, 0, 0}, {-0.0f, 0, 0, 0}));
  EXPECT_FALSE(AffineVectorEquals({0, 0, 0}, {0, -0.0f, 0}));
  EXPECT_TRUE(AffineVectorIsNull({-0.0f, 0, -0.0f}));
  EXPECT_FALSE(AffineVectorIsNull({0, 1e-30f, 0}));

  TAffineVector zero{0, 0, 0};
  AffineVectorNormalize(zero);
  EXPECT_TRUE(std::isnan(zero[0]));
  TVector4f v{3, 0, 4, 1};
  VectorNormalize(v);
  ExpectNear(v, 0.6f, 0, 0.8f, 0);
  TQuaternion q{{0, 0, 0}, 0};
  QuaternionNormalize(q);
  EXPECT_EQ(q.RealPart, 1);

  EXPECT_FLOAT_EQ(AffineVectorAngleCosine({1, 0, 0}, {1, 1, 0}), float(M_SQRT1_2));
  ExpectNear(AffineVectorRemoveComponent({1, 2, 3}, ZVector), 1, 2, 0);
}

TEST(GeometryVector, PlanesAndFrustum) {
  TVector4f p = PlaneMake(TAffineVector{0, 0, 2}, TAffineVector{0, 0, 2});
  ExpectNear(p, 0, 0, 2, -4, 0);
  PlaneNormalize(p);
  ExpectNear(p, 0, 0, 1, -2);
  EXPECT_FLOAT_EQ(PlaneEvaluatePoint(p, {7, 7, 5}), 3);
  ExpectNear(TriangleNormal({0, 0, 0}, {2, 0, 0}, {0, 3, 0}), 0, 0, 1);

  const TFrustum f = ExtractFrustum(IdentityHmgMatrix);
  ExpectNear(f.pLeft, 1, 0, 0, 1);
  ExpectNear(f.pTop, 0, -1, 0, 1);
  ExpectNear(f.pRight, -1, 0, 0, 1);
  ExpectNear(f.pBottom, 0, 1, 0, 1);
  ExpectNear(f.pNear, 0, 0, 1, 1);
  ExpectNear(f.pFar, 0, 0, -1, 1);
  EXPECT_TRUE(IsSphereClipped({3, 0, 0, 1}, f, 1));
  EXPECT_FALSE(IsSphereClipped({3, 0, 0, 1}, f, 2.5f));
  EXPECT_FALSE(IsSphereClippedVector({0, 0, 0}, f, 0));
  EXPECT_TRUE(IsBoxClipped({0, 5, 0}, {1, 6, 1}, f));
  EXPECT_FALSE(IsBoxClipped({0.5f, 0.5f, 0}, {2, 2, 1}, f));

  // A scaled projection gives the same, normalised, planes.
  TMatrix4f scaled = CreateScaleAndTranslationMatrix({2, 2, 2, 0}, {0, 0, 0, 0});
  scaled[3][3] = 2;
  const TFrustum g = ExtractFrustum(scaled);
  ExpectNear(g.pLeft, 1, 0, 0, 1);
  ExpectNear(g.pFar, 0, 0, -1, 1);
}

TEST(GeometryVector, RayCasts) {
  TVector4f hit, normal;
  // Triangle, from both sides.
  ASSERT_TRUE(
      RayCastTriangleIntersect({0.25f, 0.25f, 1, 1}, {0, 0, -1, 0}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, &hit, &normal));
  ExpectNear(hit, 0.25f, 0.25f, 0, 1);
  ExpectNear(normal, 0, 0, 1, 0);
  EXPECT_TRUE(RayCastTriangleIntersect({0.25f, 0.25f, -1, 1}, {0, 0, 2, 0}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, &hit));
  ExpectNear(hit, 0.25f, 0.25f, 0, 1);
  EXPECT_FALSE(RayCastTriangleIntersect({0.25f, 0.25f, 1, 1}, {0, 0, 1, 0}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}));
  EXPECT_FALSE(RayCastTriangleIntersect({0.75f, 0.75f, 1, 1}, {0, 0, -1, 0}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}));
  EXPECT_FALSE(RayCastTriangleIntersect({0, 0, 1, 1}, {1, 0, 0, 0}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}));

  // Plane: away from it, true without a point but false with one.
  const TVector4f planePoint{0, 0, 0, 1}, up{0, 1, 0, 0};
  EXPECT_TRUE(RayCastPlaneIntersect({0, 5, 0, 1}, {0, 1, 0, 0}, planePoint, up));
  EXPECT_FALSE(RayCastPlaneIntersect({0, 5, 0, 1}, {0, 1, 0, 0}, planePoint, up, &hit));
  ASSERT_TRUE(RayCastPlaneIntersect({1, 5, 0, 1}, {0, -2, 0, 0}, planePoint, up, &hit));
  ExpectNear(hit, 1, 0, 0, 1);
  EXPECT_FALSE(RayCastPlaneIntersect({1, 5, 0, 1}, {1, 0, 0, 0}, planePoint, up));

  // Sphere at (5, 0, 0), radius 1.
  TVector4f i1{}, i2{};
  const TVector4f centre{5, 0, 0, 1};
  EXPECT_EQ(RayCastSphereIntersect({0, 0, 0, 1}, {1, 0, 0, 0}, centre, 1, i1, i2), 2);
  ExpectNear(i1, 4, 0, 0, 1);
  ExpectNear(i2, 6, 0, 0, 1);
  EXPECT_EQ(RayCastSphereIntersect(centre, {1, 0, 0, 0}, centre, 1, i1, i2), 1);
  ExpectNear(i1, 6, 0, 0, 1);
  EXPECT_EQ(RayCastSphereIntersect({0, 0, 0, 1}, {-1, 0, 0, 0}, centre, 1, i1, i2), 0);
  EXPECT_EQ(RayCastSphereIntersect({0, 2, 0, 1}, {1, 0, 0, 0}, centre, 1, i1, i2), 0);
  EXPECT_EQ(RayCastSphereIntersect({0, 1, 0, 1}, {1, 0, 0, 0}, centre, 1, i1, i2), 1);  // grazing
  ExpectNear(i1, 5, 1, 0, 1);

  // Tangent cone seen from distance 2 of a sphere of radius 1.
  EXPECT_NEAR(SphereTangentConeRadius(2, 1), 2 / std::sqrt(3.0f), 1e-6);
}

TEST(GeometryVector, Quaternions) {
  const TQuaternion id = IdentityQuaternion;
  // Opposite hemispheres: the shorter arc, which is no rotation at all.
  for (float t : {0.0f, 0.3f, 1.0f}) {
    const TQuaternion s = QuaternionSlerp(id, {{0, 0, 0}, -1}, t);
    EXPECT_FLOAT_EQ(s.RealPart, 1);
    EXPECT_FLOAT_EQ(s.ImagPart[2], 0);
  }
  const TQuaternion q90 = QuaternionFromAxisAngle(ZVector, 90);
  const TQuaternion half = QuaternionSlerp(id, q90, 0.5f);
  const TQuaternion q45 = QuaternionFromAxisAngle({0, 0, 3}, 45);
  EXPECT_NEAR(half.ImagPart[2], q45.ImagPart[2], 1e-6);
  EXPECT_NEAR(half.RealPart, q45.RealPart, 1e-6);

  // Hamilton product: two 45-degree turns make one of 90.
  const TQuaternion twice = QuaternionMultiply(q45, q45);
  EXPECT_NEAR(twice.ImagPart[2], q90.ImagPart[2], 1e-6);
  EXPECT_NEAR(twice.RealPart, q90.RealPart, 1e-6);
  const TQuaternion ij = QuaternionMultiply({{1, 0, 0}, 0}, {{0, 1, 0}, 0});
  EXPECT_EQ(ij.ImagPart[2], 1);  // i j = k

  // Euler slots: ZYX multiplies qZ (qY qX).
  const TQuaternion e = QuaternionFromEulerUnchecked(30, 40, 50, eulZYX);
  const TQuaternion manual = QuaternionMultiply(
      QuaternionFromAxisAngle(ZVector, 50),
      QuaternionMultiply(QuaternionFromAxisAngle(YVector, 40), QuaternionFromAxisAngle(XVector, 30)));
  EXPECT_FLOAT_EQ(e.RealPart, manual.RealPart);
  EXPECT_FLOAT_EQ(e.ImagPart[0], manual.ImagPart[0]);
  // Angles are folded first: 400 degrees is 40.
  const TQuaternion folded = QuaternionFromEuler(30, 400, 50, eulZYX);
  EXPECT_NEAR(folded.RealPart, e.RealPart, 1e-5);

  // Middle angle at exactly 90: the midpoint of the +-0.001 degree neighbours.
  const TQuaternion pole = QuaternionFromEuler(10, 90, 20, eulXYZ);
  const TQuaternion mid = QuaternionSlerp(QuaternionFromEulerUnchecked(10, 89.999f, 20, eulXYZ),
                                          QuaternionFromEulerUnchecked(10, 90.001f, 20, eulXYZ), 0.5f);
  EXPECT_FLOAT_EQ(pole.RealPart, mid.RealPart);
  EXPECT_FLOAT_EQ(pole.ImagPart[1], mid.ImagPart[1]);
  EXPECT_NEAR(QuaternionMagnitude(pole), 1, 1e-6);

  // Angle interpolation returns the same angles at the ends and stays finite.
  TAffineVector r;
  VectorAngleLerp({0.1f, 0.2f, 0.3f}, {0.5f, -0.2f, 0.1f}, r, 0);
  ExpectNear(r, 0.1f, 0.2f, 0.3f, 1e-5f);
  VectorAngleLerp({0.1f, 0.2f, 0.3f}, {0.5f, -0.2f, 0.1f}, r, 1);
  ExpectNear(r, 0.5f, -0.2f, 0.1f, 1e-5f);
  VectorAngleLerp({0, float(M_PI / 2), 0}, {0, float(M_PI / 2) - 1e-7f, 0}, r, 0.5f);
  EXPECT_FALSE(std::isnan(r[0]) || std::isnan(r[1]) || std::isnan(r[2]));
}

TEST(GeometryVector, ShadowAndReflection) {
  const TMatrix4f mirror = MakeReflectionMatrix({0, 1, 0}, {0, 1, 0});
  ExpectNear(AffineVectorTransform({3, 4, 5}, mirror), 3, -2, 5);
  // A point light at (0, 10, 0) projects (1, 5, 0) onto y = 0 at (2, 0, 0).
  const TMatrix4f shadow = MakeShadowMatrix({0, 0, 0, 1}, {0, 1, 0, 0}, {0, 10, 0, 1});
  TVector4f p = VectorTransform({1, 5, 0, 1}, shadow);
  VectorScale(p, 1 / p[3]);
  ExpectNear(p, 2, 0, 0, 1, 1e-5f);
}

TEST(GeometryVector, ScalarHelpers) {
  EXPECT_EQ(NormalizeDegAngle(540), 180);
  EXPECT_EQ(NormalizeDegAngle(-540), -180);
  EXPECT_EQ(NormalizeDegAngle(190), -170);
  EXPECT_EQ(NormalizeDegAngle(180), 180);
  EXPECT_EQ(NormalizeDegAngle(725), 5);

  EXPECT_EQ(RoundSingle(2.5f), 2);
  EXPECT_EQ(RoundSingle(3.5f), 4);
  EXPECT_EQ(RoundSingle(-2.5f), -2);
  EXPECT_EQ(TruncSingle(-2.7f), -2);
  EXPECT_FLOAT_EQ(FracSingle(-2.75f), -0.75f);

  EXPECT_EQ(PowerSingle(2, 3), 8);
  EXPECT_EQ(PowerSingle(0, 0), 1);
  EXPECT_EQ(PowerSingle(0, 2.5f), 0);
  EXPECT_FLOAT_EQ(PowerSingle(4, 0.5f), 2);
  EXPECT_FLOAT_EQ(PowerSingle(2, -2), 0.25f);
  EXPECT_EQ(PowerSingle(1, 1e20f), 1);  // an integral exponent beyond int range
  EXPECT_EQ(IntPowerSingle(3, 0), 1);
  EXPECT_FLOAT_EQ(IntPowerSingle(2, -3), 0.125f);
  EXPECT_EQ(IntPowerSingle(1, INT_MIN), 1);

  // Arguments a rounding step beyond +-1 are clamped.
  EXPECT_EQ(ArcCosSingle(1.0000001f), 0);
  EXPECT_FLOAT_EQ(float(ArcCosExtended(-1.0000001)), float(M_PI));
  EXPECT_FLOAT_EQ(float(ArcSinExtended(1.0000001)), float(M_PI / 2));
  EXPECT_FLOAT_EQ(ArcCosSingle(0.5f), float(M_PI / 3));

  float s, c;
  SinCosSingle(float(M_PI / 6), s, c);
  EXPECT_FLOAT_EQ(s, 0.5f);

  const float values[] = {3, -1, 7, -1, 7};
  EXPECT_EQ(MinFloatArray(values, 4), -1);
  EXPECT_EQ(MaxFloatArray(values, 4), 7);
  EXPECT_EQ(MinFloatArray(values, -1), 0);
  EXPECT_EQ(MaxFloatArray(nullptr, -1), 0);
}
