// Tests of the shadow plane: the shadow pass on stencil-marked pixels, the cases without a shadow,
// transparent planes, children, and clean-up after a failing pass.
#include <gtest/gtest.h>

#include <vector>

#include "Source/Further/GLShadowPlane.h"
#include "Source/Scene/GLState.h"
#include "tests/Source/Base/GLRecorder.h"
#include "tests/Source/MultiPassShader.h"

namespace {

// A scene with a shadow plane at the origin facing +Z, a light above it and a caster drawn by
// user code that records how it was called.
struct ShadowPlane : ::testing::Test {
  void SetUp() override {
    RegisterGLShadowPlaneClasses();
    plane = scene.Objects()->AddNewChild<TGLShadowPlane>();
    light = scene.Objects()->AddNewChild<TGLLightSource>();
    light->Position()->SetXYZAsPoint(0, 0, 10);
    caster = scene.Objects()->AddNewChild<TGLDirectOpenGL>();
    caster->OnRender = [this](TObject*, TRenderContextInfo& r) {
      ignoredMaterials.push_back(r.ignoreMaterials);
      stackDepths.push_back(buffer.ModelViewStackDepth());
    };
    rci.buffer = &buffer;
    rci.scene = &scene;
    rci.GLStates = &cache;
    rci.objectsSorting = osNone;
    rci.visibilityCulling = vcNone;
    rci.viewPortWidth = 100;
    rci.viewPortHeight = 80;
    rci.cameraPosition = TVector4f{0, 0, 5, 1};
    plane->SetShadowOptions(TShadowPlaneOptions{spoUseStencil});
  }
  TGLRecorder rec;
  TGLSceneGraph scene{nullptr};
  TGLSceneBuffer buffer{nullptr};
  TGLStateCache cache;
  TRenderContextInfo rci;
  TGLShadowPlane* plane = nullptr;
  TGLLightSource* light = nullptr;
  TGLDirectOpenGL* caster = nullptr;
  std::vector<bool> ignoredMaterials;
  std::vector<int> stackDepths;
};

}  // namespace

TEST_F(ShadowPlane, ShadowOfTheSceneDrawnOnceOnStencilMarkedPixels) {
  plane->SetShadowedLight(light);
  int begins = 0, ends = 0;
  plane->OnBeginRenderingShadows = [&](TObject* s) { begins += s == plane; };
  plane->OnEndRenderingShadows = [&](TObject* s) { ends += s == plane; };
  plane->DoRender(rci, true, false);
  // The caster renders once, flattened, without materials, with the shadow matrix pushed.
  ASSERT_EQ(ignoredMaterials, std::vector<bool>{true});
  EXPECT_EQ(stackDepths, std::vector<int>{1});
  EXPECT_FALSE(rci.ignoreMaterials);
  EXPECT_FALSE(rci.proxySubObject);
  EXPECT_EQ(buffer.ModelViewStackDepth(), 0);
  EXPECT_EQ(begins, 1);
  EXPECT_EQ(ends, 1);
  // The plane marks its pixels with 1; the shadow draws only there and zeroes what it darkened.
  auto funcs = rec.CallsTo("glStencilFunc");
  ASSERT_EQ(funcs.size(), 2u);
  EXPECT_EQ(funcs[0].Args, (std::vector<double>{GL_ALWAYS, 1, 1}));
  EXPECT_EQ(funcs[1].Args, (std::vector<double>{GL_EQUAL, 1, 1}));
  auto ops = rec.CallsTo("glStencilOp");
  ASSERT_EQ(ops.size(), 2u);
  EXPECT_EQ(ops[1].Args, (std::vector<double>{GL_KEEP, GL_KEEP, GL_ZERO}));
  // The shadow's colour for the casters, then the current colour read before it sent back.
  auto colors = rec.CallsTo("glColor4fv");
  ASSERT_GE(colors.size(), 2u);
  EXPECT_EQ(colors[colors.size() - 2].Data, (std::vector<double>{0, 0, 0, 0.5}));
  EXPECT_EQ(colors.back().Data, (std::vector<double>{1, 1, 1, 1}));
  EXPECT_EQ(rec.Count("glPushAttrib"), rec.Count("glPopAttrib"));
  EXPECT_EQ(rec.Count("glPushMatrix"), rec.Count("glPopMatrix"));

  // Only the shadowing object when one is set.
  ignoredMaterials.clear();
  auto* other = scene.Objects()->AddNewChild<TGLDirectOpenGL>();
  int otherRenders = 0;
  other->OnRender = [&](TObject*, TRenderContextInfo&) { ++otherRenders; };
  plane->SetShadowingObject(other);
  plane->DoRender(rci, true, false);
  EXPECT_EQ(otherRenders, 1);
  EXPECT_TRUE(ignoredMaterials.empty());

  // A caster whose drawing frees the plane: nothing of it is touched after, the pass balanced.
  other->OnRender = [&](TObject*, TRenderContextInfo&) { delete plane; };
  plane->DoRender(rci, true, true);
  EXPECT_EQ(ends, 2);
  EXPECT_EQ(rec.Count("glPushMatrix"), rec.Count("glPopMatrix"));
  EXPECT_EQ(buffer.ModelViewStackDepth(), 0);
}

TEST_F(ShadowPlane, NothingFromBehindAndNoShadowWithoutLight) {
  rci.cameraPosition = TVector4f{0, 0, -5, 1};
  plane->SetShadowedLight(light);
  plane->DoRender(rci, true, false);
  EXPECT_TRUE(ignoredMaterials.empty());
  EXPECT_EQ(rec.Count("glBegin"), 0);

  rci.cameraPosition = TVector4f{0, 0, 5, 1};
  delete light;  // the reference is cleared, not left dangling
  EXPECT_EQ(plane->ShadowedLight(), nullptr);
  plane->DoRender(rci, true, false);
  EXPECT_TRUE(ignoredMaterials.empty());
  EXPECT_EQ(rec.Count("glBegin"), 1);  // the plane itself

  // Scissoring without a buffer that projects the plane leaves drawing unclipped.
  plane->SetShadowOptions(TShadowPlaneOptions{spoScissor});
  plane->DoRender(rci, true, false);
  EXPECT_EQ(rec.Count("glScissor"), 0);
  EXPECT_EQ(rec.Count("glBegin"), 2);
}

TEST_F(ShadowPlane, TransparentPlaneWritesOnlyStencil) {
  plane->SetShadowOptions(TShadowPlaneOptions{spoTransparent, spoIgnoreZ});
  cache.EnableState(stDepthTest);  // as every frame has it
  rec.Clear();
  plane->DoRender(rci, true, false);
  EXPECT_TRUE(cache.StateEnabled(stDepthTest));  // the pop turned it on again
  auto masks = rec.CallsTo("glColorMask");
  ASSERT_EQ(masks.size(), 2u);
  EXPECT_EQ(masks[0].Args, (std::vector<double>{0, 0, 0, 0}));
  EXPECT_EQ(rec.Count("glStencilFunc"), 0);
  bool depthOff = false;
  for (const auto& c : rec.CallsTo("glDisable")) depthOff |= c.Args[0] == GL_DEPTH_TEST;
  EXPECT_TRUE(depthOff);
}

TEST_F(ShadowPlane, ChildrenRenderAsSubObjectsOfThePlane) {
  auto* child = plane->AddNewChild<TGLDirectOpenGL>();
  std::vector<bool> subObject;
  child->OnRender = [&](TObject*, TRenderContextInfo& r) { subObject.push_back(r.proxySubObject); };
  plane->DoRender(rci, false, true);
  rci.cameraPosition = TVector4f{0, 0, -5, 1};  // seen from behind: the children still render
  plane->DoRender(rci, true, true);
  EXPECT_EQ(subObject, (std::vector<bool>{true, true}));
  EXPECT_FALSE(rci.proxySubObject);
}

TEST_F(ShadowPlane, AFailingPassPopsWhatItPushedAndTakesTheMaterialOff) {
  // The shadow pass raising, in both plane styles: enable bits, matrices and writes are back.
  plane->SetShadowedLight(light);
  plane->SetShadowingObject(caster);
  plane->OnBeginRenderingShadows = [](TObject*) { throw EInvalidOperation("shadow pass failed"); };
  for (TShadowPlaneOptions options : {TShadowPlaneOptions{spoUseStencil}, TShadowPlaneOptions{spoTransparent}}) {
    plane->SetShadowOptions(options);
    rec.Clear();
    EXPECT_THROW(plane->DoRender(rci, true, false), EInvalidOperation);
    EXPECT_EQ(rec.Count("glPushAttrib"), 1);
    EXPECT_EQ(rec.Count("glPopAttrib"), 1);
    EXPECT_EQ(rec.Count("glPushMatrix"), rec.Count("glPopMatrix"));
    EXPECT_EQ(buffer.ModelViewStackDepth(), 0);
    EXPECT_TRUE(rec.CallsTo("glColorMask").empty() ||
                rec.CallsTo("glColorMask").back().Args == (std::vector<double>{1, 1, 1, 1}));
  }
  // The plane itself failing to draw under a multi-pass material: taken off, so the next frame
  // applies it again instead of failing on an unbalanced shader.
  class TBrokenPlane : public TGLShadowPlane {
   public:
    using TGLShadowPlane::TGLShadowPlane;
    void BuildList(TRenderContextInfo& r) override {
      if (fail) throw EInvalidOperation("broken plane");
      TGLShadowPlane::BuildList(r);
    }
    bool fail = true;
  };
  TCurrentNullContext context;
  TGLMaterialLibrary lib(nullptr);
  TMultiPassShader shader(nullptr);
  auto* broken = new TBrokenPlane(&scene);
  scene.Objects()->AddChild(broken);
  broken->Material()->SetMaterialLibrary(&lib);
  broken->Material()->SetLibMaterialName(shader.AddUser(lib)->Name());
  rec.Clear();
  EXPECT_THROW(broken->DoRender(rci, true, false), EInvalidOperation);
  EXPECT_FALSE(shader.Active());
  EXPECT_EQ(rec.Count("glPushAttrib"), rec.Count("glPopAttrib"));
  broken->fail = false;
  broken->DoRender(rci, true, false);
  EXPECT_EQ(shader.applies, 2);
  EXPECT_FALSE(shader.Active());
  delete broken;
}
