// The rendering context over Qt's OpenGL contexts (compatibility profile).
//
// On-screen contexts draw into a QWindow; off-screen contexts draw into a
// framebuffer object on a QOffscreenSurface. Every context is created sharing
// with one process-wide share context, so display lists and textures are
// shared between all contexts that live at the same time.
//
// The pixel format is chosen by relaxing the request step by step (samples,
// depth 32 -> 24 -> 16, colour 24 -> 16, then acceleration) until the display
// offers a matching configuration. The relaxation is a pure function over a
// list of configurations, so it can be checked without a display.
//
// Window tracking: a context that draws into a window is destroyed (its GL
// names handed to a sharing context or freed) when the window's native surface
// is about to go, while the surface still exists.
//
// GUI thread only; needs a QGuiApplication.
#pragma once

#include "Source/Scene/GLContext.h"
#include "Source/Viewer/QtGLSurface.h"

#include <functional>
#include <memory>
#include <vector>

// A pixel-format request as the chooser sees it.
struct TGLPixelFormatRequest {
  int ColorBits = 32, AlphaBits = 0, DepthBits = 0, StencilBits = 0, AccumBits = 0, AuxBuffers = 0;
  bool SampleAttributes = false;  // anti-aliasing other than the default was asked for
  int Samples = 0;                // with SampleAttributes: 0 = none wanted, else at least this many
  bool DoubleBuffer = false, Stereo = false;
  bool Acceleration = true;  // full acceleration required
  bool operator==(const TGLPixelFormatRequest&) const = default;
};

// The request built from a context's settings.
TGLPixelFormatRequest PixelFormatRequestFor(const TGLContext& context);
// The request, then each relaxation step that applies, in the order tried.
std::vector<TGLPixelFormatRequest> RelaxationSequence(const TGLPixelFormatRequest& requested);
// Sizes at least as large, double buffering and stereo as asked, samples as
// asked, acceleration when required.
bool FormatMatches(const TGLPixelFormatInfo& format, const TGLPixelFormatRequest& request);
// Walks the relaxation sequence over the formats; returns the index of the
// chosen format (-1 when nothing matches at any step) and the request that
// found it. Without sample attributes (or with 0 samples) a format without
// samples is preferred.
int ChoosePixelFormat(const std::vector<TGLPixelFormatInfo>& formats, const TGLPixelFormatRequest& requested,
                      TGLPixelFormatRequest* used = nullptr);

class TGLQtContext : public TGLContext {
  RTL_CLASS(TGLQtContext, TGLContext)

 public:
  TGLQtContext();
  ~TGLQtContext() override;
  bool IsCreated() const override;
  void SwapBuffers() override;
  TGLOutputDevice OutputDevice() const override;

  // The request that found the format (after relaxation) and the format the
  // platform then gave.
  const TGLPixelFormatRequest& ChosenRequest() const { return FChosen; }
  int ActualDepthBits() const { return FSurface.DepthBits(); }
  int ActualStencilBits() const { return FSurface.StencilBits(); }
  int ActualSamples() const { return FSurface.Samples(); }
  bool IsOffScreen() const { return FOffScreen; }
  // The framebuffer object of an off-screen context (0 on screen).
  unsigned FramebufferName() const { return FSurface.FramebufferName(); }

 protected:
  void PlatformActivate() override;
  void PlatformDeactivate() override;
  void PlatformCreateContext(TGLOutputDevice device) override;
  void PlatformCreateOffscreenContext(TGLOutputDevice device, int width, int height) override;
  void PlatformShareLists(TGLContext* other) override;
  void PlatformDestroyContext() override;

 private:
  TQtGLFormat ChooseFormat(bool offscreen);
  TQtGLSurface FSurface;
  TGLOutputDevice FWindow = nullptr;
  bool FOffScreen = false;
  TGLPixelFormatRequest FChosen;
  int FFormatKey = 0;
};

// Whether contexts watch their windows (on by default).
extern bool vUseWindowTrackingHook;

// Makes TGLQtContext the class the context manager creates.
void RegisterGLQtContext();
