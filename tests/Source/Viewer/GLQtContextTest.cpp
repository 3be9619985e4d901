// Tests of the Qt rendering context: pixel-format relaxation, off-screen drawing and read-back,
// shared names, window tracking and texture uploads.
#include "Source/Viewer/GLQtContext.h"

#include "Source/Base/OpenGL1x.h"
#include "Source/Materials/GLGraphics.h"
#include "platform/Jpeg.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QTemporaryDir>
#include <QWindow>

#include <fstream>

// ---------------------------------------------------------------- choice of format (no display)

namespace {

TGLPixelFormatInfo Config(int id, int color, int depth, int samples = 0, bool accelerated = true) {
  TGLPixelFormatInfo f;
  f.Id = id, f.ColorBits = color, f.AlphaBits = color == 32 ? 8 : 0, f.DepthBits = depth, f.StencilBits = 8;
  f.Samples = samples, f.DoubleBuffer = true, f.Accelerated = accelerated;
  return f;
}

TGLPixelFormatRequest Request(int color, int depth, bool samples = false, int count = 0) {
  TGLPixelFormatRequest r;
  r.ColorBits = color, r.DepthBits = depth, r.DoubleBuffer = true;
  r.SampleAttributes = samples, r.Samples = count;
  return r;
}

}  // namespace

TEST(GLPixelFormat, RelaxationOrder) {
  const auto steps = RelaxationSequence(Request(32, 32, true, 4));
  ASSERT_EQ(steps.size(), 6u);
  EXPECT_EQ(steps[0], Request(32, 32, true, 4));
  EXPECT_EQ(steps[1], Request(32, 32));
  EXPECT_EQ(steps[2], Request(32, 24));
  EXPECT_EQ(steps[3], Request(32, 16));
  EXPECT_EQ(steps[4], Request(16, 16));
  TGLPixelFormatRequest last = Request(32, 32);
  last.Acceleration = false;
  EXPECT_EQ(steps[5], last);
  // Only the steps that apply: no samples asked, depth 16, colour 16.
  EXPECT_EQ(RelaxationSequence(Request(16, 16)).size(), 2u);
}

TEST(GLPixelFormat, ChoiceFollowsTheRelaxation) {
  const std::vector<TGLPixelFormatInfo> formats{Config(1, 32, 24, 4), Config(2, 32, 24, 0), Config(3, 24, 16, 2)};
  TGLPixelFormatRequest used;
  // 32-bit depth is not offered: relaxed to 24.
  EXPECT_EQ(ChoosePixelFormat(formats, Request(32, 32), &used), 1);
  EXPECT_EQ(used.DepthBits, 24);
  // No anti-aliasing asked: the format without samples, though a multisampled one comes first.
  EXPECT_EQ(ChoosePixelFormat(formats, Request(32, 24, true, 0), &used), 1);
  EXPECT_EQ(ChoosePixelFormat(formats, Request(32, 24), &used), 1);
  EXPECT_EQ(ChoosePixelFormat(formats, Request(32, 24, true, 4), &used), 0);
  EXPECT_EQ(used, Request(32, 24, true, 4));
  // Eight samples are not offered: the sample attributes go first.
  EXPECT_EQ(ChoosePixelFormat(formats, Request(32, 24, true, 8), &used), 1);
  EXPECT_FALSE(used.SampleAttributes);
  // Only unaccelerated formats: found at the last step, sizes as requested.
  const std::vector<TGLPixelFormatInfo> slow{Config(7, 32, 24, 0, false)};
  EXPECT_EQ(ChoosePixelFormat(slow, Request(32, 24), &used), 0);
  EXPECT_FALSE(used.Acceleration);
  EXPECT_EQ(used.DepthBits, 24);
  // Stereo is never offered here.
  TGLPixelFormatRequest stereo = Request(16, 16);
  stereo.Stereo = true;
  EXPECT_EQ(ChoosePixelFormat(formats, stereo), -1);
}

// ---------------------------------------------------------------- real contexts (Xvfb, Mesa)

namespace {

std::unique_ptr<TGLQtContext> Offscreen(int size = 64) {
  auto c = std::make_unique<TGLQtContext>();
  c->SetDepthBits(24);
  c->SetStencilBits(8);
  c->CreateOffScreen(nullptr, size, size);
  return c;
}

QRgb ReadPixel(int x, int y) {
  uint8_t p[4] = {0, 0, 0, 0};
  GL.glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, p);
  return qRgba(p[0], p[1], p[2], p[3]);
}

bool Near(QRgb a, QRgb b, int tol = 24) {
  return std::abs(qRed(a) - qRed(b)) <= tol && std::abs(qGreen(a) - qGreen(b)) <= tol &&
         std::abs(qBlue(a) - qBlue(b)) <= tol;
}

// 32x32: top-left red, top-right green, bottom-left blue, bottom-right white.
QImage Quadrants() {
  QImage img(32, 32, QImage::Format_RGB888);
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x)
      img.setPixel(
          x, y,
          y < 16 ? (x < 16 ? qRgb(255, 0, 0) : qRgb(0, 255, 0)) : (x < 16 ? qRgb(0, 0, 255) : qRgb(255, 255, 255)));
  return img;
}

// Draws the picture file as a texture over the whole viewport of a 64x64
// off-screen context and checks one interior pixel per quadrant.
void DrawsQuadrants(const std::string& file) {
  auto ctx = Offscreen();
  ctx->ActivateNested();
  TPicture picture;
  picture.LoadFromFile(file);
  TGLBitmap32 bitmap;
  bitmap.Assign(picture.Graphic());
  TGLTextureHandle texture;
  texture.AllocateName();
  GL.glBindTexture(GL_TEXTURE_2D, texture.Handle());
  bitmap.UploadAsTexture(GL_TEXTURE_2D, miNearest, GL_RGBA8);
  GL.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  GL.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  GL.glViewport(0, 0, 64, 64);
  GL.glClearColor(0, 0, 0, 1);
  GL.glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  GL.glEnable(GL_TEXTURE_2D);
  GL.glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
  GL.glBegin(GL_QUADS);
  GL.glTexCoord2f(0, 0), GL.glVertex2f(-1, -1);
  GL.glTexCoord2f(1, 0), GL.glVertex2f(1, -1);
  GL.glTexCoord2f(1, 1), GL.glVertex2f(1, 1);
  GL.glTexCoord2f(0, 1), GL.glVertex2f(-1, 1);
  GL.glEnd();
  GL.glFinish();
  EXPECT_EQ(GL.glGetError(), GLenum(GL_NO_ERROR));
  // Rows read bottom-up: the picture's top-left quadrant is at high y, low x.
  EXPECT_TRUE(Near(ReadPixel(16, 48), qRgb(255, 0, 0))) << std::hex << ReadPixel(16, 48);
  EXPECT_TRUE(Near(ReadPixel(48, 48), qRgb(0, 255, 0))) << std::hex << ReadPixel(48, 48);
  EXPECT_TRUE(Near(ReadPixel(16, 16), qRgb(0, 0, 255))) << std::hex << ReadPixel(16, 16);
  EXPECT_TRUE(Near(ReadPixel(48, 16), qRgb(255, 255, 255))) << std::hex << ReadPixel(48, 16);
  texture.FreeName();
  ctx->DeactivateNested();
}

// A context of another platform class.
class TForeignContext : public TGLContext {
  RTL_CLASS(TForeignContext, TGLContext)

 public:
  bool Created = false;
  bool IsCreated() const override { return Created; }
  void SwapBuffers() override {}
  TGLOutputDevice OutputDevice() const override { return nullptr; }

 protected:
  void PlatformActivate() override {}
  void PlatformDeactivate() override {}
  void PlatformCreateContext(TGLOutputDevice) override { Created = true; }
  void PlatformCreateOffscreenContext(TGLOutputDevice, int, int) override { Created = true; }
  void PlatformShareLists(TGLContext*) override {}
  void PlatformDestroyContext() override { Created = false; }
};

}  // namespace

TEST(GL_QtContext, OffscreenContextClearsAndReadsBack) {
  auto ctx = Offscreen();
  EXPECT_TRUE(ctx->IsOffScreen());
  EXPECT_NE(ctx->FramebufferName(), 0u);
  ctx->ActivateNested();
  EXPECT_TRUE(GLCaps.Version_1_1);  // entry points and flags read on activation
  EXPECT_NE(GL.glActiveTextureARB, nullptr);
  GL.glClearColor(1.0f, 0.5f, 0.0f, 1.0f);
  GL.glClear(GL_COLOR_BUFFER_BIT);
  EXPECT_TRUE(Near(ReadPixel(32, 32), qRgb(255, 128, 0), 2)) << std::hex << ReadPixel(32, 32);
  ctx->DeactivateNested();
  EXPECT_EQ(GetCurrentRenderingContext(), nullptr);
  ctx->DestroyPlatformContext();
  EXPECT_FALSE(ctx->IsCreated());
  EXPECT_THROW(ctx->ActivateNested(), EGLContext);
}

TEST(GL_QtContext, TexturedQuadFromBmpAndJpeg) {
  QTemporaryDir dir;
  const std::string bmp = dir.filePath("quad.bmp").toStdString();
  const std::string jpg = dir.filePath("quad.jpg").toStdString();
  TBitmap b;
  b.Assign(nullptr);
  b.SetPixelFormat(pf24bit);
  b.SetSize(32, 32);
  const QImage q = Quadrants();
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) {
      const QRgb c = q.pixel(x, y);
      b.Canvas().SetPixel(x, y, RGBColor(uint8_t(qRed(c)), uint8_t(qGreen(c)), uint8_t(qBlue(c))));
    }
  b.SaveToFile(bmp);
  std::vector<uint8_t> data;
  std::string error;
  ASSERT_TRUE(jpeg::EncodeJpeg(q, 95, data, error)) << error;
  std::ofstream(jpg, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), long(data.size()));
  {
    SCOPED_TRACE("BMP");
    DrawsQuadrants(bmp);
  }
  {
    SCOPED_TRACE("JPEG");
    DrawsQuadrants(jpg);
  }
}

TEST(GL_QtContext, SharingContextsSeeEachOthersNamesAndInheritThem) {
  auto a = Offscreen();
  auto b = Offscreen();
  TForeignContext foreign;
  foreign.CreateForDevice(nullptr);
  try {
    a->ShareDisplayLists(&foreign);
    ADD_FAILURE() << "shared lists with a foreign context";
  } catch (const EGLContext& e) {
    EXPECT_EQ(e.Message(), "Incompatible contexts");
  }
  a->ShareDisplayLists(b.get());
  TGLListHandle list;
  TGLTextureHandle texture;
  a->ActivateNested();
  list.AllocateName();
  GL.glNewList(list.Handle(), GL_COMPILE);
  GL.glEnd();
  GL.glEndList();
  texture.AllocateName();
  GL.glBindTexture(GL_TEXTURE_2D, texture.Handle());
  a->DeactivateNested();

  b->ActivateNested();
  EXPECT_TRUE(GL.glIsList(list.Handle()));
  EXPECT_TRUE(GL.glIsTexture(texture.Handle()));
  b->DeactivateNested();

  const uint32_t listName = list.Handle(), textureName = texture.Handle();
  a.reset();
  EXPECT_EQ(list.RenderingContext(), b.get());
  EXPECT_EQ(list.Handle(), listName);
  EXPECT_EQ(texture.Handle(), textureName);
  b->ActivateNested();
  EXPECT_TRUE(GL.glIsList(listName));
  EXPECT_TRUE(GL.glIsTexture(textureName));
  list.FreeName();
  texture.FreeName();
  EXPECT_FALSE(GL.glIsList(listName));
  EXPECT_FALSE(GL.glIsTexture(textureName));
  b->DeactivateNested();
}

TEST(GL_QtContext, DepthRequestIsRelaxedToWhatTheDisplayOffers) {
  // Mesa offers 32-bit depth only without stencil; with 8 stencil bits, 24.
  int deepest = 0;
  for (const TGLPixelFormatInfo& f : DisplayPixelFormats())
    if (f.Window && f.DoubleBuffer && f.StencilBits >= 8) deepest = std::max(deepest, f.DepthBits);
  ASSERT_GT(deepest, 0) << "no GLX configurations listed";
  if (deepest >= 32) GTEST_SKIP() << "the display offers 32-bit depth with stencil";

  QWindow window;
  TGLQtContext c;
  c.SetDepthBits(32);
  c.SetStencilBits(8);
  c.SetOptions({rcoDoubleBuffered});
  c.CreateForDevice(&window);
  EXPECT_TRUE(c.IsCreated());
  EXPECT_EQ(c.ChosenRequest().DepthBits, deepest);
  EXPECT_EQ(c.ActualDepthBits(), deepest);
  c.ActivateNested();
  GLint depth = 0;
  GL.glGetIntegerv(GL_DEPTH_BITS, &depth);
  EXPECT_EQ(depth, deepest);
  GLint stencil = 0;
  GL.glGetIntegerv(GL_STENCIL_BITS, &stencil);
  EXPECT_EQ(stencil, 8);
  c.DeactivateNested();
}

TEST(GL_QtContext, ClosingAWindowHandsItsNamesToTheSharingContext) {
  auto survivor = Offscreen();
  TGLListHandle list;
  uint32_t name = 0;
  {
    QWindow window;
    TGLQtContext onScreen;
    onScreen.SetDepthBits(24);
    onScreen.CreateForDevice(&window);
    onScreen.ShareDisplayLists(survivor.get());
    onScreen.ActivateNested();
    list.AllocateName();
    name = list.Handle();
    GL.glNewList(name, GL_COMPILE);
    GL.glEndList();
    onScreen.DeactivateNested();
    window.destroy();  // the native window goes first
    EXPECT_FALSE(onScreen.IsCreated());
    EXPECT_EQ(list.RenderingContext(), survivor.get());
  }
  survivor->ActivateNested();
  EXPECT_TRUE(GL.glIsList(name));
  survivor->DeactivateNested();
}

TEST(GL_QtContext, WithoutTrackingAGoneWindowFailsActivation) {
  vUseWindowTrackingHook = false;
  QWindow window;
  TGLQtContext c;
  c.CreateForDevice(&window);
  window.destroy();
  vUseWindowTrackingHook = true;
  EXPECT_TRUE(c.IsCreated());
  try {
    c.ActivateNested();
    ADD_FAILURE() << "activated on a window without a surface";
  } catch (const EGLContext& e) {
    EXPECT_EQ(e.Message().rfind("Context activation failed: 0, ", 0), 0u) << e.Message();
  }
  EXPECT_FALSE(c.IsActive());
  EXPECT_EQ(GetCurrentRenderingContext(), nullptr);
  // It can still be destroyed; its names are forgotten.
  c.DestroyPlatformContext();
  EXPECT_FALSE(c.IsCreated());
}

TEST(GL_QtContext, AWindowDeletedWithoutTrackingLeavesTheContextSafeToDestroy) {
  vUseWindowTrackingHook = false;
  auto window = std::make_unique<QWindow>();
  TGLQtContext c;
  c.CreateForDevice(window.get());
  vUseWindowTrackingHook = true;
  EXPECT_EQ(c.OutputDevice(), window.get());
  window.reset();
  EXPECT_EQ(c.OutputDevice(), nullptr);
  EXPECT_THROW(c.ActivateNested(), EGLContext);
  EXPECT_EQ(GetCurrentRenderingContext(), nullptr);
  c.DestroyPlatformContext();
  EXPECT_FALSE(c.IsCreated());
}

TEST(GL_QtContext, CreatingAContextLoadsTheOpenGLLibraries) {
  CloseOpenGLLibraries();
  TGLQtContext onScreen;
  QWindow window;
  onScreen.CreateForDevice(&window);
  EXPECT_TRUE(OpenGLLibraryIsMesa());  // loaded before any activation
  CloseOpenGLLibraries();
  auto offScreen = Offscreen();
  EXPECT_TRUE(OpenGLLibraryIsMesa());
}

TEST(GL_QtContext, PicturesOfAnySizeUploadScaledToPowersOfTwoWithMipmaps) {
  auto ctx = Offscreen();
  ctx->ActivateNested();
  // 100 x 60: left half red, right half blue.
  TBitmap picture(100, 60, pf24bit);
  picture.Canvas().Brush().SetColor(clRed);
  picture.Canvas().FillRect(Rect(0, 0, 50, 60));
  picture.Canvas().Brush().SetColor(clBlue);
  picture.Canvas().FillRect(Rect(50, 0, 100, 60));
  TGLBitmap32 bitmap;
  bitmap.Assign(&picture);
  TGLTextureHandle texture;
  texture.AllocateName();
  GL.glBindTexture(GL_TEXTURE_2D, texture.Handle());
  int w = 0, h = 0;
  bitmap.UploadAsTextureSized(GL_TEXTURE_2D, miLinearMipmapLinear, w, h, GL_RGBA8);
  EXPECT_EQ(w, 128);
  EXPECT_EQ(h, 64);
  GLint level0 = 0, level1 = 0;
  GL.glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &level0);
  GL.glGetTexLevelParameteriv(GL_TEXTURE_2D, 1, GL_TEXTURE_WIDTH, &level1);
  EXPECT_EQ(level0, 128);
  EXPECT_EQ(level1, 64);  // mipmaps were made
  std::vector<uint8_t> texels(size_t(128 * 64 * 4));
  GL.glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
  auto at = [&](int x, int y) {
    return qRgb(texels[(y * 128 + x) * 4], texels[(y * 128 + x) * 4 + 1], texels[(y * 128 + x) * 4 + 2]);
  };
  EXPECT_TRUE(Near(at(20, 32), qRgb(255, 0, 0), 8)) << std::hex << at(20, 32);
  EXPECT_TRUE(Near(at(108, 32), qRgb(0, 0, 255), 8)) << std::hex << at(108, 32);
  // Level 1 texels are the rounded means of the 2 x 2 level-0 texels under them.
  std::vector<uint8_t> half(size_t(64 * 32 * 4));
  GL.glGetTexImage(GL_TEXTURE_2D, 1, GL_RGBA, GL_UNSIGNED_BYTE, half.data());
  int mismatches = 0;
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 64; ++x)
      for (int c = 0; c < 4; ++c) {
        auto t = [&](int tx, int ty) { return int(texels[size_t((ty * 128 + tx) * 4 + c)]); };
        const int mean =
            (t(2 * x, 2 * y) + t(2 * x + 1, 2 * y) + t(2 * x, 2 * y + 1) + t(2 * x + 1, 2 * y + 1) + 2) / 4;
        mismatches += half[size_t((y * 64 + x) * 4 + c)] != mean;
      }
  EXPECT_EQ(mismatches, 0);
  // Any picture comes out exactly as GLU's rescale makes it, edges included: noise, and flat
  // blocks of full, empty and other values with sharp edges and lone odd pixels.
  for (const bool flat : {false, true})
    for (const auto& [pw, ph] : {std::pair{60, 37}, std::pair{4, 3}, std::pair{128, 5}, std::pair{36, 129}}) {
      TGLBitmap32 noise;
      noise.SetWidth(pw);
      noise.SetHeight(ph);
      uint32_t seed = 12345;
      for (int i = 0; i < noise.DataSize(); ++i) {
        const uint8_t r = uint8_t((seed = seed * 1103515245 + 12345) >> 16);
        const int x = (i / 4) % noise.Width(), y = (i / 4) / noise.Width();
        noise.Data()[i] = !flat || r % 11 == 0 ? r
                          : (x % 5 || y % 3)   ? noise.Data()[i - (x % 5 ? 4 : noise.Width() * 4)]
                          : r < 85             ? 0
                          : r < 170            ? 255
                                               : r;
      }
      noise.UploadAsTextureSized(GL_TEXTURE_2D, miLinear, w, h, GL_RGBA8);
      std::vector<uint8_t> ours(size_t(w) * size_t(h) * 4), glu(ours.size());
      GL.glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, ours.data());
      ASSERT_EQ(GL.gluScaleImage(GL_RGBA, pw, ph, GL_UNSIGNED_BYTE, noise.Data(), w, h, GL_UNSIGNED_BYTE, glu.data()),
                0);
      EXPECT_TRUE(ours == glu) << pw << " x " << ph;
    }
  EXPECT_EQ(GL.glGetError(), GLenum(GL_NO_ERROR));
  texture.FreeName();
  ctx->DeactivateNested();
}
