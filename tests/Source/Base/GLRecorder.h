// Test aid: records GL calls made through the entry-point table, without a context.
//
//   TGLRecorder rec;               // every entry of `GL` now records (and the loader fakes all names)
//   cache.EnableState(stBlend);
//   EXPECT_EQ(rec.Count("glEnable"), 1);
//   EXPECT_EQ(rec.Calls[0].Args[0], GL_BLEND);
//
// Arithmetic arguments are kept as doubles in Args (pointers as their address);
// for the calls listed in DataLength the values behind the pointer argument are
// copied into Data. Results: glGetString and gluGetString answer from Strings /
// GluStrings, glXQueryExtensionsString from GLXExtensions, everything else from
// Results (by name) or zero/null. Destroying the recorder restores the table,
// the capability flags and the last-seen implementation.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "Source/Base/OpenGL1x.h"

struct TGLCall {
  std::string Name;
  std::vector<double> Args;
  std::vector<double> Data;
};

namespace glrecorder {

enum TEntryId : int {
#define GLREC_ID1(name) id_##name,
#define GLREC_ID3(type, name, requirement) id_##name,
#define GLREC_NONE(name)
  OPENGL1X_CORE_ENTRIES(GLREC_ID1) OPENGL1X_GLU_ENTRIES(GLREC_ID1)
      OPENGL1X_GL_EXTENSION_ENTRIES(GLREC_ID3, GLREC_NONE, GLREC_ID3) OPENGL1X_GLX_ENTRIES(GLREC_ID3)
#undef GLREC_ID1
#undef GLREC_ID3
          id_count
};

inline const char* const kNames[] = {
#define GLREC_NAME1(name) #name,
#define GLREC_NAME3(type, name, requirement) #name,
    OPENGL1X_CORE_ENTRIES(GLREC_NAME1) OPENGL1X_GLU_ENTRIES(GLREC_NAME1)
        OPENGL1X_GL_EXTENSION_ENTRIES(GLREC_NAME3, GLREC_NONE, GLREC_NAME3) OPENGL1X_GLX_ENTRIES(GLREC_NAME3)
#undef GLREC_NAME1
#undef GLREC_NAME3
};
static_assert(sizeof(kNames) / sizeof(kNames[0]) == id_count);

}  // namespace glrecorder

class TGLRecorder {
 public:
  std::vector<TGLCall> Calls;
  std::map<GLenum, std::string> Strings;     // glGetString(name)
  std::map<GLenum, std::string> GluStrings;  // gluGetString(name)
  std::string GLXExtensions;                 // glXQueryExtensionsString
  // Result of a call by entry-point name (integers, or pointers as integers).
  std::map<std::string, std::function<std::uintptr_t(const TGLCall&)>> Results;
  // Called with every call before it is recorded, while its pointer arguments still point at
  // what the caller passed (arrays drawn from, say).
  std::function<void(const TGLCall&)> OnCall;

  TGLRecorder() : FSavedGL(GL), FSavedCaps(GLCaps), FPrevious(Active()) {
    Active() = this;
    Install();
    ForgetLastSeenImplementation();
  }
  ~TGLRecorder() {
    GL = FSavedGL;
    GLCaps = FSavedCaps;
    Active() = FPrevious;
    ForgetLastSeenImplementation();
  }
  TGLRecorder(const TGLRecorder&) = delete;
  TGLRecorder& operator=(const TGLRecorder&) = delete;

  // A loader that answers every name of the table with its recording function
  // (and null for any other name).
  TGLProcLoader Loader() const {
    return [](const char* name) -> void* {
      const auto& map = Addresses();
      auto it = map.find(name);
      return it == map.end() ? nullptr : it->second;
    };
  }

  void Clear() { Calls.clear(); }
  int Count(const std::string& name) const {
    int n = 0;
    for (const auto& c : Calls) n += c.Name == name;
    return n;
  }
  std::vector<TGLCall> CallsTo(const std::string& name) const {
    std::vector<TGLCall> out;
    for (const auto& c : Calls)
      if (c.Name == name) out.push_back(c);
    return out;
  }
  // The names of the recorded calls, in order, leaving out `except`.
  std::vector<std::string> Names(const std::vector<std::string>& except = {}) const {
    std::vector<std::string> out;
    for (const auto& c : Calls) {
      bool skip = false;
      for (const auto& e : except) skip |= c.Name == e;
      if (!skip) out.push_back(c.Name);
    }
    return out;
  }

  static TGLRecorder*& Active() {
    static TGLRecorder* active = nullptr;
    return active;
  }

  template <typename R>
  R Answer(const TGLCall& call) {
    std::uintptr_t value = 0;
    if (call.Name == "glGetString" || call.Name == "gluGetString") {
      auto& table = call.Name == "glGetString" ? Strings : GluStrings;
      auto it = table.find(GLenum(call.Args.at(0)));
      value = it == table.end() ? 0 : reinterpret_cast<std::uintptr_t>(it->second.c_str());
    } else if (call.Name == "glXQueryExtensionsString") {
      value = reinterpret_cast<std::uintptr_t>(GLXExtensions.c_str());
    }
    auto it = Results.find(call.Name);
    if (it != Results.end()) value = it->second(call);
    if constexpr (std::is_pointer_v<R>)
      return reinterpret_cast<R>(value);
    else
      return static_cast<R>(value);
  }

  // How many values to copy from the pointer argument of a call.
  static int DataLength(const std::string& name, const TGLCall& call) {
    static const std::map<std::string, int> fixed = {{"glMaterialfv", 4},
                                                     {"glLoadMatrixf", 16},
                                                     {"glMultMatrixf", 16},
                                                     {"glTexCoord2fv", 2},
                                                     {"glTexCoord3fv", 3},
                                                     {"glTexCoord4fv", 4},
                                                     {"glMultiTexCoord2fvARB", 2},
                                                     {"glMultiTexCoord3fvARB", 3},
                                                     {"glMultiTexCoord4fvARB", 4},
                                                     {"glColor4fv", 4},
                                                     {"glColor3fv", 3},
                                                     {"glNormal3fv", 3},
                                                     {"glVertex3fv", 3},
                                                     {"glLightfv", 4},
                                                     {"glClipPlane", 4}};
    if (name == "glTexGenfv" || name == "glTexGeniv")
      return call.Args.size() > 1 && GLenum(call.Args[1]) == GL_TEXTURE_GEN_MODE ? 1 : 4;
    auto it = fixed.find(name);
    return it == fixed.end() ? 0 : it->second;
  }

 private:
  TGLEntryPoints FSavedGL;
  TGLCapabilities FSavedCaps;
  TGLRecorder* FPrevious;

  template <int Id, typename F>
  struct Thunk;
  template <int Id, typename R, typename... A>
  struct Thunk<Id, R (*)(A...)> {
    static R Call(A... args) {
      TGLCall call;
      call.Name = glrecorder::kNames[Id];
      (Push(call, args), ...);
      const int length = DataLength(call.Name, call);
      bool captured = false;
      (Capture(call, args, length, captured), ...);
      (void)length;
      (void)captured;
      TGLRecorder* rec = Active();
      if (rec && rec->OnCall) rec->OnCall(call);
      if (rec) rec->Calls.push_back(call);
      if constexpr (!std::is_void_v<R>) return rec ? rec->Answer<R>(call) : R();
    }
  };

  template <typename T>
  static void Push(TGLCall& call, T value) {
    if constexpr (std::is_pointer_v<T>)
      call.Args.push_back(double(reinterpret_cast<std::uintptr_t>(value)));
    else
      call.Args.push_back(double(value));
  }
  template <typename T>
  static void Capture(TGLCall& call, T value, int length, bool& captured) {
    if constexpr (std::is_pointer_v<T>) {
      using V = std::remove_cv_t<std::remove_pointer_t<T>>;
      if constexpr (std::is_arithmetic_v<V>) {
        if (captured || !value || length <= 0) return;
        captured = true;
        for (int i = 0; i < length; ++i) call.Data.push_back(double(value[i]));
      }
    }
  }

  template <typename F>
  static void* AsVoid(F f) {
    return reinterpret_cast<void*>(f);
  }

  // The recording function of every entry point by name, and the table pointed at them. Defined
  // once, in GLRecorder.cpp: each instantiates a function per entry point.
  static const std::map<std::string, void*>& Addresses();
  static void Install();
};

#undef GLREC_NONE
