// The Qt rendering context: pixel-format choice and relaxation, on-screen and off-screen creation,
// list sharing, activation and buffer swaps.
#include "Source/Viewer/GLQtContext.h"

#include "Source/Base/OpenGL1x.h"
#include "Source/Scene/GLCrossPlatform.h"

#include <algorithm>

bool vUseWindowTrackingHook = true;

// ---------------------------------------------------------------- pixel-format choice

TGLPixelFormatRequest PixelFormatRequestFor(const TGLContext& c) {
  TGLPixelFormatRequest r;
  r.ColorBits = c.ColorBits();
  r.AlphaBits = c.AlphaBits();
  r.DepthBits = c.DepthBits();
  r.StencilBits = c.StencilBits();
  r.AccumBits = c.AccumBits();
  r.AuxBuffers = c.AuxBuffers();
  r.DoubleBuffer = c.Options().Contains(rcoDoubleBuffered);
  r.Stereo = c.Options().Contains(rcoStereo);
  switch (c.AntiAliasing()) {
    case aaDefault: break;
    case aaNone: r.SampleAttributes = true, r.Samples = 0; break;
    case aa2x:
    case aa2xHQ: r.SampleAttributes = true, r.Samples = 2; break;
    case aa4x:
    case aa4xHQ: r.SampleAttributes = true, r.Samples = 4; break;
  }
  return r;
}

std::vector<TGLPixelFormatRequest> RelaxationSequence(const TGLPixelFormatRequest& requested) {
  std::vector<TGLPixelFormatRequest> steps{requested};
  TGLPixelFormatRequest r = requested;
  if (r.SampleAttributes) {
    r.SampleAttributes = false, r.Samples = 0;
    steps.push_back(r);
  }
  if (requested.DepthBits >= 32) {
    r.DepthBits = 24;
    steps.push_back(r);
  }
  if (requested.DepthBits >= 24) {
    r.DepthBits = 16;
    steps.push_back(r);
  }
  if (requested.ColorBits >= 24) {
    r.ColorBits = 16;
    steps.push_back(r);
  }
  r.ColorBits = requested.ColorBits, r.DepthBits = requested.DepthBits, r.Acceleration = false;
  steps.push_back(r);
  return steps;
}

bool FormatMatches(const TGLPixelFormatInfo& f, const TGLPixelFormatRequest& r) {
  if (f.ColorBits < r.ColorBits || f.AlphaBits < r.AlphaBits || f.DepthBits < r.DepthBits ||
      f.StencilBits < r.StencilBits || f.AccumBits < r.AccumBits || f.AuxBuffers < r.AuxBuffers)
    return false;
  if (f.DoubleBuffer != r.DoubleBuffer || f.Stereo != r.Stereo) return false;
  if (r.SampleAttributes && (r.Samples == 0 ? f.Samples != 0 : f.Samples < r.Samples)) return false;
  if (r.Acceleration && !f.Accelerated) return false;
  return true;
}

int ChoosePixelFormat(const std::vector<TGLPixelFormatInfo>& formats, const TGLPixelFormatRequest& requested,
                      TGLPixelFormatRequest* used) {
  for (const TGLPixelFormatRequest& r : RelaxationSequence(requested)) {
    int first = -1, plain = -1;
    for (int i = 0; i < int(formats.size()); ++i) {
      if (!FormatMatches(formats[i], r)) continue;
      if (first < 0) first = i;
      if (plain < 0 && formats[i].Samples == 0) plain = i;
    }
    if (first < 0) continue;
    if (used) *used = r;
    const bool wantsSamples = r.SampleAttributes && r.Samples > 0;
    return !wantsSamples && plain >= 0 ? plain : first;
  }
  return -1;
}

// ---------------------------------------------------------------- TGLQtContext

namespace {

// Format and extension string seen at the last activation that read them.
std::string vLastExtensions;
int vLastFormatKey = 0;

int FormatKeyOf(const TQtGLFormat& f, int configId) {
  if (configId > 0) return configId;
  // Without a configuration id the sizes identify the format; never 0.
  return 0x40000000 | (f.ColorBits & 0x3F) << 20 | (f.AlphaBits & 0xF) << 16 | (f.DepthBits & 0x3F) << 10 |
         (f.StencilBits & 0xF) << 6 | (f.Samples & 0xF) << 2 | (f.DoubleBuffer ? 2 : 0) | (f.Stereo ? 1 : 0);
}

}  // namespace

TGLQtContext::TGLQtContext() = default;

TGLQtContext::~TGLQtContext() {
  DestroyQuietly();
  if (FWindow) UnwatchWindowSurface(FWindow, this);
}

bool TGLQtContext::IsCreated() const { return FSurface.IsCreated(); }
// Null once the window object itself is gone.
TGLOutputDevice TGLQtContext::OutputDevice() const { return FSurface.Window(); }

TQtGLFormat TGLQtContext::ChooseFormat(bool offscreen) {
  const TGLPixelFormatRequest requested = PixelFormatRequestFor(*this);
  std::vector<TGLPixelFormatInfo> formats = DisplayPixelFormats();
  formats.erase(std::remove_if(formats.begin(), formats.end(),
                               [offscreen](const TGLPixelFormatInfo& f) { return offscreen ? !f.Pbuffer : !f.Window; }),
                formats.end());
  int configId = 0;
  bool accelerated = true;
  FChosen = requested;
  if (!formats.empty()) {
    const int i = ChoosePixelFormat(formats, requested, &FChosen);
    if (i >= 0) {
      configId = formats[size_t(i)].Id;
      accelerated = formats[size_t(i)].Accelerated;
    } else if (offscreen) {
      throw EGLContext("Format not supported for pbuffer operation.");
    } else {
      // Nothing fits even relaxed: the platform takes its closest format.
      FChosen = RelaxationSequence(requested).back();
    }
  }
  TQtGLFormat f;
  f.ColorBits = FChosen.ColorBits;
  f.AlphaBits = FChosen.AlphaBits;
  f.DepthBits = FChosen.DepthBits;
  f.StencilBits = FChosen.StencilBits;
  f.Samples = FChosen.SampleAttributes ? FChosen.Samples : 0;
  f.DoubleBuffer = FChosen.DoubleBuffer;
  f.Stereo = FChosen.Stereo;
  FFormatKey = FormatKeyOf(f, configId);
  SetAcceleration(accelerated ? caHardware : caSoftware);
  return f;
}

void TGLQtContext::PlatformCreateContext(TGLOutputDevice device) {
  if (!device) throw EGLContext("No window to draw into");
  if (!EnsureOpenGLLibrariesLoaded()) RaiseOSErrorMessage();
  const TQtGLFormat format = ChooseFormat(false);
  switch (FSurface.CreateForWindow(device, format)) {
    case TQtGLResult::Ok: break;
    case TQtGLResult::NotOpenGLWindow: throw EGLContext("The window cannot draw with OpenGL");
    default: throw EGLContext("Unable to create an OpenGL context");
  }
  FWindow = device;
  FOffScreen = false;
  if (vUseWindowTrackingHook) WatchWindowSurface(device, this, [this] { DestroyPlatformContext(); });
}

void TGLQtContext::PlatformCreateOffscreenContext(TGLOutputDevice, int width, int height) {
  if (width <= 0 || height <= 0) throw EGLContext("Unabled to create pbuffer.");
  if (!EnsureOpenGLLibrariesLoaded()) RaiseOSErrorMessage();
  const TQtGLFormat format = ChooseFormat(true);
  switch (FSurface.CreateOffscreen(format, width, height)) {
    case TQtGLResult::Ok: break;
    case TQtGLResult::NoSurface: throw EGLContext("Unabled to create pbuffer's DC.");
    case TQtGLResult::FramebufferFailed: throw EGLContext("Unabled to create pbuffer.");
    default: throw EGLContext("Unabled to create pbuffer's RC.");
  }
  FWindow = nullptr;
  FOffScreen = true;
}

void TGLQtContext::PlatformShareLists(TGLContext* other) {
  auto* o = dynamic_cast<TGLQtContext*>(other);
  // Lists are shared from creation on, through the common share context.
  if (!o || !FSurface.SharesWith(o->FSurface)) throw EGLContext("Incompatible contexts");
}

void TGLQtContext::PlatformDestroyContext() {
  if (FWindow) UnwatchWindowSurface(FWindow, this);
  FSurface.Destroy();
  FWindow = nullptr;
  FOffScreen = false;
}

void TGLQtContext::PlatformActivate() {
  if (!FSurface.MakeCurrent())
    throw EGLContext(Format("Context activation failed: %X, %s", 0, "the surface cannot be made current"));
  if (FFormatKey != vLastFormatKey) {
    // Another driver may answer for a new format: read everything again when
    // its extensions differ (the binding itself compares the vendor).
    const GLubyte* ext = GL.glGetString(GL_EXTENSIONS);
    const std::string extensions = ext ? reinterpret_cast<const char*>(ext) : "";
    if (extensions != vLastExtensions) {
      ForgetLastSeenImplementation();
      vLastExtensions = extensions;
    }
    vLastFormatKey = FFormatKey;
  }
  const TQtGLSurface& surface = FSurface;
  ReadEntryPointsOnActivation(FFormatKey, [&surface](const char* name) { return surface.GetProcAddress(name); });
  const TGLAntiAliasing aa = AntiAliasing();
  if ((aa == aa2xHQ || aa == aa4xHQ) && GLCaps.ARB_multisample && GLCaps.NV_multisample_filter_hint)
    GL.glHint(0x8534 /* GL_MULTISAMPLE_FILTER_HINT_NV */, GL_NICEST);
}

void TGLQtContext::PlatformDeactivate() {
  if (!FSurface.DoneCurrent()) throw EGLContext("Context deactivation failed");
}

void TGLQtContext::SwapBuffers() {
  if (!FOffScreen && FWindow && Options().Contains(rcoDoubleBuffered)) FSurface.SwapBuffers();
}

void RegisterGLQtContext() { TGLContextManager::AddRenderingContextClass(TGLQtContext::StaticClass()); }
