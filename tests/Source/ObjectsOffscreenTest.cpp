#include <gtest/gtest.h>

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>

#include <array>

void DrawTurnedCubeForPixelTest(int size);

// A real off-screen context: the cube covers the middle of the picture.
TEST(GL_Objects, CubeFillsTheMiddleOfTheView) {
  QSurfaceFormat format;
  format.setRenderableType(QSurfaceFormat::OpenGL);
  format.setProfile(QSurfaceFormat::CompatibilityProfile);
  format.setVersion(2, 1);
  format.setDepthBufferSize(24);
  QOffscreenSurface surface;
  surface.setFormat(format);
  surface.create();
  QOpenGLContext context;
  context.setFormat(format);
  ASSERT_TRUE(context.create());
  ASSERT_TRUE(context.makeCurrent(&surface));
  QOpenGLFunctions* f = context.functions();
  constexpr int size = 64;
  GLuint fbo = 0, colour = 0, depth = 0;
  f->glGenFramebuffers(1, &fbo);
  f->glBindFramebuffer(GL_FRAMEBUFFER, fbo);
  f->glGenRenderbuffers(1, &colour);
  f->glBindRenderbuffer(GL_RENDERBUFFER, colour);
  f->glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, size, size);
  f->glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);
  f->glGenRenderbuffers(1, &depth);
  f->glBindRenderbuffer(GL_RENDERBUFFER, depth);
  f->glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, size, size);
  f->glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, depth);
  ASSERT_EQ(f->glCheckFramebufferStatus(GL_FRAMEBUFFER), GLenum(GL_FRAMEBUFFER_COMPLETE));

  DrawTurnedCubeForPixelTest(size);
  EXPECT_EQ(f->glGetError(), GLenum(GL_NO_ERROR));
  std::array<unsigned char, size * size * 4> pixels{};
  f->glReadPixels(0, 0, size, size, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
  auto at = [&](int x, int y) { return &pixels[size_t((y * size + x) * 4)]; };
  for (int y = 28; y < 36; ++y)
    for (int x = 28; x < 36; ++x) {
      EXPECT_GT(at(x, y)[0], 240) << x << "," << y;
      EXPECT_LT(at(x, y)[1], 15) << x << "," << y;
    }
  EXPECT_LT(at(1, 1)[0], 15);  // the corner stays clear
  f->glBindFramebuffer(GL_FRAMEBUFFER, 0);
  f->glDeleteRenderbuffers(1, &colour);
  f->glDeleteRenderbuffers(1, &depth);
  f->glDeleteFramebuffers(1, &fbo);
  context.doneCurrent();
}
