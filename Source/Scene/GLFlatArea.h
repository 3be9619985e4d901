// The normal of a flat shape (a face, an outline) from its whole outline, and whether it has an
// area its single-precision coordinates can tell from rounding.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "Source/Base/VectorTypes.h"

// twiceArea: the length of the shape's area vector summed over its edges (twice its area);
// magnitude: its largest absolute coordinate; perimeter: the length of its outline; the first and
// last given squared.
// Points in line on paper, rounded to single precision (or computed in it), move by about half a
// unit in the last place of their largest coordinate, which gives them less than magnitude *
// perimeter * FLT_EPSILON of twice area (0.7 times that at most, over a million such triangles
// at scales 1e-6 to 1e6). Twice that is taken as no area; so is anything not finite.
inline bool FlatShapeHasArea(double twiceAreaSquared, double magnitude, double perimeterSquared) {
  const double noise = 2.0 * double(FLT_EPSILON) * magnitude;
  return twiceAreaSquared > noise * noise * perimeterSquared && twiceAreaSquared <= DBL_MAX;
}

// The unit normal of the closed outline through count points (at(i) gives point i), turned so
// that the outline runs counter-clockwise seen from it: the sum over its edges of the cross
// products about point 0, in double, in time linear in count. The null vector when the outline
// has no area (fewer than three points, all in line or repeated, or not finite).
template <class PointAt>
TAffineVector FlatShapeNormal(int count, PointAt at) {
  if (count < 3) return TAffineVector{{0, 0, 0}};
  const auto first = at(0);
  const double o[3] = {first[0], first[1], first[2]};
  double sum[3] = {0, 0, 0}, perimeter = 0, magnitude = 0;
  double prev[3] = {0, 0, 0};  // the previous point less point 0
  for (int i = 1; i <= count; ++i) {
    double d[3] = {0, 0, 0};  // the point less point 0 (the outline closes at point 0)
    if (i < count) {
      const auto p = at(i);
      for (int k = 0; k < 3; ++k) d[k] = double(p[k]) - o[k];
    }
    sum[0] += prev[1] * d[2] - prev[2] * d[1];
    sum[1] += prev[2] * d[0] - prev[0] * d[2];
    sum[2] += prev[0] * d[1] - prev[1] * d[0];
    perimeter += std::sqrt((d[0] - prev[0]) * (d[0] - prev[0]) + (d[1] - prev[1]) * (d[1] - prev[1]) +
                           (d[2] - prev[2]) * (d[2] - prev[2]));
    for (int k = 0; k < 3; ++k) {
      magnitude = std::max(magnitude, std::fabs(o[k] + d[k]));
      prev[k] = d[k];
    }
  }
  const double squared = sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2];
  if (!FlatShapeHasArea(squared, magnitude, perimeter * perimeter)) return TAffineVector{{0, 0, 0}};
  const double length = std::sqrt(squared);
  return TAffineVector{{float(sum[0] / length), float(sum[1] / length), float(sum[2] / length)}};
}

// FlatShapeNormal of the triangle (p, q, r) with one root (silhouettes of moving meshes find it
// for every face in every frame): its squared perimeter is taken as 3 * the sum of its squared
// sides, which is from one to three times the square of the perimeter.
inline TAffineVector TriangleNormalOrNull(const TAffineVector& p, const TAffineVector& q, const TAffineVector& r) {
  const double ax = double(q[0]) - p[0], ay = double(q[1]) - p[1], az = double(q[2]) - p[2];
  const double bx = double(r[0]) - p[0], by = double(r[1]) - p[1], bz = double(r[2]) - p[2];
  const double cx = bx - ax, cy = by - ay, cz = bz - az;
  const double sides = ax * ax + ay * ay + az * az + bx * bx + by * by + bz * bz + cx * cx + cy * cy + cz * cz;
  float magnitude = 0;
  for (int k = 0; k < 3; ++k) magnitude = std::max(magnitude, std::max(std::fabs(p[k]), std::fabs(q[k])));
  magnitude = std::max({magnitude, std::fabs(r[0]), std::fabs(r[1]), std::fabs(r[2])});
  const double nx = ay * bz - az * by, ny = az * bx - ax * bz, nz = ax * by - ay * bx;
  const double squared = nx * nx + ny * ny + nz * nz;
  if (!FlatShapeHasArea(squared, magnitude, 3 * sides)) return TAffineVector{{0, 0, 0}};
  const double inverse = 1 / std::sqrt(squared);
  return TAffineVector{{float(nx * inverse), float(ny * inverse), float(nz * inverse)}};
}
