// The window in which a scene is shown: a widget that owns a scene buffer, creates the buffer's
// rendering context on its own native window, renders when the window system asks for a
// picture, forwards size changes, repaints when the buffer reports a change (many changes
// between two paints cost one frame) and once after a frame that failed (not after a second
// failure in a row), applies the vertical-sync mode before each frame and raises mouse and key
// events. GUI thread only; needs a QApplication.
//
// The buffer counts device pixels (a window's logical size times its device pixel ratio): its
// viewport, picking and ray casts. The mouse events hand positions in the same device pixels
// (QMouseEvent::position, QWheelEvent::position; the global position stays Qt's), so a position
// goes to GetPickedObject or PixelRayToWorld as it is.
#pragma once

#include <QWidget>

#include <functional>
#include <memory>

#include "Source/Scene/GLSceneGraph.h"

class QMouseEvent;
class QWheelEvent;
class QKeyEvent;
class TGLViewerWindow;

enum TVSyncMode : uint8_t { vsmSync, vsmNoSync };

using TViewerMouseEvent = std::function<void(TObject* Sender, QMouseEvent* event)>;
using TViewerWheelEvent = std::function<void(TObject* Sender, QWheelEvent* event)>;
using TViewerKeyEvent = std::function<void(TObject* Sender, QKeyEvent* event)>;

class TGLSceneViewer : public QWidget, public TComponent {
  RTL_CLASS(TGLSceneViewer, TComponent)
 public:
  // The widget belongs to its Qt parent; no component owner frees it a second time.
  explicit TGLSceneViewer(TComponent* AOwner = nullptr, QWidget* parent = nullptr);
  ~TGLSceneViewer() override;

  void Loaded() override;
  void Notification(TComponent* AComponent, TOperation Operation) override;

  TGLSceneBuffer* Buffer() const noexcept { return buffer_.get(); }
  TGLCamera* Camera() const { return buffer_->Camera(); }
  void SetCamera(TGLCamera* v);
  TVSyncMode VSync() const noexcept { return vsync_; }
  void SetVSync(TVSyncMode v) noexcept { vsync_ = v; }
  float FieldOfView() const;
  void SetFieldOfView(float v);
  float FramesPerSecond() const { return buffer_->FramesPerSecond(); }
  // Pictures a second the viewer's screen shows; 60 where the driver does not say.
  double RefreshRate() const;
  void ResetFrameCounter() { buffer_->ResetFrameCounter(); }
  bool MouseInControl() const noexcept { return mouseInControl_; }
  // Whether the viewer has the input focus: its widget, or its native window,
  // where a click puts the focus.
  bool Focused() const;
  bool OpenGLAvailable() const noexcept { return openGLAvailable_; }
  // Frames drawn by this viewer (paints that reached the buffer).
  int PaintCount() const noexcept { return paintCount_; }

  // Unless the buffer is rendering, asks for a repaint.
  virtual void BufferChanged(TObject* Sender);
  // Draws a frame now (as a paint would).
  void RenderNow();

  TNotifyEvent OnMouseEnter, OnMouseLeave, OnClick, OnDblClick;
  TViewerMouseEvent OnMouseDown, OnMouseMove, OnMouseUp;
  TViewerWheelEvent OnMouseWheel;
  TViewerKeyEvent OnKeyDown, OnKeyUp;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  // Invalidating the widget (update()) redraws the scene in its window.
  void paintEvent(QPaintEvent* event) override;

 private:
  friend class TGLViewerWindow;
  void CreateContext();
  void WindowPaint();
  void WindowMoved();
  void WindowDestroyed();
  void WindowEnter(bool entered);
  void RecreateContext();
  void ApplyVSync();
  int MinDeviceSide() const;
  void ResizeBufferToWidget();
  void ResizeBufferToWindow();

  std::unique_ptr<TGLSceneBuffer> buffer_;
  TGLViewerWindow* window_ = nullptr;  // a child of the container widget
  QWidget* container_ = nullptr;       // owned by this widget (Qt parent)
  TVSyncMode vsync_ = vsmNoSync;
  bool mouseInControl_ = false;
  bool openGLAvailable_ = false;
  bool creatingContext_ = false;
  bool lastFrameFailed_ = false;
  int paintCount_ = 0;
};

void RegisterGLSceneViewerClasses();
