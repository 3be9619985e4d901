// Qt OpenGL contexts and their surfaces (a window, or off-screen with a framebuffer object), the
// shared root context and the watch on a window's native surface.
#include "Source/Viewer/QtGLSurface.h"

#include <QEvent>
#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>
#include <QPlatformSurfaceEvent>
#include <QPointer>
#include <QSurfaceFormat>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <exception>

namespace {

// The context every other one shares with; lives while any context does.
std::unique_ptr<QOpenGLContext> vShareRoot;
int vShareRootUsers = 0;

QSurfaceFormat ToQt(const TQtGLFormat& f) {
  QSurfaceFormat q;
  q.setRenderableType(QSurfaceFormat::OpenGL);
  q.setProfile(QSurfaceFormat::CompatibilityProfile);
  const int channel = f.ColorBits >= 24 ? 8 : f.ColorBits >= 15 ? 5 : -1;
  q.setRedBufferSize(channel);
  q.setGreenBufferSize(channel == 5 ? 6 : channel);
  q.setBlueBufferSize(channel);
  q.setAlphaBufferSize(f.AlphaBits > 0 ? f.AlphaBits : -1);
  q.setDepthBufferSize(f.DepthBits);
  q.setStencilBufferSize(f.StencilBits);
  q.setSamples(f.Samples > 0 ? f.Samples : -1);
  q.setSwapBehavior(f.DoubleBuffer ? QSurfaceFormat::DoubleBuffer : QSurfaceFormat::SingleBuffer);
  q.setStereo(f.Stereo);
  return q;
}

// Whether a window made with `actual` has the buffers `wanted` asks for.
bool Provides(const QSurfaceFormat& actual, const QSurfaceFormat& wanted) {
  const auto atLeast = [](int have, int want) { return want <= 0 || have >= want; };
  return atLeast(actual.redBufferSize(), wanted.redBufferSize()) &&
         atLeast(actual.alphaBufferSize(), wanted.alphaBufferSize()) &&
         atLeast(actual.depthBufferSize(), wanted.depthBufferSize()) &&
         atLeast(actual.stencilBufferSize(), wanted.stencilBufferSize()) &&
         atLeast(actual.samples(), wanted.samples()) && actual.stereo() == wanted.stereo() &&
         (actual.swapBehavior() == QSurfaceFormat::SingleBuffer) ==
             (wanted.swapBehavior() == QSurfaceFormat::SingleBuffer);
}

QOpenGLContext* AcquireShareRoot() {
  if (!vShareRoot) {
    auto root = std::make_unique<QOpenGLContext>();
    QSurfaceFormat f;
    f.setProfile(QSurfaceFormat::CompatibilityProfile);
    root->setFormat(f);
    if (!root->create()) return nullptr;
    vShareRoot = std::move(root);
  }
  ++vShareRootUsers;
  return vShareRoot.get();
}

void ReleaseShareRoot() {
  if (vShareRootUsers > 0 && --vShareRootUsers == 0) vShareRoot.reset();
}

// Restores whatever Qt context (and surface) was current when it was made. A type of its own
// rather than a TScopeExit: it captures what was current when it is made, in two places.
class TQtCurrentKeeper {
 public:
  TQtCurrentKeeper() : FContext(QOpenGLContext::currentContext()), FSurface(FContext ? FContext->surface() : nullptr) {}
  ~TQtCurrentKeeper() {
    if (FContext)
      FContext->makeCurrent(FSurface);
    else if (QOpenGLContext* c = QOpenGLContext::currentContext())
      c->doneCurrent();
  }
  TQtCurrentKeeper(const TQtCurrentKeeper&) = delete;
  TQtCurrentKeeper& operator=(const TQtCurrentKeeper&) = delete;

 private:
  QOpenGLContext* FContext;
  QSurface* FSurface;
};

}  // namespace

struct TQtGLSurface::Impl {
  std::unique_ptr<QOpenGLContext> context;
  std::unique_ptr<QOffscreenSurface> offscreen;
  std::unique_ptr<QOpenGLFramebufferObject> fbo;
  // Cleared by Qt when the window object is deleted behind our back.
  QPointer<QWindow> window;
  bool sharing = false;

  QSurface* Surface() const {
    return offscreen ? static_cast<QSurface*>(offscreen.get()) : static_cast<QSurface*>(window.data());
  }

  TQtGLResult MakeContext(const QSurfaceFormat& format) {
    QOpenGLContext* root = AcquireShareRoot();
    if (!root) return TQtGLResult::NoShareRoot;
    sharing = true;
    auto c = std::make_unique<QOpenGLContext>();
    c->setFormat(format);
    c->setShareContext(root);
    if (!c->create()) return TQtGLResult::ContextFailed;
    context = std::move(c);
    return TQtGLResult::Ok;
  }
};

TQtGLSurface::TQtGLSurface() : FImpl(std::make_unique<Impl>()) {}
TQtGLSurface::~TQtGLSurface() { Destroy(); }

bool TQtGLSurface::IsCreated() const { return FImpl->context != nullptr; }
QWindow* TQtGLSurface::Window() const { return FImpl->window; }

TQtGLResult TQtGLSurface::CreateForWindow(QWindow* window, const TQtGLFormat& format) {
  if (!window) return TQtGLResult::NoSurface;
  Destroy();
  const QSurfaceFormat wanted = ToQt(format);
  bool show = false;
  if (window->handle() && !Provides(window->format(), wanted)) {
    // The pixel format is fixed when the native window is made: a window made
    // for another format (Qt's default, say) is made anew.
    show = window->isVisible();
    window->destroy();
  }
  if (!window->handle()) {
    window->setSurfaceType(QSurface::OpenGLSurface);
    window->setFormat(wanted);
    window->create();
    if (show) window->setVisible(true);
  }
  if (!window->handle() || !window->supportsOpenGL()) return TQtGLResult::NotOpenGLWindow;
  const TQtGLResult r = FImpl->MakeContext(window->requestedFormat());
  if (r != TQtGLResult::Ok) {
    Destroy();
    return r;
  }
  FImpl->window = window;
  return TQtGLResult::Ok;
}

TQtGLResult TQtGLSurface::CreateOffscreen(const TQtGLFormat& format, int width, int height) {
  Destroy();
  const QSurfaceFormat q = ToQt(format);
  auto surface = std::make_unique<QOffscreenSurface>();
  surface->setFormat(q);
  surface->create();
  if (!surface->isValid()) return TQtGLResult::NoSurface;
  TQtGLResult r = FImpl->MakeContext(q);
  if (r != TQtGLResult::Ok) {
    Destroy();
    return r;
  }
  {
    TQtCurrentKeeper keep;
    if (!FImpl->context->makeCurrent(surface.get())) {
      r = TQtGLResult::MakeCurrentFailed;
    } else {
      // The framebuffer object stands in for the pbuffer's own buffers.
      QOpenGLFramebufferObjectFormat f;
      f.setAttachment(format.DepthBits > 0 || format.StencilBits > 0 ? QOpenGLFramebufferObject::CombinedDepthStencil
                                                                     : QOpenGLFramebufferObject::NoAttachment);
      f.setInternalTextureFormat(0x8058 /* GL_RGBA8 */);
      auto fbo = std::make_unique<QOpenGLFramebufferObject>(width, height, f);
      if (fbo->isValid())
        FImpl->fbo = std::move(fbo);
      else
        r = TQtGLResult::FramebufferFailed;
      QOpenGLFunctions* gl = FImpl->context->functions();
      for (int i = 0; i < 8 && gl->glGetError() != 0; ++i) {
      }
      FImpl->context->doneCurrent();
    }
  }
  FImpl->offscreen = std::move(surface);
  if (r != TQtGLResult::Ok) Destroy();
  return r;
}

void TQtGLSurface::Destroy() {
  Impl& d = *FImpl;
  if (d.fbo) {
    // The framebuffer object belongs to the context: delete it while current.
    TQtCurrentKeeper keep;
    if (d.context && d.context->makeCurrent(d.Surface())) {
      d.fbo.reset();
      d.context->doneCurrent();
    } else {
      (void)d.fbo.release();  // its context is gone; its name went with it
    }
  }
  if (d.context && QOpenGLContext::currentContext() == d.context.get()) d.context->doneCurrent();
  d.context.reset();
  d.offscreen.reset();
  d.window = nullptr;
  if (d.sharing) ReleaseShareRoot(), d.sharing = false;
}

bool TQtGLSurface::MakeCurrent() {
  Impl& d = *FImpl;
  if (!d.context || !d.Surface() || !d.context->makeCurrent(d.Surface())) return false;
  if (d.fbo) d.fbo->bind();
  return true;
}

bool TQtGLSurface::DoneCurrent() {
  Impl& d = *FImpl;
  if (!d.context) return true;
  if (d.fbo && QOpenGLContext::currentContext() == d.context.get()) d.fbo->release();
  d.context->doneCurrent();
  return QOpenGLContext::currentContext() != d.context.get();
}

void TQtGLSurface::SwapBuffers() {
  Impl& d = *FImpl;
  if (d.context && d.window && !d.offscreen) d.context->swapBuffers(d.window);
}

bool TQtGLSurface::SharesWith(const TQtGLSurface& other) const {
  const QOpenGLContext* a = FImpl->context.get();
  const QOpenGLContext* b = other.FImpl->context.get();
  return a && b &&
         (a == b || QOpenGLContext::areSharing(const_cast<QOpenGLContext*>(a), const_cast<QOpenGLContext*>(b)));
}

void* TQtGLSurface::GetProcAddress(const char* name) const {
  return FImpl->context ? reinterpret_cast<void*>(FImpl->context->getProcAddress(name)) : nullptr;
}

int TQtGLSurface::DepthBits() const {
  if (FImpl->fbo)  // a combined depth-stencil attachment, or none
    return FImpl->fbo->attachment() == QOpenGLFramebufferObject::CombinedDepthStencil ? 24 : 0;
  return FImpl->context ? std::max(0, FImpl->context->format().depthBufferSize()) : 0;
}

int TQtGLSurface::StencilBits() const {
  if (FImpl->fbo) return FImpl->fbo->attachment() == QOpenGLFramebufferObject::CombinedDepthStencil ? 8 : 0;
  return FImpl->context ? std::max(0, FImpl->context->format().stencilBufferSize()) : 0;
}

int TQtGLSurface::Samples() const { return FImpl->context ? std::max(0, FImpl->context->format().samples()) : 0; }

unsigned TQtGLSurface::FramebufferName() const { return FImpl->fbo ? FImpl->fbo->handle() : 0; }

// ---------------------------------------------------------------- window watch

namespace {

class TSurfaceWatcher : public QObject {
 public:
  struct Entry {
    QWindow* window;
    const void* key;
    std::function<void()> about;
  };

  void Watch(QWindow* w, const void* key, std::function<void()> about) {
    const bool known = Knows(w);
    FEntries.push_back({w, key, std::move(about)});
    if (!known) w->installEventFilter(this);
  }

  void Unwatch(QWindow* w, const void* key) {
    const auto end =
        std::remove_if(FEntries.begin(), FEntries.end(), [&](const Entry& e) { return e.window == w && e.key == key; });
    // A window that was never watched may be gone already: leave it alone.
    if (end == FEntries.end()) return;
    FEntries.erase(end, FEntries.end());
    if (!Knows(w)) w->removeEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::PlatformSurface || static_cast<QPlatformSurfaceEvent*>(event)->surfaceEventType() !=
                                                        QPlatformSurfaceEvent::SurfaceAboutToBeDestroyed)
      return false;
    // Child windows announce their own surfaces before their parent's goes.
    // Callbacks unwatch themselves: iterate over a copy, last entry first.
    const std::vector<Entry> entries = FEntries;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
      if (it->window != watched) continue;
      try {
        it->about();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "Releasing the OpenGL context of a closing window: %s\n", e.what());
      } catch (...) {
        std::fprintf(stderr, "Releasing the OpenGL context of a closing window failed\n");
      }
    }
    return false;
  }

 private:
  bool Knows(QWindow* w) const {
    return std::any_of(FEntries.begin(), FEntries.end(), [&](const Entry& e) { return e.window == w; });
  }
  std::vector<Entry> FEntries;
};

std::unique_ptr<TSurfaceWatcher> vWatcher;

}  // namespace

void WatchWindowSurface(QWindow* window, const void* key, std::function<void()> about) {
  if (!vWatcher) vWatcher = std::make_unique<TSurfaceWatcher>();
  vWatcher->Watch(window, key, std::move(about));
}

void UnwatchWindowSurface(QWindow* window, const void* key) {
  if (!vWatcher) return;
  // The watcher stays: this may run from inside its own event filter.
  vWatcher->Unwatch(window, key);
}
