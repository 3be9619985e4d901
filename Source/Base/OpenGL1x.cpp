// The GL entry-point table: loading the GL and GLU libraries, fetching extension entry points,
// detecting the version and extensions, and the swap interval.
#include "Source/Base/OpenGL1x.h"

#include "rtl/SysUtils.h"

#include <dlfcn.h>

#include <algorithm>
#include <charconv>
#include <cstring>

TGLEntryPoints GL;
TGLCapabilities GLCaps;

namespace {

#define OPENGL1X_COUNT_ONE(...) +1
const int kGLListCount = 0 OPENGL1X_GL_EXTENSION_ENTRIES(OPENGL1X_COUNT_ONE, OPENGL1X_COUNT_ONE, OPENGL1X_COUNT_ONE);
const int kGLXListCount = 0 OPENGL1X_GLX_ENTRIES(OPENGL1X_COUNT_ONE);
#undef OPENGL1X_COUNT_ONE
static_assert(kGLListCount == 363, "the GL list has 363 entry points");

// Library handles: kept open for the whole run, released at program end.
void* GLLibrary = nullptr;
void* GLULibrary = nullptr;

const TScopeExit LibraryCloser([] { CloseOpenGLLibraries(); });

// What the last activation read (see ReadEntryPointsOnActivation): the format
// key, and the GL vendor with the extension string.
int LastFormatKey = 0;
std::string LastVendor;

std::string SafeString(const GLubyte* text) {
  return text ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

// A correct whole-word test, used to decide presence of entry points (unlike
// HasGLExtension, whose first-occurrence rule the flags keep on purpose).
bool HasExtensionWord(const std::string& extensions, const char* name) {
  const size_t len = std::strlen(name);
  for (size_t pos = extensions.find(name); pos != std::string::npos; pos = extensions.find(name, pos + 1)) {
    const bool startOk = pos == 0 || extensions[pos - 1] == ' ';
    const bool endOk = pos + len == extensions.size() || extensions[pos + len] == ' ';
    if (startOk && endOk) return true;
  }
  return false;
}

template <typename T>
void Fetch(T& entry, const TGLProcLoader& loader, const char* name) {
  entry = reinterpret_cast<T>(loader ? loader(name) : nullptr);
}

template <typename T>
void FetchFromGLU(T& entry, const char* name) {
  entry = reinterpret_cast<T>(GLULibrary ? dlsym(GLULibrary, name) : nullptr);
}

// Nulls every GL-list entry point whose version or extension is absent.
void DropAbsentGLEntryPoints(const std::string& extensions) {
  const TGLCapabilities& c = GLCaps;
  auto ext = [&extensions](const char* name) { return HasExtensionWord(extensions, name); };
  (void)c;
  (void)ext;
#define OPENGL1X_DROP(type, name, requirement) \
  if (!(requirement)) GL.name = nullptr;
#define OPENGL1X_SKIP(name)
  OPENGL1X_GL_EXTENSION_ENTRIES(OPENGL1X_DROP, OPENGL1X_SKIP, OPENGL1X_DROP)
#undef OPENGL1X_SKIP
}

// What detection knows about the window system.
struct TGLXInfo {
  bool Read = false;       // the GLX extension string could be queried
  bool Version13 = false;  // GLX 1.3 or later (FBConfigs and pbuffers)
  std::string Extensions;
  bool Has(const char* name) const { return HasWGLExtension(name, Extensions); }
  bool Offers(const char* name) const { return HasExtensionWord(Extensions, name); }
};

void DropAbsentGLXEntryPoints(const TGLXInfo& glx) {
  const TGLCapabilities& c = GLCaps;
  (void)c;
  (void)glx;
  OPENGL1X_GLX_ENTRIES(OPENGL1X_DROP)
#undef OPENGL1X_DROP
}

// The interval last set through GLX_SGI_swap_control, which has no query.
int SGISwapInterval = -1;

TGLXInfo QueryGLX() {
  TGLXInfo info;
  _XDisplay* dpy = GL.glXGetCurrentDisplay ? GL.glXGetCurrentDisplay() : nullptr;
  if (!dpy) return info;
  int major = 0, minor = 0;
  if (GL.glXQueryVersion && GL.glXQueryVersion(dpy, &major, &minor))
    info.Version13 = major > 1 || (major == 1 && minor >= 3);
  int screen = 0;
  constexpr int kGLXScreen = 0x800C;
  if (info.Version13 && GL.glXQueryContext && GL.glXGetCurrentContext) {
    if (__GLXcontextRec* ctx = GL.glXGetCurrentContext()) {
      int value = 0;
      if (GL.glXQueryContext(dpy, ctx, kGLXScreen, &value) == 0) screen = value;
    }
  }
  if (GL.glXQueryExtensionsString) {
    const char* text = GL.glXQueryExtensionsString(dpy, screen);
    info.Read = true;
    info.Extensions = text ? text : "";
  }
  return info;
}

}  // namespace

const int GLExtensionEntryPointCount = kGLListCount;
const int WGLExtensionEntryPointCount = kGLXListCount;

bool EnsureOpenGLLibrariesLoaded() {
  if (GLLibrary && GLULibrary) return true;
  return LoadOpenGLLibraries("libGL.so.1", "libGLU.so.1");
}

bool LoadOpenGLLibraries(const std::string& glName, const std::string& gluName) {
  CloseOpenGLLibraries();
  GLLibrary = dlopen(glName.c_str(), RTLD_NOW | RTLD_LOCAL);
  GLULibrary = dlopen(gluName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (GLLibrary && GLULibrary) return true;
  CloseOpenGLLibraries();
  return false;
}

void CloseOpenGLLibraries() {
  if (GLLibrary) dlclose(GLLibrary);
  if (GLULibrary) dlclose(GLULibrary);
  GLLibrary = nullptr;
  GLULibrary = nullptr;
}

bool OpenGLLibraryIsMesa() { return GLLibrary && dlsym(GLLibrary, "glResizeBuffersMESA") != nullptr; }

void LoadGLExtensionEntryPoints(const TGLProcLoader& loader) {
  EnsureOpenGLLibrariesLoaded();  // the GLU part of the list is read from the GLU library
#define OPENGL1X_FETCH(type, name, requirement) Fetch(GL.name, loader, #name);
#define OPENGL1X_REFETCH(name) Fetch(GL.name, loader, #name);
#define OPENGL1X_FETCH_GLU(type, name, requirement) FetchFromGLU(GL.name, #name);
  OPENGL1X_GL_EXTENSION_ENTRIES(OPENGL1X_FETCH, OPENGL1X_REFETCH, OPENGL1X_FETCH_GLU)
#undef OPENGL1X_FETCH_GLU
#undef OPENGL1X_REFETCH
  LoadWGLExtensionEntryPoints(loader);
}

void LoadWGLExtensionEntryPoints(const TGLProcLoader& loader) {
  OPENGL1X_GLX_ENTRIES(OPENGL1X_FETCH)
#undef OPENGL1X_FETCH
}

void DetectGLVersionAndExtensions() {
  int major = 0, minor = 0;
  SplitVersionString(SafeString(GL.glGetString(GL_VERSION)), major, minor);
  TGLCapabilities& c = GLCaps;
  c.Version_1_0 = true;
  c.Version_1_1 = minor >= 1 || major > 1;
  c.Version_1_2 = minor >= 2 || major > 1;
  c.Version_1_3 = minor >= 3 || major > 1;
  c.Version_1_4 = minor >= 4 || major > 1;
  c.Version_1_5 = minor >= 5 || major > 1;

  SplitVersionString(SafeString(GL.gluGetString(GLU_VERSION)), major, minor);
  c.GLUVersion_1_1 = true;
  c.GLUVersion_1_2 = minor > 1 || major > 1;
  c.GLUVersion_1_3 = minor > 2 || major > 1;

  const std::string extensions = SafeString(GL.glGetString(GL_EXTENSIONS));
#define OPENGL1X_TEST(flag, literal) c.flag = HasGLExtension(literal, extensions);
  OPENGL1X_GL_EXTENSION_FLAGS(OPENGL1X_TEST)
  const std::string gluExtensions = SafeString(GL.gluGetString(GLU_EXTENSIONS));
#define OPENGL1X_TEST_GLU(flag, literal) c.flag = HasGLExtension(literal, gluExtensions);
  OPENGL1X_GLU_EXTENSION_FLAGS(OPENGL1X_TEST_GLU)
#undef OPENGL1X_TEST_GLU
#undef OPENGL1X_TEST

  DropAbsentGLEntryPoints(extensions);
  DetectWGLExtensions();
}

void DetectWGLExtensions() {
  const TGLXInfo glx = QueryGLX();
  TGLCapabilities& c = GLCaps;
#define OPENGL1X_SET(flag, literal, rule) c.flag = (rule);
  OPENGL1X_WGL_EXTENSION_FLAGS(OPENGL1X_SET, OPENGL1X_SET)
#undef OPENGL1X_SET
  DropAbsentGLXEntryPoints(glx);
}

int GetSwapInterval() {
  if (GL.glXSwapIntervalEXT && GL.glXQueryDrawable && GL.glXGetCurrentDisplay && GL.glXGetCurrentDrawable) {
    _XDisplay* dpy = GL.glXGetCurrentDisplay();
    const unsigned long drawable = GL.glXGetCurrentDrawable();
    if (dpy && drawable) {
      constexpr int kGLXSwapIntervalEXT = 0x20F1;
      unsigned int value = 0;
      GL.glXQueryDrawable(dpy, drawable, kGLXSwapIntervalEXT, &value);
      return int(value);
    }
  }
  if (GL.glXGetSwapIntervalMESA) return GL.glXGetSwapIntervalMESA();
  if (GL.glXSwapIntervalSGI) return SGISwapInterval;
  return -1;
}

bool SetSwapInterval(int interval) {
  if (interval < 0) return false;
  if (GL.glXSwapIntervalEXT && GL.glXGetCurrentDisplay && GL.glXGetCurrentDrawable) {
    _XDisplay* dpy = GL.glXGetCurrentDisplay();
    const unsigned long drawable = GL.glXGetCurrentDrawable();
    if (dpy && drawable) {
      GL.glXSwapIntervalEXT(dpy, drawable, interval);
      return true;
    }
  }
  if (GL.glXSwapIntervalMESA) return GL.glXSwapIntervalMESA(unsigned(interval)) == 0;
  if (GL.glXSwapIntervalSGI && interval > 0 && GL.glXSwapIntervalSGI(interval) == 0) {
    SGISwapInterval = interval;
    return true;
  }
  return false;
}

void ReadEntryPointsOnActivation(int formatKey, const TGLProcLoader& loader) {
  if (formatKey == LastFormatKey) return;
  // The extension string joins the vendor: another driver of the same vendor
  // (or another context profile) can offer other extensions.
  const std::string vendor = SafeString(GL.glGetString(GL_VENDOR)) + '\n' + SafeString(GL.glGetString(GL_EXTENSIONS));
  if (vendor != LastVendor) {
    LoadGLExtensionEntryPoints(loader);
    DetectGLVersionAndExtensions();
    LastVendor = vendor;
  } else {
    LoadWGLExtensionEntryPoints(loader);
    DetectWGLExtensions();
  }
  LastFormatKey = formatKey;
}

void ForgetLastSeenImplementation() {
  LastFormatKey = 0;
  LastVendor.clear();
}

void SplitVersionString(const std::string& version, int& major, int& minor) {
  major = 0;
  minor = 0;
  const std::string& text = version;
  const size_t dot = text.find('.');
  auto isDigit = [](char ch) { return ch >= '0' && ch <= '9'; };
  // The dot must have a digit on each side (position 2 or later counting from 1).
  if (dot == std::string::npos || dot < 1 || dot + 1 >= text.size()) return;
  if (!isDigit(text[dot - 1]) || !isDigit(text[dot + 1])) return;
  size_t begin = dot;
  while (begin > 0 && isDigit(text[begin - 1])) --begin;
  // At most 255 characters after the dot are looked at.
  const size_t limit = std::min(text.size(), dot + 1 + 255);
  size_t end = dot + 1;
  while (end < limit && isDigit(text[end])) ++end;
  // A digit run that does not fit an int is malformed too.
  int maj = 0, min = 0;
  const char* s = text.data();
  const auto a = std::from_chars(s + begin, s + dot, maj);
  const auto b = std::from_chars(s + dot + 1, s + end, min);
  if (a.ec != std::errc() || b.ec != std::errc()) return;
  major = maj;
  minor = min;
}

bool HasGLExtension(const std::string& name, const std::string& extensions) {
  const size_t pos = extensions.find(name);
  if (pos == std::string::npos) return false;
  const size_t end = pos + name.size();
  return end == extensions.size() || extensions[end] == ' ';
}

bool HasWGLExtension(const std::string& name, const std::string& extensions) {
  return extensions.find(name) != std::string::npos;
}
