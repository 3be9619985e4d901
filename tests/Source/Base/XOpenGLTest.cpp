// Texture-coordinate mapping modes, checked through the recorded GL calls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Source/Base/GLRecorder.h"
#include "Source/Base/XOpenGL.h"
#include "rtl/SysUtils.h"

namespace {

using TNames = std::vector<std::string>;

class XOpenGL : public testing::Test {
 protected:
  TGLRecorder Rec;
  void SetUp() override { GLCaps.ARB_multitexture = true; }
  void TearDown() override {
    RestoreSecondTexCoordUnit();
    SetMapTexCoordModeNull();
  }
  // The units named by the calls to `name` (their first argument).
  std::vector<GLenum> UnitsOf(const std::string& name) const {
    std::vector<GLenum> units;
    for (const auto& call : Rec.CallsTo(name)) units.push_back(GLenum(call.Args[0]));
    return units;
  }
};

TEST_F(XOpenGL, EachModeFeedsItsUnits) {
  MappedTexCoord2f(1, 2);  // Null at start: dropped
  EXPECT_TRUE(Rec.Calls.empty());

  SetMapTexCoordModeMain();
  MappedTexCoord2f(1, 2);
  MappedEnable(GL_TEXTURE_2D);
  EXPECT_EQ(Rec.Names(), (TNames{"glTexCoord2f", "glEnable"}));

  Rec.Clear();
  SetMapTexCoordModeSecond();
  MappedTexCoord2f(1, 2);
  MappedEnable(GL_TEXTURE_2D);
  EXPECT_EQ(Rec.Names(), (TNames{"glMultiTexCoord2fARB", "glActiveTextureARB", "glEnable", "glActiveTextureARB"}));
  EXPECT_EQ(UnitsOf("glMultiTexCoord2fARB"), std::vector<GLenum>{GL_TEXTURE1_ARB});
  EXPECT_EQ(UnitsOf("glActiveTextureARB"), (std::vector<GLenum>{GL_TEXTURE1_ARB, GL_TEXTURE0_ARB}));

  Rec.Clear();
  SetMapTexCoordModeDual();
  const GLfloat st[2] = {0.25f, 0.75f};
  MappedTexCoord2fv(st);
  MappedTexGeni(GL_S, GL_TEXTURE_GEN_MODE, GL_SPHERE_MAP);
  EXPECT_EQ(Rec.Names(), (TNames{"glTexCoord2fv", "glMultiTexCoord2fvARB", "glTexGeni", "glActiveTextureARB",
                                 "glTexGeni", "glActiveTextureARB"}));
  EXPECT_EQ(Rec.Calls[1].Data, (std::vector<double>{0.25, 0.75}));
  EXPECT_EQ(UnitsOf("glActiveTextureARB"), (std::vector<GLenum>{GL_TEXTURE1_ARB, GL_TEXTURE0_ARB}));

  Rec.Clear();
  MapTexCoordUnitsFromMask(5);
  MappedTexCoord3f(1, 2, 3);
  MappedDisable(GL_TEXTURE_2D);
  EXPECT_EQ(UnitsOf("glMultiTexCoord3fARB"), (std::vector<GLenum>{GL_TEXTURE0_ARB, GL_TEXTURE2_ARB}));
  EXPECT_EQ(UnitsOf("glActiveTextureARB"), (std::vector<GLenum>{GL_TEXTURE0_ARB, GL_TEXTURE2_ARB, GL_TEXTURE0_ARB}));
  EXPECT_EQ(Rec.Count("glDisable"), 2);
  EXPECT_EQ(Rec.Count("glTexCoord3f"), 0);
}

TEST_F(XOpenGL, ClientStateCallsEndOnUnitZeroInEveryMode) {
  int values[8] = {};
  for (auto set : {&SetMapTexCoordModeMain, &SetMapTexCoordModeSecond, &SetMapTexCoordModeDual}) {
    set();
    Rec.Clear();
    MappedEnableClientState(GL_TEXTURE_COORD_ARRAY);
    MappedTexCoordPointer(2, GL_FLOAT, 0, values);
    MappedDisableClientState(GL_TEXTURE_COORD_ARRAY);
    const auto units = UnitsOf("glClientActiveTextureARB");
    if (!units.empty()) {
      EXPECT_EQ(units.back(), GLenum(GL_TEXTURE0_ARB));
    }
    EXPECT_GE(Rec.Count("glTexCoordPointer"), 1);
  }
  // Dual: unit 0 as it stands, then unit 1 selected and released again.
  SetMapTexCoordModeDual();
  Rec.Clear();
  MappedEnableClientState(GL_TEXTURE_COORD_ARRAY);
  EXPECT_EQ(Rec.Names(), (TNames{"glEnableClientState", "glClientActiveTextureARB", "glEnableClientState",
                                 "glClientActiveTextureARB"}));
  EXPECT_EQ(UnitsOf("glClientActiveTextureARB"), (std::vector<GLenum>{GL_TEXTURE1_ARB, GL_TEXTURE0_ARB}));

  MapTexCoordUnitsFromMask(6);
  Rec.Clear();
  MappedTexGenf(GL_T, GL_TEXTURE_GEN_MODE, GLfloat(GL_OBJECT_LINEAR));
  EXPECT_EQ(Rec.Names(),
            (TNames{"glActiveTextureARB", "glTexGenf", "glActiveTextureARB", "glTexGenf", "glActiveTextureARB"}));
  EXPECT_EQ(UnitsOf("glActiveTextureARB"), (std::vector<GLenum>{GL_TEXTURE1_ARB, GL_TEXTURE2_ARB, GL_TEXTURE0_ARB}));
  Rec.Clear();
  MappedTexCoordPointer(2, GL_FLOAT, 0, values);
  EXPECT_EQ(UnitsOf("glClientActiveTextureARB"),
            (std::vector<GLenum>{GL_TEXTURE1_ARB, GL_TEXTURE2_ARB, GL_TEXTURE0_ARB}));
  EXPECT_EQ(Rec.Count("glTexCoordPointer"), 2);
}

TEST_F(XOpenGL, BracketsApplyOnlyTheFinalModeAtTheOutermostEnd) {
  // Without multitexture an actual switch to Second would fail: the bracket
  // makes only Main take effect.
  GLCaps.ARB_multitexture = false;
  BeginMapTexCoordUpdate();
  SetMapTexCoordModeSecond();
  EXPECT_EQ(GetMapTexCoordUnitMask(), 2u);  // the pending mode
  SetMapTexCoordModeMain();
  EXPECT_EQ(MapTexCoordMode(), mtcmNull);
  EXPECT_NO_THROW(EndMapTexCoordUpdate());
  EXPECT_EQ(MapTexCoordMode(), mtcmMain);

  BeginMapTexCoordUpdate();
  BeginMapTexCoordUpdate();
  SetMapTexCoordModeDual();
  SetMapTexCoordModeNull();
  EndMapTexCoordUpdate();
  EXPECT_EQ(MapTexCoordMode(), mtcmMain);  // inner End applies nothing
  EndMapTexCoordUpdate();
  EXPECT_EQ(MapTexCoordMode(), mtcmNull);

  EXPECT_THROW(EndMapTexCoordUpdate(), EAssertionFailed);  // no Begin
  EXPECT_THROW(SetMapTexCoordModeDual(), EAssertionFailed);
  EXPECT_THROW(MapTexCoordUnitsFromMask(1), EAssertionFailed);
  EXPECT_EQ(MapTexCoordMode(), mtcmNull);
  EXPECT_THROW(GetMapTexCoordUnitMask(), EAssertionFailed);
}

TEST_F(XOpenGL, MasksAndSuppressedSecondUnit) {
  MapTexCoordUnitsFromMask(5);
  EXPECT_EQ(GetMapTexCoordUnitMask(), 5u);
  SetMapTexCoordModeMain();
  AddMapTexCoordUnits(2);
  EXPECT_EQ(MapTexCoordMode(), mtcmArbitrary);
  EXPECT_EQ(GetMapTexCoordUnitMask(), 3u);

  SuppressSecondTexCoordUnit();
  SetMapTexCoordModeDual();
  EXPECT_EQ(MapTexCoordMode(), mtcmMain);
  SetMapTexCoordModeSecond();
  EXPECT_EQ(MapTexCoordMode(), mtcmNull);
  MapTexCoordUnitsFromMask(3);
  EXPECT_EQ(GetMapTexCoordUnitMask(), 1u);
  Rec.Clear();
  MappedTexCoord2f(0, 0);
  EXPECT_EQ(UnitsOf("glMultiTexCoord2fARB"), std::vector<GLenum>{GL_TEXTURE0_ARB});
  RestoreSecondTexCoordUnit();
  SetMapTexCoordModeSecond();
  EXPECT_EQ(MapTexCoordMode(), mtcmSecond);
}

}  // namespace
