// Bounding-box arithmetic: merging, transforming, scaling and intersecting axis-aligned boxes,
// and projecting them to screen rectangles.
#include "Source/Base/GeometryBB.h"

#include <cmath>

#include "Source/Base/VectorGeometry.h"

void AxisBoxMerge(TAxisAlignedBox& box, const TAxisAlignedBox& other) {
  for (int i = 0; i < 3; ++i) {
    if (other.min[i] < box.min[i]) box.min[i] = other.min[i];
    if (other.max[i] > box.max[i]) box.max[i] = other.max[i];
  }
}

void AxisBoxIncludePoint(TAxisAlignedBox& box, const TAffineVector& point) {
  for (int i = 0; i < 3; ++i) {
    if (point[i] < box.min[i]) box.min[i] = point[i];
    if (point[i] > box.max[i]) box.max[i] = point[i];
  }
}

void AxisBoxFromExtents(TAxisAlignedBox& box, const TAffineVector& e) {
  for (int i = 0; i < 3; ++i) {
    box.max[i] = std::fabs(e[i]);
    box.min[i] = -box.max[i];
  }
}

// Corner index bits 0, 1, 2 choose max instead of min for x, y, z.
static TAffineVector Corner(const TAxisAlignedBox& box, int index) {
  return {(index & 1) ? box.max[0] : box.min[0], (index & 2) ? box.max[1] : box.min[1],
          (index & 4) ? box.max[2] : box.min[2]};
}

void AxisBoxTransform(TAxisAlignedBox& box, const TMatrix4f& m) {
  const TAxisAlignedBox src = box;
  const TAffineVector first = AffineVectorTransform(Corner(src, 0), m);
  box.min = first;
  box.max = first;
  for (int i = 1; i < 8; ++i) AxisBoxIncludePoint(box, AffineVectorTransform(Corner(src, i), m));
}

void AxisBoxScale(TAxisAlignedBox& box, const TAffineVector& s) {
  AffineVectorScaleByVector(box.min, s);
  AffineVectorScaleByVector(box.max, s);
}

void AxisBoxIntersection(const TAxisAlignedBox& a, const TAxisAlignedBox& b, TAxisAlignedBox& r) {
  for (int i = 0; i < 3; ++i) {
    r.min[i] = a.min[i] > b.min[i] ? a.min[i] : b.min[i];
    r.max[i] = a.max[i] < b.max[i] ? a.max[i] : b.max[i];
  }
}

bool PointInAxisBox(const TAffineVector& p, const TAxisAlignedBox& box) {
  for (int i = 0; i < 3; ++i)
    if (!(box.min[i] <= p[i] && p[i] <= box.max[i])) return false;
  return true;
}

void AxisBoxFromSphere(const TVector4f& centre, TAxisAlignedBox& box, float radius) {
  for (int i = 0; i < 3; ++i) {
    box.min[i] = centre[i] - radius;
    box.max[i] = centre[i] + radius;
  }
}

void ScreenRectIncludePoint(TScreenRect& rect, float x, float y) {
  if (x < rect.minX) rect.minX = x;
  if (x > rect.maxX) rect.maxX = x;
  if (y < rect.minY) rect.minY = y;
  if (y > rect.maxY) rect.maxY = y;
}

void AxisBoxToScreenRect(const TAxisAlignedBox& box, const TMatrix4f& m, int viewportWidth, int viewportHeight,
                         TScreenRect& rect) {
  for (int i = 0; i < 8; ++i) {
    TVector4f p = VectorTransform(PointMake(Corner(box, i)), m);
    const float x = viewportWidth * (p[0] / p[3] + 1) * 0.5f;
    const float y = viewportHeight * (p[1] / p[3] + 1) * 0.5f;
    if (i == 0)
      rect = {x, y, x, y};
    else
      ScreenRectIncludePoint(rect, x, y);
  }
}
