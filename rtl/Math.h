// Scalar helpers. Rounding is half-to-even ("banker's rounding"), as the system's arithmetic
// expects: Round(2.5) == 2, Round(3.5) == 4, Round(-2.5) == -2. Never std::round.
// Thread-safe, independent of the floating-point environment's rounding mode.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

// Half-to-even rounding to an integer. NaN and values outside the 64-bit range give INT64_MIN
// (the "integer indefinite" value of the hardware conversion) instead of undefined behaviour.
inline std::int64_t Round(double x) noexcept {
  if (!(x >= -9223372036854775808.0 && x < 9223372036854775808.0)) return std::numeric_limits<std::int64_t>::min();
  double r = std::floor(x);
  double diff = x - r;
  if (diff > 0.5 || (diff == 0.5 && std::fmod(r, 2.0) != 0.0)) r += 1.0;
  if (r >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(r);
}
// Toward zero; same out-of-range rule as Round.
inline std::int64_t Trunc(double x) noexcept {
  if (!(x > -9223372036854775809.0 && x < 9223372036854775808.0)) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(x);
}
// Integer part toward zero, as a double (keeps the sign: Int(-0.5) is -0.0).
inline double Int(double x) noexcept { return std::trunc(x); }
// Fractional part with the sign of x: Frac(-1.25) == -0.25.
inline double Frac(double x) noexcept { return x - std::trunc(x); }
inline std::int64_t Ceil(double x) noexcept { return Trunc(std::ceil(x)); }
inline std::int64_t Floor(double x) noexcept { return Trunc(std::floor(x)); }

template <class T>
constexpr T Min(T a, T b) noexcept {
  return a < b ? a : b;
}
template <class T>
constexpr T Max(T a, T b) noexcept {
  return a > b ? a : b;
}
// Clamps to [lo, hi] (lo wins when lo > hi).
template <class T>
constexpr T EnsureRange(T value, T lo, T hi) noexcept {
  T r = value;
  if (r > hi) r = hi;
  if (r < lo) r = lo;
  return r;
}
template <class T>
constexpr bool InRange(T value, T lo, T hi) noexcept {
  return value >= lo && value <= hi;
}

inline bool IsNan(double x) noexcept { return std::isnan(x); }
inline bool IsInfinite(double x) noexcept { return std::isinf(x); }
// -1, 0 or 1 (0 for NaN and for both zeros).
template <class T>
constexpr int Sign(T x) noexcept {
  return x > T(0) ? 1 : (x < T(0) ? -1 : 0);
}

inline double ArcTan2(double y, double x) noexcept { return std::atan2(y, x); }
inline double ArcCos(double x) noexcept { return std::acos(x); }
inline double ArcSin(double x) noexcept { return std::asin(x); }
inline double Power(double base, double exponent) noexcept { return std::pow(base, exponent); }
inline double Log10(double x) noexcept { return std::log10(x); }
inline double Log2(double x) noexcept { return std::log2(x); }

// Equal within epsilon; epsilon 0 picks a tolerance from the magnitudes
// (max(min(|a|,|b|) * 1e-12, 1e-12) for doubles, 1e-4 scale for singles).
inline bool SameValue(double a, double b, double epsilon = 0) noexcept {
  if (epsilon == 0) {
    double m = std::fmin(std::fabs(a), std::fabs(b)) * 1e-12;
    epsilon = m > 1e-12 ? m : 1e-12;
  }
  if (a > b) return a - b <= epsilon;
  return b - a <= epsilon;
}
inline bool SameValue(float a, float b, float epsilon = 0) noexcept {
  if (epsilon == 0) {
    float m = std::fmin(std::fabs(a), std::fabs(b)) * 1e-4f;
    epsilon = m > 1e-4f ? m : 1e-4f;
  }
  if (a > b) return a - b <= epsilon;
  return b - a <= epsilon;
}
inline bool IsZero(double x, double epsilon = 1e-12) noexcept { return std::fabs(x) <= epsilon; }

inline double DegToRad(double deg) noexcept { return deg * (3.14159265358979323846 / 180.0); }
inline double RadToDeg(double rad) noexcept { return rad * (180.0 / 3.14159265358979323846); }

// The program's one uniform pseudo-random source (thread-safe; one sequence shared by all
// threads). A given seed always gives the same sequence; the start seed is fixed, so a program
// that wants different numbers on every run calls Randomize once at start-up.
// A value in [0, 1).
double Random() noexcept;
// An integer in [0, range); 0 when range <= 0.
int Random(int range) noexcept;
// An integer in [min(from, to), max(from, to)).
int RandomRange(int from, int to) noexcept;
// Seeds the source from the clock.
void Randomize() noexcept;
void SetRandSeed(std::uint64_t seed) noexcept;
