// Closed-form roots of polynomials up to degree four, for exact ray casts against
// quadric and quartic surfaces. Coefficients are in ascending order: c[0] + c[1] x + ...
// Roots come back as a (possibly empty) list of doubles, not sorted.
#pragma once

#include <vector>

using TDoubleArray = std::vector<double>;

// True when |x| <= 1e-40.
bool NearZero(double x);
// Real cube root keeping the sign (computed in single precision).
double SignedCubeRoot(double x);

// c[0..2]. A leading coefficient near zero leaves the linear root (when there is one).
TDoubleArray QuadraticRoots(const double c[3]);
// c[0..3]. A leading coefficient near zero falls back to the quadratic.
TDoubleArray CubicRoots(const double c[4]);
// c[0..4]. A leading coefficient near zero falls back to the cubic.
TDoubleArray QuarticRoots(const double c[5]);

// The smallest root >= 0; false (value untouched) when there is none.
bool MinNonNegativeRoot(const TDoubleArray& roots, double& value);
