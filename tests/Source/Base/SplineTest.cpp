// Tests of cubic splines: values at the control points, end extrapolation, degenerate counts and
// precision over long runs.
#include <gtest/gtest.h>

#include <vector>

#include "Source/Base/Spline.h"

TEST(Spline, ThreePointsHitTheirValuesAndExtrapolateTheEndCubics) {
  const float y[] = {0, 1, 0};
  TCubicSpline s(nullptr, y, nullptr, nullptr, 3);
  float px, py, pz;
  const struct {
    float t, v;
  } expected[] = {{0, 0}, {0.5f, 0.6875f}, {1, 1}, {1.5f, 0.6875f}, {2, 0}, {-1, -1}, {3, -1}};
  for (const auto& e : expected) {
    s.EvaluateXYZ(e.t, px, py, pz);
    EXPECT_NEAR(py, e.v, 1e-6) << "t = " << e.t;
    EXPECT_EQ(px, 0);  // channels without data evaluate to 0
    EXPECT_EQ(pz, 0);
  }
  EXPECT_EQ(s.EvaluateW(1), 0);
}

TEST(Spline, TwoPointsGiveAStraightLine) {
  const float x[] = {1, 5}, y[] = {-2, 2}, z[] = {3, 3};
  TCubicSpline s(x, y, z, nullptr, 2);
  for (float t : {0.0f, 0.25f, 0.5f, 0.75f, 1.0f}) {
    TAffineVector v;
    s.EvaluateAffine(t, v);
    EXPECT_NEAR(v[0], 1 + 4 * t, 1e-5);
    EXPECT_NEAR(v[1], -2 + 4 * t, 1e-5);
    EXPECT_NEAR(v[2], 3, 1e-6);
  }
}

TEST(Spline, DegenerateCountsStayInBounds) {
  const float one[] = {7};
  TCubicSpline single(one, nullptr, nullptr, nullptr, 1);
  for (float t : {-1.0f, 0.0f, 0.5f, 3.0f}) EXPECT_EQ(TCubicSpline::EvaluateChannel({}, 1, t), 0);
  float x, y, z;
  single.EvaluateXYZ(0.5f, x, y, z);
  EXPECT_EQ(x, 7);
  single.EvaluateXYZ(-2, x, y, z);
  EXPECT_EQ(x, 7);
  TCubicSpline empty(one, one, one, one, 0);
  empty.EvaluateXYZ(0, x, y, z);
  EXPECT_EQ(x, 0);
}

TEST(Spline, LongRunsKeepTheirPrecision) {
  // Absolute-parameter cubics far from the origin must still pass through the control points.
  constexpr int n = 400;
  std::vector<float> y(n);
  for (int i = 0; i < n; ++i) y[i] = float((i * 37) % 11) - 5;
  TCubicSpline s(nullptr, y.data(), nullptr, nullptr, n);
  float x, v, z;
  for (int i = 0; i < n; ++i) {
    s.EvaluateXYZ(float(i), x, v, z);
    ASSERT_NEAR(v, y[i], 1e-3) << i;
  }
}
