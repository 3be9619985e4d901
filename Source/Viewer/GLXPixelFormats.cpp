// The display's GLX configurations, for the pixel-format chooser. A unit of
// its own: the X11 headers define macros and types that clash with other code.
#include "Source/Viewer/QtGLSurface.h"

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

#include <GL/glx.h>

std::vector<TGLPixelFormatInfo> DisplayPixelFormats() {
  std::vector<TGLPixelFormatInfo> out;
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  Display* display = x11 ? x11->display() : nullptr;
  if (!display) return out;
  int count = 0;
  GLXFBConfig* configs = glXGetFBConfigs(display, DefaultScreen(display), &count);
  if (!configs) return out;
  for (int i = 0; i < count; ++i) {
    auto get = [&](int attribute) {
      int v = 0;
      glXGetFBConfigAttrib(display, configs[i], attribute, &v);
      return v;
    };
    if (!(get(GLX_RENDER_TYPE) & GLX_RGBA_BIT)) continue;
    TGLPixelFormatInfo f;
    f.Id = get(GLX_FBCONFIG_ID);
    f.ColorBits = get(GLX_BUFFER_SIZE);
    f.AlphaBits = get(GLX_ALPHA_SIZE);
    f.DepthBits = get(GLX_DEPTH_SIZE);
    f.StencilBits = get(GLX_STENCIL_SIZE);
    f.AccumBits =
        get(GLX_ACCUM_RED_SIZE) + get(GLX_ACCUM_GREEN_SIZE) + get(GLX_ACCUM_BLUE_SIZE) + get(GLX_ACCUM_ALPHA_SIZE);
    f.AuxBuffers = get(GLX_AUX_BUFFERS);
    f.Samples = get(GLX_SAMPLE_BUFFERS) ? get(GLX_SAMPLES) : 0;
    f.DoubleBuffer = get(GLX_DOUBLEBUFFER) != 0;
    f.Stereo = get(GLX_STEREO) != 0;
    f.Accelerated = get(GLX_CONFIG_CAVEAT) != GLX_SLOW_CONFIG;
    const int drawables = get(GLX_DRAWABLE_TYPE);
    f.Window = (drawables & GLX_WINDOW_BIT) != 0 && get(GLX_X_RENDERABLE) != 0;
    f.Pbuffer = (drawables & GLX_PBUFFER_BIT) != 0;
    out.push_back(f);
  }
  XFree(configs);
  return out;
}
