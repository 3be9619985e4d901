// Tests of bounding boxes: merging, points and extents, transforms, scaling, intersection, and
// screen rectangles.
#include <gtest/gtest.h>

#include "Source/Base/GeometryBB.h"
#include "Source/Base/VectorGeometry.h"

namespace {
TAxisAlignedBox Box(float x0, float y0, float z0, float x1, float y1, float z1) { return {{x0, y0, z0}, {x1, y1, z1}}; }
void ExpectBox(const TAxisAlignedBox& b, const TAxisAlignedBox& e, float eps = 1e-6f) {
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(b.min[i], e.min[i], eps) << "min " << i;
    EXPECT_NEAR(b.max[i], e.max[i], eps) << "max " << i;
  }
}
}  // namespace

TEST(GeometryBox, MergeIncludeAndExtents) {
  TAxisAlignedBox b = Box(0, 0, 0, 1, 1, 1);
  AxisBoxMerge(b, Box(-1, 0.5f, 0.5f, 0.5f, 2, 0.5f));
  ExpectBox(b, Box(-1, 0, 0, 1, 2, 1));
  AxisBoxIncludePoint(b, {3, -4, 0.5f});
  ExpectBox(b, Box(-1, -4, 0, 3, 2, 1));
  AxisBoxFromExtents(b, {-2, 3, -0.5f});
  ExpectBox(b, Box(-2, -3, -0.5f, 2, 3, 0.5f));
  AxisBoxFromSphere({1, 2, 3, 1}, b, 2);
  ExpectBox(b, Box(-1, 0, 1, 3, 4, 5));
}

TEST(GeometryBox, TransformScaleAndIntersection) {
  // A quarter turn about Z plus a translation: the box around the moved corners.
  TAxisAlignedBox b = Box(0, 0, 0, 2, 1, 1);
  TMatrix4f m = CreateRotationMatrixZ(1, 0);
  m[3] = {10, 0, 0, 1};
  AxisBoxTransform(b, m);
  ExpectBox(b, Box(9, 0, 0, 10, 2, 1));

  b = Box(1, 1, 1, 2, 2, 2);
  AxisBoxScale(b, {-1, 1, 1});
  EXPECT_GT(b.min[0], b.max[0]);  // not reordered
  ExpectBox(b, Box(-1, 1, 1, -2, 2, 2));

  TAxisAlignedBox r;
  AxisBoxIntersection(Box(0, 0, 0, 2, 2, 2), Box(1, -1, 1, 3, 1, 3), r);
  ExpectBox(r, Box(1, 0, 1, 2, 1, 2));
  AxisBoxIntersection(Box(0, 0, 0, 1, 1, 1), Box(2, 0, 0, 3, 1, 1), r);
  EXPECT_GT(r.min[0], r.max[0]);

  EXPECT_TRUE(PointInAxisBox({1, 0.5f, 0.5f}, Box(0, 0, 0, 1, 1, 1)));
  EXPECT_TRUE(PointInAxisBox({0, 0, 0}, Box(0, 0, 0, 1, 1, 1)));
  EXPECT_FALSE(PointInAxisBox({1.0001f, 0.5f, 0.5f}, Box(0, 0, 0, 1, 1, 1)));
}

TEST(GeometryBox, ScreenRect) {
  TScreenRect r;
  AxisBoxToScreenRect(Box(-1, -1, -1, 1, 1, 1), IdentityHmgMatrix, 800, 600, r);
  EXPECT_FLOAT_EQ(r.minX, 0);
  EXPECT_FLOAT_EQ(r.minY, 0);
  EXPECT_FLOAT_EQ(r.maxX, 800);
  EXPECT_FLOAT_EQ(r.maxY, 600);
  // Division by w: a projective matrix halves the extent.
  TMatrix4f m = IdentityHmgMatrix;
  m[3][3] = 2;
  AxisBoxToScreenRect(Box(-1, -1, -1, 1, 1, 1), m, 800, 600, r);
  EXPECT_FLOAT_EQ(r.minX, 200);
  EXPECT_FLOAT_EQ(r.maxY, 450);
  ScreenRectIncludePoint(r, 100, 500);
  EXPECT_FLOAT_EQ(r.minX, 100);
  EXPECT_FLOAT_EQ(r.maxY, 500);
}
