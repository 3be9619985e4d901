// Qt side of the real-context material test: an off-screen Mesa context drawing into a
// framebuffer object. Kept apart from the engine headers, whose EGLContext exception class
// clashes with the EGL type that Qt's context header brings in.
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>

#include <memory>

#include "tests/Source/Materials/MaterialGLSurfaceTest.h"

struct TQtFboSurface::TImpl {
  std::unique_ptr<QOffscreenSurface> surface;
  std::unique_ptr<QOpenGLContext> context;
  GLuint fbo = 0, colour = 0;
};

TQtFboSurface::TQtFboSurface() : impl_(new TImpl) {}

TQtFboSurface::~TQtFboSurface() {
  if (impl_->context && impl_->context->makeCurrent(impl_->surface.get())) {
    impl_->context->functions()->glDeleteFramebuffers(1, &impl_->fbo);
    impl_->context->functions()->glDeleteRenderbuffers(1, &impl_->colour);
    impl_->context->doneCurrent();
  }
  delete impl_;
}

bool TQtFboSurface::Create(int w, int h) {
  QSurfaceFormat format;
  format.setProfile(QSurfaceFormat::CompatibilityProfile);
  impl_->surface = std::make_unique<QOffscreenSurface>();
  impl_->surface->setFormat(format);
  impl_->surface->create();
  impl_->context = std::make_unique<QOpenGLContext>();
  impl_->context->setFormat(format);
  if (!impl_->surface->isValid() || !impl_->context->create() || !MakeCurrent()) return false;
  QOpenGLFunctions* f = impl_->context->functions();
  f->glGenFramebuffers(1, &impl_->fbo);
  f->glGenRenderbuffers(1, &impl_->colour);
  f->glBindRenderbuffer(GL_RENDERBUFFER, impl_->colour);
  f->glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, w, h);
  f->glBindFramebuffer(GL_FRAMEBUFFER, impl_->fbo);
  f->glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, impl_->colour);
  const bool complete = f->glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
  DoneCurrent();
  return complete;
}

bool TQtFboSurface::MakeCurrent() {
  if (!impl_->context->makeCurrent(impl_->surface.get())) return false;
  if (impl_->fbo) impl_->context->functions()->glBindFramebuffer(GL_FRAMEBUFFER, impl_->fbo);
  return true;
}

void TQtFboSurface::DoneCurrent() { impl_->context->doneCurrent(); }

void* TQtFboSurface::ProcAddress(const char* name) const {
  return reinterpret_cast<void*>(impl_->context->getProcAddress(name));
}
