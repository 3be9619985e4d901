// Axis-aligned bounding boxes and screen rectangles.
#pragma once

#include "Source/Base/VectorTypes.h"

// Min corner, then max corner. Nothing keeps min <= max: intersections and negative scales
// may leave a box "inside out", which callers test for themselves.
struct TAxisAlignedBox {
  TAffineVector min, max;
};

// Window pixels.
struct TScreenRect {
  float minX, minY, maxX, maxY;
};

static_assert(sizeof(TAxisAlignedBox) == 24);
static_assert(sizeof(TScreenRect) == 16);

// Extends box to contain other (strict comparisons per component).
void AxisBoxMerge(TAxisAlignedBox& box, const TAxisAlignedBox& other);
void AxisBoxIncludePoint(TAxisAlignedBox& box, const TAffineVector& point);
// min = -|e|, max = |e| per component.
void AxisBoxFromExtents(TAxisAlignedBox& box, const TAffineVector& e);
// Replaces box by the axis-aligned box around its eight corners transformed as points.
void AxisBoxTransform(TAxisAlignedBox& box, const TMatrix4f& m);
// Component-wise multiplication without reordering.
void AxisBoxScale(TAxisAlignedBox& box, const TAffineVector& s);
// Larger mins, smaller maxes; no emptiness test.
void AxisBoxIntersection(const TAxisAlignedBox& a, const TAxisAlignedBox& b, TAxisAlignedBox& r);
// Bounds included.
bool PointInAxisBox(const TAffineVector& p, const TAxisAlignedBox& box);
void AxisBoxFromSphere(const TVector4f& centre, TAxisAlignedBox& box, float radius);
void ScreenRectIncludePoint(TScreenRect& rect, float x, float y);
// Projects the eight corners through m (with division by w) into a viewport of the given size.
void AxisBoxToScreenRect(const TAxisAlignedBox& box, const TMatrix4f& m, int viewportWidth, int viewportHeight,
                         TScreenRect& rect);
