// The camera seen through a real off-screen context: a camera straight above its target, culling
// of objects under a scaled parent, and rays from the cursor of orthogonal and perspective
// cameras, each checked on the pixels or the depth the frame leaves.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneGraph.h"
#include "tests/Source/Viewer/MemoryViewerTest.h"

namespace {

constexpr int kSize = 64;

struct GL_CameraView : TMemoryViewerTest {
  void SetUp() override {
    viewer.SetWidth(kSize);
    viewer.SetHeight(kSize);
    viewer.Buffer()->SetBackgroundColor(0);  // black
    viewer.Buffer()->SetLighting(false);     // every drawn pixel is plainly not black
    viewer.SetCamera(cam);
  }

  // Pixels of the last frame that are not the black background.
  int DrawnPixels() {
    const std::vector<uint8_t> px = FramePixels(viewer);
    int n = 0;
    for (int i = 0; i < kSize * kSize; ++i) n += px[i * 4] + px[i * 4 + 1] + px[i * 4 + 2] > 30;
    return n;
  }

  // Renders three frames and gives the drawn pixels of each.
  std::vector<int> ThreeFrames() {
    std::vector<int> r;
    for (int i = 0; i < 3; ++i) {
      viewer.Render();
      r.push_back(DrawnPixels());
    }
    return r;
  }
};

const std::vector<int> kFull(3, kSize* kSize);

}  // namespace

// A camera aimed at a target straight below it, with the usual Up along the line of sight: the
// large cube under it fills the view, as it does half a unit off the axis. The camera then
// leaves the axis and comes back: the frames go on drawing.
TEST_F(GL_CameraView, ACameraStraightAboveItsTargetDraws) {
  auto* target = scene.Objects()->AddNewChild<TGLDummyCube>();
  auto* cube = scene.Objects()->AddNewChild<TGLCube>();
  cube->SetCubeWidth(6);
  cube->SetCubeHeight(6);
  cube->SetCubeDepth(6);
  cam->SetTargetObject(target);
  cam->Position()->SetXYZAsPoint(0, 10, 0);  // Up is (0, 1, 0), the line of sight (0, -1, 0)
  EXPECT_EQ(ThreeFrames(), kFull);
  ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
  cam->Position()->SetXYZAsPoint(0.5f, 10, 0);
  EXPECT_EQ(ThreeFrames(), kFull);
  cam->Position()->SetXYZAsPoint(0, 10, 0);
  EXPECT_EQ(ThreeFrames(), kFull);
  // Straight below its target too.
  cam->Position()->SetXYZAsPoint(0, -10, 0);
  EXPECT_EQ(ThreeFrames(), kFull);

  // What the objects are told of the camera: a unit up across the line of sight.
  auto* probe = scene.Objects()->AddNewChild<TGLDirectOpenGL>();
  TVector4f up{}, dir{};
  probe->OnRender = [&](TObject*, TRenderContextInfo& rci) {
    up = rci.cameraUp;
    dir = rci.cameraDirection;
  };
  viewer.Render();
  EXPECT_NEAR(VectorXYZLength(up), 1, 1e-5);
  EXPECT_NEAR(AffineVectorDotProduct(AffineVectorMake(up), AffineVectorMake(dir)), 0, 1e-5);
  EXPECT_NEAR(dir[1], 1, 1e-5);
}

// A unit cube under a dummy scaled ten times, its near face in the view and its centre beyond
// the far plane: it covers the view. Object culling must use the size the parents give it;
// hierarchical culling and no culling draw it as well. The same with the scale split over two
// parents, each non-uniform. Moved well out of the view, the cube is still culled.
TEST_F(GL_CameraView, CullingCountsTheParentsScale) {
  cam->Position()->SetXYZAsPoint(0, 0, 28);  // looking down -Z
  cam->SetDepthOfView(20);                   // near plane about 5.9 away, far plane about 25.9
  auto* dummy = scene.Objects()->AddNewChild<TGLDummyCube>();
  dummy->Scale()->SetXYZAsVector(10, 10, 10);
  auto* cube = dummy->AddNewChild<TGLCube>();  // near face 23 away, centre 28 away
  for (TGLVisibilityCulling c : {vcNone, vcObjectBased, vcHierarchical}) {
    scene.SetVisibilityCulling(c);
    EXPECT_EQ(ThreeFrames(), kFull) << "culling " << int(c);
  }
  ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
  dummy->Scale()->SetXYZAsVector(1, 1, 10);
  auto* inner = dummy->AddNewChild<TGLDummyCube>();
  inner->Scale()->SetXYZAsVector(10, 10, 1);
  cube->MoveTo(inner);
  for (TGLVisibilityCulling c : {vcObjectBased, vcHierarchical}) {
    scene.SetVisibilityCulling(c);
    EXPECT_EQ(ThreeFrames(), kFull) << "culling " << int(c);
  }
  dummy->Position()->SetXYZAsPoint(40, 0, 0);  // nothing of it in view
  scene.SetVisibilityCulling(vcObjectBased);
  EXPECT_EQ(ThreeFrames(), std::vector<int>(3, 0));
}

namespace {

// Screen points across the view, in window coordinates (origin bottom left).
const float kScreenPoints[][2] = {{32, 32}, {48, 32}, {10, 54}, {60, 3}, {21.5f, 40.25f}};

}  // namespace

// For each camera style and a tilted camera: the point a screen ray meets the plane z 0 shows at
// that screen point again, and the world point read back from a pixel's depth on a quad at z 0
// lies on the quad.
TEST_F(GL_CameraView, RaysFromTheCursorMeetWhatTheCursorShows) {
  auto* plane = scene.Objects()->AddNewChild<TGLPlane>();
  plane->SetWidth(40);
  plane->SetHeight(40);
  struct Case {
    TGLCameraStyle style;
    TVector4f position, direction;
  };
  const Case cases[] = {
      {csOrthogonal, {0, 0, 10, 1}, {0, 0, -1, 0}},
      {csOrthogonal, {3, -4, 8, 1}, {-0.2f, 0.4f, -1, 0}},
      {csPerspective, {0, 0, 10, 1}, {0, 0, -1, 0}},
      {csPerspective, {3, -4, 8, 1}, {-0.2f, 0.4f, -1, 0}},
      {csInfinitePerspective, {3, -4, 8, 1}, {-0.2f, 0.4f, -1, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("style " + std::to_string(int(c.style)) + " at x " + std::to_string(c.position[0]));
    cam->SetCameraStyle(c.style);
    cam->SetFocalLength(c.style == csOrthogonal ? 10 : 12.5f);  // ortho: 10 units across
    cam->Position()->AssignVector(c.position);
    cam->Direction()->AssignVector(VectorNormalized(c.direction));
    viewer.Render();
    ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
    ASSERT_EQ(DrawnPixels(), kSize * kSize);
    TGLSceneBuffer* b = viewer.Buffer();
    for (const auto& s : kScreenPoints) {
      TVector4f hit{};
      ASSERT_TRUE(b->ScreenVectorIntersectWithPlaneXY(VectorMake(s[0], s[1], 0), 0, hit));
      EXPECT_EQ(hit[3], 0);
      EXPECT_NEAR(hit[2], 0, 1e-4);
      const TVector4f back = b->WorldToScreen(VectorMake(hit[0], hit[1], hit[2], 1));
      EXPECT_NEAR(back[0], s[0], 0.01) << "hit x " << hit[0];
      EXPECT_NEAR(back[1], s[1], 0.01) << "hit y " << hit[1];
      // The same plane through the XZ form, turned: y 0 meets the ray where x, z agree with it.
      TVector4f hitXZ{};
      if (b->ScreenVectorIntersectWithPlaneXZ(VectorMake(s[0], s[1], 0), 0, hitXZ)) {
        const TVector4f backXZ = b->WorldToScreen(VectorMake(hitXZ[0], hitXZ[1], hitXZ[2], 1));
        EXPECT_NEAR(hitXZ[1], 0, 1e-4);
        EXPECT_NEAR(backXZ[0], s[0], 0.01);
        EXPECT_NEAR(backXZ[1], s[1], 0.01);
      }
      // Pixel centres: PixelRayToWorld takes the mouse's y, from the top.
      const int px = int(s[0]), py = kSize - 1 - int(s[1]);
      const TVector4f onQuad = b->PixelRayToWorld(px, py);
      EXPECT_NEAR(onQuad[2], 0, 0.02) << "pixel " << px << "," << py;
    }
  }
}
