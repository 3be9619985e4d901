// Stencil shadow volumes and depth-buffer shadows drawn in a real off-screen context between
// other objects, over several frames: what must be shadowed is, what must be lit is, and what
// is drawn after them looks as it would without them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Source/Further/GLBaseMesh.h"
#include "Source/Further/GLMeshObjects.h"
#include "Source/Further/GLShadowVolume.h"
#include "Source/Further/GLzBuffer.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLLightSource.h"
#include "Source/Scene/GLState.h"
#include "tests/Source/Viewer/MemoryViewerTest.h"

namespace {

constexpr int kSize = 64;
constexpr int kFrames = 3;

struct GL_ShadowPixels : TMemoryViewerTest {
  static void SetUpTestSuite() {
    TMemoryViewerTest::SetUpTestSuite();
    RegisterGLShadowVolumeClasses();
  }

  void SetUp() override { LookDownAtXY(kSize, true); }

  // The tracked capabilities whose cached state differs from GL's at the end of the last frame.
  std::string CacheOutOfStep() {
    std::string out;
    TGLStateCache& cache = viewer.Buffer()->GLStates();
    TGLContext* ctx = viewer.Buffer()->RenderingContext();
    ctx->ActivateNested();
    for (int s = 0; s < GLStateCount; ++s)
      if (bool(GL.glIsEnabled(GLStateCapability(TGLState(s)))) != cache.StateEnabled(TGLState(s)))
        out += " state " + std::to_string(s);
    GL.glGetError();  // a capability this driver does not know
    ctx->DeactivateNested();
    return out;
  }

  // A small red cube: lit, its top face is bright red; without its light only the ambient
  // grey remains.
  TGLCube* RedCube(float x, float y) {
    auto* c = scene.Objects()->AddNewChild<TGLCube>();
    c->Position()->SetXYZAsPoint(x, y, 1);
    c->SetCubeWidth(0.6f);
    c->SetCubeHeight(0.6f);
    c->SetCubeDepth(0.6f);
    c->Material()->FrontProperties()->Diffuse()->SetColor(TVector4f{1, 0, 0, 1});
    return c;
  }

  // A light up and to the right, a shadow volume over a floor with a cube above it: the floor
  // left of the cube is in its shadow, right of it lit. Red cubes before and after the volume.
  void VolumeScene() {
    light = scene.Objects()->AddNewChild<TGLLightSource>();
    light->Position()->SetXYZAsPoint(4, 0, 6);
    RedCube(-2, -2);  // drawn before the volume
    volume = scene.Objects()->AddNewChild<TGLShadowVolume>();
    Floor(volume);
    cube = volume->AddNewChild<TGLCube>();
    cube->Position()->SetXYZAsPoint(0, 0, 1.5f);
    volume->Lights()->AddCaster(light);
    volume->Occluders()->AddCaster(cube);
    RedCube(2, -2);  // drawn after it
  }

  // In place of the cube, a closed unit cube mesh of quads casting the shadow; with a sliver,
  // also a triangle with a corner repeated along the diagonal that splits its top (as strips
  // joined by repeated indices carry them).
  TGLFreeForm* QuadCubeMesh(bool sliver = false) {
    volume->Occluders()->Clear();
    cube->SetVisible(false);
    auto* mesh = volume->AddNewChild<TGLFreeForm>();
    mesh->Position()->SetXYZAsPoint(0, 0, 1.5f);
    auto* mo = new TMeshObject(mesh->MeshObjects());
    mo->SetMode(mdmFaceGroups);
    for (int i = 0; i < 8; ++i) {
      const float x = i & 1 ? 0.5f : -0.5f, y = i & 2 ? 0.5f : -0.5f, z = i & 4 ? 0.5f : -0.5f;
      mo->Vertices()->Add(x, y, z);
      mo->Normals()->Add(x * 1.1547f, y * 1.1547f, z * 1.1547f);
    }
    auto* quads = new TFGVertexIndexList(mo->FaceGroups());
    quads->SetMode(fgpQuads);
    // Counter-clockwise seen from outside: -Z, +Z, -Y, +Y, -X, +X.
    for (int i : {0, 2, 3, 1, 4, 5, 7, 6, 0, 1, 5, 4, 2, 6, 7, 3, 0, 4, 6, 2, 1, 3, 7, 5}) quads->Add(i);
    if (sliver) {
      auto* triangles = new TFGVertexIndexList(mo->FaceGroups());
      triangles->SetMode(fgpTriangles);
      for (int i : {4, 4, 7}) triangles->Add(i);
    }
    mesh->MarkStructureChanged();
    volume->Occluders()->AddCaster(mesh);
    return mesh;
  }
  // Pixels of the last frame whose red is below 60.
  int DarkPixels() {
    const std::vector<uint8_t> px = FramePixels(viewer);
    int dark = 0;
    for (size_t i = 0; i < px.size(); i += 4) dark += px[i] < 60;
    return dark;
  }

  TGLLightSource* light = nullptr;
  TGLShadowVolume* volume = nullptr;
  TGLCube* cube = nullptr;
};

// The top faces of the red cubes before (x -2) and after (x 2) the volume.
constexpr float kCubeTop = 1.3f;

}  // namespace

// The volume switches every light off for its stencil passes: the objects drawn before and
// after it read, frame after frame, what they read without the volume's work.
TEST_F(GL_ShadowPixels, ObjectsAfterAVolumeKeepTheirLights) {
  VolumeScene();
  volume->SetMode(svmOff);
  viewer.Render();
  ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
  const auto before = PixelAt(-2, -2, kCubeTop), after = PixelAt(2, -2, kCubeTop);
  ASSERT_GT(after[0], 150) << Rgb(after);
  ASSERT_LT(after[1], 20) << Rgb(after);
  volume->SetMode(svmAccurate);
  for (int frame = 0; frame < kFrames; ++frame) {
    viewer.Render();
    const auto b = PixelAt(-2, -2, kCubeTop), a = PixelAt(2, -2, kCubeTop);
    EXPECT_NEAR(b[0], before[0], 2) << "frame " << frame << ": " << Rgb(b) << " against " << Rgb(before);
    EXPECT_NEAR(a[0], after[0], 2) << "frame " << frame << ": " << Rgb(a) << " against " << Rgb(after);
    // The volume's own work is done: shadow left of the cube, light right of it.
    EXPECT_LT(PixelAt(-2, 0, 0)[0], 60) << "frame " << frame;
    EXPECT_GT(PixelAt(2.5f, 0, 0)[0], 120) << "frame " << frame;
    EXPECT_EQ(CacheOutOfStep(), "") << "frame " << frame;
  }
}

// Darkening mode: the children are drawn fully lit, then the shadowed pixels are darkened by
// the darkening colour (half black): the shadowed floor reads half what it reads without shadows.
TEST_F(GL_ShadowPixels, DarkeningDarkensTheShadowedPixels) {
  VolumeScene();
  volume->SetMode(svmOff);
  viewer.Render();
  ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
  const auto plain = PixelAt(-2, 0, 0), plainLit = PixelAt(2.5f, 0, 0);
  ASSERT_GT(plain[0], 100) << Rgb(plain);
  volume->SetMode(svmDarkening);
  for (int frame = 0; frame < kFrames; ++frame) {
    viewer.Render();
    const auto shadowed = PixelAt(-2, 0, 0), lit = PixelAt(2.5f, 0, 0);
    EXPECT_NEAR(shadowed[0], plain[0] / 2, 3)
        << "frame " << frame << ": " << Rgb(shadowed) << " against " << Rgb(plain);
    EXPECT_NEAR(lit[0], plainLit[0], 2) << "frame " << frame << ": " << Rgb(lit);
    EXPECT_GT(PixelAt(2, -2, kCubeTop)[0], 150) << "frame " << frame;  // drawn after, still lit
  }
}

// The stencil passes tell the volume's front and back faces apart by culling: the shadow is
// there with face culling off in the buffer, or off on the occluder's material.
TEST_F(GL_ShadowPixels, TheVolumeCullsForItselfWhateverTheSceneSays) {
  VolumeScene();
  viewer.Buffer()->SetFaceCulling(false);
  for (int frame = 0; frame < kFrames; ++frame) {
    viewer.Render();
    ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
    const auto shadowed = PixelAt(-2, 0, 0), lit = PixelAt(2.5f, 0, 0);
    EXPECT_LT(shadowed[0], 60) << "buffer without culling, frame " << frame << ": " << Rgb(shadowed);
    EXPECT_GT(lit[0], 120) << "buffer without culling, frame " << frame << ": " << Rgb(lit);
  }
  viewer.Buffer()->SetFaceCulling(true);
  cube->Material()->SetFaceCulling(fcNoCull);
  for (int frame = 0; frame < kFrames; ++frame) {
    viewer.Render();
    const auto shadowed = PixelAt(-2, 0, 0), lit = PixelAt(2.5f, 0, 0);
    EXPECT_LT(shadowed[0], 60) << "occluder without culling, frame " << frame << ": " << Rgb(shadowed);
    EXPECT_GT(lit[0], 120) << "occluder without culling, frame " << frame << ": " << Rgb(lit);
    EXPECT_GT(PixelAt(2, -2, kCubeTop)[0], 150) << "frame " << frame;
    // The occluder's material turned culling off inside the volume: the cache still knows GL.
    EXPECT_EQ(CacheOutOfStep(), "") << "frame " << frame;
  }
}

// A cached silhouette is made again when its occluder changes: a taller cube (3 along Y) casts
// a longer shadow, which reaches the floor at (-2, 1.5); moved away, it no longer does.
TEST_F(GL_ShadowPixels, CachedSilhouettesFollowTheOccluder) {
  VolumeScene();
  ASSERT_TRUE(volume->Options().Contains(svoCacheSilhouettes));
  auto* lightItem = static_cast<TGLShadowVolumeLight*>(volume->Lights()->Items(0));
  TGLSilhouette* cached = nullptr;
  for (int frame = 0; frame < kFrames; ++frame) {
    viewer.Render();
    ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
    if (frame > 0) {
      EXPECT_EQ(lightItem->Cached(0), cached) << "the silhouette is reused, frame " << frame;
    }
    cached = lightItem->Cached(0);
    EXPECT_GT(PixelAt(-2, 1.5f, 0)[0], 120) << "the short cube's shadow is narrower, frame " << frame;
    EXPECT_LT(PixelAt(-2, 0, 0)[0], 60) << "frame " << frame;
  }
  cube->SetCubeHeight(3);
  for (int frame = 0; frame < kFrames; ++frame) {
    viewer.Render();
    const auto p = PixelAt(-2, 1.5f, 0);
    EXPECT_LT(p[0], 60) << "the tall cube's shadow, frame " << frame << ": " << Rgb(p);
  }
  // Moved away, it no longer shadows the floor under its old place.
  cube->Position()->SetXYZAsPoint(0, 4, 1.5f);
  for (int frame = 0; frame < kFrames; ++frame) {
    viewer.Render();
    const auto p = PixelAt(-2, 0, 0);
    EXPECT_GT(p[0], 120) << "moved away, frame " << frame << ": " << Rgb(p);
  }
}

// A mesh occluder made of quads: its silhouette comes from the quads split into triangles.
TEST_F(GL_ShadowPixels, AQuadMeshCastsItsShadow) {
  VolumeScene();
  QuadCubeMesh();
  for (int frame = 0; frame < kFrames; ++frame) {
    viewer.Render();
    ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
    const auto shadowed = PixelAt(-2, 0, 0), lit = PixelAt(2.5f, 0, 0);
    EXPECT_LT(shadowed[0], 60) << "frame " << frame << ": " << Rgb(shadowed);
    EXPECT_GT(lit[0], 120) << "frame " << frame << ": " << Rgb(lit);
    EXPECT_GT(PixelAt(2, -2, kCubeTop)[0], 150) << "frame " << frame;
  }
}

// A zero-area triangle on the cube mesh's top changes nothing of its shadow: as many dark pixels, and the shadowed floor as dark.
TEST_F(GL_ShadowPixels, AZeroAreaTriangleInTheMeshLeavesItsShadowWhole) {
  VolumeScene();
  TGLFreeForm* plain = QuadCubeMesh();
  viewer.Render();
  const int whole = DarkPixels();
  EXPECT_GT(whole, 100);
  delete plain;
  QuadCubeMesh(true);
  for (int frame = 0; frame < kFrames; ++frame) {
    viewer.Render();
    EXPECT_EQ(DarkPixels(), whole) << "frame " << frame;
    EXPECT_LT(PixelAt(-2, 0, 0)[0], 60) << "frame " << frame << ": " << Rgb(PixelAt(-2, 0, 0));
  }
}

// Depth-buffer shadows: the mask is cut to a narrower viewport for that frame only. The caster
// looks from up and to the left, so the shadow falls right of the cube, in the half of the view
// a mask kept at the narrow size would never cover again.
TEST_F(GL_ShadowPixels, DepthBufferShadowsCoverTheViewAgainAfterItNarrowed) {
  TGLMemoryViewer caster(nullptr);
  auto* shadows = DepthShadowScene(caster, -6);
  ASSERT_EQ(shadows->Width(), kSize);
  viewer.Render();  // the buffer's camera and projection for the depth buffers
  auto frames = [&](const char* when) {
    for (int frame = 0; frame < kFrames; ++frame) {
      shadows->CastShadow();
      viewer.Render();
      ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
      const auto shadowed = PixelAt(2.5f, 0, 0), lit = PixelAt(-2.5f, 0, 0);
      EXPECT_GT(lit[0], 150) << when << ", frame " << frame << ": " << Rgb(lit);
      EXPECT_LT(shadowed[0], lit[0] - 50)
          << when << ", frame " << frame << ": " << Rgb(shadowed) << " against " << Rgb(lit);
    }
  };
  frames("at first");
  viewer.SetWidth(kSize / 2);
  shadows->CastShadow();
  viewer.Render();
  EXPECT_EQ(shadows->Width(), kSize);  // the size set is kept
  viewer.SetWidth(kSize);
  frames("wide again");
}
