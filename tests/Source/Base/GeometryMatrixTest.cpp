// Tests of matrix decomposition with shear and perspective, and of per-axis angle interpolation.
#include <gtest/gtest.h>

#include <cmath>

#include "Source/Base/VectorGeometry.h"

TEST(GeometryMatrix, DecompositionSeparatesShearAndPerspective) {
  // scale (2, 3, 4), then a shear of y by x, then a turn about Z, then a translation.
  TMatrix4f shear = IdentityHmgMatrix;
  shear[1][0] = 0.5f;
  TMatrix4f m = MatrixMultiply(MatrixMultiply(CreateScaleAndTranslationMatrix({2, 3, 4, 1}, {0, 0, 0, 0}), shear),
                               CreateRotationMatrixZ(std::sin(0.3f), std::cos(0.3f)));
  m[3] = {1, 2, 3, 1};
  TTransformations t{};
  ASSERT_TRUE(MatrixDecompose(m, t));
  const float expected[16] = {2, 3, 4, 0.5f, 0, 0, 0, 0, 0.3f, 1, 2, 3, 0, 0, 0, 0};
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(t[i], expected[i], 1e-6f) << "entry " << i;

  // A projective column is solved for and reported; the rest is the identity.
  TMatrix4f projective = IdentityHmgMatrix;
  projective[2][3] = -1;
  ASSERT_TRUE(MatrixDecompose(projective, t));
  EXPECT_FLOAT_EQ(t[ttPerspectiveZ], -1);
  EXPECT_FLOAT_EQ(t[ttPerspectiveW], 1);
  EXPECT_FLOAT_EQ(t[ttScaleZ], 1);

  // Everything is divided by [3][3] first.
  TMatrix4f scaledDown = CreateScaleAndTranslationMatrix({2, 2, 2, 1}, {4, 6, 8, 0});
  scaledDown[3][3] = 2;
  ASSERT_TRUE(MatrixDecompose(scaledDown, t));
  EXPECT_FLOAT_EQ(t[ttScaleX], 1);
  EXPECT_FLOAT_EQ(t[ttTranslateZ], 4);
}

TEST(GeometryMatrix, AngleInterpolationPerAxis) {
  // One angle moving alone stays on its own axis, halfway at t = 0.5.
  for (int axis = 0; axis < 3; ++axis) {
    TAffineVector a{0, 0, 0}, b{0, 0, 0}, r;
    a[axis] = 0.2f;
    b[axis] = 0.6f;
    VectorAngleLerp(a, b, r, 0.5f);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(r[k], k == axis ? 0.4f : 0.0f, 1e-5f) << axis << "," << k;
  }
  // Bit-for-bit equal triples come back untouched, whatever t.
  TAffineVector r;
  VectorAngleLerp({7, -9, 11}, {7, -9, 11}, r, 0.3f);
  EXPECT_TRUE(AffineVectorEquals(r, {7, -9, 11}));
}
