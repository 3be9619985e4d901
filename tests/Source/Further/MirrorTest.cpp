// Tests of the mirror: the reflected pass through the stencil mark, the behind options and shapes.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Source/Materials/GLMaterial.h"
#include "Source/Further/GLMirror.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLState.h"
#include "rtl/Streaming.h"
#include "tests/Source/Base/GLRecorder.h"
#include "tests/Source/MultiPassShader.h"
#include "tests/Source/StoredCopy.h"

namespace {

// A mirror at the origin facing +Z and an object drawn by user code that records the camera
// position it was drawn for.
struct Mirror : ::testing::Test {
  void SetUp() override {
    RegisterGLMirrorClasses();
    mirror = scene.Objects()->AddNewChild<TGLMirror>();
    thing = scene.Objects()->AddNewChild<TGLDirectOpenGL>();
    thing->OnRender = [this](TObject*, TRenderContextInfo& r) { cameras.push_back(r.cameraPosition); };
    rci.buffer = &buffer;
    rci.scene = &scene;
    rci.GLStates = &cache;
    rci.objectsSorting = osNone;
    rci.visibilityCulling = vcNone;
    rci.cameraPosition = TVector4f{1, 2, 5, 1};
    rci.cameraDirection = TVector4f{0, 0, -1, 0};
  }
  TGLRecorder rec;
  TGLSceneGraph scene{nullptr};
  TGLSceneBuffer buffer{nullptr};
  TGLStateCache cache;
  TRenderContextInfo rci;
  TGLMirror* mirror = nullptr;
  TGLDirectOpenGL* thing = nullptr;
  std::vector<TVector4f> cameras;
};

}  // namespace

TEST_F(Mirror, ReflectsTheSceneThroughTheStencilMark) {
  mirror->DoRender(rci, true, false);
  ASSERT_EQ(cameras.size(), 1u);  // the mirror itself is not reflected again
  EXPECT_EQ(cameras[0][2], -5.0f);
  EXPECT_EQ(cameras[0][0], 1.0f);
  EXPECT_EQ(rci.cameraPosition[2], 5.0f);
  EXPECT_EQ(rci.cameraDirection[2], -1.0f);
  EXPECT_EQ(buffer.ModelViewStackDepth(), 0);
  auto funcs = rec.CallsTo("glStencilFunc");
  ASSERT_EQ(funcs.size(), 2u);
  EXPECT_EQ(funcs[1].Args, (std::vector<double>{GL_EQUAL, 1, 1}));
  EXPECT_EQ(rec.CallsTo("glStencilOp")[0].Args, (std::vector<double>{GL_REPLACE, GL_ZERO, GL_REPLACE}));
  // The mark and the surface: the rectangle twice, with its corners in order.
  auto v = rec.CallsTo("glVertex3f");
  ASSERT_EQ(v.size(), 8u);
  EXPECT_EQ(v[1].Args, (std::vector<double>{-0.5, 0.5, 0}));
  EXPECT_EQ(rec.Count("glPushAttrib"), rec.Count("glPopAttrib"));
  EXPECT_EQ(rec.Count("glPushMatrix"), rec.Count("glPopMatrix"));
  // The stored material keeps its faint white.
  EXPECT_EQ(mirror->Material()->FrontProperties()->Diffuse()->Color()[3], 0.1f);

  // An object whose drawing in the reflection frees the mirror: nothing of it is touched after.
  int ends = 0;
  mirror->OnEndRenderingMirrors = [&](TObject*) { ++ends; };
  thing->OnRender = [&](TObject*, TRenderContextInfo&) { delete mirror; };
  mirror->DoRender(rci, true, true);
  EXPECT_EQ(ends, 0);
  EXPECT_EQ(rec.Count("glPushMatrix"), rec.Count("glPopMatrix"));
  EXPECT_EQ(buffer.ModelViewStackDepth(), 0);
}

TEST_F(Mirror, BehindOptionsAndShapes) {
  auto* child = mirror->AddNewChild<TGLDirectOpenGL>();
  int childRenders = 0;
  child->OnRender = [&](TObject*, TRenderContextInfo&) { ++childRenders; };
  rci.cameraPosition = TVector4f{0, 0, -5, 1};
  mirror->DoRender(rci, true, true);
  EXPECT_TRUE(cameras.empty());
  EXPECT_EQ(rec.Count("glBegin"), 0);
  EXPECT_EQ(childRenders, 1);  // children still render

  // No options: no stencil, the reflection is unbounded.
  rci.cameraPosition = TVector4f{0, 0, 5, 1};
  mirror->SetMirrorOptions(TMirrorOptions{});
  mirror->DoRender(rci, false, false);
  EXPECT_EQ(cameras.size(), 1u);
  EXPECT_EQ(rec.Count("glStencilFunc"), 0);

  // The clip plane keeps what lies behind the mirror, in world space (set before the reflection).
  rec.Clear();
  mirror->Position()->SetXYZAsPoint(0, 0, 2);
  mirror->SetMirrorOptions(TMirrorOptions{moMirrorPlaneClip});
  mirror->DoRender(rci, false, false);
  size_t clip = 0, mult = 0;
  for (size_t i = 0; i < rec.Calls.size(); ++i) {
    if (rec.Calls[i].Name == "glClipPlane") clip = i;
    if (rec.Calls[i].Name == "glMultMatrixf" && !mult) mult = i;
  }
  ASSERT_GT(clip, 0u);
  EXPECT_LT(clip, mult);
  // Normal against the mirror's direction, through its position: z <= 2 is kept.
  EXPECT_EQ(rec.Calls[clip].Data, (std::vector<double>{0, 0, -1, 2}));

  rec.Clear();
  mirror->SetShape(msDisk);
  mirror->BuildList(rci);
  auto disk = rec.CallsTo("gluDisk");
  ASSERT_EQ(disk.size(), 1u);
  EXPECT_EQ(disk[0].Args[3], 16);
  EXPECT_EQ(disk[0].Args[4], 1);
}

// The disk's slice count is bounded when read from a stored scene (code may still set more).
TEST_F(Mirror, SlicesAreBoundedWhenRead) {
  TGLMirror source(nullptr);
  source.SetSlices(kMaxStoredSubdivisions);
  EXPECT_NO_THROW(ReadStoredCopy(&source));
  source.SetSlices(2147483647);
  EXPECT_THROW(ReadStoredCopy(&source), EReadError);
}

TEST_F(Mirror, AFailingDrawPopsWhatItPushedAndTakesTheMaterialOff) {
  // The mark (drawn before the reflection) or the surface (drawn under a multi-pass material)
  // raising: the enable bits and matrices are back, and the shader is no longer applied, so the
  // next frame applies it afresh.
  class TBrokenMirror : public TGLMirror {
   public:
    using TGLMirror::TGLMirror;
    void BuildList(TRenderContextInfo& r) override {
      if (failAt == ++calls) throw EInvalidOperation("broken mirror");
      TGLMirror::BuildList(r);
    }
    int calls = 0, failAt = 0;
  };
  TCurrentNullContext context;
  TGLMaterialLibrary lib(nullptr);
  TMultiPassShader shader(nullptr);
  auto* broken = new TBrokenMirror(&scene);
  scene.Objects()->AddChild(broken);
  broken->Material()->SetMaterialLibrary(&lib);
  broken->Material()->SetLibMaterialName(shader.AddUser(lib)->Name());
  for (int failAt : {1, 2}) {  // 1: the stencil mark, 2: the surface
    broken->calls = 0;
    broken->failAt = failAt;
    rec.Clear();
    EXPECT_THROW(broken->DoRender(rci, true, false), EInvalidOperation) << failAt;
    EXPECT_EQ(rec.Count("glPushAttrib"), rec.Count("glPopAttrib")) << failAt;
    EXPECT_EQ(rec.Count("glPushMatrix"), rec.Count("glPopMatrix")) << failAt;
    EXPECT_EQ(buffer.ModelViewStackDepth(), 0) << failAt;
    EXPECT_FALSE(shader.Active()) << failAt;
  }
  broken->failAt = 0;
  broken->DoRender(rci, true, false);
  EXPECT_FALSE(shader.Active());
  delete broken;
}
