// OpenGL state cache: a per-render-pass record of fixed-function state that skips
// GL calls which would change nothing (capability enables, polygon modes,
// material colours and shininess, bound textures per slot, the texture matrix,
// the front-face winding).
//
// The cache believes it is the only writer of that state: code that changes it
// directly must restore what it changed. A fresh cache is not in line with GL
// until ResetCachedState (and the enables a pass relies on) have been sent.
//
// Every call goes through the entry-point table (Source/Base/OpenGL1x.h). Only
// the thread that owns the current context may use a cache.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Source/Base/OpenGL1x.h"
#include "rtl/System.h"

// Index into the fixed table of capabilities the cache tracks.
enum TGLState : int {
  stAlphaTest,       // GL_ALPHA_TEST
  stAutoNormal,      // GL_AUTO_NORMAL
  stBlend,           // GL_BLEND
  stColorMaterial,   // GL_COLOR_MATERIAL
  stCullFace,        // GL_CULL_FACE
  stDepthTest,       // GL_DEPTH_TEST
  stDither,          // GL_DITHER
  stFog,             // GL_FOG
  stLighting,        // GL_LIGHTING
  stLineSmooth,      // GL_LINE_SMOOTH
  stLineStipple,     // GL_LINE_STIPPLE
  stLogicOp,         // GL_LOGIC_OP
  stNormalize,       // GL_NORMALIZE
  stPointSmooth,     // GL_POINT_SMOOTH
  stPolygonSmooth,   // GL_POLYGON_SMOOTH
  stPolygonStipple,  // GL_POLYGON_STIPPLE
  stScissorTest,     // GL_SCISSOR_TEST
  stStencilTest,     // GL_STENCIL_TEST
  stTexture1D,       // GL_TEXTURE_1D
  stTexture2D,       // GL_TEXTURE_2D
  stTextureCubeMap,  // GL_TEXTURE_CUBE_MAP_ARB
  stTextureRect,     // GL_TEXTURE_RECTANGLE_NV
};

constexpr int GLStateCount = 22;

// The GL capability of a state.
GLenum GLStateCapability(TGLState state);

// The GL default material on both faces, sent without a cache (inside an attribute block
// whose pop restores what a cache believes).
void SendGLDefaultMaterial();

class TGLStateCache : public TObject {
  RTL_CLASS(TGLStateCache, TObject)

 public:
  using TColor = GLfloat[4];
  static constexpr int TextureSlotCount = 8;

  // Everything unknown (zero), front face counter-clockwise, texture matrix identity.
  TGLStateCache();

  // glEnable / glDisable only when the cached bit differs.
  void EnableState(TGLState state);
  void DisableState(TGLState state);
  // While a list is compiled, a state the list has not set yet reads as it was when the compile
  // began: what the list holds is then for a replay that meets that state, and the list notes
  // it (ListMeets tells whether a replay does).
  bool StateEnabled(TGLState state) const;
  void SetState(TGLState state, bool enabled) { enabled ? EnableState(state) : DisableState(state); }
  // The enabled-state set, bit n for state n.
  std::uint32_t States() const { return FStates; }

  // face is GL_FRONT, GL_BACK or GL_FRONT_AND_BACK; other faces are ignored.
  void SetPolygonMode(GLenum face, GLenum mode);
  void ForgetPolygonModes();

  // face is GL_FRONT or GL_BACK (GL_FRONT_AND_BACK sends to both); sends only
  // what differs from the cache: shininess, then emission, ambient, diffuse, specular.
  void SendMaterialColors(GLenum face, const GLfloat emission[4], const GLfloat ambient[4], const GLfloat diffuse[4],
                          const GLfloat specular[4], GLint shininess);
  void SetMaterialAlpha(GLenum face, GLfloat alpha);
  // Sends the GL default material to both faces and makes every colour unknown.
  void SendDefaultMaterial();

  // slot 0..7 (an assertion failure otherwise).
  void SetBoundTexture(int slot, GLenum target, GLuint name);
  void ResetBoundTextures();
  // The cached name of a slot; -1 when unknown.
  std::int32_t BoundTexture(int slot) const;

  void SetTextureMatrix(const GLfloat matrix[16]);
  void ResetTextureMatrix();

  void ToggleFrontFace();
  // Back to the pass's winding: counter-clockwise, clockwise while the winding is reversed.
  void ResetFrontFace();
  bool FrontFaceCCW() const { return FFrontFaceCCW; }
  // A reflected pass mirrors every object, which turns its winding: the front face flips now and
  // ResetFrontFace keeps to the flipped winding until the reversal is called again.
  void ReverseWinding();
  bool WindingReversed() const { return FWindingReversed; }

  // What a new context holds, without a GL call: every tracked capability off
  // but GL_DITHER, front face counter-clockwise, texture matrix identity;
  // material colours, polygon modes and bound textures unknown.
  void ResetToGLDefaults();

  // ForgetPolygonModes, SendDefaultMaterial, ResetBoundTextures, ResetFrontFace;
  // the enabled states and the texture-matrix flag are kept.
  void ResetCachedState();

  // What the cache believes of the enables, taken at a glPushAttrib of GL_ENABLE_BIT; after the
  // pop GL holds those enables again, and EnablesRestored makes the cache believe them again
  // (no GL call).
  struct TEnables {
    std::uint32_t States, Known;
  };
  TEnables Enables() const { return {FStates, FKnownStates}; }
  void EnablesRestored(const TEnables& enables) {
    FStates = enables.States;
    FKnownStates = enables.Known;
  }

  // The whole cached state, as a value.
  struct TSnapshot {
    GLfloat MaterialColors[2][4][4];
    GLint Shininess[2];
    std::uint32_t States, KnownStates;
    std::int32_t BoundTextures[TextureSlotCount];
    GLenum PolygonModes[2];
    bool FrontFaceCCW, TextureMatrixIsIdentity;
    bool FrontFaceSent;  // while a list compiled: whether it set the winding
    // The winding when the compile began: glFrontFace is absolute, so a list that sets the winding
    // is for replays in that winding only (a reflected pass has the other).
    bool CompiledCCW, CompiledReversed;
    // States the list read before it set them, and their values then.
    std::uint32_t Assumed, AssumedStates;
  };

  // A display list compiled through the cache. Compiling changes no GL state, and the list is
  // replayed later over state the compile cannot know, so while compiling every call is sent
  // (and so recorded) whatever the cache believes, and afterwards the cache is as before the
  // compile. What a replay leaves is what the compile ended with: ListReplayed takes it after
  // each glCallList. EndListCompile gives nothing when the list sent nothing through the cache
  // and read no state it had not set. A list is replayed only where ListMeets: every state it
  // was compiled for is as it was then (else it is compiled again).
  TSnapshot BeginListCompile();
  std::optional<TSnapshot> EndListCompile(const TSnapshot& before);
  void ListReplayed(const TSnapshot& after);
  bool ListMeets(const TSnapshot& after) const {
    return ((FStates ^ after.AssumedStates) & after.Assumed) == 0 &&
           (!after.FrontFaceSent || (FFrontFaceCCW == after.CompiledCCW && FWindingReversed == after.CompiledReversed));
  }

  // Checking (tests): each tracked state whose cached value is not what GL reports, one line
  // each, e.g. "GL_BLEND: cached on, GL off"; empty when the cache is in step. Every texture
  // slot is compared: its binding where known, the first unit active, no texture target on and
  // an identity texture matrix on the others; the winding is the pass's. Queries GL
  // (glIsEnabled, glGet*), so it is never called while drawing; unknown entries are skipped,
  // and while a list is compiled there is nothing to compare (GL does not take what it holds).
  std::string Mismatches() const;
  // True while a display list is compiled through the cache: another cannot begin until it ends.
  bool Compiling() const noexcept { return FCompiling; }

 private:
  enum { kEmission, kAmbient, kDiffuse, kSpecular };
  // [face][colour]: face 0 front, 1 back.
  GLfloat FMaterialColors[2][4][4];
  GLint FShininess[2];
  std::uint32_t FStates;
  // States whose bit in FStates is known to be GL's (all but while a list is compiled).
  std::uint32_t FKnownStates;
  // GL calls sent, to tell whether a compiled list holds any.
  std::uint32_t FSent;
  bool FCompiling = false;
  std::int32_t FBoundTextures[TextureSlotCount];
  GLenum FPolygonModes[2];
  bool FFrontFaceCCW;
  bool FWindingReversed = false;
  bool FFrontFaceSent = false;
  mutable std::uint32_t FAssumed = 0;  // states read but not known while a list compiles
  bool FTextureMatrixIsIdentity;

  TSnapshot Snapshot() const;
  void Load(const TSnapshot& s);
  void SendFaceColors(int index, GLenum face, const GLfloat emission[4], const GLfloat ambient[4],
                      const GLfloat diffuse[4], const GLfloat specular[4], GLint shininess);
};

class TGLListHandle;

// The display lists of one object, one for each state set it was compiled for (the lighting its
// materials drew for, the winding it set, the pass flags it read): two viewers of one scene, or a
// pass and its reflection, each replay their own list instead of compiling one every frame. A
// list that depends on nothing is compiled once. At most MaxLists are kept; past that the one
// used least recently is compiled again. The lists go with the context they were made in (its
// sharing group).
class TGLStateLists {
 public:
  static constexpr size_t MaxLists = 4;
  TGLStateLists();
  ~TGLStateLists();
  TGLStateLists(const TGLStateLists&) = delete;
  TGLStateLists& operator=(const TGLStateLists&) = delete;

  // The name of the list for the cache's present state and `pass` (what the build reads of the
  // pass beyond the cache), compiled through the cache with `build` when none fits. A build that
  // raises leaves no list; one that frees the holder of these lists (a draw handler freeing its
  // object) gives 0 and touches nothing of them after. `cache` may be null: one list, for every state.
  uint32_t Get(TGLStateCache* cache, uint32_t pass, const std::function<void()>& build);
  // glCallList of the list Get gave last; the cache then takes what the list leaves.
  void Call(TGLStateCache* cache);
  // Every list freed.
  void Free();
  bool Empty() const noexcept;
  size_t Count() const noexcept;
  // The list Get gave last; null when there is none.
  TGLListHandle* Last() const noexcept;

 private:
  struct TList;
  std::vector<TList> FLists;                                    // the one used last first
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);  // false once these lists are gone
};

// A tracked capability on or off through the cache, so that what is drawn meanwhile meets what
// the cache believes; directly when there is no cache.
void SetGLState(TGLStateCache* cache, TGLState state, bool enabled);
