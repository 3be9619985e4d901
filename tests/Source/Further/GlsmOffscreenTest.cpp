// Index face groups drawn in a real off-screen context fill their square in the vertex colour.
#include <gtest/gtest.h>

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>

#include <array>

void DrawFaceGroupSquareForPixelTest(int size);

// A real off-screen context: index face groups drawn over client arrays fill the square in their
// vertex colour and leave the rest clear.
TEST(GL_Glsm, IndexFaceGroupsFillTheirSquare) {
  QSurfaceFormat format;
  format.setRenderableType(QSurfaceFormat::OpenGL);
  format.setProfile(QSurfaceFormat::CompatibilityProfile);
  format.setVersion(2, 1);
  QOffscreenSurface surface;
  surface.setFormat(format);
  surface.create();
  QOpenGLContext context;
  context.setFormat(format);
  ASSERT_TRUE(context.create());
  ASSERT_TRUE(context.makeCurrent(&surface));
  QOpenGLFunctions* f = context.functions();
  constexpr int size = 32;
  GLuint fbo = 0, colour = 0;
  f->glGenFramebuffers(1, &fbo);
  f->glBindFramebuffer(GL_FRAMEBUFFER, fbo);
  f->glGenRenderbuffers(1, &colour);
  f->glBindRenderbuffer(GL_RENDERBUFFER, colour);
  f->glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, size, size);
  f->glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);
  ASSERT_EQ(f->glCheckFramebufferStatus(GL_FRAMEBUFFER), GLenum(GL_FRAMEBUFFER_COMPLETE));

  DrawFaceGroupSquareForPixelTest(size);
  EXPECT_EQ(f->glGetError(), GLenum(GL_NO_ERROR));
  std::array<unsigned char, size * size * 4> pixels{};
  f->glReadPixels(0, 0, size, size, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
  auto at = [&](int x, int y) { return &pixels[size_t((y * size + x) * 4)]; };
  for (int y = 10; y < 22; y += 3)
    for (int x = 10; x < 22; x += 3) {
      EXPECT_GT(at(x, y)[1], 240) << x << "," << y;
      EXPECT_LT(at(x, y)[0], 15) << x << "," << y;
    }
  EXPECT_LT(at(1, 1)[1], 15);  // outside the square
  f->glBindFramebuffer(GL_FRAMEBUFFER, 0);
  f->glDeleteRenderbuffers(1, &colour);
  f->glDeleteFramebuffers(1, &fbo);
  context.doneCurrent();
}
