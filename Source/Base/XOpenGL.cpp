// Texture-coordinate mapping: the current and pending mode, the update bracket and the Mapped*
// procedures.
#include "Source/Base/XOpenGL.h"

#include "rtl/SysUtils.h"

namespace {

TMapTexCoordMode CurrentMode = mtcmNull;  // start-up applies the Null set
TMapTexCoordMode PendingMode = mtcmNull;
bool SecondUnitSuppressed = false;
int UpdateDepth = 0;
std::vector<GLenum> Units;

using E = TGLEntryPoints;

// Texture coordinates: plain GL on unit 0, the multitexture form elsewhere.
template <auto Plain, auto Multi, typename... A>
struct TTexCoordProc {
  static void Null(A...) {}
  static void Main(A... a) { (GL.*Plain)(a...); }
  static void Second(A... a) { (GL.*Multi)(GL_TEXTURE1_ARB, a...); }
  static void Dual(A... a) {
    (GL.*Plain)(a...);
    (GL.*Multi)(GL_TEXTURE1_ARB, a...);
  }
  static void Arbitrary(A... a) {
    for (GLenum unit : Units) (GL.*Multi)(unit, a...);
  }
};

// Per-unit state: the call is repeated with the unit selected by Select (the
// active or the client active unit), which ends on unit 0.
template <auto Plain, auto Select, typename... A>
struct TUnitProc {
  static void Null(A...) {}
  static void Main(A... a) { (GL.*Plain)(a...); }
  static void Second(A... a) {
    (GL.*Select)(GL_TEXTURE1_ARB);
    (GL.*Plain)(a...);
    (GL.*Select)(GL_TEXTURE0_ARB);
  }
  static void Dual(A... a) {
    (GL.*Plain)(a...);
    Second(a...);
  }
  static void Arbitrary(A... a) {
    for (GLenum unit : Units) {
      (GL.*Select)(unit);
      (GL.*Plain)(a...);
    }
    (GL.*Select)(GL_TEXTURE0_ARB);
  }
};

using PTexCoord2f = TTexCoordProc<&E::glTexCoord2f, &E::glMultiTexCoord2fARB, GLfloat, GLfloat>;
using PTexCoord2fv = TTexCoordProc<&E::glTexCoord2fv, &E::glMultiTexCoord2fvARB, const GLfloat*>;
using PTexCoord3f = TTexCoordProc<&E::glTexCoord3f, &E::glMultiTexCoord3fARB, GLfloat, GLfloat, GLfloat>;
using PTexCoord3fv = TTexCoordProc<&E::glTexCoord3fv, &E::glMultiTexCoord3fvARB, const GLfloat*>;
using PTexCoord4f = TTexCoordProc<&E::glTexCoord4f, &E::glMultiTexCoord4fARB, GLfloat, GLfloat, GLfloat, GLfloat>;
using PTexCoord4fv = TTexCoordProc<&E::glTexCoord4fv, &E::glMultiTexCoord4fvARB, const GLfloat*>;
constexpr auto Active = &E::glActiveTextureARB;
constexpr auto ClientActive = &E::glClientActiveTextureARB;
using PTexGenf = TUnitProc<&E::glTexGenf, Active, GLenum, GLenum, GLfloat>;
using PTexGenfv = TUnitProc<&E::glTexGenfv, Active, GLenum, GLenum, const GLfloat*>;
using PTexGeni = TUnitProc<&E::glTexGeni, Active, GLenum, GLenum, GLint>;
using PTexGeniv = TUnitProc<&E::glTexGeniv, Active, GLenum, GLenum, const GLint*>;
using PTexCoordPointer = TUnitProc<&E::glTexCoordPointer, ClientActive, GLint, GLenum, GLsizei, const GLvoid*>;
using PEnableClientState = TUnitProc<&E::glEnableClientState, ClientActive, GLenum>;
using PDisableClientState = TUnitProc<&E::glDisableClientState, ClientActive, GLenum>;
using PEnable = TUnitProc<&E::glEnable, Active, GLenum>;
using PDisable = TUnitProc<&E::glDisable, Active, GLenum>;

// clang-format off
#define XOPENGL_PROCEDURES(P) \
  P(MappedTexCoord2f, PTexCoord2f) \
  P(MappedTexCoord2fv, PTexCoord2fv) \
  P(MappedTexCoord3f, PTexCoord3f) \
  P(MappedTexCoord3fv, PTexCoord3fv) \
  P(MappedTexCoord4f, PTexCoord4f) \
  P(MappedTexCoord4fv, PTexCoord4fv) \
  P(MappedTexGenf, PTexGenf) \
  P(MappedTexGenfv, PTexGenfv) \
  P(MappedTexGeni, PTexGeni) \
  P(MappedTexGeniv, PTexGeniv) \
  P(MappedTexCoordPointer, PTexCoordPointer) \
  P(MappedEnableClientState, PEnableClientState) \
  P(MappedDisableClientState, PDisableClientState) \
  P(MappedEnable, PEnable) \
  P(MappedDisable, PDisable)
// clang-format on

void Repoint(TMapTexCoordMode mode) {
  switch (mode) {
#define XOPENGL_CASE(Mode, Set) \
  case mtcm##Mode:              \
    XOPENGL_PROCEDURES(Set)     \
    break;
#define XOPENGL_SET_NULL(var, Proc) var = &Proc::Null;
#define XOPENGL_SET_MAIN(var, Proc) var = &Proc::Main;
#define XOPENGL_SET_DUAL(var, Proc) var = &Proc::Dual;
#define XOPENGL_SET_SECOND(var, Proc) var = &Proc::Second;
#define XOPENGL_SET_ARBITRARY(var, Proc) var = &Proc::Arbitrary;
    XOPENGL_CASE(Null, XOPENGL_SET_NULL)
    XOPENGL_CASE(Main, XOPENGL_SET_MAIN)
    XOPENGL_CASE(Dual, XOPENGL_SET_DUAL)
    XOPENGL_CASE(Second, XOPENGL_SET_SECOND)
    XOPENGL_CASE(Arbitrary, XOPENGL_SET_ARBITRARY)
    default: break;
  }
}

// Outside a bracket: switch when the mode differs; inside: remember it.
void RequestMode(TMapTexCoordMode mode) {
  if (UpdateDepth > 0) {
    PendingMode = mode;
    return;
  }
  if (mode == CurrentMode) return;
  if (mode == mtcmDual || mode == mtcmSecond || mode == mtcmArbitrary) RTL_ASSERT(GLCaps.ARB_multitexture);
  CurrentMode = mode;
  Repoint(mode);
}

}  // namespace

#define XOPENGL_DEFINE(var, Proc) decltype(&Proc::Null) var = &Proc::Null;
XOPENGL_PROCEDURES(XOPENGL_DEFINE)
#undef XOPENGL_DEFINE

TMapTexCoordMode MapTexCoordMode() { return CurrentMode; }

void SetMapTexCoordModeNull() { RequestMode(mtcmNull); }

void SetMapTexCoordModeMain() { RequestMode(mtcmMain); }

void SetMapTexCoordModeDual() { RequestMode(SecondUnitSuppressed ? mtcmMain : mtcmDual); }

void SetMapTexCoordModeSecond() { RequestMode(SecondUnitSuppressed ? mtcmNull : mtcmSecond); }

void SetMapTexCoordModeArbitrary(const std::vector<GLenum>& units) {
  std::vector<GLenum> kept;
  for (GLenum unit : units)
    if (!(SecondUnitSuppressed && unit == GL_TEXTURE1_ARB)) kept.push_back(unit);
  Units = std::move(kept);
  RequestMode(mtcmArbitrary);
}

void MapTexCoordUnitsFromMask(unsigned mask) {
  std::vector<GLenum> units;
  for (unsigned n = 0; n < 8; ++n)
    if (mask & (1u << n)) units.push_back(GL_TEXTURE0_ARB + n);
  SetMapTexCoordModeArbitrary(units);
}

void AddMapTexCoordUnits(unsigned mask) { MapTexCoordUnitsFromMask(GetMapTexCoordUnitMask() | mask); }

unsigned GetMapTexCoordUnitMask() {
  switch (UpdateDepth > 0 ? PendingMode : CurrentMode) {
    case mtcmMain: return 1;
    case mtcmSecond: return 2;
    case mtcmDual: return 3;
    case mtcmArbitrary: {
      unsigned mask = 0;
      for (GLenum unit : Units)
        if (unit - GL_TEXTURE0_ARB < 32) mask |= 1u << (unit - GL_TEXTURE0_ARB);
      return mask;
    }
    default: RTL_ASSERT(false); return 0;
  }
}

void BeginMapTexCoordUpdate() {
  if (UpdateDepth == 0) PendingMode = CurrentMode;
  ++UpdateDepth;
}

void EndMapTexCoordUpdate() {
  RTL_ASSERT(UpdateDepth > 0);
  if (--UpdateDepth > 0 || PendingMode == CurrentMode) return;
  switch (PendingMode) {
    case mtcmNull: SetMapTexCoordModeNull(); break;
    case mtcmMain: SetMapTexCoordModeMain(); break;
    case mtcmDual: SetMapTexCoordModeDual(); break;
    case mtcmSecond: SetMapTexCoordModeSecond(); break;
    case mtcmArbitrary: SetMapTexCoordModeArbitrary(Units); break;
    default: RTL_ASSERT(false);
  }
}

void SuppressSecondTexCoordUnit() { SecondUnitSuppressed = true; }

void RestoreSecondTexCoordUnit() { SecondUnitSuppressed = false; }
