// Tests of the polynomial root finders: quadratic, cubic and quartic branches, and the helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "Source/Objects/Polynomials.h"

namespace {

TDoubleArray Sorted(TDoubleArray r) {
  std::sort(r.begin(), r.end());
  return r;
}

void ExpectRoots(const TDoubleArray& got, std::vector<double> want, double tol = 1e-4) {
  ASSERT_EQ(got.size(), want.size());
  TDoubleArray g = Sorted(got);
  std::sort(want.begin(), want.end());
  for (size_t i = 0; i < g.size(); ++i) EXPECT_NEAR(g[i], want[i], tol) << "root " << i;
}

}  // namespace

TEST(PolynomialRoots, QuadraticCasesAndOrder) {
  const double twoRoots[3] = {-1, 0, 1};
  const TDoubleArray r = QuadraticRoots(twoRoots);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_DOUBLE_EQ(r[0], 1);  // +sqrt(D) - p first
  EXPECT_DOUBLE_EQ(r[1], -1);
  const double none[3] = {1, 0, 1};
  EXPECT_TRUE(QuadraticRoots(none).empty());
  const double doubleRoot[3] = {1, -2, 1};
  ExpectRoots(QuadraticRoots(doubleRoot), {1}, 0);
  // A vanishing leading coefficient gives the linear root, or nothing.
  const double linear[3] = {-6, 3, 0};
  ExpectRoots(QuadraticRoots(linear), {2}, 0);
  const double constant[3] = {5, 0, 0};
  EXPECT_TRUE(QuadraticRoots(constant).empty());
}

TEST(PolynomialRoots, CubicBranches) {
  const double three[4] = {-6, 11, -6, 1};  // (x-1)(x-2)(x-3)
  ExpectRoots(CubicRoots(three), {1, 2, 3});
  const double one[4] = {-1, 0, 0, 1};  // x^3 - 1
  ExpectRoots(CubicRoots(one), {1});
  const double tripleZero[4] = {0, 0, 0, 1};
  ExpectRoots(CubicRoots(tripleZero), {0});
  const double doubled[4] = {2, -3, 0, 1};  // (x-1)^2 (x+2)
  ExpectRoots(CubicRoots(doubled), {-2, 1}, 1e-3);
  const double quadratic[4] = {-4, 0, 1, 0};
  ExpectRoots(CubicRoots(quadratic), {-2, 2});
  // Nearly coincident roots must not lose all three to an out-of-range arccos.
  const double close[4] = {-1.000001 * 1.000002, 1.000001 + 1.000002 + 1.000001 * 1.000002, -(1 + 1.000001 + 1.000002),
                           1};
  const TDoubleArray r = CubicRoots(close);
  ASSERT_FALSE(r.empty());
  for (double x : r) EXPECT_FALSE(std::isnan(x));
}

TEST(PolynomialRoots, QuarticBranches) {
  // The cubic resolvent works partly in single precision, which limits the accuracy.
  const double biquadratic[5] = {4, 0, -5, 0, 1};  // (x^2-1)(x^2-4)
  ExpectRoots(QuarticRoots(biquadratic), {-2, -1, 1, 2}, 5e-4);
  const double shifted[5] = {24, -50, 35, -10, 1};  // (x-1)(x-2)(x-3)(x-4)
  ExpectRoots(QuarticRoots(shifted), {1, 2, 3, 4}, 5e-4);
  const double withZero[5] = {0, -6, 11, -6, 1};  // x (x-1)(x-2)(x-3)
  ExpectRoots(QuarticRoots(withZero), {0, 1, 2, 3});
  const double none[5] = {1, 0, 0, 0, 1};  // x^4 + 1
  EXPECT_TRUE(QuarticRoots(none).empty());
  // Symmetric depressed form (q = 0): rounding must not lose the real pair.
  const double symmetric[5] = {640.4937, -506.2, 150.62, -20, 1};  // (y^2 - 0.01)(y^2 + 0.63), y = x - 5
  ExpectRoots(QuarticRoots(symmetric), {4.9, 5.1}, 1e-3);
  const double cubic[5] = {-6, 11, -6, 1, 0};
  ExpectRoots(QuarticRoots(cubic), {1, 2, 3});
}

TEST(PolynomialRoots, HelpersSignsAndSelection) {
  EXPECT_NEAR(SignedCubeRoot(27), 3, 1e-5);
  EXPECT_NEAR(SignedCubeRoot(-8), -2, 1e-5);
  EXPECT_EQ(SignedCubeRoot(0), 0);
  EXPECT_TRUE(NearZero(1e-40));
  EXPECT_TRUE(NearZero(-1e-41));
  EXPECT_FALSE(NearZero(1e-39));

  double v = 42;
  EXPECT_TRUE(MinNonNegativeRoot({-2, 3, 0.5}, v));
  EXPECT_EQ(v, 0.5);
  EXPECT_TRUE(MinNonNegativeRoot({0, 3}, v));
  EXPECT_EQ(v, 0);
  v = 42;
  EXPECT_FALSE(MinNonNegativeRoot({-1}, v));
  EXPECT_FALSE(MinNonNegativeRoot({}, v));
  EXPECT_EQ(v, 42);
}
