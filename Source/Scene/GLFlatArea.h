// The normal of a flat shape (a face, an outline) from its whole outline, and whether it has an
// area its single-precision coordinates can tell from rounding.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "Source/Base/VectorTypes.h"

// twiceArea: the length of the shape's area vector summed over its edges (twice its area);
// magnitude: its largest absolute coordinate; perimeter: the length of its outline.
// Points in line on paper, rounded to single precision (or computed in it), move by about half a
// unit in the last place of their largest coordinate, which gives them less than magnitude *
// perimeter * FLT_EPSILON of twice area (0.7 times that at most, over a million such triangles
// at scales 1e-6 to 1e6). Twice that is taken as no area; so is anything not finite.
inline bool FlatShapeHasArea(double twiceArea, double magnitude, double perimeter) {
  return twiceArea > 2.0 * double(FLT_EPSILON) * magnitude * perimeter && twiceArea <= DBL_MAX;
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
  const double length = std::sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]);
  if (!FlatShapeHasArea(length, magnitude, perimeter)) return TAffineVector{{0, 0, 0}};
  return TAffineVector{{float(sum[0] / length), float(sum[1] / length), float(sum[2] / length)}};
}
