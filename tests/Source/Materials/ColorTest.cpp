// Tests of colours and face properties: colour conversion and rounding, change notification,
// the stored form, and application through the state cache.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Source/Materials/GLColor.h"
#include "Source/Scene/GLCrossPlatform.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Scene/GLState.h"
#include "Source/Materials/GLTexture.h"
#include "rtl/Streaming.h"
#include "tests/Source/Base/GLRecorder.h"

// Writes the published and defined properties of `from` as a stored form does and reads them
// into `to` (shared by the material tests).
void CopyThroughStoredForm(TPersistent* from, TPersistent* to) {
  TMemoryStream ms;
  {
    TWriter w(&ms);
    w.WriteProperties(from);
    w.WriteListEnd();
  }
  ms.SetPosition(0);
  TReader r(&ms);
  r.ReadProperties(to);
}

namespace {

// Counts the notifications that reach it.
class TCountingOwner : public TGLUpdateAbleComponent {
  RTL_CLASS(TCountingOwner, TGLUpdateAbleComponent)
 public:
  using TGLUpdateAbleComponent::TGLUpdateAbleComponent;
  void NotifyChange(TObject*) override { ++changes; }
  int changes = 0;
};

// The bytes a writer produces for the object's properties.
std::string WrittenProperties(TPersistent* p) {
  TMemoryStream ms;
  {
    TWriter w(&ms);
    w.WriteProperties(p);
  }
  std::string bytes(size_t(ms.Size()), '\0');
  ms.SetPosition(0);
  ms.ReadBuffer(bytes.data(), ms.Size());
  return bytes;
}

TEST(Color, WinColorConversionAndRounding) {
  TGLColor c(nullptr);
  c.SetColor(TVector4f{{0.5f, 0.5f, 0.5f, 1}});
  EXPECT_EQ(c.ToWinColor(), 0x808080u);  // 127.5 rounds to even
  for (unsigned b = 0; b < 256; ++b) {
    c.SetFromWinColor(b * 0x010101u);
    ASSERT_EQ(c.ToWinColor(), b * 0x010101u) << b;
  }
  // Out-of-range components never spill into the neighbouring byte.
  c.SetColor(TVector4f{{1.5f, -0.2f, 0.0f, 1}});
  EXPECT_EQ(c.ToWinColor(), 0x0000FFu);
}

TEST(Color, FromWinColorForcesOpaqueAndResolvesSystemColours) {
  TGLColor c(nullptr, TVector4f{{0, 0, 0, 0.75f}});
  c.SetFromWinColor(0x64FF64);
  EXPECT_FLOAT_EQ(c.Red(), 100.0f / 255.0f);
  EXPECT_FLOAT_EQ(c.Green(), 1.0f);
  EXPECT_FLOAT_EQ(c.Blue(), 100.0f / 255.0f);
  EXPECT_EQ(c.Alpha(), 1.0f);
  const TColor sys = GetSysColor(COLOR_WINDOW);
  c.SetFromWinColor(0x80000000u | COLOR_WINDOW);
  EXPECT_EQ(c.ToWinColor(), sys);
}

TEST(Color, NotificationRules) {
  int events = 0;
  TGLColor lonely(nullptr, clrBlack, [&](TObject*) { ++events; });
  lonely.SetColor(clrWhite);
  lonely.SetRed(0.5f);
  EXPECT_EQ(events, 0);  // no owner: silent, even with an event

  TCountingOwner owner(nullptr);
  TGLColor c(&owner, clrBlack, [&](TObject*) { ++events; });
  c.SetRed(0.0f);  // same value
  EXPECT_EQ(owner.changes, 0);
  c.SetRed(0.25f);
  EXPECT_EQ(owner.changes, 1);
  EXPECT_EQ(events, 1);
  c.RandomizeRGB();
  EXPECT_GE(c.Red(), 0.0f);
  EXPECT_LT(c.Red(), 1.0f);
  EXPECT_EQ(c.Alpha(), 1.0f);
}

TEST(Color, SceneObjectOwnerHasItsStructureMarkedChanged) {
  TGLSceneObject obj(nullptr);
  TGLColor c(&obj);
  obj.ClearStructureChanged();
  c.SetGreen(1.0f);
  EXPECT_NE(obj.Changes() & ocStructure, 0);
}

TEST(Color, StreamedAsSixteenBytesUnlessEqualToTheKeptDefault) {
  RegisterGLTextureClasses();
  const TVector4f grey{{0.25f, 0.5f, 0.75f, 1.0f}};
  TGLColor c(nullptr, grey);
  std::string bytes = WrittenProperties(&c);
  ASSERT_NE(bytes.find("Color"), std::string::npos);  // flag off: always written
  EXPECT_NE(bytes.find(std::string(reinterpret_cast<const char*>(grey.V), 16)), std::string::npos);
  EXPECT_EQ(bytes.find("Red"), std::string::npos);

  vKeepInitialValues = true;
  TGLColor kept(nullptr, grey);
  vKeepInitialValues = false;
  EXPECT_EQ(WrittenProperties(&kept).find("Color"), std::string::npos);
  kept.SetAlpha(-0.0f);
  kept.SetAlpha(1.0f);
  kept.SetBlue(0.0f);
  EXPECT_NE(WrittenProperties(&kept).find("Color"), std::string::npos);

  TGLColor back(nullptr);
  CopyThroughStoredForm(&c, &back);
  EXPECT_EQ(std::memcmp(back.GetColorPtr(), grey.V, 16), 0);
}

TEST(FaceProperties, DefaultsAssignAndSetters) {
  TCountingOwner owner(nullptr);
  TGLFaceProperties f(&owner);
  EXPECT_EQ(f.Ambient()->Color()[0], 0.2f);
  EXPECT_EQ(f.Diffuse()->Color()[1], 0.8f);
  EXPECT_EQ(f.Specular()->Alpha(), 1.0f);
  EXPECT_EQ(f.Emission()->Red(), 0.0f);
  EXPECT_EQ(f.PolygonMode(), pmFill);
  EXPECT_EQ(f.Shininess(), 0);

  TGLColor red(nullptr, TVector4f{{1, 0, 0, 1}});
  f.SetDiffuse(&red);
  EXPECT_EQ(f.Diffuse()->Red(), 1.0f);
  EXPECT_EQ(owner.changes, 1);
  f.SetShininess(200);
  EXPECT_EQ(f.Shininess(), 128);
  f.SetShininess(128);
  EXPECT_EQ(owner.changes, 2);

  TGLFaceProperties copy(&owner);
  copy.SetPolygonMode(pmLines);
  owner.changes = 0;
  copy.Assign(&f);
  EXPECT_EQ(owner.changes, 1);
  EXPECT_EQ(copy.PolygonMode(), pmFill);
  EXPECT_EQ(copy.Shininess(), 128);
  EXPECT_EQ(copy.Diffuse()->Red(), 1.0f);
  copy.Assign(&red);  // anything else: nothing
  EXPECT_EQ(owner.changes, 1);
}

TEST(FaceProperties, ApplySendsThroughTheStateCacheOnce) {
  TGLRecorder rec;
  TGLStateCache cache;
  cache.SendDefaultMaterial();
  rec.Clear();
  TGLFaceProperties f(nullptr);
  f.SetPolygonMode(pmLines);
  f.Apply(cache, GL_FRONT);  // colours unknown to the cache: all four sent
  EXPECT_EQ(rec.Count("glMaterialfv"), 4);
  ASSERT_EQ(rec.Count("glPolygonMode"), 1);
  EXPECT_EQ(rec.CallsTo("glPolygonMode")[0].Args[1], GL_LINE);
  f.Diffuse()->SetColor(clrWhite);
  rec.Clear();
  f.Apply(cache, GL_FRONT);
  ASSERT_EQ(rec.Count("glMaterialfv"), 1);
  EXPECT_EQ(rec.CallsTo("glMaterialfv")[0].Args[1], GL_DIFFUSE);
  rec.Clear();
  f.Apply(cache, GL_FRONT);
  EXPECT_TRUE(rec.Calls.empty());
  f.ApplyNoLighting(cache, GL_FRONT);
  ASSERT_EQ(rec.Count("glColor4fv"), 1);
  EXPECT_FLOAT_EQ(float(rec.CallsTo("glColor4fv")[0].Data[0]), 1.0f);
  EXPECT_EQ(rec.Count("glPolygonMode"), 0);
}

}  // namespace
