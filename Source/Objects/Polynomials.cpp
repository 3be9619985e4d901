// Closed-form real roots of quadratic, cubic and quartic polynomials.
#include "Source/Objects/Polynomials.h"

#include <cmath>

bool NearZero(double x) { return std::fabs(x) <= 1e-40; }

double SignedCubeRoot(double x) {
  if (x > 0) return std::pow(float(x), 1.0f / 3.0f);
  if (x < 0) return -std::pow(float(-x), 1.0f / 3.0f);
  return 0;
}

TDoubleArray QuadraticRoots(const double c[3]) {
  TDoubleArray roots;
  if (NearZero(c[2])) {
    // Degenerate (e.g. a ray parallel to a cylinder's axis): the linear root, if any.
    if (!NearZero(c[1])) roots.push_back(-c[0] / c[1]);
    return roots;
  }
  const double p = c[1] / (2 * c[2]);
  const double q = c[0] / c[2];
  const double d = p * p - q;
  if (NearZero(d)) {
    roots.push_back(-p);
  } else if (d > 0) {
    const double s = std::sqrt(d);
    roots.push_back(s - p);
    roots.push_back(-s - p);
  }
  return roots;
}

TDoubleArray CubicRoots(const double c[4]) {
  if (NearZero(c[3])) return QuadraticRoots(c);
  const double a = c[2] / c[3], b = c[1] / c[3], cc = c[0] / c[3];
  const double sqA = a * a;
  const double p = (b - sqA / 3) / 3;
  const double q = (2.0 / 27 * a * sqA - a * b / 3 + cc) / 2;
  const double cbP = p * p * p;
  const double d = q * q + cbP;
  TDoubleArray roots;
  if (NearZero(d)) {
    if (NearZero(q)) {
      roots.push_back(0);
    } else {
      const double u = SignedCubeRoot(-q);
      roots.push_back(2 * u);
      roots.push_back(-u);
    }
  } else if (d < 0) {
    // Three real roots. Rounding can push the cosine argument just past +-1.
    double arg = -q * double(float(1.0 / std::sqrt(-cbP)));
    if (arg > 1) arg = 1;
    if (arg < -1) arg = -1;
    const double phi = std::acos(arg) / 3;
    const double t = 2 * std::sqrt(-p);
    roots.push_back(t * std::cos(phi));
    roots.push_back(-t * std::cos(phi + M_PI / 3));
    roots.push_back(-t * std::cos(phi - M_PI / 3));
  } else {
    const double s = std::sqrt(d);
    roots.push_back(SignedCubeRoot(s - q) - SignedCubeRoot(s + q));
  }
  for (double& r : roots) r -= a / 3;
  return roots;
}

TDoubleArray QuarticRoots(const double c[5]) {
  if (NearZero(c[4])) return CubicRoots(c);
  const double a = c[3] / c[4], b = c[2] / c[4], cc = c[1] / c[4], d = c[0] / c[4];
  const double sqA = a * a;
  const double p = -3.0 / 8 * sqA + b;
  const double q = 1.0 / 8 * sqA * a - 0.5 * a * b + cc;
  const double r = -3.0 / 256 * sqA * sqA + 1.0 / 16 * sqA * b - 0.25 * a * cc + d;
  TDoubleArray roots;
  if (NearZero(r)) {
    // y (y^3 + p y + q) = 0
    const double k[4] = {q, p, 0, 1};
    roots = CubicRoots(k);
    roots.push_back(0);
  } else {
    const double k[4] = {0.5 * r * p - 0.125 * q * q, -r, -0.5 * p, 1};
    const TDoubleArray resolvent = CubicRoots(k);
    if (resolvent.empty()) return roots;
    const double z = resolvent[0];
    double u = z * z - r;
    double v = 2 * z - p;
    // u and v are often exactly zero in theory (v whenever q is), and the resolvent's
    // single-precision steps leave them slightly negative: treat what lies within that
    // rounding as zero instead of losing every root.
    const double tolU = 1e-5 * (z * z + std::fabs(r)), tolV = 1e-5 * (std::fabs(2 * z) + std::fabs(p));
    if (NearZero(u) || (u < 0 && u >= -tolU))
      u = 0;
    else if (u > 0)
      u = std::sqrt(u);
    else
      return roots;
    if (NearZero(v) || (v < 0 && v >= -tolV))
      v = 0;
    else if (v > 0)
      v = std::sqrt(v);
    else
      return roots;
    const double sv = q < 0 ? -v : v;
    const double k1[3] = {z - u, sv, 1};
    const double k2[3] = {z + u, -sv, 1};
    roots = QuadraticRoots(k1);
    const TDoubleArray more = QuadraticRoots(k2);
    roots.insert(roots.end(), more.begin(), more.end());
  }
  for (double& x : roots) x -= a / 4;
  return roots;
}

bool MinNonNegativeRoot(const TDoubleArray& roots, double& value) {
  bool found = false;
  double best = 0;
  for (double r : roots)
    if (r >= 0 && (!found || r < best)) {
      best = r;
      found = true;
    }
  if (found) value = best;
  return found;
}
