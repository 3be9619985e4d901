// Tests of stencil shadow volumes: casters, casting rules and capping, inactive volumes, the
// silhouette cache, and state restored after a failing pass.
#include <gtest/gtest.h>

#include <vector>

#include "Source/Objects/GLObjects.h"
#include "Source/Further/GLShadowVolume.h"
#include "Source/Scene/GLState.h"
#include "tests/Source/Base/GLRecorder.h"

namespace {

struct ShadowVolume : ::testing::Test {
  void SetUp() override {
    RegisterGLShadowVolumeClasses();
    volume = scene.Objects()->AddNewChild<TGLShadowVolume>();
    child = volume->AddNewChild<TGLDirectOpenGL>();
    child->OnRender = [this](TObject*, TRenderContextInfo&) { ++childRenders; };
    box = volume->AddNewChild<TGLCube>();
    box->SetName("Box");
    light = scene.Objects()->AddNewChild<TGLLightSource>();
    light->SetName("L1");
    light->Position()->SetXYZAsPoint(0, 10, 0);
    rci.buffer = &buffer;
    rci.scene = &scene;
    rci.GLStates = &cache;
    rci.objectsSorting = osNone;
    rci.visibilityCulling = vcNone;
    rci.modelViewMatrix = &modelView;
    rci.cameraPosition = TVector4f{0, 0, 20, 1};
    GL.glGetIntegerv = [](GLenum pname, GLint* v) { *v = pname == GL_MAX_LIGHTS ? 8 : 0; };
  }
  TGLRecorder rec;
  TGLSceneGraph scene{nullptr};
  TGLSceneBuffer buffer{nullptr};
  TGLStateCache cache;
  TMatrix4f modelView = IdentityHmgMatrix;
  TRenderContextInfo rci;
  TGLShadowVolume* volume = nullptr;
  TGLDirectOpenGL* child = nullptr;
  TGLCube* box = nullptr;
  TGLLightSource* light = nullptr;
  int childRenders = 0;
};

}  // namespace

TEST_F(ShadowVolume, DisplayTextsAndFreedCasters) {
  auto* occ = volume->Occluders()->AddCaster(box, 2);
  EXPECT_EQ(occ->DisplayName(), "[Object] Box (2.0)");
  occ->SetEffectiveRadius(0);
  EXPECT_EQ(occ->DisplayName(), "[Object] Box");
  auto* l = volume->Lights()->AddCaster(light);
  EXPECT_EQ(l->DisplayName(), "[Light] L1");
  l->SetCaster(nullptr);
  EXPECT_EQ(l->DisplayName(), "nil");

  TGLShadowVolumeCasters wrong(volume, TGLShadowVolumeOccluder::StaticClass());
  EXPECT_THROW(volume->SetLights(&wrong), EAssertionFailed);

  delete box;  // its item goes with it
  EXPECT_EQ(volume->Occluders()->Count(), 0);
}

TEST_F(ShadowVolume, CastingRulesAndCapping) {
  auto* occ = volume->Occluders()->AddCaster(box, 0, scmVisible);
  volume->Occluders()->Add();  // no caster: skipped
  box->SetVisible(false);
  auto kept = volume->SelectCasters(rci);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0], nullptr);
  EXPECT_EQ(kept[1], nullptr);
  occ->SetCastingMode(scmAlways);
  EXPECT_EQ(volume->SelectCasters(rci)[0], occ);
  occ->SetEffectiveRadius(5);  // the camera is farther away than that
  EXPECT_EQ(volume->SelectCasters(rci)[0], nullptr);
  box->SetVisible(true);
  occ->SetEffectiveRadius(0);
  volume->SetVisible(false);  // the volume itself does not count as an ancestor
  occ->SetCastingMode(scmRecursivelyVisible);
  EXPECT_EQ(volume->SelectCasters(rci)[0], occ);

  EXPECT_TRUE(volume->CasterCapped(occ));  // default follows the volume's svcAlways
  volume->SetCapping(svcNever);
  EXPECT_FALSE(volume->CasterCapped(occ));
  occ->SetCapping(svcAlways);
  EXPECT_TRUE(volume->CasterCapped(occ));
}

TEST_F(ShadowVolume, InactiveOrLightlessVolumesRenderChildrenOnce) {
  volume->SetActive(false);
  volume->DoRender(rci, true, true);
  EXPECT_EQ(childRenders, 1);
  EXPECT_EQ(rec.Count("glStencilFunc"), 0);

  volume->SetActive(true);
  volume->DoRender(rci, true, true);
  EXPECT_EQ(childRenders, 2);  // the ambient pass only
  // Every light is switched off, as many as GL has.
  int disabledLights = 0;
  for (const auto& c : rec.CallsTo("glDisable")) disabledLights += c.Args[0] >= GL_LIGHT0 && c.Args[0] < GL_LIGHT0 + 8;
  EXPECT_EQ(disabledLights, 8);
  EXPECT_EQ(rec.Count("glPushAttrib"), rec.Count("glPopAttrib"));
}

TEST_F(ShadowVolume, SilhouettesAreCachedPerLightAndOccluder) {
  volume->Occluders()->AddCaster(box, 0, scmAlways);
  auto* l = static_cast<TGLShadowVolumeLight*>(volume->Lights()->AddCaster(light));
  volume->DoRender(rci, true, true);
  EXPECT_EQ(childRenders, 2);  // ambient pass, then the light's pass
  ASSERT_EQ(l->CachedCount(), 1);
  TGLSilhouette* first = l->Cached(0);
  ASSERT_NE(first, nullptr);
  EXPECT_GT(rec.Count("glDrawElements"), 0);
  auto funcs = rec.CallsTo("glStencilFunc");
  ASSERT_FALSE(funcs.empty());
  EXPECT_EQ(funcs.back().Args, (std::vector<double>{GL_EQUAL, 0, 0xFF}));

  volume->DoRender(rci, true, true);
  EXPECT_EQ(l->Cached(0), first);  // same light, same caster: reused
  const std::vector<TVector4f> before(first->Vertices()->List(),
                                      first->Vertices()->List() + first->Vertices()->Count());
  EXPECT_GT(first->CapIndices()->Count(), 0);  // the volume caps by default
  // An occluder rebuilt since (same size, same place) gets its silhouette made again, once.
  box->MarkStructureChanged();
  volume->DoRender(rci, true, true);
  TGLSilhouette* rebuilt = l->Cached(0);
  EXPECT_NE(rebuilt, first);
  volume->DoRender(rci, true, true);
  EXPECT_EQ(l->Cached(0), rebuilt);
  light->Position()->SetXYZAsPoint(5, 10, 0);
  volume->DoRender(rci, true, true);
  ASSERT_NE(l->Cached(0), nullptr);
  const TVectorList& moved = *l->Cached(0)->Vertices();
  ASSERT_EQ(moved.Count(), int(before.size()));
  bool differs = false;  // extruded away from the new light position
  for (int i = 0; i < moved.Count(); ++i)
    for (int k = 0; k < 4; ++k) differs |= moved[i][k] != before[size_t(i)][k];
  EXPECT_TRUE(differs);
  // The same light with the caster no longer capped: a silhouette without caps.
  static_cast<TGLShadowVolumeOccluder*>(volume->Occluders()->Items(0))->SetCapping(svcNever);
  volume->DoRender(rci, true, true);
  ASSERT_NE(l->Cached(0), nullptr);
  EXPECT_EQ(l->Cached(0)->CapIndices()->Count(), 0);

  volume->SetOptions(TGLShadowVolumeOptions{svoScissorClips});
  EXPECT_EQ(l->CachedCount(), 0);
  volume->SetOptions(TGLShadowVolumeOptions{svoCacheSilhouettes});
  volume->DoRender(rci, true, true);
  EXPECT_EQ(l->CachedCount(), 1);
  volume->Occluders()->Add();  // the list changed: positions no longer match
  EXPECT_EQ(l->CachedCount(), 0);
}

TEST_F(ShadowVolume, AFailingPassLeavesTheStateRestored) {
  volume->Occluders()->AddCaster(box, 0, scmAlways);
  volume->Lights()->AddCaster(light);
  light->Diffuse()->SetColor(TVector4f{0.25f, 0.5f, 0.75f, 1});
  // A failing child is contained by its own walk: both passes still run.
  child->OnRender = [&](TObject*, TRenderContextInfo&) {
    ++childRenders;
    throw std::runtime_error("child failed");
  };
  volume->DoRender(rci, true, true);
  EXPECT_EQ(childRenders, 2);
  EXPECT_EQ(rec.Count("glPushAttrib"), rec.Count("glPopAttrib"));
  child->OnRender = [&](TObject*, TRenderContextInfo&) { ++childRenders; };
  // The volume's own steps failing: a query right after the ambient pass, then a volume draw.
  static int failAt;
  failAt = 1;
  GL.glGetIntegerv = [](GLenum pname, GLint* v) {
    if (failAt == 1) throw std::runtime_error("query failed");
    *v = pname == GL_MAX_LIGHTS ? 8 : 0;
  };
  GL.glDrawElements = [](GLenum, GLsizei, GLenum, const void*) {
    if (failAt == 2) throw std::runtime_error("draw failed");
  };
  rec.Clear();
  // In the ambient pass: the lights' colours are back.
  EXPECT_THROW(volume->DoRender(rci, true, true), std::runtime_error);
  EXPECT_EQ(rec.Count("glPushAttrib"), rec.Count("glPopAttrib"));
  std::vector<double> diffuse;
  for (const auto& c : rec.CallsTo("glLightfv"))
    if (GLenum(c.Args[1]) == GL_DIFFUSE) diffuse = c.Data;
  ASSERT_GE(diffuse.size(), 3u);
  EXPECT_EQ(diffuse[2], 0.75);
  // In the light pass: depth writes and the depth function are back.
  rec.Clear();
  failAt = 2;
  EXPECT_THROW(volume->DoRender(rci, true, true), std::runtime_error);
  EXPECT_EQ(rec.Count("glPushAttrib"), rec.Count("glPopAttrib"));
  EXPECT_EQ(rec.Count("glPushMatrix"), rec.Count("glPopMatrix"));
  EXPECT_EQ(rec.CallsTo("glDepthMask").back().Args, std::vector<double>{GL_TRUE});
  EXPECT_EQ(rec.CallsTo("glDepthFunc").back().Args, std::vector<double>{GL_LESS});
  // Not left marked as rendering: the next frame draws.
  failAt = 0;
  childRenders = 0;
  volume->DoRender(rci, true, true);
  EXPECT_EQ(childRenders, 2);
}
