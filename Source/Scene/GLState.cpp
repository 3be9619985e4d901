// The OpenGL state cache: capability enables, polygon modes, material colours, texture bindings,
// the texture matrix and the front-face winding.
#include "Source/Scene/GLState.h"

#include <cstring>

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
      FBoundTextures{},
      FPolygonModes{},
      FFrontFaceCCW(true),
      FTextureMatrixIsIdentity(true) {}

void TGLStateCache::EnableState(TGLState state) {
  const std::uint32_t bit = Bit(state);
  if (FStates & bit) return;
  FStates |= bit;
  GL.glEnable(kCapabilities[state]);
}

void TGLStateCache::DisableState(TGLState state) {
  const std::uint32_t bit = Bit(state);
  if (!(FStates & bit)) return;
  FStates &= ~bit;
  GL.glDisable(kCapabilities[state]);
}

bool TGLStateCache::StateEnabled(TGLState state) const { return (FStates & Bit(state)) != 0; }

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
  GL.glMaterialfv(face, GL_DIFFUSE, diffuse);
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
  SendGLDefaultMaterial();
  // 0x7F7F7F7F is a float no colour holds, so the next compare always differs.
  std::memset(FMaterialColors, 0x7F, sizeof(FMaterialColors));
  FShininess[0] = FShininess[1] = 0;
}

void TGLStateCache::SetBoundTexture(int slot, GLenum target, GLuint name) {
  RTL_ASSERT(slot >= 0 && slot < TextureSlotCount);
  if (FBoundTextures[slot] == std::int32_t(name)) return;
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
  GL.glMatrixMode(GL_TEXTURE);
  GL.glLoadMatrixf(matrix);
  GL.glMatrixMode(GL_MODELVIEW);
  FTextureMatrixIsIdentity = false;
}

void TGLStateCache::ResetTextureMatrix() {
  if (FTextureMatrixIsIdentity) return;
  GL.glMatrixMode(GL_TEXTURE);
  GL.glLoadIdentity();
  GL.glMatrixMode(GL_MODELVIEW);
  FTextureMatrixIsIdentity = true;
}

void TGLStateCache::ToggleFrontFace() {
  FFrontFaceCCW = !FFrontFaceCCW;
  GL.glFrontFace(FFrontFaceCCW ? GL_CCW : GL_CW);
}

void TGLStateCache::ResetFrontFace() {
  GL.glFrontFace(GL_CCW);
  FFrontFaceCCW = true;
}

void TGLStateCache::ResetToGLDefaults() {
  FStates = Bit(stDither);
  std::memset(FMaterialColors, 0x7F, sizeof(FMaterialColors));
  // No shininess is negative: the first send always goes out.
  FShininess[0] = FShininess[1] = -1;
  ResetBoundTextures();
  ForgetPolygonModes();
  FFrontFaceCCW = true;
  FTextureMatrixIsIdentity = true;
}

void TGLStateCache::ResetCachedState() {
  ForgetPolygonModes();
  SendDefaultMaterial();
  ResetBoundTextures();
  ResetFrontFace();
}
