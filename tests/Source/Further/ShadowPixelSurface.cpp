// Qt side of the shadow pixel tests' context: see ShadowPixelSurface.h.
#include "tests/Source/Further/ShadowPixelSurface.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>

#include <memory>

namespace {

constexpr GLenum kDepth24Stencil8 = 0x88F0;
constexpr GLenum kDepthStencilAttachment = 0x821A;

// The context every other one shares with; lives while any of them does.
std::unique_ptr<QOpenGLContext> vShareRoot;
int vShareRootUsers = 0;

QSurfaceFormat CompatibilityFormat() {
  QSurfaceFormat format;
  format.setProfile(QSurfaceFormat::CompatibilityProfile);
  return format;
}

QOpenGLContext* AcquireShareRoot() {
  if (!vShareRoot) {
    auto root = std::make_unique<QOpenGLContext>();
    root->setFormat(CompatibilityFormat());
    if (!root->create()) return nullptr;
    vShareRoot = std::move(root);
  }
  ++vShareRootUsers;
  return vShareRoot.get();
}

void ReleaseShareRoot() {
  if (vShareRootUsers > 0 && --vShareRootUsers == 0) vShareRoot.reset();
}

}  // namespace

struct TShadowPixelSurface::TImpl {
  std::unique_ptr<QOffscreenSurface> surface;
  std::unique_ptr<QOpenGLContext> context;
  GLuint fbo = 0, colour = 0, depthStencil = 0;
  bool sharing = false;
};

TShadowPixelSurface::TShadowPixelSurface() : impl_(new TImpl) {}

TShadowPixelSurface::~TShadowPixelSurface() {
  Destroy();
  delete impl_;
}

void TShadowPixelSurface::Destroy() {
  if (impl_->context && impl_->context->makeCurrent(impl_->surface.get())) {
    QOpenGLFunctions* f = impl_->context->functions();
    f->glBindFramebuffer(GL_FRAMEBUFFER, 0);
    f->glDeleteFramebuffers(1, &impl_->fbo);
    f->glDeleteRenderbuffers(1, &impl_->colour);
    f->glDeleteRenderbuffers(1, &impl_->depthStencil);
    impl_->context->doneCurrent();
  }
  impl_->fbo = impl_->colour = impl_->depthStencil = 0;
  impl_->context.reset();
  impl_->surface.reset();
  if (impl_->sharing) ReleaseShareRoot();
  impl_->sharing = false;
}

bool TShadowPixelSurface::Create(int w, int h) {
  Destroy();
  QOpenGLContext* root = AcquireShareRoot();
  if (!root) return false;
  impl_->sharing = true;
  impl_->surface = std::make_unique<QOffscreenSurface>();
  impl_->surface->setFormat(CompatibilityFormat());
  impl_->surface->create();
  impl_->context = std::make_unique<QOpenGLContext>();
  impl_->context->setFormat(CompatibilityFormat());
  impl_->context->setShareContext(root);
  if (!impl_->surface->isValid() || !impl_->context->create() || !MakeCurrent()) return false;
  QOpenGLFunctions* f = impl_->context->functions();
  f->glGenFramebuffers(1, &impl_->fbo);
  f->glGenRenderbuffers(1, &impl_->colour);
  f->glBindRenderbuffer(GL_RENDERBUFFER, impl_->colour);
  f->glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, w, h);
  f->glGenRenderbuffers(1, &impl_->depthStencil);
  f->glBindRenderbuffer(GL_RENDERBUFFER, impl_->depthStencil);
  f->glRenderbufferStorage(GL_RENDERBUFFER, kDepth24Stencil8, w, h);
  f->glBindFramebuffer(GL_FRAMEBUFFER, impl_->fbo);
  f->glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, impl_->colour);
  f->glFramebufferRenderbuffer(GL_FRAMEBUFFER, kDepthStencilAttachment, GL_RENDERBUFFER, impl_->depthStencil);
  const bool complete = f->glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
  DoneCurrent();
  return complete;
}

bool TShadowPixelSurface::MakeCurrent() {
  if (!impl_->context || !impl_->context->makeCurrent(impl_->surface.get())) return false;
  if (impl_->fbo) impl_->context->functions()->glBindFramebuffer(GL_FRAMEBUFFER, impl_->fbo);
  return true;
}

void TShadowPixelSurface::DoneCurrent() {
  if (impl_->context) impl_->context->doneCurrent();
}

void* TShadowPixelSurface::ProcAddress(const char* name) const {
  return reinterpret_cast<void*>(impl_->context->getProcAddress(name));
}
