// Qt's OpenGL objects behind a plain interface: one QOpenGLContext with the
// surface it draws into (a window, or an off-screen surface with a framebuffer
// object), plus the display's list of pixel configurations and the watch on a
// window's native surface.
//
// Kept apart from the engine headers: Qt's OpenGL headers declare names that
// the engine's own classes use, and X11's headers clash with the run-time's.
//
// GUI thread only. Nothing here throws; failures are reported by result.
#pragma once

#include <functional>
#include <memory>
#include <vector>

class QWindow;

// One configuration the display offers.
struct TGLPixelFormatInfo {
  int Id = 0;
  int ColorBits = 0, AlphaBits = 0, DepthBits = 0, StencilBits = 0, AccumBits = 0, AuxBuffers = 0;
  int Samples = 0;
  bool DoubleBuffer = false, Stereo = false, Accelerated = true;
  bool Window = true, Pbuffer = false;
};

// The configurations of the display's default screen (empty when they cannot
// be listed, e.g. on a platform without GLX).
std::vector<TGLPixelFormatInfo> DisplayPixelFormats();

struct TQtGLFormat {
  int ColorBits = 32, AlphaBits = 0, DepthBits = 0, StencilBits = 0, Samples = 0;
  bool DoubleBuffer = false, Stereo = false;
};

enum class TQtGLResult {
  Ok,
  NoSurface,
  NotOpenGLWindow,
  NoShareRoot,
  ContextFailed,
  MakeCurrentFailed,
  FramebufferFailed
};

class TQtGLSurface {
 public:
  TQtGLSurface();
  ~TQtGLSurface();
  TQtGLSurface(const TQtGLSurface&) = delete;
  TQtGLSurface& operator=(const TQtGLSurface&) = delete;

  // Both share with the process-wide share context. The previously current
  // Qt context is current again afterwards.
  TQtGLResult CreateForWindow(QWindow* window, const TQtGLFormat& format);
  TQtGLResult CreateOffscreen(const TQtGLFormat& format, int width, int height);
  bool IsCreated() const;
  // Frees the context and its surface objects.
  void Destroy();

  bool MakeCurrent();  // binds the framebuffer object of an off-screen surface
  // False when the context is still current afterwards.
  bool DoneCurrent();
  void SwapBuffers();
  bool SharesWith(const TQtGLSurface& other) const;
  void* GetProcAddress(const char* name) const;

  int DepthBits() const;
  int StencilBits() const;
  int Samples() const;
  unsigned FramebufferName() const;
  QWindow* Window() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

// Calls `about` when the window's native surface is about to be destroyed (it
// still exists then). Several watches per window run last-registered first.
void WatchWindowSurface(QWindow* window, const void* key, std::function<void()> about);
void UnwatchWindowSurface(QWindow* window, const void* key);
