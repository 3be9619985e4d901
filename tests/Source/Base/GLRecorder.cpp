// The parts of the GL call recorder that name every entry point, compiled once per test program.
#include "tests/Source/Base/GLRecorder.h"

#define GLREC_NONE(name)

const std::map<std::string, void*>& TGLRecorder::Addresses() {
  static const std::map<std::string, void*> map = [] {
    std::map<std::string, void*> m;
#define GLREC_ADDR1(name) m[#name] = AsVoid(&Thunk<glrecorder::id_##name, decltype(TGLEntryPoints::name)>::Call);
#define GLREC_ADDR3(type, name, requirement) GLREC_ADDR1(name)
    // clang-format off
    OPENGL1X_CORE_ENTRIES(GLREC_ADDR1)
    OPENGL1X_GLU_ENTRIES(GLREC_ADDR1)
    OPENGL1X_GL_EXTENSION_ENTRIES(GLREC_ADDR3, GLREC_NONE, GLREC_ADDR3)
    OPENGL1X_GLX_ENTRIES(GLREC_ADDR3)
    // clang-format on
#undef GLREC_ADDR1
#undef GLREC_ADDR3
    return m;
  }();
  return map;
}

// Every entry of the table records.
void TGLRecorder::Install() {
#define GLREC_SET1(name) GL.name = &Thunk<glrecorder::id_##name, decltype(TGLEntryPoints::name)>::Call;
#define GLREC_SET3(type, name, requirement) GLREC_SET1(name)
  // clang-format off
  OPENGL1X_CORE_ENTRIES(GLREC_SET1)
  OPENGL1X_GLU_ENTRIES(GLREC_SET1)
  OPENGL1X_GL_EXTENSION_ENTRIES(GLREC_SET3, GLREC_NONE, GLREC_SET3)
  OPENGL1X_GLX_ENTRIES(GLREC_SET3)
  // clang-format on
#undef GLREC_SET1
#undef GLREC_SET3
}

#undef GLREC_NONE
