// Cubic splines: the natural-spline slopes of each channel, segment coefficients and evaluation.
#include "Source/Base/Spline.h"

#include <cmath>

#include "rtl/SysUtils.h"

namespace {

// Slopes of the natural cubic spline through y[0 .. n-1] at integer parameters: the tridiagonal
// system with diagonal (2, 4, ..., 4, 2) and unit off-diagonals, solved by Cholesky
// factorisation. n >= 2.
void SolveSlopes(const float* y, int n, std::vector<double>& D) {
  std::vector<double> r(n), l(n), m(n), z(n);
  D.assign(n, 0.0);
  RTL_ASSERT(int(r.size()) == n && int(D.size()) == n);
  r[0] = 3.0 * (double(y[1]) - y[0]);
  r[n - 1] = 3.0 * (double(y[n - 1]) - y[n - 2]);
  for (int i = 1; i < n - 1; ++i) r[i] = 3.0 * (double(y[i + 1]) - y[i - 1]);

  l[0] = std::sqrt(2.0);
  m[0] = 1.0 / l[0];
  for (int i = 1; i < n - 1; ++i) {
    l[i] = std::sqrt(4.0 - m[i - 1] * m[i - 1]);
    m[i] = 1.0 / l[i];
  }
  l[n - 1] = std::sqrt(2.0 - m[n - 2] * m[n - 2]);

  z[0] = r[0] / l[0];
  for (int i = 1; i < n; ++i) z[i] = (r[i] - z[i - 1] * m[i - 1]) / l[i];
  D[n - 1] = z[n - 1] / l[n - 1];
  for (int i = n - 2; i >= 0; --i) D[i] = (z[i] - D[i + 1] * m[i]) / l[i];
}

void BuildChannel(const float* y, int n, TCubicSplineMatrix& mat) {
  mat.clear();
  if (!y || n < 1) return;
  if (n == 1) {  // a single point: the constant
    mat.push_back({0, 0, 0, double(y[0])});
    return;
  }
  std::vector<double> D;
  SolveSlopes(y, n, D);
  mat.resize(n - 1);
  for (int i = 0; i < n - 1; ++i) {
    const double yi = y[i], yn = y[i + 1];
    const double c = D[i];
    const double b = 3.0 * (yn - yi) - 2.0 * D[i] - D[i + 1];
    const double a = 2.0 * (yi - yn) + D[i] + D[i + 1];
    const double s = i;  // re-base the local cubic to the absolute parameter
    mat[i] = {a, b - 3.0 * s * a, (3.0 * s * a - 2.0 * b) * s + c, ((b - s * a) * s - c) * s + yi};
  }
}

}  // namespace

TCubicSpline::TCubicSpline(const float* X, const float* Y, const float* Z, const float* W, int n) {
  BuildChannel(X, n, matX_);
  BuildChannel(Y, n, matY_);
  BuildChannel(Z, n, matZ_);
  BuildChannel(W, n, matW_);
  nb_ = n;
}

float TCubicSpline::EvaluateChannel(const TCubicSplineMatrix& matrix, int n, float t) {
  if (matrix.empty()) return 0;
  int k;
  if (t <= 0)
    k = 0;
  else if (t <= float(n - 1))
    k = int(std::trunc(t));
  else
    k = n - 1;
  if (k == n - 1) k = n - 2;  // the last segment is extended
  if (k < 0) k = 0;
  if (k >= int(matrix.size())) k = int(matrix.size()) - 1;
  const auto& row = matrix[size_t(k)];
  const double td = t;
  return float(((row[0] * td + row[1]) * td + row[2]) * td + row[3]);
}

void TCubicSpline::EvaluateXYZ(float t, float& x, float& y, float& z) const {
  x = EvaluateChannel(matX_, nb_, t);
  y = EvaluateChannel(matY_, nb_, t);
  z = EvaluateChannel(matZ_, nb_, t);
}

void TCubicSpline::EvaluateAffine(float t, TAffineVector& v) const { EvaluateXYZ(t, v[0], v[1], v[2]); }
