// Fuzz-target aid: a scene drawn through a GL entry-point table that answers without a driver.
//
// Every entry point does nothing and answers zero, except that list and texture names come from
// counters; a context that only keeps the books is current, so display lists are compiled and
// textures named as with a real context. Attribute and matrix pushes are counted: a frame must
// leave none behind.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <type_traits>

#include "Source/Base/OpenGL1x.h"
#include "Source/Further/GLVectorFileObjects.h"
#include "Source/Scene/GLCamera.h"
#include "Source/Scene/GLRenderContextInfo.h"
#include "Source/Scene/GLSceneBuffer.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Scene/GLState.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"
#include "tests/Source/BookkeepingContext.h"

namespace fuzzscene {

inline int& PushDepth() {
  static int depth = 0;
  return depth;
}

// An entry point that does nothing and answers zero.
template <typename F>
struct TNoGL;
template <typename R, typename... A>
struct TNoGL<R (*)(A...)> {
  static R Call(A...) {
    if constexpr (!std::is_void_v<R>) return R();
  }
};

// Installs the answering table once per process.
inline void InstallNullGL() {
  static bool done = false;
  if (done) return;
  done = true;
#define FUZZ_NOGL1(name) GL.name = &TNoGL<decltype(TGLEntryPoints::name)>::Call;
#define FUZZ_NOGL3(type, name, requirement) FUZZ_NOGL1(name)
#define FUZZ_NOGL_NONE(name)
  // clang-format off
  OPENGL1X_CORE_ENTRIES(FUZZ_NOGL1)
  OPENGL1X_GLU_ENTRIES(FUZZ_NOGL1)
  OPENGL1X_GL_EXTENSION_ENTRIES(FUZZ_NOGL3, FUZZ_NOGL_NONE, FUZZ_NOGL3)
  OPENGL1X_GLX_ENTRIES(FUZZ_NOGL3)
  // clang-format on
#undef FUZZ_NOGL1
#undef FUZZ_NOGL3
#undef FUZZ_NOGL_NONE
  GL.glGenLists = [](GLsizei range) -> GLuint {
    static GLuint next = 1;
    const GLuint first = next;
    next += GLuint(range > 0 ? range : 1);
    return first;
  };
  GL.glGenTextures = [](GLsizei n, GLuint* names) {
    static GLuint next = 1;
    for (GLsizei i = 0; i < n; ++i) names[i] = next++;
  };
  GL.glPushAttrib = [](GLbitfield) { ++PushDepth(); };
  GL.glPopAttrib = [] { --PushDepth(); };
  GL.glPushMatrix = [] { ++PushDepth(); };
  GL.glPopMatrix = [] { --PushDepth(); };
  static TBookkeepingContext context;
  context.CreateOffScreen(nullptr, 64, 64);
  context.ActivateNested();
}

// Aborts (a finding) when a frame left attributes or matrices pushed.
inline void CheckBalanced(const char* what) {
  if (PushDepth() == 0) return;
  std::fprintf(stderr, "%s left %d GL push level(s) behind\n", what, PushDepth());
  std::abort();
}

// A scene with a camera on +Z looking at the origin, and a buffer that renders it.
struct TFuzzScene {
  TGLSceneGraph scene{nullptr};
  TGLSceneBuffer buffer{nullptr};
  TGLStateCache states;  // for builds outside the walk
  TGLCamera* camera = nullptr;

  TFuzzScene() {
    InstallNullGL();
    PushDepth() = 0;
    camera = scene.Cameras()->AddNewChild<TGLCamera>();
    camera->Position()->SetXYZAsPoint(0, 0, 10);
    buffer.SetCamera(camera);
    buffer.SetupMatrices(nullptr);
  }
  ~TFuzzScene() { buffer.SetCamera(nullptr); }
  TFuzzScene(const TFuzzScene&) = delete;
  TFuzzScene& operator=(const TFuzzScene&) = delete;

  // Frames of the whole scene, the clock advancing between them.
  void Frames(int count) {
    for (int i = 0; i < count; ++i) {
      scene.Progress(0.05, 0.05 * (i + 1));
      scene.RenderScene(&buffer, 64, 64, dsRendering, nullptr);
      CheckBalanced("a frame");
    }
  }
};

// Builds a scene object's geometry once outside the walk, where a failure is not caught for it:
// only the run-time's exceptions are expected.
inline void BuildDirectly(TFuzzScene& s, TGLBaseSceneObject* obj) {
  TRenderContextInfo rci;
  rci.scene = &s.scene;
  rci.buffer = &s.buffer;
  rci.GLStates = &s.states;
  rci.cameraPosition = TVector4f{0, 0, 10, 1};
  rci.cameraDirection = TVector4f{0, 0, -1, 0};
  rci.viewPortWidth = rci.viewPortHeight = 64;
  try {
    obj->BuildList(rci);
  } catch (const Exception&) {
  }
  CheckBalanced("a direct build");
}

// A mesh archive loaded into an actor, animated and drawn frame by frame (morph and skeleton).
inline void DrawMeshArchive(const std::string& bytes) {
  TFuzzScene s;
  auto* actor = s.scene.Objects()->AddNewChild<TGLActor>();
  try {
    TStringStream in(bytes);
    actor->LoadFromStream("stored.glsm", &in);
  } catch (const Exception&) {
    return;
  }
  actor->SetAnimationMode(aamLoop);
  actor->SetInterval(50);
  s.Frames(4);
  actor->SetReference(aarSkeleton);
  s.Frames(2);
  BuildDirectly(s, actor);
}

}  // namespace fuzzscene
