// Tests of depth-buffer shadows: pixel and world round trips, texture sizes, the mask from two
// depth buffers, and soft and hard edges.
#include <gtest/gtest.h>

#include <vector>

#include "Source/Base/VectorGeometry.h"
#include "Source/Further/GLzBuffer.h"

namespace {

// A perspective projection (row vectors: clip = v * P) looking down -Z.
TMatrix4f Perspective(float nearZ, float farZ) {
  TMatrix4f p{};
  p[0][0] = 1;
  p[1][1] = 1;
  p[2][2] = (farZ + nearZ) / (nearZ - farZ);
  p[2][3] = -1;
  p[3][2] = 2 * farZ * nearZ / (nearZ - farZ);
  return p;
}

std::vector<float> Depths(int w, int h, float left, float right) {
  std::vector<float> d(size_t(w * h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) d[size_t(y * w + x)] = x < w / 2 ? left : right;
  return d;
}

}  // namespace

TEST(ShadowZBuffer, PixelsAndWorldRoundTrip) {
  TGLzBuffer zb;
  std::vector<float> d(16 * 8, 0.9f);
  d[0] = 0.25f;  // bottom-left as read
  zb.SetData(16, 8, d, IdentityHmgMatrix, Perspective(1, 100));
  EXPECT_EQ(zb.GetPixelzDepth(0, 7), 0.25f);  // counted from the top row
  EXPECT_EQ(zb.GetPixelzDepth(16, 0), 0.0f);
  EXPECT_EQ(zb.GetPixelzDepth(0, -1), 0.0f);
  const TAffineVector outside = zb.PixelToWorld(-1, 3);
  EXPECT_EQ(outside[0] + outside[1] + outside[2], 0.0f);

  for (auto [x, y] : {std::pair{3, 2}, std::pair{0, 7}, std::pair{15, 0}}) {
    const TAffineVector p = zb.PixelToWorld(x, y);
    EXPECT_LT(p[2], -1.0f);  // in front of the camera
    float px, py, pz;
    ASSERT_TRUE(zb.WorldToPixelZ(p, px, py, pz));
    EXPECT_NEAR(px, x + 0.5, 1e-3);
    EXPECT_NEAR(py, y + 0.5, 1e-3);
    EXPECT_NEAR(pz, zb.GetPixelzDepth(x, y), 1e-4);
  }
  float px, py, pz;
  EXPECT_FALSE(zb.WorldToPixelZ(TAffineVector{0, 0, 5}, px, py, pz));  // behind

  TGLSceneBuffer noCamera(nullptr);
  TGLzBuffer linked;
  EXPECT_THROW(linked.LinkToBuffer(&noCamera, 4, 4), Exception);
}

TEST(ShadowZBuffer, TextureSizesAndCastingWithoutCaster) {
  EXPECT_EQ(TGLZShadows::TextureSize(0), 2);
  EXPECT_EQ(TGLZShadows::TextureSize(3), 4);
  EXPECT_EQ(TGLZShadows::TextureSize(64), 64);
  EXPECT_EQ(TGLZShadows::TextureSize(65), 128);
  TGLZShadows zs(nullptr);
  EXPECT_EQ(zs.Width(), 64);
  EXPECT_TRUE(zs.CastShadow());
  EXPECT_EQ(zs.CalcPixel(0, 0), 0);  // no depth buffers yet
  EXPECT_EQ(zs.MaskAt(0, 0), 0);
}

TEST(ShadowZBuffer, MaskFromTwoDepthBuffers) {
  TGLZShadows zs(nullptr);
  zs.SetWidth(16);
  zs.SetHeight(12);
  // The caster sees the same view; an occluder nearer to it covers the left half.
  std::vector<float> view = Depths(16, 12, 0.95f, 0.95f);
  view[size_t(11 * 16 + 12)] = 1;  // background at the top row, column 12
  zs.ViewerZBuf()->SetData(16, 12, view, IdentityHmgMatrix, Perspective(1, 100));
  zs.CasterZBuf()->SetData(16, 12, Depths(16, 12, 0.5f, 0.95f), IdentityHmgMatrix, Perspective(1, 100));
  zs.CalcShadowMask();
  EXPECT_EQ(zs.MaskAt(2, 5), 128);  // alpha 0.5 as a byte
  EXPECT_EQ(zs.MaskAt(13, 5), 0);
  EXPECT_EQ(zs.MaskAt(12, 0), 0);  // background stays clear
  zs.SetSkyShadow(true);
  zs.CalcShadowMask();
  EXPECT_EQ(zs.MaskAt(12, 0), 128);

  // Fading by depth: at depth 0.95 the unshadowed side gets half the alpha.
  zs.SetDepthFade(true);
  zs.CalcShadowMask();
  EXPECT_EQ(zs.MaskAt(13, 5), 64);
  zs.SetDepthFade(false);
  zs.CalcShadowMask();

  // The block modes give the same mask here.
  std::vector<uint8_t> full;
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 16; ++x) full.push_back(zs.MaskAt(x, y));
  for (TOptimise mode : {op4in1, op9in1, op16in1}) {
    zs.SetOptimise(mode);
    zs.CalcShadowMask();
    for (int y = 0; y < 12; ++y)
      for (int x = 0; x < 16; ++x) ASSERT_EQ(zs.MaskAt(x, y), full[size_t(y * 16 + x)]) << mode << " " << x << "," << y;
  }

  // Soft edges sample one pixel around, safely at the buffer's edges.
  zs.SetOptimise(opNone);
  zs.SetSoft(true);
  zs.CalcShadowMask();
  EXPECT_EQ(zs.MaskAt(2, 5), 128);
  EXPECT_GT(zs.MaskAt(8, 5), 0);
  EXPECT_LT(zs.MaskAt(8, 5), 128);
}

TEST(ShadowZBuffer, PointsBehindTheCasterAreNotDepthFaded) {
  // The caster looks the other way: everything the viewer sees lies behind it.
  TMatrix4f turned = IdentityHmgMatrix;
  turned[0][0] = -1;
  turned[2][2] = -1;
  TGLZShadows zs(nullptr);
  zs.SetWidth(8);
  zs.SetHeight(8);
  zs.ViewerZBuf()->SetData(8, 8, std::vector<float>(64, 0.99f), IdentityHmgMatrix, Perspective(1, 100));
  zs.CasterZBuf()->SetData(8, 8, std::vector<float>(64, 0.5f), turned, Perspective(1, 100));

  float px = 3, py = 3, pz = 0.99f;
  EXPECT_FALSE(zs.CasterZBuf()->WorldToPixelZ(zs.ViewerZBuf()->PixelToWorld(4, 4), px, py, pz));
  EXPECT_EQ(pz, 0.0f);
  EXPECT_LT(px, 0.0f);
  EXPECT_LT(py, 0.0f);

  zs.SetDepthFade(true);
  zs.CalcShadowMask();
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) ASSERT_EQ(zs.MaskAt(x, y), 0) << x << "," << y;
  zs.SetFrustShadow(true);
  zs.CalcShadowMask();
  EXPECT_EQ(zs.MaskAt(4, 4), 128);
}

TEST(ShadowZBuffer, SoftEdgesShadowAtTheToleranceItselfHardEdgesOnlyBeyondIt) {
  TGLZShadows zs(nullptr);
  zs.SetWidth(8);
  zs.SetHeight(8);
  zs.SetTolerance(1);  // the tolerance is then 1 - pz, exactly
  zs.ViewerZBuf()->SetData(8, 8, std::vector<float>(64, 0.99f), IdentityHmgMatrix, Perspective(1, 100));
  zs.CasterZBuf()->SetData(8, 8, std::vector<float>(64, 1), IdentityHmgMatrix, Perspective(1, 100));
  float cx, cy, pz;
  ASSERT_TRUE(zs.CasterZBuf()->WorldToPixelZ(zs.ViewerZBuf()->PixelToWorld(4, 4), cx, cy, pz));
  // The caster's depth lies exactly one tolerance in front of the point.
  const float depth = pz - (1 - pz);
  ASSERT_EQ(pz - depth, 1 - pz);
  zs.CasterZBuf()->SetData(8, 8, std::vector<float>(64, depth), IdentityHmgMatrix, Perspective(1, 100));

  // One pixel at a time, before any whole mask was computed.
  EXPECT_EQ(zs.CalcPixel(4, 4), 0);
  EXPECT_EQ(zs.CalcPixel(8, 0), 0);
  EXPECT_EQ(zs.MaskAt(8, 0), 0);
  zs.CalcShadowMask();
  EXPECT_EQ(zs.MaskAt(4, 4), 0);
  zs.SetSoft(true);
  EXPECT_EQ(zs.CalcPixel(4, 4), 128);
  zs.CalcShadowMask();
  EXPECT_EQ(zs.MaskAt(4, 4), 128);
}

namespace {

// The mask of a 16 x 12 view whose caster sees an occluder only at the given pixels.
std::vector<uint8_t> MaskWithShadowedPixels(const std::vector<std::pair<int, int>>& shadowed, TOptimise mode) {
  const int w = 16, h = 12;
  TGLZShadows zs(nullptr);
  zs.SetWidth(w);
  zs.SetHeight(h);
  std::vector<float> caster(size_t(w * h), 0.95f);
  for (auto [x, y] : shadowed) caster[size_t((h - 1 - y) * w + x)] = 0.5f;  // rows bottom first
  zs.ViewerZBuf()->SetData(w, h, std::vector<float>(size_t(w * h), 0.95f), IdentityHmgMatrix, Perspective(1, 100));
  zs.CasterZBuf()->SetData(w, h, caster, IdentityHmgMatrix, Perspective(1, 100));
  zs.SetOptimise(mode);
  zs.CalcShadowMask();
  std::vector<uint8_t> mask;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) mask.push_back(zs.MaskAt(x, y));
  return mask;
}

uint8_t At(const std::vector<uint8_t>& mask, int x, int y) { return mask[size_t(y * 16 + x)]; }

}  // namespace

// op4in1 samples even (x, y) and decides the two pixels to its left by the previous sample on
// the row and the one two rows up, and the pixel above it by the stored value at (x + 1, y - 2):
// each guess uses its own samples, not the four corners of a 2 x 2 block.
TEST(ShadowZBuffer, FourInOneDecidesEachNeighbourFromItsOwnSamples) {
  // (3, 3) is shadowed, and so is the diagonal sample (2, 2) that only a block rule looks at:
  // the samples (4, 4), (2, 4) and (4, 2) agree, so (3, 3) takes their value unseen.
  auto exact = MaskWithShadowedPixels({{2, 2}, {3, 3}}, opNone);
  auto pairs = MaskWithShadowedPixels({{2, 2}, {3, 3}}, op4in1);
  EXPECT_EQ(At(exact, 3, 3), 128);
  EXPECT_EQ(At(pairs, 3, 3), 0);
  EXPECT_EQ(At(pairs, 2, 2), 128);

  // (4, 3) is shadowed under a shadowed (5, 2): the stored value up and to the right differs
  // from the sample (4, 4), so (4, 3) is computed although the block's corners all agree.
  exact = MaskWithShadowedPixels({{5, 2}, {6, 2}, {4, 3}}, opNone);
  pairs = MaskWithShadowedPixels({{5, 2}, {6, 2}, {4, 3}}, op4in1);
  EXPECT_EQ(At(pairs, 5, 2), 128);
  EXPECT_EQ(At(pairs, 4, 3), 128);
  EXPECT_EQ(At(pairs, 6, 2), 128);
  // Everything computed matches the exact mask; the border (last row and column) is exact.
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 16; ++x) ASSERT_EQ(At(pairs, x, y), At(exact, x, y)) << x << "," << y;
}
