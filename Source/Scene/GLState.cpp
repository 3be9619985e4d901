// The OpenGL state cache: capability enables, polygon modes, material colours, texture bindings,
// the texture matrix and the front-face winding.
#include "Source/Scene/GLState.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Source/Scene/GLContext.h"
#include "rtl/SysUtils.h"

namespace {

constexpr GLenum kCapabilities[GLStateCount] = {GL_ALPHA_TEST,
                                                GL_AUTO_NORMAL,
                                                GL_BLEND,
                                                GL_COLOR_MATERIAL,
                                                GL_CULL_FACE,
                                                GL_DEPTH_TEST,
                                                GL_DITHER,
                                                GL_FOG,
                                                GL_LIGHTING,
                                                GL_LINE_SMOOTH,
                                                GL_LINE_STIPPLE,
                                                GL_LOGIC_OP,
                                                GL_NORMALIZE,
                                                GL_POINT_SMOOTH,
                                                GL_POLYGON_SMOOTH,
                                                GL_POLYGON_STIPPLE,
                                                GL_SCISSOR_TEST,
                                                GL_STENCIL_TEST,
                                                GL_TEXTURE_1D,
                                                GL_TEXTURE_2D,
                                                0x8513 /* GL_TEXTURE_CUBE_MAP_ARB */,
                                                0x84F5 /* GL_TEXTURE_RECTANGLE_NV */};

std::uint32_t Bit(TGLState state) {
  RTL_ASSERT(state >= 0 && state < GLStateCount);
  return std::uint32_t(1) << state;
}

bool Differs(const GLfloat* a, const GLfloat* b, int components) {
  for (int i = 0; i < components; ++i)
    if (a[i] != b[i]) return true;
  return false;
}

}  // namespace

GLenum GLStateCapability(TGLState state) {
  Bit(state);
  return kCapabilities[state];
}

TGLStateCache::TGLStateCache()
    : FMaterialColors{},
      FShininess{},
      FStates(0),
      FKnownStates(~std::uint32_t(0)),
      FSent(0),
      FBoundTextures{},
      FPolygonModes{},
      FFrontFaceCCW(true),
      FTextureMatrixIsIdentity(true) {}

void TGLStateCache::EnableState(TGLState state) {
  const std::uint32_t bit = Bit(state);
  if ((FKnownStates & bit) && (FStates & bit)) return;
  FKnownStates |= bit;
  FStates |= bit;
  ++FSent;
  GL.glEnable(kCapabilities[state]);
}

void TGLStateCache::DisableState(TGLState state) {
  const std::uint32_t bit = Bit(state);
  if ((FKnownStates & bit) && !(FStates & bit)) return;
  FKnownStates |= bit;
  FStates &= ~bit;
  ++FSent;
  GL.glDisable(kCapabilities[state]);
}

bool TGLStateCache::StateEnabled(TGLState state) const {
  const std::uint32_t bit = Bit(state);
  if (!(FKnownStates & bit)) FAssumed |= bit;
  return (FStates & bit) != 0;
}

void TGLStateCache::SetPolygonMode(GLenum face, GLenum mode) {
  switch (face) {
    case GL_FRONT:
      if (FPolygonModes[0] == mode) return;
      FPolygonModes[0] = mode;
      break;
    case GL_BACK:
      if (FPolygonModes[1] == mode) return;
      FPolygonModes[1] = mode;
      break;
    case GL_FRONT_AND_BACK:
      if (FPolygonModes[0] == mode && FPolygonModes[1] == mode) return;
      FPolygonModes[0] = FPolygonModes[1] = mode;
      break;
    default: return;
  }
  ++FSent;
  GL.glPolygonMode(face, mode);
}

void TGLStateCache::ForgetPolygonModes() { FPolygonModes[0] = FPolygonModes[1] = 0; }

void TGLStateCache::SendMaterialColors(GLenum face, const GLfloat emission[4], const GLfloat ambient[4],
                                       const GLfloat diffuse[4], const GLfloat specular[4], GLint shininess) {
  // The face indexes the cache, so only the two real faces are accepted; both
  // at once is two sends, each compared against its own face.
  switch (face) {
    case GL_FRONT: SendFaceColors(0, face, emission, ambient, diffuse, specular, shininess); break;
    case GL_BACK: SendFaceColors(1, face, emission, ambient, diffuse, specular, shininess); break;
    case GL_FRONT_AND_BACK:
      SendFaceColors(0, GL_FRONT, emission, ambient, diffuse, specular, shininess);
      SendFaceColors(1, GL_BACK, emission, ambient, diffuse, specular, shininess);
      break;
    default: break;
  }
}

void TGLStateCache::SendFaceColors(int index, GLenum face, const GLfloat emission[4], const GLfloat ambient[4],
                                   const GLfloat diffuse[4], const GLfloat specular[4], GLint shininess) {
  if (FShininess[index] != shininess) {
    FShininess[index] = shininess;
    ++FSent;
    GL.glMateriali(face, GL_SHININESS, shininess);
  }
  // Emission, ambient and specular compare colour only; diffuse carries the alpha.
  struct {
    int slot;
    GLenum pname;
    const GLfloat* value;
    int components;
  } const colors[] = {{kEmission, GL_EMISSION, emission, 3},
                      {kAmbient, GL_AMBIENT, ambient, 3},
                      {kDiffuse, GL_DIFFUSE, diffuse, 4},
                      {kSpecular, GL_SPECULAR, specular, 3}};
  for (const auto& c : colors) {
    GLfloat* cached = FMaterialColors[index][c.slot];
    if (!Differs(cached, c.value, c.components)) continue;
    std::memcpy(cached, c.value, sizeof(GLfloat) * 4);
    ++FSent;
    GL.glMaterialfv(face, c.pname, cached);
  }
}

void TGLStateCache::SetMaterialAlpha(GLenum face, GLfloat alpha) {
  int index;
  switch (face) {
    case GL_FRONT: index = 0; break;
    case GL_BACK: index = 1; break;
    case GL_FRONT_AND_BACK:
      SetMaterialAlpha(GL_FRONT, alpha);
      SetMaterialAlpha(GL_BACK, alpha);
      return;
    default: return;
  }
  GLfloat* diffuse = FMaterialColors[index][kDiffuse];
  if (diffuse[3] == alpha) return;
  diffuse[3] = alpha;
  ++FSent;
  GL.glMaterialfv(face, GL_DIFFUSE, diffuse);
}

void SetGLState(TGLStateCache* cache, TGLState state, bool enabled) {
  if (cache)
    cache->SetState(state, enabled);
  else if (enabled)
    GL.glEnable(GLStateCapability(state));
  else
    GL.glDisable(GLStateCapability(state));
}

void SendGLDefaultMaterial() {
  static const GLfloat ambient[4] = {0.2f, 0.2f, 0.2f, 1.0f};
  static const GLfloat diffuse[4] = {0.8f, 0.8f, 0.8f, 1.0f};
  static const GLfloat black[4] = {0.0f, 0.0f, 0.0f, 1.0f};
  GL.glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, ambient);
  GL.glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, diffuse);
  GL.glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, black);
  GL.glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, black);
  GL.glMateriali(GL_FRONT_AND_BACK, GL_SHININESS, 0);
}

void TGLStateCache::SendDefaultMaterial() {
  ++FSent;
  SendGLDefaultMaterial();
  // 0x7F7F7F7F is a float no colour holds, so the next compare always differs.
  std::memset(FMaterialColors, 0x7F, sizeof(FMaterialColors));
  FShininess[0] = FShininess[1] = 0;
}

void TGLStateCache::SetBoundTexture(int slot, GLenum target, GLuint name) {
  RTL_ASSERT(slot >= 0 && slot < TextureSlotCount);
  if (FBoundTextures[slot] == std::int32_t(name)) return;
  ++FSent;
  GL.glBindTexture(target, name);
  FBoundTextures[slot] = std::int32_t(name);
}

void TGLStateCache::ResetBoundTextures() {
  for (auto& name : FBoundTextures) name = -1;
}

std::int32_t TGLStateCache::BoundTexture(int slot) const {
  RTL_ASSERT(slot >= 0 && slot < TextureSlotCount);
  return FBoundTextures[slot];
}

void TGLStateCache::SetTextureMatrix(const GLfloat matrix[16]) {
  ++FSent;
  GL.glMatrixMode(GL_TEXTURE);
  GL.glLoadMatrixf(matrix);
  GL.glMatrixMode(GL_MODELVIEW);
  FTextureMatrixIsIdentity = false;
}

void TGLStateCache::ResetTextureMatrix() {
  if (FTextureMatrixIsIdentity) return;
  ++FSent;
  GL.glMatrixMode(GL_TEXTURE);
  GL.glLoadIdentity();
  GL.glMatrixMode(GL_MODELVIEW);
  FTextureMatrixIsIdentity = true;
}

void TGLStateCache::ToggleFrontFace() {
  FFrontFaceCCW = !FFrontFaceCCW;
  FFrontFaceSent = true;
  ++FSent;
  GL.glFrontFace(FFrontFaceCCW ? GL_CCW : GL_CW);
}

void TGLStateCache::ResetFrontFace() {
  ++FSent;
  FFrontFaceCCW = !FWindingReversed;
  FFrontFaceSent = true;
  GL.glFrontFace(FFrontFaceCCW ? GL_CCW : GL_CW);
}

void TGLStateCache::ReverseWinding() {
  FWindingReversed = !FWindingReversed;
  ToggleFrontFace();
}

void TGLStateCache::ResetToGLDefaults() {
  FStates = Bit(stDither);
  FKnownStates = ~std::uint32_t(0);
  std::memset(FMaterialColors, 0x7F, sizeof(FMaterialColors));
  // No shininess is negative: the first send always goes out.
  FShininess[0] = FShininess[1] = -1;
  ResetBoundTextures();
  ForgetPolygonModes();
  FFrontFaceCCW = true;
  FWindingReversed = false;
  FTextureMatrixIsIdentity = true;
}

void TGLStateCache::ResetCachedState() {
  ForgetPolygonModes();
  SendDefaultMaterial();
  ResetBoundTextures();
  ResetFrontFace();
}

TGLStateCache::TSnapshot TGLStateCache::Snapshot() const {
  TSnapshot s;
  std::memcpy(s.MaterialColors, FMaterialColors, sizeof(FMaterialColors));
  std::memcpy(s.Shininess, FShininess, sizeof(FShininess));
  s.States = FStates;
  s.KnownStates = FKnownStates;
  std::memcpy(s.BoundTextures, FBoundTextures, sizeof(FBoundTextures));
  std::memcpy(s.PolygonModes, FPolygonModes, sizeof(FPolygonModes));
  s.FrontFaceCCW = FFrontFaceCCW;
  s.FrontFaceSent = FFrontFaceSent;
  s.CompiledCCW = FFrontFaceCCW;
  s.CompiledReversed = FWindingReversed;
  s.Assumed = s.AssumedStates = 0;
  s.TextureMatrixIsIdentity = FTextureMatrixIsIdentity;
  return s;
}

void TGLStateCache::Load(const TSnapshot& s) {
  std::memcpy(FMaterialColors, s.MaterialColors, sizeof(FMaterialColors));
  std::memcpy(FShininess, s.Shininess, sizeof(FShininess));
  FStates = s.States;
  FKnownStates = s.KnownStates;
  std::memcpy(FBoundTextures, s.BoundTextures, sizeof(FBoundTextures));
  std::memcpy(FPolygonModes, s.PolygonModes, sizeof(FPolygonModes));
  FFrontFaceCCW = s.FrontFaceCCW;
  FFrontFaceSent = s.FrontFaceSent;
  FTextureMatrixIsIdentity = s.TextureMatrixIsIdentity;
}

TGLStateCache::TSnapshot TGLStateCache::BeginListCompile() {
  const TSnapshot before = Snapshot();
  // Everything unknown, so that every call goes into the list. The winding stays: it is
  // toggled, not set, and both sends are absolute.
  FKnownStates = 0;
  std::memset(FMaterialColors, 0x7F, sizeof(FMaterialColors));
  FShininess[0] = FShininess[1] = -1;
  ResetBoundTextures();
  ForgetPolygonModes();
  FTextureMatrixIsIdentity = false;
  FFrontFaceSent = false;
  FAssumed = 0;
  FSent = 0;
  FCompiling = true;
  return before;
}

std::optional<TGLStateCache::TSnapshot> TGLStateCache::EndListCompile(const TSnapshot& before) {
  const bool sent = FSent != 0;
  TSnapshot after = Snapshot();
  after.Assumed = FAssumed;
  after.AssumedStates = before.States & FAssumed;
  after.CompiledCCW = before.FrontFaceCCW;
  after.CompiledReversed = before.CompiledReversed;
  Load(before);
  FCompiling = false;
  if (!sent && !after.Assumed) return std::nullopt;
  return after;
}

void TGLStateCache::ListReplayed(const TSnapshot& after) {
  // The states the list set are as it left them; the rest as they were. Material colours,
  // textures, polygon modes and the texture matrix the list did not send are unknown in
  // `after` (a send of the default material makes them unknown too): so they are here.
  const std::uint32_t states = (FStates & ~after.KnownStates) | (after.States & after.KnownStates);
  // The winding as the list left it only where it set it: a list that does not keeps the pass's
  // (reversed in a reflected pass).
  const bool ccw = after.FrontFaceSent ? after.FrontFaceCCW : FFrontFaceCCW;
  Load(after);
  FStates = states;
  FFrontFaceCCW = ccw;
  FKnownStates = ~std::uint32_t(0);
}

struct TGLStateLists::TList {
  std::unique_ptr<TGLListHandle> Handle;
  std::uint32_t Pass;
  // What a replay leaves, and the states it is for; none when the list sends nothing through the
  // cache and reads nothing of it.
  std::optional<TGLStateCache::TSnapshot> Effect;
};

TGLStateLists::TGLStateLists() = default;
TGLStateLists::~TGLStateLists() { *FAlive = false; }

TGLListHandle* TGLStateLists::Last() const noexcept { return FLists.empty() ? nullptr : FLists.front().Handle.get(); }

void TGLStateLists::Free() { FLists.clear(); }
bool TGLStateLists::Empty() const noexcept { return FLists.empty(); }
size_t TGLStateLists::Count() const noexcept { return FLists.size(); }

std::uint32_t TGLStateLists::Get(TGLStateCache* cache, std::uint32_t pass, const std::function<void()>& build) {
  // A list fits when it was compiled for this pass and the cache meets its states. One that sent
  // nothing through the cache applied no material, so it reads nothing of the pass either, and
  // without a cache there is nothing to tell states apart: such a list serves every state.
  const auto fits = [&](const TList& l) {
    return l.Handle->Handle() != 0 && (!cache || !l.Effect || (l.Pass == pass && cache->ListMeets(*l.Effect)));
  };
  auto it = std::find_if(FLists.begin(), FLists.end(), fits);
  if (it != FLists.end()) {
    std::rotate(FLists.begin(), it, it + 1);
    return FLists.front().Handle->Handle();
  }
  if (!cache || FLists.size() >= MaxLists) {
    if (!FLists.empty()) FLists.pop_back();
  }
  FLists.insert(FLists.begin(), TList{std::make_unique<TGLListHandle>(), pass, std::nullopt});
  TList& list = FLists.front();
  list.Handle->AllocateName();
  const std::uint32_t name = list.Handle->Handle();
  if (name == 0) {
    FLists.erase(FLists.begin());
    return 0;
  }
  // Compiling draws nothing: the cache is as before afterwards, and keeps what a replay leaves.
  std::optional<TGLStateCache::TSnapshot> before;
  if (cache) before = cache->BeginListCompile();
  const std::shared_ptr<bool> alive = FAlive;
  GL.glNewList(name, GL_COMPILE);
  try {
    build();
  } catch (...) {
    GL.glEndList();
    if (cache) cache->EndListCompile(*before);
    if (*alive)
      FLists.erase(FLists.begin());
    else
      GL.glDeleteLists(name, 1);
    throw;
  }
  GL.glEndList();
  if (cache) {
    std::optional<TGLStateCache::TSnapshot> effect = cache->EndListCompile(*before);
    if (*alive) list.Effect = std::move(effect);
  }
  if (!*alive) {
    // The build freed what held these lists: the name was given back while it compiled, and
    // ending the compile made it again.
    GL.glDeleteLists(name, 1);
    return 0;
  }
  return name;
}

void TGLStateLists::Call(TGLStateCache* cache) {
  if (FLists.empty() || FLists.front().Handle->Handle() == 0) return;
  GL.glCallList(FLists.front().Handle->Handle());
  if (cache && FLists.front().Effect) cache->ListReplayed(*FLists.front().Effect);
}

namespace {

const char* CapabilityName(int state) {
  static const char* const kNames[GLStateCount] = {
      "GL_ALPHA_TEST",       "GL_AUTO_NORMAL",      "GL_BLEND",        "GL_COLOR_MATERIAL", "GL_CULL_FACE",
      "GL_DEPTH_TEST",       "GL_DITHER",           "GL_FOG",          "GL_LIGHTING",       "GL_LINE_SMOOTH",
      "GL_LINE_STIPPLE",     "GL_LOGIC_OP",         "GL_NORMALIZE",    "GL_POINT_SMOOTH",   "GL_POLYGON_SMOOTH",
      "GL_POLYGON_STIPPLE",  "GL_SCISSOR_TEST",     "GL_STENCIL_TEST", "GL_TEXTURE_1D",     "GL_TEXTURE_2D",
      "GL_TEXTURE_CUBE_MAP", "GL_TEXTURE_RECTANGLE"};
  return kNames[state];
}

std::string Floats(const GLfloat* v, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += (i ? "," : "") + FloatToStr(v[i]);
  return out;
}

bool IsUnknownColour(const GLfloat* v) {
  GLfloat unknown;
  std::memset(&unknown, 0x7F, sizeof(unknown));
  return v[0] == unknown;
}

}  // namespace

std::string TGLStateCache::Mismatches() const {
  std::string out;
  if (FCompiling) return out;
  for (int i = 0; i < GLStateCount; ++i) {
    const std::uint32_t bit = std::uint32_t(1) << i;
    if (!(FKnownStates & bit)) continue;
    // Capabilities the implementation lacks report off with an error: drained here.
    const bool gl = GL.glIsEnabled(kCapabilities[i]) != GL_FALSE;
    while (GL.glGetError() != GL_NO_ERROR) {
    }
    const bool cached = (FStates & bit) != 0;
    if (gl != cached)
      out +=
          std::string(CapabilityName(i)) + ": cached " + (cached ? "on" : "off") + ", GL " + (gl ? "on" : "off") + "\n";
  }
  static const char* const kFaces[2] = {"front", "back"};
  static const struct {
    GLenum pname;
    const char* name;
    int components;
  } kColours[4] = {{GL_EMISSION, "emission", 3},
                   {GL_AMBIENT, "ambient", 3},
                   {GL_DIFFUSE, "diffuse", 4},
                   {GL_SPECULAR, "specular", 3}};
  for (int f = 0; f < 2; ++f) {
    const GLenum face = f == 0 ? GL_FRONT : GL_BACK;
    for (int c = 0; c < 4; ++c) {
      const GLfloat* cached = FMaterialColors[f][c];
      if (IsUnknownColour(cached)) continue;
      GLfloat gl[4] = {};
      GL.glGetMaterialfv(face, kColours[c].pname, gl);
      bool differs = false;
      for (int k = 0; k < kColours[c].components; ++k) differs = differs || std::fabs(gl[k] - cached[k]) > 1e-4f;
      if (differs)
        out += std::string(kFaces[f]) + " " + kColours[c].name + ": cached " + Floats(cached, kColours[c].components) +
               ", GL " + Floats(gl, kColours[c].components) + "\n";
    }
    if (FShininess[f] >= 0) {
      GLfloat gl = 0;
      GL.glGetMaterialfv(face, GL_SHININESS, &gl);
      if (std::fabs(gl - GLfloat(FShininess[f])) > 0.5f)
        out +=
            std::string(kFaces[f]) + " shininess: cached " + IntToStr(FShininess[f]) + ", GL " + FloatToStr(gl) + "\n";
    }
  }
  GLint modes[2] = {};
  GL.glGetIntegerv(GL_POLYGON_MODE, modes);
  for (int f = 0; f < 2; ++f)
    if (FPolygonModes[f] != 0 && GLenum(modes[f]) != FPolygonModes[f])
      out += std::string(kFaces[f]) + " polygon mode: cached " + IntToStr(int(FPolygonModes[f])) + ", GL " +
             IntToStr(modes[f]) + "\n";
  GLint frontFace = GL_CCW;
  GL.glGetIntegerv(GL_FRONT_FACE, &frontFace);
  if ((frontFace == GL_CCW) != FFrontFaceCCW)
    out += std::string("front face: cached ") + (FFrontFaceCCW ? "ccw" : "cw") + ", GL " +
           (frontFace == GL_CCW ? "ccw" : "cw") + "\n";
  // Between objects the winding is the pass's (reversed in a reflected pass): an object that
  // turned it turns it back, whether GL and the cache agree or not.
  if (FFrontFaceCCW == FWindingReversed)
    out += std::string("front face: cached ") + (FFrontFaceCCW ? "ccw" : "cw") + ", the pass's " +
           (FWindingReversed ? "cw" : "ccw") + "\n";
  // Every slot the cache keeps is a texture unit: its binding (a name may be bound to any
  // target) where the cache knows one. Between objects the first unit is the active one, and the
  // others have no texture target on and an identity matrix (a material turns them on and off).
  GLint active = GL_TEXTURE0;
  GL.glGetIntegerv(GL_ACTIVE_TEXTURE, &active);
  if (active != GL_TEXTURE0) out += "active texture unit: GL " + IntToStr(active - GL_TEXTURE0) + ", cached 0\n";
  GLint units = 1;
  if (GL.glActiveTextureARB) GL.glGetIntegerv(0x84E2 /* GL_MAX_TEXTURE_UNITS */, &units);
  while (GL.glGetError() != GL_NO_ERROR) {
  }
  const GLenum kTargets[4] = {GL_TEXTURE_2D, GL_TEXTURE_1D, 0x8513, 0x84F5};
  const GLenum kBindings[4] = {GL_TEXTURE_BINDING_2D, GL_TEXTURE_BINDING_1D, 0x8514, 0x84F6};
  const char* const kTargetNames[4] = {"GL_TEXTURE_2D", "GL_TEXTURE_1D", "GL_TEXTURE_CUBE_MAP", "GL_TEXTURE_RECTANGLE"};
  for (int slot = 0; slot < std::min<int>(units, TextureSlotCount); ++slot) {
    if (GL.glActiveTextureARB) GL.glActiveTextureARB(GLenum(GL_TEXTURE0 + slot));
    const std::string unit = "texture slot " + IntToStr(slot);
    if (FBoundTextures[slot] >= 0) {
      bool found = false;
      for (GLenum binding : kBindings) {
        GLint name = -1;
        GL.glGetIntegerv(binding, &name);
        while (GL.glGetError() != GL_NO_ERROR) {
        }
        found = found || name == FBoundTextures[slot];
      }
      if (!found) out += unit + ": cached " + IntToStr(FBoundTextures[slot]) + ", GL bound elsewhere\n";
    }
    if (slot > 0)
      for (int k = 0; k < 4; ++k) {
        const bool on = GL.glIsEnabled(kTargets[k]) != GL_FALSE;
        while (GL.glGetError() != GL_NO_ERROR) {
        }
        if (on) out += unit + ": " + kTargetNames[k] + " on, cached off\n";
      }
    if (slot > 0 || FTextureMatrixIsIdentity) {
      GLfloat m[16];
      GL.glGetFloatv(GL_TEXTURE_MATRIX, m);
      for (int i = 0; i < 16; ++i)
        if (m[i] != ((i % 5 == 0) ? 1.0f : 0.0f)) {
          out += unit + " texture matrix: cached identity, GL not\n";
          break;
        }
    }
  }
  if (GL.glActiveTextureARB) GL.glActiveTextureARB(GLenum(active));
  return out;
}
