// State cache, checked through the GL calls it makes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Source/Base/GLRecorder.h"
#include "Source/Scene/GLState.h"
#include "tests/Source/BookkeepingContext.h"
#include "rtl/SysUtils.h"

namespace {

using TNames = std::vector<std::string>;

TEST(GLStateCache, EachStateChangeReachesGLOnce) {
  TGLRecorder rec;
  TGLStateCache cache;
  cache.EnableState(stBlend);
  cache.EnableState(stBlend);
  cache.DisableState(stFog);  // never enabled: nothing to do
  ASSERT_EQ(rec.Names(), TNames{"glEnable"});
  EXPECT_EQ(GLenum(rec.Calls[0].Args[0]), GLenum(GL_BLEND));
  cache.DisableState(stBlend);
  cache.DisableState(stBlend);
  EXPECT_EQ(rec.Names(), (TNames{"glEnable", "glDisable"}));
  EXPECT_FALSE(cache.StateEnabled(stBlend));

  // Every index names its own capability.
  const GLenum expected[GLStateCount] = {0x0BC0, 0x0D80, 0x0BE2, 0x0B57, 0x0B44, 0x0B71, 0x0BD0, 0x0B60,
                                         0x0B50, 0x0B20, 0x0B24, 0x0BF1, 0x0BA1, 0x0B10, 0x0B41, 0x0B42,
                                         0x0C11, 0x0B90, 0x0DE0, 0x0DE1, 0x8513, 0x84F5};
  rec.Clear();
  for (int i = 0; i < GLStateCount; ++i) cache.EnableState(TGLState(i));
  ASSERT_EQ(rec.Count("glEnable"), GLStateCount);
  for (int i = 0; i < GLStateCount; ++i) EXPECT_EQ(GLenum(rec.Calls[i].Args[0]), expected[i]) << i;
  EXPECT_EQ(cache.States(), (1u << GLStateCount) - 1);
  EXPECT_THROW(cache.EnableState(TGLState(GLStateCount)), EAssertionFailed);
}

TEST(GLStateCache, MaterialColoursAreSentOnlyWhenTheyDiffer) {
  TGLRecorder rec;
  TGLStateCache cache;
  cache.SendDefaultMaterial();
  EXPECT_EQ(rec.Names(), (TNames{"glMaterialfv", "glMaterialfv", "glMaterialfv", "glMaterialfv", "glMateriali"}));
  EXPECT_EQ(GLenum(rec.Calls[0].Args[0]), GLenum(GL_FRONT_AND_BACK));
  const GLenum defaults[] = {GL_AMBIENT, GL_DIFFUSE, GL_SPECULAR, GL_EMISSION};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(GLenum(rec.Calls[i].Args[1]), defaults[i]);
  EXPECT_EQ(rec.Calls[0].Data, (std::vector<double>{0.2f, 0.2f, 0.2f, 1.0f}));
  EXPECT_EQ(rec.Calls[1].Data, (std::vector<double>{0.8f, 0.8f, 0.8f, 1.0f}));
  EXPECT_EQ(rec.Calls[2].Data, (std::vector<double>{0, 0, 0, 1}));
  EXPECT_EQ(rec.Calls[3].Data, (std::vector<double>{0, 0, 0, 1}));
  EXPECT_EQ(rec.Calls[4].Args, (std::vector<double>{GL_FRONT_AND_BACK, GL_SHININESS, 0}));

  const GLfloat emission[4] = {0, 0, 0, 1}, ambient[4] = {0.2f, 0.2f, 0.2f, 1};
  const GLfloat diffuse[4] = {0.5f, 0.5f, 0.5f, 1}, specular[4] = {0, 0, 0, 1};
  rec.Clear();
  cache.SendMaterialColors(GL_FRONT, emission, ambient, diffuse, specular, 0);
  // Every colour is unknown after the default material; shininess 0 is not.
  ASSERT_EQ(rec.Count("glMaterialfv"), 4);
  EXPECT_EQ(rec.Count("glMateriali"), 0);
  const GLenum order[] = {GL_EMISSION, GL_AMBIENT, GL_DIFFUSE, GL_SPECULAR};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(GLenum(rec.Calls[i].Args[1]), order[i]);
  EXPECT_EQ(rec.Calls[2].Data, (std::vector<double>{0.5f, 0.5f, 0.5f, 1.0f}));

  rec.Clear();
  cache.SendMaterialColors(GL_FRONT, emission, ambient, diffuse, specular, 0);
  EXPECT_TRUE(rec.Calls.empty());

  // Alpha counts for diffuse only; shininess goes first.
  const GLfloat emissionAlpha[4] = {0, 0, 0, 0.5f}, specularAlpha[4] = {0, 0, 0, 0.5f};
  const GLfloat ambientAlpha[4] = {0.2f, 0.2f, 0.2f, 0.5f}, diffuseAlpha[4] = {0.5f, 0.5f, 0.5f, 0.5f};
  cache.SendMaterialColors(GL_FRONT, emissionAlpha, ambientAlpha, diffuseAlpha, specularAlpha, 32);
  ASSERT_EQ(rec.Names(), (TNames{"glMateriali", "glMaterialfv"}));
  EXPECT_EQ(GLenum(rec.Calls[1].Args[1]), GLenum(GL_DIFFUSE));

  // The back face has a cache of its own.
  rec.Clear();
  cache.SendMaterialColors(GL_BACK, emission, ambient, diffuse, specular, 0);
  EXPECT_EQ(rec.Count("glMaterialfv"), 4);
  EXPECT_EQ(GLenum(rec.Calls[0].Args[0]), GLenum(GL_BACK));
}

TEST(GLStateCache, BothFacesAtOnceAndAlphaChanges) {
  TGLRecorder rec;
  TGLStateCache cache;
  const GLfloat black[4] = {0, 0, 0, 1}, grey[4] = {0.5f, 0.5f, 0.5f, 1};
  // Both faces: each face compared and sent on its own (no write past the cache).
  cache.SendMaterialColors(GL_FRONT_AND_BACK, black, black, grey, black, 10);
  EXPECT_EQ(rec.Count("glMateriali"), 2);
  rec.Clear();
  cache.SendMaterialColors(GL_FRONT, black, black, grey, black, 10);
  cache.SendMaterialColors(GL_BACK, black, black, grey, black, 10);
  cache.SendMaterialColors(0x1234, black, black, grey, black, 99);  // not a face: ignored
  EXPECT_TRUE(rec.Calls.empty());

  cache.SetMaterialAlpha(GL_FRONT, 1.0f);  // unchanged
  EXPECT_TRUE(rec.Calls.empty());
  cache.SetMaterialAlpha(GL_FRONT, 0.25f);
  ASSERT_EQ(rec.Names(), TNames{"glMaterialfv"});
  EXPECT_EQ(rec.Calls[0].Data, (std::vector<double>{0.5f, 0.5f, 0.5f, 0.25f}));
}

TEST(GLStateCache, PolygonModesPerFace) {
  TGLRecorder rec;
  TGLStateCache cache;
  cache.SetPolygonMode(GL_FRONT, GL_LINE);
  cache.SetPolygonMode(GL_BACK, GL_LINE);
  cache.SetPolygonMode(GL_FRONT_AND_BACK, GL_LINE);
  cache.SetPolygonMode(GL_FRONT, GL_LINE);
  cache.SetPolygonMode(0x1234, GL_FILL);
  EXPECT_EQ(rec.Count("glPolygonMode"), 2);
  cache.SetPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
  cache.SetPolygonMode(GL_BACK, GL_FILL);
  EXPECT_EQ(rec.Count("glPolygonMode"), 3);
  cache.ForgetPolygonModes();
  cache.SetPolygonMode(GL_BACK, GL_FILL);
  EXPECT_EQ(rec.Count("glPolygonMode"), 4);
}

TEST(GLStateCache, TexturesMatrixAndFrontFace) {
  TGLRecorder rec;
  TGLStateCache cache;
  cache.ResetTextureMatrix();  // identity from the start
  EXPECT_TRUE(rec.Calls.empty());

  GLfloat matrix[16] = {};
  matrix[0] = 2;
  cache.SetTextureMatrix(matrix);
  cache.ResetTextureMatrix();
  cache.ResetTextureMatrix();
  EXPECT_EQ(rec.Names(), (TNames{"glMatrixMode", "glLoadMatrixf", "glMatrixMode", "glMatrixMode", "glLoadIdentity",
                                 "glMatrixMode"}));
  EXPECT_EQ(rec.Calls[1].Data[0], 2.0);
  EXPECT_EQ(GLenum(rec.Calls[5].Args[0]), GLenum(GL_MODELVIEW));

  rec.Clear();
  cache.SetBoundTexture(0, GL_TEXTURE_2D, 5);
  cache.SetBoundTexture(0, GL_TEXTURE_2D, 5);
  cache.SetBoundTexture(7, GL_TEXTURE_2D, 5);
  EXPECT_EQ(rec.Count("glBindTexture"), 2);
  cache.ResetBoundTextures();
  EXPECT_EQ(cache.BoundTexture(0), -1);
  cache.SetBoundTexture(0, GL_TEXTURE_2D, 5);
  EXPECT_EQ(rec.Count("glBindTexture"), 3);
  EXPECT_THROW(cache.SetBoundTexture(8, GL_TEXTURE_2D, 1), EAssertionFailed);
  EXPECT_THROW(cache.SetBoundTexture(-1, GL_TEXTURE_2D, 1), EAssertionFailed);

  rec.Clear();
  cache.ToggleFrontFace();
  cache.ToggleFrontFace();
  ASSERT_EQ(rec.Count("glFrontFace"), 2);
  EXPECT_EQ(GLenum(rec.Calls[0].Args[0]), GLenum(GL_CW));
  EXPECT_EQ(GLenum(rec.Calls[1].Args[0]), GLenum(GL_CCW));
}

TEST(GLStateCache, ResetCachedStateKeepsEnablesAndForgetsTheRest) {
  TGLRecorder rec;
  TGLStateCache cache;
  cache.EnableState(stLighting);
  cache.SetPolygonMode(GL_FRONT_AND_BACK, GL_LINE);
  cache.SetBoundTexture(1, GL_TEXTURE_2D, 3);
  cache.ToggleFrontFace();
  rec.Clear();
  cache.ResetCachedState();
  EXPECT_EQ(rec.Names({"glMaterialfv", "glMateriali"}), TNames{"glFrontFace"});
  EXPECT_EQ(rec.Count("glMaterialfv"), 4);
  EXPECT_TRUE(cache.FrontFaceCCW());
  EXPECT_TRUE(cache.StateEnabled(stLighting));
  EXPECT_EQ(cache.BoundTexture(1), -1);
  rec.Clear();
  cache.EnableState(stLighting);
  cache.SetPolygonMode(GL_FRONT_AND_BACK, GL_LINE);
  EXPECT_EQ(rec.Names(), TNames{"glPolygonMode"});
}

}  // namespace

namespace {

// A display list compiled through the cache records every call, whatever the cache believed;
// the compile leaves the cache as it was; a replay leaves what the list ends with.
TEST(GLStateCache, AListCompileRecordsEveryCallAndAReplayLeavesWhatTheListSet) {
  TGLRecorder rec;
  TGLStateCache cache;
  cache.ResetToGLDefaults();
  cache.EnableState(stBlend);
  cache.EnableState(stLighting);
  const GLfloat black[4] = {0, 0, 0, 1}, white[4] = {1, 1, 1, 1}, red[4] = {1, 0, 0, 1};
  cache.SendMaterialColors(GL_FRONT, black, black, white, black, 0);
  rec.Clear();

  const TGLStateCache::TSnapshot before = cache.BeginListCompile();
  cache.EnableState(stBlend);      // believed on: still recorded
  cache.DisableState(stLighting);  // changed by the list
  cache.SendMaterialColors(GL_FRONT, black, black, red, black, 0);
  EXPECT_EQ(rec.Count("glEnable"), 1);
  EXPECT_EQ(rec.Count("glDisable"), 1);
  EXPECT_EQ(rec.Count("glMaterialfv"), 4);  // every colour, though emission and the rest were known
  const auto after = cache.EndListCompile(before);
  ASSERT_TRUE(after.has_value());
  // Compiling drew nothing: the cache is as before.
  EXPECT_TRUE(cache.StateEnabled(stLighting));
  rec.Clear();
  cache.SendMaterialColors(GL_FRONT, black, black, white, black, 0);
  EXPECT_EQ(rec.Count("glMaterialfv"), 0);

  // After a replay: lighting off and red as the list left them, blend as it was.
  cache.DisableState(stBlend);
  cache.ListReplayed(*after);
  EXPECT_FALSE(cache.StateEnabled(stLighting));
  EXPECT_TRUE(cache.StateEnabled(stBlend));  // the list enabled it
  rec.Clear();
  cache.SendMaterialColors(GL_FRONT, black, black, red, black, 0);
  EXPECT_EQ(rec.Count("glMaterialfv"), 0);
  cache.EnableState(stLighting);
  EXPECT_EQ(rec.Count("glEnable"), 1);

  // A list that sends nothing through the cache leaves nothing to take.
  const TGLStateCache::TSnapshot again = cache.BeginListCompile();
  EXPECT_FALSE(cache.EndListCompile(again).has_value());
}

// A glPopAttrib of the enables: the cache takes the enables of the push again.
TEST(GLStateCache, EnablesRestoredAfterAnEnablePop) {
  TGLRecorder rec;
  TGLStateCache cache;
  cache.ResetToGLDefaults();
  const TGLStateCache::TEnables pushed = cache.Enables();
  cache.EnableState(stBlend);
  cache.EnableState(stStencilTest);
  cache.EnablesRestored(pushed);
  EXPECT_FALSE(cache.StateEnabled(stBlend));
  rec.Clear();
  cache.EnableState(stBlend);  // GL has it off again: sent
  EXPECT_EQ(rec.Count("glEnable"), 1);
  // Through the cache, or directly without one.
  SetGLState(&cache, stFog, true);
  EXPECT_TRUE(cache.StateEnabled(stFog));
  rec.Clear();
  SetGLState(nullptr, stFog, false);
  ASSERT_EQ(rec.Count("glDisable"), 1);
  EXPECT_EQ(GLenum(rec.Calls[0].Args[0]), GLenum(GL_FOG));
}

// While a list compiles, a state the list has not set reads as it was when the compile began,
// and the list is for replays that meet it so: ListMeets tells. What the list sets itself is no
// condition; a list that reads nothing and sends nothing leaves nothing.
TEST(GLStateCache, AListIsForTheStatesItReadWhileCompiled) {
  TGLRecorder rec;
  TGLStateCache cache;
  cache.ResetToGLDefaults();
  cache.EnableState(stLighting);
  TGLStateCache::TSnapshot before = cache.BeginListCompile();
  EXPECT_TRUE(cache.StateEnabled(stLighting));  // as at the start: a lit material goes in
  cache.DisableState(stFog);
  EXPECT_FALSE(cache.StateEnabled(stFog));  // set by the list: no condition
  const auto lit = cache.EndListCompile(before);
  ASSERT_TRUE(lit.has_value());
  EXPECT_TRUE(cache.ListMeets(*lit));
  cache.EnableState(stFog);
  EXPECT_TRUE(cache.ListMeets(*lit));
  cache.DisableState(stLighting);
  EXPECT_FALSE(cache.ListMeets(*lit));  // the buffer's lighting went off: compiled again

  before = cache.BeginListCompile();
  EXPECT_FALSE(cache.StateEnabled(stLighting));
  const auto unlit = cache.EndListCompile(before);
  ASSERT_TRUE(unlit.has_value());  // sent nothing, but is for an unlit replay
  EXPECT_TRUE(cache.ListMeets(*unlit));
  cache.EnableState(stLighting);
  EXPECT_FALSE(cache.ListMeets(*unlit));

  before = cache.BeginListCompile();
  EXPECT_FALSE(cache.EndListCompile(before).has_value());

  // glFrontFace is absolute: a list that turns the winding and back is for its own winding only,
  // and leaves it as it found it.
  before = cache.BeginListCompile();
  cache.ToggleFrontFace();
  cache.ToggleFrontFace();
  const auto inside = cache.EndListCompile(before);
  ASSERT_TRUE(inside.has_value());
  EXPECT_TRUE(cache.ListMeets(*inside));
  cache.ReverseWinding();  // a reflected pass
  EXPECT_FALSE(cache.ListMeets(*inside));
  cache.ReverseWinding();
  cache.ListReplayed(*inside);
  EXPECT_TRUE(cache.FrontFaceCCW());
}

// One list per state set: two views in other states each replay their own, a list that reads
// nothing serves every state, a structure change frees them all, and past MaxLists the one used
// least recently goes.
TEST(GLStateCache, ListsPerStateSetAreCompiledOnce) {
  TGLRecorder rec;
  GLuint next = 1;
  rec.Results["glGenLists"] = [&next](const TGLCall&) { return std::uintptr_t(next++); };
  TBookkeepingContext context;
  context.CreateOffScreen(nullptr, 1, 1);
  context.ActivateNested();
  TGLStateCache cache;
  cache.ResetToGLDefaults();
  TGLStateLists lists;
  const auto lit = [&cache] { cache.StateEnabled(stLighting); };
  for (int frame = 0; frame < 3; ++frame)
    for (const bool on : {true, false}) {
      cache.SetState(stLighting, on);
      EXPECT_EQ(lists.Get(&cache, 0, lit), on ? 1u : 2u);
      lists.Call(&cache);
    }
  EXPECT_EQ(rec.Count("glNewList"), 2);
  EXPECT_EQ(rec.Count("glCallList"), 6);
  EXPECT_EQ(lists.Get(&cache, 1, lit), 3u);  // another pass: the buffer's face culling
  EXPECT_EQ(lists.Get(&cache, 1, lit), 3u);
  lists.Free();
  for (const bool on : {true, false})
    for (const std::uint32_t pass : {0u, 1u}) {
      cache.SetState(stLighting, on);
      EXPECT_EQ(lists.Get(&cache, pass, [] {}), 4u);
    }
  lists.Free();
  for (int pass = 0; pass < 5; ++pass) lists.Get(&cache, std::uint32_t(pass), lit);
  EXPECT_EQ(lists.Count(), TGLStateLists::MaxLists);
  EXPECT_EQ(lists.Get(&cache, 4, lit), 9u);
  EXPECT_EQ(lists.Get(&cache, 0, lit), 10u);  // the first went
  context.DeactivateNested();
}

// A reflected pass reverses the winding: the front face flips, a reset keeps to the flipped
// winding, and the second reversal brings both back.
TEST(GLStateCache, AReversedWindingHoldsThroughAReset) {
  TGLRecorder rec;
  TGLStateCache cache;
  cache.ResetToGLDefaults();
  cache.ReverseWinding();
  EXPECT_FALSE(cache.FrontFaceCCW());
  cache.ResetCachedState();
  EXPECT_FALSE(cache.FrontFaceCCW());
  ASSERT_GE(rec.Count("glFrontFace"), 2);
  EXPECT_EQ(GLenum(rec.CallsTo("glFrontFace").back().Args[0]), GLenum(GL_CW));
  cache.ToggleFrontFace();  // an inside-out object within the reflection
  EXPECT_TRUE(cache.FrontFaceCCW());
  cache.ToggleFrontFace();
  cache.ReverseWinding();
  EXPECT_TRUE(cache.FrontFaceCCW());
  cache.ResetFrontFace();
  EXPECT_EQ(GLenum(rec.CallsTo("glFrontFace").back().Args[0]), GLenum(GL_CCW));
}

}  // namespace
