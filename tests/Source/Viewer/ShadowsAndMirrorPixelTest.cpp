// Stencil shadow volumes, the mirror and depth-buffer shadows drawn into a real off-screen
// context: a pixel that must be shadowed (or reflected) against one that must not.
#include <gtest/gtest.h>

#include "Source/Scene/GLLightSource.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Further/GLMirror.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Further/GLShadowVolume.h"
#include "Source/Further/GLzBuffer.h"
#include "tests/Source/Viewer/MemoryViewerTest.h"

namespace {

constexpr int kSize = 64;

struct GL_ShadowsAndMirror : TMemoryViewerTest {
  void SetUp() override { LookDownAtXY(kSize, true); }
};

}  // namespace

// A cube over a lit floor, the light up and to the right: the floor to the left of the cube is
// in its shadow, the floor to the right is lit.
TEST_F(GL_ShadowsAndMirror, StencilShadowVolumeDarkensTheFloorBehindTheCube) {
  auto* light = scene.Objects()->AddNewChild<TGLLightSource>();
  light->Position()->SetXYZAsPoint(4, 0, 6);
  auto* volume = scene.Objects()->AddNewChild<TGLShadowVolume>();
  Floor(volume);
  auto* cube = volume->AddNewChild<TGLCube>();
  cube->Position()->SetXYZAsPoint(0, 0, 1.5f);
  volume->Lights()->AddCaster(light);
  volume->Occluders()->AddCaster(cube);
  viewer.Render();
  ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
  const auto shadowed = PixelAt(-2, 0, 0), lit = PixelAt(2.5f, 0, 0);
  EXPECT_LT(shadowed[0], 60) << Rgb(shadowed);
  EXPECT_GT(lit[0], 120) << Rgb(lit);

  // Without the volume's work the same floor point is lit.
  volume->SetMode(svmOff);
  viewer.Render();
  EXPECT_GT(PixelAt(-2, 0, 0)[0], 120);
}

// A red cube in front of a mirror lying in the XY plane: its reflection shows in the mirror,
// the rest of the mirror only shows the faint white of its surface over the black background.
TEST_F(GL_ShadowsAndMirror, MirrorShowsTheReflectionOnlyWhereThereIsOne) {
  viewer.Buffer()->SetLighting(false);
  auto* mirror = scene.Objects()->AddNewChild<TGLMirror>();
  mirror->SetWidth(8);
  mirror->SetHeight(8);
  auto* cube = scene.Objects()->AddNewChild<TGLCube>();
  cube->Position()->SetXYZAsPoint(1.5f, 0, 3);
  cube->Material()->FrontProperties()->Diffuse()->SetColor(TVector4f{1, 0, 0, 1});
  viewer.Render();
  ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
  const auto reflected = PixelAt(1.5f, 0, -3), plain = PixelAt(-1.5f, 0, 0);
  EXPECT_GT(reflected[0], 150) << Rgb(reflected);
  EXPECT_LT(reflected[1], 80) << Rgb(reflected);
  EXPECT_LT(plain[0], 80) << Rgb(plain);
  EXPECT_GT(plain[0], 5) << Rgb(plain);        // the surface itself is drawn
  const auto direct = PixelAt(1.5f, 0, 3.5f);  // the cube's top face
  EXPECT_GT(direct[0], 240) << Rgb(direct);
  EXPECT_LT(direct[1], 15) << Rgb(direct);
}

// A mirror smaller than the view: the reflection shows only where the mirror is. The red cube's
// reflection lies half over the mirror and half beside it; beside it the reflected pass must be
// masked off by the stencil, leaving the black background. The same frame without the stencil
// shows the reflection there, so the check can tell.
TEST_F(GL_ShadowsAndMirror, SmallMirrorShowsTheReflectionOnlyOverItself) {
  viewer.Buffer()->SetLighting(false);
  auto* mirror = scene.Objects()->AddNewChild<TGLMirror>();
  mirror->SetWidth(2);  // x and y from -1 to 1
  mirror->SetHeight(2);
  auto* cube = scene.Objects()->AddNewChild<TGLCube>();
  cube->Position()->SetXYZAsPoint(1.5f, 0, 4);  // reflected at z -3.5 ... -4.5, x 1 ... 2
  cube->Material()->FrontProperties()->Diffuse()->SetColor(TVector4f{1, 0, 0, 1});
  viewer.Render();
  ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
  // Points of the mirror's plane on the rays to the reflection: x 0.85 is over the mirror, x 1.3
  // beside it (the cube itself shows only beyond x 1.5).
  const auto over = PixelAt(0.85f, 0, 0), beside = PixelAt(1.3f, 0, 0);
  EXPECT_GT(over[0], 150) << Rgb(over);
  EXPECT_LT(over[1], 80) << Rgb(over);
  EXPECT_LT(beside[0], 30) << Rgb(beside);

  mirror->SetMirrorOptions(TMirrorOptions{});
  viewer.Render();
  EXPECT_GT(PixelAt(1.3f, 0, 0)[0], 150) << "without the stencil the reflection spills beside the mirror";
}

// The caster viewer looks from up and to the right: the floor to the left of the cube is hidden
// from it and darkened in the main view; the floor to the right is not.
TEST_F(GL_ShadowsAndMirror, DepthBufferShadowsDarkenWhatTheCasterCannotSee) {
  TGLMemoryViewer caster(nullptr);
  auto* shadows = DepthShadowScene(caster, 6);
  viewer.Render();  // the buffer's camera and projection, then a frame with the shadows
  EXPECT_FALSE(shadows->CastShadow());
  viewer.Render();
  ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
  const auto shadowed = PixelAt(-2.5f, 0, 0), lit = PixelAt(2.5f, 0, 0);
  EXPECT_GT(lit[0], 150) << Rgb(lit);
  EXPECT_LT(shadowed[0], lit[0] - 50) << Rgb(shadowed) << " against " << Rgb(lit);
}
