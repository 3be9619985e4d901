// Tests of RGBA bitmaps: sizing, conversion from other graphics, alpha and gamma, normal maps,
// upload sizes and mipmaps, picture classes by extension.
#include "Source/Materials/GLGraphics.h"

#include "Source/Base/GLRecorder.h"
#include "platform/Jpeg.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// RGBA of stored pixel (x, y), y = 0 the bottom row.
std::vector<int> Px(TGLBitmap32& b, int x, int y) {
  const uint8_t* p = b.RowAddress(y) + x * 4;
  return {p[0], p[1], p[2], p[3]};
}

void Fill(TGLBitmap32& b, uint8_t r, uint8_t g, uint8_t bl, uint8_t a) {
  for (int i = 0; i < b.DataSize(); i += 4)
    b.Data()[i] = r, b.Data()[i + 1] = g, b.Data()[i + 2] = bl, b.Data()[i + 3] = a;
}

GLint vMaxTextureSize = 16384;
void APIENTRY FakeGetIntegerv(GLenum name, GLint* value) { *value = name == GL_MAX_TEXTURE_SIZE ? vMaxTextureSize : 0; }

}  // namespace

TEST(GLBitmap32, SizesAreMultiplesOfFourAndStartBlack) {
  TGLBitmap32 b;
  EXPECT_TRUE(b.IsEmpty());
  b.SetHeight(2);
  b.SetWidth(5);
  EXPECT_EQ(b.Width(), 8);
  EXPECT_EQ(b.DataSize(), 8 * 2 * 4);
  b.SetWidth(8);
  EXPECT_EQ(b.Width(), 8);
  for (int i = 0; i < b.DataSize(); ++i) ASSERT_EQ(b.Data()[i], 0);
  EXPECT_THROW(b.SetWidth(-1), EAssertionFailed);
  EXPECT_THROW(b.SetWidth(1 << 20), EOutOfMemory);
  EXPECT_EQ(b.Width(), 8);
}

TEST(GLBitmap32, AssignFromBitmapsFlipsRowsAndSwapsChannels) {
  TBitmap src(4, 2, pf24bit);
  // Top row: red, then white; bottom row: blue, then white (bytes B, G, R).
  const uint8_t top[] = {0, 0, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255};
  const uint8_t bottom[] = {255, 0, 0, 255, 255, 255, 255, 255, 255, 255, 255, 255};
  std::memcpy(src.ScanLine(0), top, 12);
  std::memcpy(src.ScanLine(1), bottom, 12);
  TGLBitmap32 b;
  b.Assign(&src);
  ASSERT_EQ(b.Width(), 4);
  EXPECT_EQ(Px(b, 0, 1), (std::vector<int>{255, 0, 0, 255}));  // the picture's top is the last stored row
  EXPECT_EQ(Px(b, 0, 0), (std::vector<int>{0, 0, 255, 255}));
  b.SetBottomUpOnAssign(true);
  b.Assign(&src);
  EXPECT_EQ(Px(b, 0, 0), (std::vector<int>{255, 0, 0, 255}));

  TBitmap alpha(4, 1, pf32bit);
  const uint8_t px[] = {10, 20, 30, 40};
  std::memcpy(alpha.ScanLine(0), px, 4);
  TGLBitmap32 c;
  c.Assign(&alpha);
  EXPECT_EQ(Px(c, 0, 0), (std::vector<int>{30, 20, 10, 40}));

  // Back to a 32-bit bitmap, top row first and B, G, R, A again.
  b.SetBottomUpOnAssign(false);
  b.Assign(&src);
  std::unique_ptr<TBitmap> back = b.ToWinBitmap();
  EXPECT_EQ(back->PixelFormat(), pf32bit);
  EXPECT_EQ(back->Canvas().Pixel(0, 0), clRed);
  EXPECT_EQ(back->Canvas().Pixel(0, 1), clBlue);
  EXPECT_EQ(back->ScanLine(0)[3], 255);
}

TEST(GLBitmap32, ThirtyTwoBitBitmapsKeepTheirAlphaAtAnyWidth) {
  for (const int width : {30, 31, 32, 1}) {
    SCOPED_TRACE(width);
    TBitmap src(width, 8, pf32bit);
    for (int y = 0; y < 8; ++y) {
      uint8_t* row = src.ScanLine(y);
      for (int x = 0; x < width; ++x) {
        const uint8_t px[] = {10, 20, uint8_t(y == 0 ? 200 : 30), 77};  // B, G, R, A
        std::memcpy(row + x * 4, px, 4);
      }
    }
    TGLBitmap32 b;
    b.Assign(&src);
    ASSERT_EQ(b.Width(), (width + 3) & ~3);
    ASSERT_EQ(b.Height(), 8);
    for (int x = 0; x < b.Width(); ++x) {
      EXPECT_EQ(Px(b, x, 7), (std::vector<int>{200, 20, 10, 77})) << x;  // bottom-up: the top row last
      EXPECT_EQ(Px(b, x, 0), (std::vector<int>{30, 20, 10, 77})) << x;
    }
  }
}

TEST(GLBitmap32, OtherGraphicsAreDrawnAndStretchedToAMultipleOfFour) {
  TBitmap narrow(3, 1, pf24bit);
  narrow.Canvas().SetPixel(0, 0, clRed);
  narrow.Canvas().SetPixel(1, 0, clLime);
  narrow.Canvas().SetPixel(2, 0, clBlue);
  TGLBitmap32 b;
  b.Assign(&narrow);
  ASSERT_EQ(b.Width(), 4);
  EXPECT_EQ(Px(b, 0, 0), (std::vector<int>{255, 0, 0, 255}));
  EXPECT_EQ(Px(b, 3, 0), (std::vector<int>{0, 0, 255, 255}));

  QImage img(8, 8, QImage::Format_RGB888);
  img.fill(qRgb(0, 255, 0));
  std::vector<uint8_t> data;
  std::string error;
  ASSERT_TRUE(jpeg::EncodeJpeg(img, 95, data, error));
  TJPEGImage jpg;
  jpg.LoadFromBytes(data.data(), data.size());
  b.Assign(&jpg);
  EXPECT_EQ(b.Width(), 8);
  EXPECT_GT(Px(b, 4, 4)[1], 240);
  EXPECT_LT(Px(b, 4, 4)[0], 20);

  TGLBitmap32 copy;
  copy.Assign(&b);
  EXPECT_EQ(copy.Width(), 8);
  EXPECT_EQ(0, std::memcmp(copy.Data(), b.Data(), size_t(b.DataSize())));
  copy.Assign(nullptr);
  EXPECT_TRUE(copy.IsEmpty());
  TPicture picture;
  EXPECT_THROW(copy.Assign(&picture), EConvertError);
}

TEST(GLBitmap32, AlphaBrightnessAndGamma) {
  TGLBitmap32 b;
  b.SetWidth(4);
  b.SetHeight(1);
  Fill(b, 64, 64, 64, 9);
  b.AlphaFromGrey();
  EXPECT_EQ(Px(b, 0, 0)[3], 64);
  b.AlphaFromGreySqrt();
  EXPECT_EQ(Px(b, 0, 0)[3], 127);
  b.ApplyGamma(2);
  EXPECT_EQ(Px(b, 0, 0), (std::vector<int>{128, 128, 128, 127}));
  b.NegateAlpha();
  EXPECT_EQ(Px(b, 0, 0)[3], 128);

  Fill(b, 250, 128, 3, 1);
  b.ApplyGamma(0.05f);  // exponent 10
  EXPECT_EQ(Px(b, 0, 0), (std::vector<int>{209, 0, 0, 1}));
  Fill(b, 200, 3, 0, 1);
  b.ScaleBrightness(1.5f);  // 4.5 rounds to even
  EXPECT_EQ(Px(b, 0, 0), (std::vector<int>{255, 4, 0, 1}));
  EXPECT_THROW(b.ScaleBrightness(-1), EAssertionFailed);

  // Colour keys: the colour value's high byte is ignored; its low byte is red.
  Fill(b, 255, 0, 0, 7);
  b.RowAddress(0)[4] = 254;
  b.AlphaKeyFromColor(0xFF0000FF);
  EXPECT_EQ(Px(b, 0, 0)[3], 0);
  EXPECT_EQ(Px(b, 1, 0)[3], 255);
  b.FillAlpha(7);
  b.AlphaKeyFromPackedRGB(0xAA0000FF);
  EXPECT_EQ(Px(b, 0, 0)[3], 0);
  EXPECT_EQ(Px(b, 1, 0)[3], 255);
}

TEST(GLBitmap32, NormalMapFromGreen) {
  TGLBitmap32 b;
  b.SetWidth(12);
  b.SetHeight(3);
  Fill(b, 9, 77, 9, 9);
  b.NormalMapFromGreen(1, true, true);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 12; ++x) ASSERT_EQ(Px(b, x, y), (std::vector<int>{128, 128, 255, 255}));

  // A ridge at x = 0 on a 12-wide image: wrapping reaches it from x = 11,
  // clamping does not (width 12 is no power of two, so masking would not either).
  Fill(b, 0, 0, 0, 255);
  for (int y = 0; y < 3; ++y) b.RowAddress(y)[1] = 255;
  TGLBitmap32 clamped;
  clamped.Assign(&b);
  b.NormalMapFromGreen(1, true, false);
  clamped.NormalMapFromGreen(1, false, false);
  EXPECT_LT(Px(b, 11, 1)[0], 10);  // right neighbour is the ridge
  EXPECT_GT(Px(b, 1, 1)[0], 245);  // left neighbour is the ridge
  EXPECT_EQ(Px(b, 7, 1)[0], 128);
  EXPECT_EQ(Px(clamped, 11, 1)[0], 128);
}

TEST(GLBitmap32, UploadSizesToPowersOfTwoAndPicksTheMipmapPath) {
  TGLRecorder rec;
  GL.glGetIntegerv = FakeGetIntegerv;
  vMaxTextureSize = 16384;
  TGLBitmap32 b;
  b.UploadAsTexture(GL_TEXTURE_2D, miLinear, GL_RGBA8);
  EXPECT_TRUE(rec.Calls.empty());  // nothing to upload

  b.SetWidth(100);
  b.SetHeight(60);
  int w = 0, h = 0;
  b.UploadAsTextureSized(GL_TEXTURE_2D, miLinear, w, h, GL_RGBA8);
  EXPECT_EQ(w, 128);
  EXPECT_EQ(h, 64);
  EXPECT_EQ(rec.Count("gluScaleImage"), 0);  // enlarged by the bitmap itself (compared with GLU on a context)
  ASSERT_EQ(rec.Count("glTexImage2D"), 1);
  const TGLCall& tex = rec.Calls.back();
  EXPECT_EQ(tex.Name, "glTexImage2D");
  EXPECT_EQ(tex.Args[3], 128);
  EXPECT_EQ(tex.Args[4], 64);

  vMaxTextureSize = 64;
  b.UploadAsTextureSized(GL_TEXTURE_2D, miLinear, w, h, GL_RGBA8);
  EXPECT_EQ(w, 64);
  EXPECT_EQ(rec.Count("gluScaleImage"), 1);  // shrinking to the maximum size is left to GLU

  rec.Calls.clear();
  GLCaps.SGIS_generate_mipmap = true;
  b.UploadAsTexture(GL_TEXTURE_2D, miLinearMipmapLinear, GL_RGBA8);
  ASSERT_EQ(rec.Count("glTexImage2D"), 7);  // every level, 64 x 64 down to 1 x 1, made here
  EXPECT_EQ(rec.Calls.back().Args[1], 6);
  EXPECT_EQ(rec.Calls.back().Args[3], 1);
  EXPECT_EQ(rec.Count("gluBuild2DMipmaps"), 0);
  rec.Calls.clear();
  GLCaps.SGIS_generate_mipmap = false;
  b.UploadAsTexture(GL_TEXTURE_2D, miLinearMipmapLinear, GL_RGBA8);
  EXPECT_EQ(rec.Count("gluBuild2DMipmaps"), 1);
  EXPECT_EQ(rec.Count("glTexImage2D"), 0);

  // Float formats: rectangle textures only, no pixels sent, no rescale.
  rec.Calls.clear();
  try {
    b.UploadAsTexture(GL_TEXTURE_2D, miLinear, 0x8814);
    FAIL() << "float format accepted on a 2D target";
  } catch (const EAssertionFailed& e) {
    EXPECT_NE(e.Message().find("NV Float-type texture must use GL_TEXTURE_RECTANGLE_NV"), std::string::npos);
  }
  b.UploadAsTexture(0x84F5, miLinear, 0x8814);
  EXPECT_EQ(rec.Count("gluScaleImage"), 0);
  ASSERT_EQ(rec.Count("glTexImage2D"), 1);
  EXPECT_EQ(rec.Calls.back().Args[7], GL_FLOAT);
  EXPECT_EQ(rec.Calls.back().Args[8], 0);
}

TEST(GLBitmap32, PictureClassesByExtension) {
  EXPECT_EQ(PictureClassForExtension(".JPG"), TJPEGImage::StaticClass());
  EXPECT_EQ(PictureClassForExtension("jpeg"), TJPEGImage::StaticClass());
  EXPECT_EQ(PictureClassForExtension("Bmp"), TBitmap::StaticClass());
  EXPECT_EQ(PictureClassForExtension(".tga"), nullptr);
  EXPECT_EQ(PictureClassForExtension(""), nullptr);
  EXPECT_EQ(PictureClassForExtension("."), nullptr);
  TStringList lines;
  FillRegisteredPictureFormats(lines);
  ASSERT_GE(lines.Count(), 3);
  EXPECT_EQ(lines.Get(0), "bmp=Bitmaps");
  EXPECT_TRUE(IsFloatTextureFormat(0x881A));
  EXPECT_FALSE(IsFloatTextureFormat(GL_RGBA8));
}
