// The off-screen target of the HUD pixel tests, kept apart from the engine's headers (whose
// context exception class shares a name with a Qt platform type).
#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>

#include <functional>
#include <string>
#include <vector>

bool DrawOffscreenForHUDTest(int size, const std::function<void()>& draw, std::vector<unsigned char>& pixels,
                             unsigned& glError, std::string& why) {
  // An off-screen surface needs the GUI application's platform; without one Qt crashes.
  if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    why = "no GUI application (run the GL_ suites on their own)";
    return false;
  }
  QSurfaceFormat format;
  format.setRenderableType(QSurfaceFormat::OpenGL);
  format.setProfile(QSurfaceFormat::CompatibilityProfile);
  format.setVersion(2, 1);
  QOffscreenSurface surface;
  surface.setFormat(format);
  surface.create();
  QOpenGLContext context;
  context.setFormat(format);
  if (!context.create() || !context.makeCurrent(&surface)) {
    why = "no off-screen OpenGL context";
    return false;
  }
  QOpenGLFunctions* f = context.functions();
  GLuint fbo = 0, colour = 0;
  f->glGenFramebuffers(1, &fbo);
  f->glBindFramebuffer(GL_FRAMEBUFFER, fbo);
  f->glGenRenderbuffers(1, &colour);
  f->glBindRenderbuffer(GL_RENDERBUFFER, colour);
  f->glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, size, size);
  f->glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);
  const bool complete = f->glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
  if (complete) {
    f->glViewport(0, 0, size, size);
    f->glClearColor(0, 0, 0, 1);
    f->glClear(GL_COLOR_BUFFER_BIT);
    draw();
    glError = f->glGetError();
    pixels.assign(size_t(size) * size_t(size) * 4, 0);
    f->glReadPixels(0, 0, size, size, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
  } else {
    why = "incomplete framebuffer";
  }
  f->glBindFramebuffer(GL_FRAMEBUFFER, 0);
  f->glDeleteRenderbuffers(1, &colour);
  f->glDeleteFramebuffers(1, &fbo);
  context.doneCurrent();
  return complete;
}
