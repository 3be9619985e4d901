// Tests of the scene buffer: screen and world round trips, the pick matrix, projections without a
// camera, the viewport stack, memory viewers (their contexts after failures), lifetimes.
#include <gtest/gtest.h>

#include <stdexcept>

#include "Source/Scene/GLSceneGraph.h"
#include "tests/Source/Base/GLRecorder.h"
#include "tests/Source/BookkeepingContext.h"

namespace {

struct BufferFixture : ::testing::Test {
  TGLSceneGraph scene{nullptr};
  TGLSceneBuffer buffer{nullptr};
  TGLCamera* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  TGLSceneObject* target = scene.Objects()->AddNewChild<TGLSceneObject>();

  void Aim() {
    cam->Position()->SetXYZAsPoint(0, 0, 10);
    cam->SetTargetObject(target);
    buffer.SetCamera(cam);
    buffer.Resize(200, 100);
    TGLRecorder rec;  // the matrices are computed, GL only receives them
    buffer.SetupMatrices(nullptr);
  }
};

}  // namespace

TEST_F(BufferFixture, ScreenAndWorldRoundTrip) {
  Aim();
  const TVector4f centre = buffer.WorldToScreen(VectorMake(0, 0, 0, 1));
  EXPECT_NEAR(centre[0], 100, 1e-3);
  EXPECT_NEAR(centre[1], 50, 1e-3);
  const TVector4f p = VectorMake(37, 81, 0.5f, 0);
  const TVector4f back = buffer.WorldToScreen(buffer.ScreenToWorld(p));
  EXPECT_NEAR(back[0], 37, 0.01);
  EXPECT_NEAR(back[1], 81, 0.01);

  TVector4f hit{};
  ASSERT_TRUE(buffer.ScreenVectorIntersectWithPlaneXY(VectorMake(100, 50, 0, 0), 0, hit));
  EXPECT_NEAR(hit[0], 0, 1e-3);
  EXPECT_NEAR(hit[1], 0, 1e-3);
  EXPECT_NEAR(hit[2], 0, 1e-3);
  EXPECT_EQ(hit[3], 0);
  // A ray parallel to the plane meets nothing.
  EXPECT_FALSE(buffer.ScreenVectorIntersectWithPlaneXZ(VectorMake(100, 50, 0, 0), 0, hit));
  TVector4f general{};
  ASSERT_TRUE(buffer.ScreenVectorIntersectWithPlane(VectorMake(100, 50, 0, 0), VectorMake(0, 0, 2, 1),
                                                    VectorMake(0, 0, 1, 0), general));
  EXPECT_NEAR(general[2], 2, 1e-3);
  EXPECT_EQ(general[3], 1);
}

TEST_F(BufferFixture, PickMatrixNarrowsTheView) {
  Aim();
  TGLRecorder rec;
  // A 2 x 2 pick rectangle around the centre blows the centre up 100 / 50 times.
  const TGLRect r = MakeGLRect(99, 49, 101, 51);
  buffer.SetupMatrices(&r);
  const TMatrix4f& base = buffer.BaseProjectionMatrix();
  EXPECT_FLOAT_EQ(base[0][0], 100);
  EXPECT_FLOAT_EQ(base[1][1], 50);
  EXPECT_NEAR(base[3][0], 0, 1e-4);
  EXPECT_NEAR(base[3][1], 0, 1e-4);
}

TEST_F(BufferFixture, WithoutCameraProjectionsCopyOrFail) {
  const TVector4f p = VectorMake(1, 2, 3, 1);
  const TVector4f w = buffer.WorldToScreen(p);
  EXPECT_EQ(w[0], 1);
  EXPECT_EQ(buffer.ScreenToWorld(p)[2], 3);
  TVector4f hit{};
  EXPECT_FALSE(buffer.ScreenVectorIntersectWithPlaneXY(p, 0, hit));
  // A camera outside any scene is not taken.
  TGLCamera loose(nullptr);
  buffer.SetCamera(&loose);
  EXPECT_EQ(buffer.Camera(), nullptr);
}

TEST_F(BufferFixture, ViewportStackAndNotifications) {
  buffer.Resize(0, 0);
  EXPECT_EQ(buffer.Width(), 1);
  EXPECT_EQ(buffer.Height(), 1);

  EXPECT_THROW(buffer.PopModelViewMatrix(), EAssertionFailed);
  TMatrix4f m = IdentityHmgMatrix;
  m[3][0] = 5;
  buffer.PushModelViewMatrix(m);
  EXPECT_EQ(buffer.ModelViewMatrix()[3][0], 5);
  buffer.PopModelViewMatrix();
  EXPECT_EQ(buffer.ModelViewMatrix()[3][0], 0);

  int changes = 0, structural = 0;
  buffer.OnChange = [&](TObject*) { ++changes; };
  buffer.OnStructuralChange = [&](TObject*) { ++structural; };
  buffer.SetLighting(false);
  buffer.SetLighting(false);
  buffer.SetBackgroundColor(0);
  EXPECT_EQ(changes, 2);
  buffer.SetAntiAliasing(aa4x);
  buffer.SetContextOptions(TContextOptions{roDoubleBuffer, roStencilBuffer});
  buffer.SetDepthPrecision(dp16bits);
  EXPECT_EQ(structural, 3);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(buffer.GetGLLimit(27), 0);

  // Without a context a frame does nothing.
  buffer.Render();
  EXPECT_EQ(buffer.FramesPerSecond(), 0);
}

TEST(MemoryViewer, DefaultsAndSizeChanges) {
  TGLMemoryViewer viewer(nullptr);
  EXPECT_EQ(viewer.Width(), 256);
  EXPECT_EQ(viewer.Height(), 256);
  viewer.SetWidth(0);
  EXPECT_EQ(viewer.Width(), 1);
  TGLSceneGraph scene(nullptr);
  auto* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  viewer.SetCamera(cam);
  EXPECT_EQ(viewer.Camera(), cam);
  delete cam;
  EXPECT_EQ(viewer.Camera(), nullptr);
}

TEST(SceneBufferLifetime, ACameraOrSceneFreedFirstIsForgotten) {
  auto scene = std::make_unique<TGLSceneGraph>(nullptr);
  TGLSceneBuffer a(nullptr), b(nullptr);
  auto* cam = scene->Cameras()->AddNewChild<TGLCamera>();
  a.SetCamera(cam);
  b.SetCamera(cam);
  a.SetCamera(nullptr);  // one buffer letting go leaves the other looking
  EXPECT_EQ(b.Camera(), cam);
  delete cam;
  EXPECT_EQ(b.Camera(), nullptr);
  b.SetCamera(scene->Cameras()->AddNewChild<TGLCamera>());
  scene.reset();
  EXPECT_EQ(b.Camera(), nullptr);
}

namespace {

// A context that only keeps the books; the next `failures` of them cannot be made, as on a
// display without a fitting visual.
class TFlakyContext : public TBookkeepingContext {
  RTL_CLASS(TFlakyContext, TBookkeepingContext)
 public:
  static inline int failures = 0;

 protected:
  void PlatformCreateOffscreenContext(TGLOutputDevice device, int width, int height) override {
    if (failures > 0) {
      --failures;
      throw EGLContext("no visual fits");
    }
    TBookkeepingContext::PlatformCreateOffscreenContext(device, width, height);
  }
};

// A memory viewer drawing with recorded GL on contexts of the class above, counting its frames.
struct RecordedMemoryViewer : ::testing::Test {
  TGLRecorder rec;
  TGLSceneGraph scene{nullptr};
  TGLMemoryViewer viewer{nullptr};
  TGLCamera* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  int frames = 0;

  void SetUp() override {
    GLCaps.Version_1_1 = true;  // the recorder puts the capabilities back
    TGLContextManager::AddRenderingContextClass(TFlakyContext::StaticClass());
    TFlakyContext::failures = 0;
    viewer.SetCamera(cam);
    viewer.Buffer()->AfterRender = [this](TObject*) { ++frames; };
  }
  void TearDown() override {
    viewer.Buffer()->DestroyRC();
    TGLContextManager::RemoveRenderingContextClass(TFlakyContext::StaticClass());
  }
};

}  // namespace

TEST_F(RecordedMemoryViewer, AContextThatCouldNotBeMadeIsMadeAtTheNextFrame) {
  TFlakyContext::failures = 1;
  EXPECT_THROW(viewer.Render(), EGLContext);
  EXPECT_FALSE(viewer.Buffer()->Rendering());
  EXPECT_FALSE(viewer.Buffer()->RCInstantiated());
  EXPECT_EQ(frames, 0);
  viewer.Render();
  ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
  EXPECT_EQ(viewer.Buffer()->RenderingContext()->ClassName(), "TFlakyContext");
  EXPECT_EQ(frames, 1);
  EXPECT_EQ(rec.Count("glClear"), 1);
}

TEST_F(RecordedMemoryViewer, TheFrameAfterOneThatFailedDrawsWithWhatTheFailedOneAskedFor) {
  viewer.Render();
  ASSERT_EQ(frames, 1);
  // A new anti-aliasing mode asked for by a frame that then fails: the next frame has it.
  viewer.Buffer()->BeforeRender = [this](TObject*) {
    viewer.Buffer()->SetAntiAliasing(aa4x);
    throw std::runtime_error("frame failed");
  };
  EXPECT_THROW(viewer.Render(), std::runtime_error);
  EXPECT_EQ(frames, 1);
  EXPECT_TRUE(viewer.Buffer()->ChangesPending());
  viewer.Buffer()->BeforeRender = nullptr;
  viewer.Render();
  EXPECT_EQ(frames, 2);
  ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
  EXPECT_EQ(viewer.Buffer()->RenderingContext()->AntiAliasing(), aa4x);
  EXPECT_FALSE(viewer.Buffer()->ChangesPending());

  // A new size likewise (its context goes with the failed frame).
  viewer.Buffer()->BeforeRender = [this](TObject*) {
    viewer.SetWidth(32);
    throw std::runtime_error("frame failed");
  };
  EXPECT_THROW(viewer.Render(), std::runtime_error);
  viewer.Buffer()->BeforeRender = nullptr;
  viewer.Render();
  EXPECT_EQ(frames, 3);
  EXPECT_EQ(viewer.Buffer()->Width(), 32);
  EXPECT_FALSE(viewer.Buffer()->Rendering());
}

// A viewer freed from each event of its frame or pick, or from a draw handler: the pass ends there,
// raising and drawing nothing more (the sanitizer build sees any write after), no context is left
// current and the scene's other viewer draws on.
TEST_F(RecordedMemoryViewer, AViewerFreedDuringItsOwnPassEndsItThere) {
  viewer.Render();
  auto* first = scene.Objects()->AddNewChild<TGLDirectOpenGL>();
  auto* later = scene.Objects()->AddNewChild<TGLDirectOpenGL>();
  const std::string all = "before initiate draw later wrap-up post after";
  for (const std::string freedIn : {"prepare", "before", "initiate", "draw", "wrap-up", "post", "after", "pick"}) {
    SCOPED_TRACE(freedIn);
    auto* gone = new TGLMemoryViewer(nullptr);
    gone->SetCamera(cam);
    TGLSceneBuffer* b = gone->Buffer();
    if (freedIn != "prepare") gone->Render();
    std::string heard;
    const auto hear = [&](const std::string& event) {
      heard += (heard.empty() ? "" : " ") + event;
      if (event == freedIn || (freedIn == "pick" && event == "draw")) delete gone;
    };
    gone->OnPrepareGLContext = [&](TObject*) { hear("prepare"); };
    b->BeforeRender = [&](TObject*) { hear("before"); };
    b->InitiateRendering = [&](TObject*, TRenderContextInfo&) { hear("initiate"); };
    first->OnRender = [&](TObject*, TRenderContextInfo& rci) { rci.buffer == b ? hear("draw") : void(); };
    later->OnRender = [&](TObject*, TRenderContextInfo& rci) { rci.buffer == b ? hear("later") : void(); };
    b->WrapUpRendering = [&](TObject*, TRenderContextInfo&) { hear("wrap-up"); };
    b->PostRender = [&](TObject*) { hear("post"); };
    b->AfterRender = [&](TObject*) { hear("after"); };
    if (freedIn == "pick")
      EXPECT_EQ(b->GetPickedObject(1, 1), nullptr);
    else
      gone->Render();
    const std::string want = freedIn == "prepare" ? "prepare"
                             : freedIn == "pick"  ? "initiate draw"
                                                  : all.substr(0, all.find(freedIn) + freedIn.size());
    EXPECT_EQ(heard, want);
    EXPECT_EQ(GetCurrentRenderingContext(), nullptr);
    first->OnRender = later->OnRender = nullptr;
    viewer.Render();
    EXPECT_EQ(scene.BufferCount(), 1);
  }
  EXPECT_EQ(frames, 9);
}
