// Cubic spline through a run of control points (natural end conditions), one channel per
// coordinate. Segment i covers parameters [i, i + 1]; beyond the ends the first and last cubic
// are continued.
#pragma once

#include <array>
#include <vector>

#include "Source/Base/VectorTypes.h"
#include "rtl/System.h"

// One row (a, b, c, d) per segment, in the absolute parameter: ((a t + b) t + c) t + d.
// Kept in double: absolute-parameter polynomials lose precision quickly on long runs.
using TCubicSplineMatrix = std::vector<std::array<double, 4>>;

class TCubicSpline : public TObject {
  RTL_CLASS(TCubicSpline, TObject)
 public:
  // Each given array holds n values; a null array (or n < 1) gives an empty channel, which
  // evaluates to 0. With n = 1 a channel is the constant value.
  TCubicSpline(const float* X, const float* Y, const float* Z, const float* W, int n);

  // Value of one channel at t; 0 for an empty channel.
  static float EvaluateChannel(const TCubicSplineMatrix& matrix, int n, float t);
  void EvaluateXYZ(float t, float& x, float& y, float& z) const;
  void EvaluateAffine(float t, TAffineVector& v) const;
  float EvaluateW(float t) const { return EvaluateChannel(matW_, nb_, t); }

  int Count() const { return nb_; }

 private:
  TCubicSplineMatrix matX_, matY_, matZ_, matW_;
  int nb_ = 0;
};
