// The entry-point table bound from a real context (needs a display).
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QSurfaceFormat>

#include "Source/Base/OpenGL1x.h"

namespace {

class GL_OpenGL1x : public testing::Test {
 protected:
  QOffscreenSurface Surface;
  QOpenGLContext Context;
  TGLEntryPoints SavedGL = GL;
  TGLCapabilities SavedCaps = GLCaps;

  void SetUp() override {
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
      GTEST_SKIP() << "needs a display: run the GL_ suites on their own";
    QSurfaceFormat format;
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setVersion(2, 1);
    Surface.setFormat(format);
    Surface.create();
    Context.setFormat(format);
    ASSERT_TRUE(Context.create());
    ASSERT_TRUE(Context.makeCurrent(&Surface));
    ForgetLastSeenImplementation();
    ReadEntryPointsOnActivation(
        1, [this](const char* name) { return reinterpret_cast<void*>(Context.getProcAddress(name)); });
  }
  void TearDown() override {
    if (Context.isValid()) Context.doneCurrent();
    GL = SavedGL;
    GLCaps = SavedCaps;
    ForgetLastSeenImplementation();
  }
};

TEST_F(GL_OpenGL1x, DetectsMesaThroughTheTable) {
  EXPECT_TRUE(GLCaps.Version_1_1);
  EXPECT_TRUE(GLCaps.Version_1_5);
  EXPECT_TRUE(GLCaps.GLUVersion_1_3);
  EXPECT_TRUE(GLCaps.ARB_multitexture);
  EXPECT_TRUE(GLCaps.SGIS_generate_mipmap);
  EXPECT_TRUE(GLCaps.EXT_texture_filter_anisotropic);
  // First word of Mesa's string, and a name whose first occurrence is longer.
  EXPECT_FALSE(GLCaps.ARB_multisample);
  EXPECT_FALSE(GLCaps.EXT_polygon_offset);
  EXPECT_FALSE(GLCaps.WGL_EXT_swap_control);
  if (GL.glXGetCurrentDisplay && GL.glXGetCurrentDisplay()) {  // a GLX context (Qt on X11)
    EXPECT_TRUE(GLCaps.WGL_ARB_extensions_string);
    EXPECT_TRUE(GLCaps.WGL_ARB_pixel_format);
    EXPECT_NE(GL.glXChooseFBConfig, nullptr);
  }

  EXPECT_NE(GL.glActiveTextureARB, nullptr);
  EXPECT_NE(GL.glMultiTexCoord2fARB, nullptr);
  EXPECT_NE(GL.glDrawRangeElements, nullptr);
  EXPECT_NE(GL.glPointParameterfARB, nullptr);
  // Stubs the driver hands out for names it does not implement are dropped.
  EXPECT_EQ(GL.glSamplePassARB, nullptr);
  EXPECT_EQ(GL.glFlushVertexArrayRangeNV, nullptr);
  EXPECT_EQ(GL.glXAllocateMemoryNV, nullptr);
  EXPECT_EQ(GL.glAddSwapHintRectWIN, nullptr);
  EXPECT_EQ(GL.glXSwapIntervalMESA, nullptr);
  // Mesa offers texture objects but no colour sub-tables, and fragment programs
  // share the program-object calls.
  EXPECT_EQ(GL.glColorSubTableEXT, nullptr);
  EXPECT_NE(GL.glProgramStringARB, nullptr);
}

TEST_F(GL_OpenGL1x, CallsThroughTheTableReachTheContext) {
  GLint units = 0;
  GL.glGetIntegerv(GL_MAX_TEXTURE_UNITS_ARB, &units);
  EXPECT_GE(units, 2);

  GL.glActiveTextureARB(GL_TEXTURE1_ARB);
  GLint active = 0;
  GL.glGetIntegerv(GL_ACTIVE_TEXTURE_ARB, &active);
  EXPECT_EQ(GLenum(active), GLenum(GL_TEXTURE1_ARB));
  GL.glActiveTextureARB(GL_TEXTURE0_ARB);

  GL.glEnable(GL_BLEND);
  EXPECT_EQ(GL.glIsEnabled(GL_BLEND), GL_TRUE);
  GL.glDisable(GL_BLEND);
  EXPECT_EQ(GL.glGetError(), GLenum(GL_NO_ERROR));
}

}  // namespace
