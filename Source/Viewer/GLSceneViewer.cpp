// The scene viewer widget: context creation on its native window, painting, resizing, the
// vertical-sync mode, and mouse and key events.
#include "Source/Viewer/GLSceneViewer.h"

#include <QEvent>
#include <QExposeEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QResizeEvent>
#include <QScreen>
#include <QSize>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/KeyState.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

namespace {

void Report(const char* what) { std::fprintf(stderr, "Scene viewer: %s\n", what); }

// Runs a handler body; nothing escapes into the event loop.
template <class F>
void Guarded(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    Report(e.what());
  } catch (...) {
    Report("unknown exception");
  }
}

// A size in logical pixels as device pixels at `ratio`.
QSize DeviceSize(const QSize& logical, qreal ratio) {
  return QSize(qRound(logical.width() * ratio), qRound(logical.height() * ratio));
}

// The same event with its position in the window's device pixels, as the
// buffer's viewport, picking and ray casts count them.
QMouseEvent InDevicePixels(const QMouseEvent& e, qreal ratio) {
  return QMouseEvent(e.type(), e.position() * ratio, e.scenePosition() * ratio, e.globalPosition(), e.button(),
                     e.buttons(), e.modifiers(), e.pointingDevice());
}

QWheelEvent InDevicePixels(const QWheelEvent& e, qreal ratio) {
  return QWheelEvent(e.position() * ratio, e.globalPosition(), e.pixelDelta(), e.angleDelta(), e.buttons(),
                     e.modifiers(), e.phase(), e.inverted(), e.source(), e.pointingDevice());
}

}  // namespace

// The native window the context draws into; it hands its events to the viewer.
class TGLViewerWindow : public QWindow {
 public:
  explicit TGLViewerWindow(TGLSceneViewer* viewer) : viewer_(viewer) {
    setSurfaceType(QSurface::OpenGLSurface);
    // Another screen may have another pixel ratio, and no resize tells it.
    QObject::connect(this, &QWindow::screenChanged, this, [this] {
      if (viewer_) Guarded([this] { viewer_->WindowMoved(); });
    });
  }

  void Detach() { viewer_ = nullptr; }
  // Handling an event: Qt still reads the window when the event returns.
  bool Busy() const noexcept { return busy_ > 0; }

 protected:
  bool event(QEvent* e) override {
    ++busy_;
    TScopeExit done([this] { --busy_; });
    if (!viewer_) return QWindow::event(e);
    switch (e->type()) {
      case QEvent::UpdateRequest: Guarded([this] { viewer_->WindowPaint(); }); return true;
      case QEvent::Enter: Guarded([this] { viewer_->WindowEnter(true); }); break;
      case QEvent::Leave: Guarded([this] { viewer_->WindowEnter(false); }); break;
      case QEvent::PlatformSurface:
        if (static_cast<QPlatformSurfaceEvent*>(e)->surfaceEventType() ==
            QPlatformSurfaceEvent::SurfaceAboutToBeDestroyed)
          Guarded([this] { viewer_->WindowDestroyed(); });
        break;
      default: break;
    }
    return QWindow::event(e);
  }
  void exposeEvent(QExposeEvent*) override {
    if (!viewer_ || !isExposed()) return;
    // The first context is made at the next frame, outside the expose event:
    // making it may have to make the native window anew for its pixel format.
    if (viewer_->buffer_->RCInstantiated())
      Guarded([this] { viewer_->WindowPaint(); });
    else
      requestUpdate();
  }
  void resizeEvent(QResizeEvent*) override {
    if (viewer_) Guarded([this] { viewer_->ResizeBufferToWindow(); });
  }
  void moveEvent(QMoveEvent*) override {
    if (viewer_) Guarded([this] { viewer_->WindowMoved(); });
  }
  void mousePressEvent(QMouseEvent* e) override {
    if (!viewer_) return;
    SetKeyState(VirtualKeyFromQtMouseButton(int(e->button())), true);
    Guarded([this, e] {
      QMouseEvent d = InDevicePixels(*e, devicePixelRatio());
      if (viewer_->OnMouseDown) viewer_->OnMouseDown(viewer_, &d);
    });
  }
  void mouseReleaseEvent(QMouseEvent* e) override {
    if (!viewer_) return;
    SetKeyState(VirtualKeyFromQtMouseButton(int(e->button())), false);
    Guarded([this, e] {
      QMouseEvent d = InDevicePixels(*e, devicePixelRatio());
      if (viewer_->OnMouseUp) viewer_->OnMouseUp(viewer_, &d);
      if (viewer_->OnClick) viewer_->OnClick(viewer_);
    });
  }
  void mouseDoubleClickEvent(QMouseEvent*) override {
    if (viewer_)
      Guarded([this] {
        if (viewer_->OnDblClick) viewer_->OnDblClick(viewer_);
      });
  }
  void mouseMoveEvent(QMouseEvent* e) override {
    if (viewer_)
      Guarded([this, e] {
        QMouseEvent d = InDevicePixels(*e, devicePixelRatio());
        if (viewer_->OnMouseMove) viewer_->OnMouseMove(viewer_, &d);
      });
  }
  void wheelEvent(QWheelEvent* e) override {
    if (viewer_)
      Guarded([this, e] {
        QWheelEvent d = InDevicePixels(*e, devicePixelRatio());
        if (viewer_->OnMouseWheel) viewer_->OnMouseWheel(viewer_, &d);
      });
  }
  void keyPressEvent(QKeyEvent* e) override {
    if (!viewer_) return;
    SetKeyStateFromQt(e->key(), e->nativeVirtualKey(), true);
    Guarded([this, e] {
      if (viewer_->OnKeyDown) viewer_->OnKeyDown(viewer_, e);
    });
  }
  void keyReleaseEvent(QKeyEvent* e) override {
    if (!viewer_) return;
    SetKeyStateFromQt(e->key(), e->nativeVirtualKey(), false);
    Guarded([this, e] {
      if (viewer_->OnKeyUp) viewer_->OnKeyUp(viewer_, e);
    });
  }
  // A key released while another window has the focus sends its release
  // there, so the table this window feeds would keep it down for good: the
  // table is cleared. A key still held reads as down all the same, from the
  // X server's state that GetAsyncKeyState ORs in.
  void focusOutEvent(QFocusEvent*) override { ClearKeyStates(); }

 private:
  TGLSceneViewer* viewer_;
  int busy_ = 0;
};

TGLSceneViewer::TGLSceneViewer(TComponent* AOwner, QWidget* parent) : QWidget(parent), TComponent(AOwner) {
  openGLAvailable_ = EnsureOpenGLLibrariesLoaded();
  resize(100, 100);
  buffer_ = std::make_unique<TGLSceneBuffer>(this);
  buffer_->OnWrapUpPreRender = [this](TObject*) { ApplyVSync(); };
  buffer_->OnChange = [this](TObject* s) { BufferChanged(s); };
  buffer_->OnStructuralChange = [this](TObject*) { RecreateContext(); };
  window_ = new TGLViewerWindow(this);
  container_ = QWidget::createWindowContainer(window_, this);
  container_->setFocusPolicy(Qt::StrongFocus);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(container_);
  ResizeBufferToWidget();
}

TGLSceneViewer::~TGLSceneViewer() {
  if (window_) {
    window_->Detach();
    // Freed from a handler of its window's event (its frame's AfterRender, a draw handler): the
    // window, which Qt reads when the event returns, goes at the next turn of the event loop.
    if (window_->Busy()) {
      container_->setParent(nullptr);
      container_->deleteLater();
    }
  }
  if (buffer_->Camera()) buffer_->Camera()->RemoveFreeNotification(this);
  try {
    buffer_->DestroyRC();
  } catch (...) {
  }
  TGLSceneBuffer::Free(std::move(buffer_));
}

void TGLSceneViewer::Loaded() {
  TComponent::Loaded();
  if (window_) window_->create();
}

void TGLSceneViewer::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && buffer_ && AComponent == buffer_->Camera()) buffer_->SetCamera(nullptr);
  TComponent::Notification(AComponent, Operation);
}

void TGLSceneViewer::SetCamera(TGLCamera* v) {
  if (buffer_->Camera() == v) return;
  if (buffer_->Camera()) buffer_->Camera()->RemoveFreeNotification(this);
  buffer_->SetCamera(v);
  if (buffer_->Camera()) buffer_->Camera()->FreeNotification(this);
}

float TGLSceneViewer::FieldOfView() const {
  if (!Camera()) return 0;
  return Camera()->GetFieldOfView(float(MinDeviceSide()));
}

void TGLSceneViewer::SetFieldOfView(float v) {
  if (Camera()) Camera()->SetFieldOfView(v, float(MinDeviceSide()));
}

int TGLSceneViewer::MinDeviceSide() const {
  const QSize s = DeviceSize(size(), devicePixelRatioF());
  return std::min(s.width(), s.height());
}

void TGLSceneViewer::ResizeBufferToWidget() {
  const QSize s = DeviceSize(size(), devicePixelRatioF());
  buffer_->Resize(s.width(), s.height());
}

void TGLSceneViewer::ResizeBufferToWindow() {
  if (!window_) return;
  const QSize s = DeviceSize(window_->size(), window_->devicePixelRatio());
  buffer_->Resize(s.width(), s.height());
}

bool TGLSceneViewer::Focused() const {
  return hasFocus() || container_->hasFocus() || (window_ && QGuiApplication::focusWindow() == window_);
}

double TGLSceneViewer::RefreshRate() const {
  const QScreen* s = window_ && window_->screen() ? window_->screen() : screen();
  const double rate = s ? s->refreshRate() : 0;
  return std::isfinite(rate) && rate >= 1 ? rate : 60;
}

void TGLSceneViewer::BufferChanged(TObject*) {
  if (buffer_->Rendering() || !window_) return;
  window_->requestUpdate();
}

void TGLSceneViewer::RenderNow() { WindowPaint(); }

void TGLSceneViewer::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  ResizeBufferToWidget();
}

void TGLSceneViewer::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (window_) window_->requestUpdate();
}

void TGLSceneViewer::paintEvent(QPaintEvent*) {
  // The scene is drawn by the window, at its next frame; the widget itself has nothing to paint.
  if (window_) window_->requestUpdate();
}

void TGLSceneViewer::CreateContext() {
  if (!openGLAvailable_ || buffer_->RCInstantiated() || !window_) return;
  ResizeBufferToWindow();
  // A native window made anew for the context's pixel format is not this
  // viewer's window going away.
  creatingContext_ = true;
  const QPointer<TGLSceneViewer> alive(this);  // the context-preparation hook may free it
  TScopeExit created([this, &alive] {
    if (alive) creatingContext_ = false;
  });
  buffer_->CreateRC(window_, false);
}

void TGLSceneViewer::WindowPaint() {
  if (!openGLAvailable_ || !window_ || window_->width() <= 0 || window_->height() <= 0) return;
  // The frame's events and draw handlers may free the viewer (a one-shot view freed once drawn).
  const QPointer<TGLSceneViewer> alive(this);
  if (buffer_->ChangesPending()) {
    // Left by a frame that failed: new buffer options make the native window anew, and the
    // new one is drawn when it is exposed.
    buffer_->ApplyDeferredChanges();
    if (!alive || !window_->isExposed()) return;
  }
  if (!buffer_->RCInstantiated()) {
    if (!window_->isExposed()) return;
    CreateContext();
    if (!alive || !window_->isExposed()) return;  // a new native window: drawn when it is exposed
  }
  ++paintCount_;
  try {
    buffer_->Render();
  } catch (...) {
    // The next frame comes by itself, so the view recovers without waiting for input (and what
    // the failed frame asked for, a new context say, is carried out). After a second failure
    // in a row the view waits for the next change or input: a scene that fails every frame
    // does not keep the viewer drawing failed frames.
    if (alive) {
      if (!lastFrameFailed_) window_->requestUpdate();
      lastFrameFailed_ = true;
    }
    throw;
  }
  if (alive) lastFrameFailed_ = false;
}

void TGLSceneViewer::WindowMoved() {
  // A moved window gets its viewport refreshed.
  if (buffer_->RCInstantiated()) ResizeBufferToWindow();
}

void TGLSceneViewer::WindowDestroyed() {
  if (!creatingContext_) buffer_->DestroyRC();
}

void TGLSceneViewer::WindowEnter(bool entered) {
  mouseInControl_ = entered;
  if (entered && OnMouseEnter) OnMouseEnter(this);
  if (!entered && OnMouseLeave) OnMouseLeave(this);
}

void TGLSceneViewer::RecreateContext() {
  // New buffer options: the pixel format is fixed when a native window is made,
  // so the window is made anew, and the context on it.
  buffer_->DestroyRC();
  if (!window_ || !window_->handle()) return;  // made with the new format when first shown
  const bool shown = window_->isVisible();
  window_->destroy();
  const QPointer<TGLSceneViewer> alive(this);  // the context-preparation hook may free it
  TScopeExit showAgain([this, shown, &alive] {
    if (!shown || !alive) return;
    Guarded([this] {
      window_->setVisible(true);
      window_->requestUpdate();
    });
  });
  CreateContext();  // makes the native window
}

void TGLSceneViewer::ApplyVSync() {
  if (!GLCaps.WGL_EXT_swap_control) return;
  RTL_ASSERT(vsync_ == vsmSync || vsync_ == vsmNoSync);
  const int wanted = vsync_ == vsmSync ? 1 : 0;
  if (GetSwapInterval() != wanted) SetSwapInterval(wanted);
}

void RegisterGLSceneViewerClasses() {
  TPublished<TGLSceneViewer>()
      .Component("Camera", &TGLSceneViewer::Camera, &TGLSceneViewer::SetCamera)
      .Enum("VSync", &TGLSceneViewer::VSync, &TGLSceneViewer::SetVSync, {"vsmSync", "vsmNoSync"}, vsmNoSync)
      .Object("Buffer", &TGLSceneViewer::Buffer)
      .Float("FieldOfView", &TGLSceneViewer::FieldOfView, &TGLSceneViewer::SetFieldOfView, std::nullopt);
  RegisterClass(TGLSceneViewer::StaticClass());
}
