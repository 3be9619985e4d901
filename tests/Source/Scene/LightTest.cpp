// Tests of light set-up from the light table, spot cut-off and attenuation, and fog density.
#include <gtest/gtest.h>

#include <cmath>

#include "Source/Scene/GLSceneGraph.h"
#include "tests/Source/Base/GLRecorder.h"

namespace {

// The values handed with glLightfv(light, pname).
std::vector<double> LightValue(const TGLRecorder& rec, GLenum light, GLenum pname) {
  for (const TGLCall& c : rec.CallsTo("glLightfv"))
    if (c.Args[0] == light && c.Args[1] == pname) return c.Data;
  return {};
}
double LightScalar(const TGLRecorder& rec, GLenum light, GLenum pname) {
  for (const TGLCall& c : rec.CallsTo("glLightf"))
    if (c.Args[0] == light && c.Args[1] == pname) return c.Args[2];
  return -12345;
}
bool Disabled(const TGLRecorder& rec, GLenum cap) {
  for (const TGLCall& c : rec.CallsTo("glDisable"))
    if (c.Args[0] == cap) return true;
  return false;
}

}  // namespace

TEST(LightSetup, ProgramsSlotsFromTheTable) {
  TGLSceneGraph scene(nullptr);
  auto* omni = scene.Objects()->AddNewChild<TGLLightSource>();
  omni->SetLightStyle(lsOmni);
  omni->Position()->SetXYZAsPoint(1, 2, 3);
  auto* off = scene.Objects()->AddNewChild<TGLLightSource>();
  off->SetShining(false);
  auto* parallel = scene.Objects()->AddNewChild<TGLLightSource>();
  parallel->SetLightStyle(lsParallel);
  parallel->Position()->SetXYZAsPoint(50, 50, 50);
  parallel->SpotDirection()->SetXYZAsVector(0, -1, 0);
  auto* spot = scene.Objects()->AddNewChild<TGLLightSource>();
  spot->SetSpotCutOff(30);

  TGLRecorder rec;
  scene.SetupLights(8);
  EXPECT_EQ(LightValue(rec, GL_LIGHT0, GL_POSITION), (std::vector<double>{1, 2, 3, 1}));
  EXPECT_EQ(LightScalar(rec, GL_LIGHT0, GL_SPOT_CUTOFF), 180);
  EXPECT_EQ(LightValue(rec, GL_LIGHT0, GL_DIFFUSE), (std::vector<double>{1, 1, 1, 1}));
  EXPECT_TRUE(Disabled(rec, GL_LIGHT1));
  // The parallel light shines along its direction, whatever its position (W = 0).
  EXPECT_EQ(LightValue(rec, GL_LIGHT2, GL_POSITION), (std::vector<double>{0, -1, 0, 0}));
  EXPECT_EQ(LightScalar(rec, GL_LIGHT3, GL_SPOT_CUTOFF), 30);
  EXPECT_EQ(LightValue(rec, GL_LIGHT3, GL_SPOT_DIRECTION).size(), 4u);
  for (GLenum l = GL_LIGHT4; l <= GL_LIGHT7; ++l) EXPECT_TRUE(Disabled(rec, l));
  EXPECT_EQ(rec.Count("glPushMatrix"), rec.Count("glPopMatrix"));

  rec.Clear();
  scene.SetupLights(2);  // a driver with fewer lights programs only what fits
  EXPECT_TRUE(LightValue(rec, GL_LIGHT2, GL_POSITION).empty());
}

TEST(LightProperties, CutOffRangeAndAttenuation) {
  TGLSceneGraph scene(nullptr);
  auto* l = scene.Objects()->AddNewChild<TGLLightSource>();
  l->SetSpotCutOff(120);
  EXPECT_EQ(l->SpotCutOff(), 180);
  l->SetSpotCutOff(90);
  EXPECT_EQ(l->SpotCutOff(), 90);
  l->SetSpotCutOff(180);
  EXPECT_EQ(l->SpotCutOff(), 180);
  EXPECT_FALSE(l->HasAttenuation());
  l->SetLinearAttenuation(0.5f);
  EXPECT_TRUE(l->HasAttenuation());
  l->SetLightStyle(lsParallel);
  EXPECT_FALSE(l->HasAttenuation());
  TRenderContextInfo rci{};
  EXPECT_EQ(l->GetListHandle(rci), 0u);
  EXPECT_FALSE(l->RayCastIntersect(VectorMake(0, 0, 5, 1), VectorMake(0, 0, -1, 0)));
}

TEST(Fog, DensityFromAlphaAndDefaults) {
  TGLSceneBuffer buffer(nullptr);
  TGLFogEnvironment* fog = buffer.FogEnvironment();
  EXPECT_TRUE(fog->IsAtDefaultValues());
  fog->SetFogMode(fmExp);
  TGLRecorder rec;
  fog->ApplyFog();
  bool density = false;
  for (const TGLCall& c : rec.CallsTo("glFogf"))
    if (c.Args[0] == GL_FOG_DENSITY) density = c.Args[1] == 1.0;
  EXPECT_TRUE(density);
  fog->SetFogMode(fmLinear);
  EXPECT_TRUE(fog->IsAtDefaultValues());
  fog->SetFogStart(11);
  EXPECT_FALSE(fog->IsAtDefaultValues());
}

// Values GL refuses for a light are clamped into what it takes; values that are not numbers
// are refused and the light keeps what it had.
TEST(LightProperties, ExponentAndAttenuationsStayWithinWhatGLTakes) {
  TGLSceneGraph scene(nullptr);
  auto* l = scene.Objects()->AddNewChild<TGLLightSource>();
  l->SetSpotCutOff(30);
  l->SetSpotExponent(200);
  EXPECT_EQ(l->SpotExponent(), 128);
  l->SetSpotExponent(-5);
  EXPECT_EQ(l->SpotExponent(), 0);
  l->SetSpotExponent(64);
  EXPECT_THROW(l->SetSpotExponent(std::nanf("")), EInvalidOperation);
  EXPECT_EQ(l->SpotExponent(), 64);
  l->SetLinearAttenuation(-1);
  EXPECT_EQ(l->LinearAttenuation(), 0);
  l->SetConstAttenuation(-0.5f);
  EXPECT_EQ(l->ConstAttenuation(), 0);
  l->SetQuadraticAttenuation(-2);
  EXPECT_EQ(l->QuadraticAttenuation(), 0);
  l->SetQuadraticAttenuation(0.25f);
  EXPECT_THROW(l->SetQuadraticAttenuation(INFINITY), EInvalidOperation);
  EXPECT_THROW(l->SetLinearAttenuation(-INFINITY), EInvalidOperation);
  EXPECT_EQ(l->QuadraticAttenuation(), 0.25f);

  // What the set-up hands GL is what GL takes.
  l->SetSpotExponent(1000);
  l->SetLinearAttenuation(-3);
  TGLRecorder rec;
  scene.SetupLights(8);
  EXPECT_EQ(LightScalar(rec, GL_LIGHT0, GL_SPOT_EXPONENT), 128);
  EXPECT_EQ(LightScalar(rec, GL_LIGHT0, GL_LINEAR_ATTENUATION), 0);
}
