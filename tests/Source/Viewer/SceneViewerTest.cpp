// Tests of viewers in a real context: memory viewers (drawing, failures, picking, depth, shared
// lists) and the viewer window (repaints, depth buffer, format changes, keys).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPlatformSurfaceEvent>
#include <QWindow>

#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "Source/Materials/GLMaterial.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/Keyboard.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Viewer/GLQtContext.h"
#include "Source/Viewer/GLSceneViewer.h"
#include "tests/Source/Viewer/MemoryViewerTest.h"
#include "XTestInput.h"
#include "platform/KeyState.h"
#include "rtl/SysUtils.h"

namespace {

struct GL_MemoryViewerFixture : TMemoryViewerTest {
  void SetUp() override {
    viewer.SetWidth(64);
    viewer.SetHeight(64);
    viewer.Buffer()->SetLighting(false);
    viewer.Buffer()->SetBackgroundColor(0xFF0000);  // blue (Windows colour order)
    cam->Position()->SetXYZAsPoint(0, 0, 10);
    viewer.SetCamera(cam);
  }

  // A flat coloured square of half size h facing the camera.
  TGLDirectOpenGL* Quad(float z, float h, float r, float g, float b, TGLBaseSceneObject* parent = nullptr) {
    auto* q = (parent ? parent : scene.Objects())->AddNewChild<TGLDirectOpenGL>();
    q->Position()->SetZ(z);
    q->OnRender = [h, r, g, b](TObject*, TRenderContextInfo&) {
      GL.glColor3f(r, g, b);
      GL.glBegin(GL_QUADS);
      GL.glVertex3f(-h, -h, 0);
      GL.glVertex3f(h, -h, 0);
      GL.glVertex3f(h, h, 0);
      GL.glVertex3f(-h, h, 0);
      GL.glEnd();
    };
    return q;
  }

  // RGB of a window pixel (origin bottom-left) of the last frame.
  std::vector<uint8_t> Pixel(int x, int y) {
    std::vector<uint8_t> px(4);
    ReadViewerPixels(viewer, x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, px.data());
    px.resize(3);
    return px;
  }
};

bool Near(const std::vector<uint8_t>& px, int r, int g, int b, int tol = 8) {
  return std::abs(px[0] - r) <= tol && std::abs(px[1] - g) <= tol && std::abs(px[2] - b) <= tol;
}

}  // namespace

TEST_F(GL_MemoryViewerFixture, RendersTheSceneOverTheBackground) {
  Quad(0, 0.3f, 1, 0, 0);
  viewer.Render();
  ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
  EXPECT_TRUE(Near(Pixel(32, 32), 255, 0, 0)) << int(Pixel(32, 32)[0]) << "," << int(Pixel(32, 32)[2]);
  EXPECT_TRUE(Near(Pixel(2, 2), 0, 0, 255));
  EXPECT_EQ(viewer.Buffer()->GetGLLimit(2), 8);

  // A size change frees the context; the next frame makes a new one.
  viewer.SetWidth(32);
  EXPECT_FALSE(viewer.Buffer()->RCInstantiated());
  viewer.Render();
  EXPECT_TRUE(viewer.Buffer()->RCInstantiated());

  // Without a camera only the background is drawn.
  viewer.SetCamera(nullptr);
  viewer.Render();
  EXPECT_TRUE(Near(Pixel(16, 16), 0, 0, 255));
}

TEST_F(GL_MemoryViewerFixture, DirectOpenGLRunsEveryFrameOrOncePerList) {
  int calls = 0;
  auto* q = scene.Objects()->AddNewChild<TGLDirectOpenGL>();
  q->OnRender = [&calls](TObject*, TRenderContextInfo&) { ++calls; };
  for (int i = 0; i < 3; ++i) viewer.Render();
  EXPECT_EQ(calls, 3);
  calls = 0;
  q->SetUseBuildList(true);
  for (int i = 0; i < 5; ++i) viewer.Render();
  EXPECT_EQ(calls, 1);
  q->MarkStructureChanged();
  viewer.Render();
  EXPECT_EQ(calls, 2);
}

TEST_F(GL_MemoryViewerFixture, FrameFailuresLeaveTheBufferUsable) {
  auto* q = scene.Objects()->AddNewChild<TGLDirectOpenGL>();
  bool fail = true;
  // A failing object is contained by the scene's walk; a failing pass hook ends the frame.
  viewer.Buffer()->InitiateRendering = [&fail](TObject*, TRenderContextInfo&) {
    if (fail) throw std::runtime_error("draw failed");
  };
  EXPECT_THROW(viewer.Render(), std::runtime_error);
  EXPECT_FALSE(viewer.Buffer()->Rendering());
  EXPECT_EQ(GetCurrentRenderingContext(), nullptr);
  fail = false;
  int after = 0;
  viewer.Buffer()->AfterRender = [&after](TObject*) { ++after; };
  viewer.Render();
  EXPECT_EQ(after, 1);
  EXPECT_FALSE(viewer.Buffer()->Rendering());
  EXPECT_NE(viewer.Buffer()->GetPickedObject(32, 32), q);  // picking still works
}

TEST_F(GL_MemoryViewerFixture, AnObjectFailingEveryFrameLeavesTheRestOfTheViewDrawn) {
  Quad(0, 0.2f, 0, 1, 0)->Position()->SetX(-0.5f);
  auto* broken = Quad(0, 0.2f, 1, 0, 0);
  broken->SetName("broken");
  broken->OnRender = [](TObject*, TRenderContextInfo&) { throw std::runtime_error("draw failed"); };
  Quad(0, 0.2f, 1, 1, 0)->Position()->SetX(0.5f);
  int frames = 0;
  viewer.Buffer()->AfterRender = [&frames](TObject*) { ++frames; };
  testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) EXPECT_NO_THROW(viewer.Render());
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(frames, 3);
  EXPECT_EQ(log, "Scene: TGLDirectOpenGL \"broken\" not drawn: draw failed (reported once)\n");
  // Half a unit is about 15 pixels at this distance.
  EXPECT_TRUE(Near(Pixel(32 - 15, 32), 0, 255, 0));
  EXPECT_TRUE(Near(Pixel(32, 32), 0, 0, 255));
  EXPECT_TRUE(Near(Pixel(32 + 15, 32), 255, 255, 0));
}

TEST_F(GL_MemoryViewerFixture, PickingReturnsTheNearestHitFirst) {
  auto* backQuad = Quad(-2, 0.3f, 0, 1, 0);
  auto* frontQuad = Quad(1, 0.3f, 1, 0, 0);
  backQuad->SetName("back");
  frontQuad->SetName("front");
  viewer.Render();
  EXPECT_EQ(viewer.Buffer()->GetPickedObject(32, 32), frontQuad);
  std::unique_ptr<TGLPickList> list(viewer.Buffer()->GetPickedObjects(MakeGLRect(31, 31, 33, 33)));
  ASSERT_EQ(list->Count(), 2);
  EXPECT_EQ(list->Hit(0), frontQuad);
  EXPECT_EQ(list->Hit(1), backQuad);
  EXPECT_LT(list->NearDistance(0), list->NearDistance(1));
  // Empty space.
  EXPECT_EQ(viewer.Buffer()->GetPickedObject(1, 1), nullptr);
}

TEST_F(GL_MemoryViewerFixture, ManyHitsGrowTheSelectionBuffer) {
  std::vector<TGLBaseSceneObject*> quads;
  for (int i = 0; i < 300; ++i) quads.push_back(Quad(-float(i) * 0.01f, 1, 1, 1, 1));
  TGLPickList list(psMinDepth);
  viewer.Render();
  viewer.Buffer()->PickObjects(MakeGLRect(31, 31, 33, 33), &list, 8);
  EXPECT_EQ(list.Count(), 300);
  EXPECT_EQ(list.Hit(0), quads.front());
  EXPECT_EQ(list.Hit(299), quads.back());
  // However large the guess, the buffer stays within its cap.
  viewer.Buffer()->PickObjects(MakeGLRect(31, 31, 33, 33), &list, std::numeric_limits<int>::max());
  EXPECT_EQ(list.Count(), 300);
}

TEST_F(GL_MemoryViewerFixture, SubObjectsOfAHitAreTheObjectsDrawnThroughAProxy) {
  auto* master = scene.Objects()->AddNewChild<TGLDummyCube>();
  master->SetVisible(false);
  auto* part = Quad(0, 0.5f, 1, 0, 0, master);
  auto* proxy = scene.Objects()->AddNewChild<TGLProxyObject>();
  proxy->SetMasterObject(master);
  viewer.Render();
  std::unique_ptr<TGLPickList> list(viewer.Buffer()->GetPickedObjects(MakeGLRect(31, 31, 33, 33)));
  ASSERT_EQ(list->Count(), 1);
  EXPECT_EQ(list->Hit(0), proxy);
  EXPECT_EQ(list->SubObjects(0), std::vector<TGLBaseSceneObject*>{part});

  // The part freed, and a quad in front taken out of the scene, by a later object's drawing during
  // the pick: neither is answered (nor its address), only what the scene still holds.
  auto* front = Quad(1, 0.3f, 1, 0, 0);
  std::unique_ptr<TGLBaseSceneObject> takenOut;
  scene.Objects()->AddNewChild<TGLDirectOpenGL>()->OnRender = [&](TObject*, TRenderContextInfo& rci) {
    if (rci.drawState != dsPicking || takenOut) return;
    delete part;
    scene.Objects()->Remove(front, false);
    takenOut.reset(front);
  };
  list.reset(viewer.Buffer()->GetPickedObjects(MakeGLRect(31, 31, 33, 33)));
  ASSERT_EQ(list->Count(), 2);
  EXPECT_EQ(list->Hit(0), nullptr);
  EXPECT_EQ(list->Hit(1), proxy);
  EXPECT_EQ(list->SubObjects(1), std::vector<TGLBaseSceneObject*>{nullptr});
}

TEST_F(GL_MemoryViewerFixture, PixelDepthAndRayToWorld) {
  Quad(0, 5, 1, 1, 1);
  cam->SetCameraStyle(csInfinitePerspective);
  viewer.Render();
  const TVector4f p = viewer.Buffer()->PixelRayToWorld(32, 32);
  EXPECT_NEAR(p[2], 0, 0.05);
  cam->SetCameraStyle(csPerspective);
  viewer.Render();
  const TVector4f q = viewer.Buffer()->PixelRayToWorld(40, 20);
  EXPECT_NEAR(q[2], 0, 0.05);
  // Rows outside the window read as the far plane, not as stray memory.
  EXPECT_LE(viewer.Buffer()->GetPixelDepth(10, -50), 1.0f);

  // A context without a depth buffer reads the far plane and leaves no error
  // for the next frame to raise.
  viewer.OnPrepareGLContext = [this](TObject*) { viewer.Buffer()->RenderingContext()->SetDepthBits(0); };
  viewer.SetWidth(48);
  viewer.Render();
  EXPECT_EQ(viewer.Buffer()->GetPixelDepth(24, 24), 1.0f);
  EXPECT_NO_THROW(viewer.Render());
}

TEST_F(GL_MemoryViewerFixture, TwoViewersShareTheSceneAndItsLists) {
  auto* q = Quad(0, 0.3f, 1, 0, 0);
  q->SetUseBuildList(true);
  viewer.Render();
  TGLMemoryViewer second(nullptr);
  second.SetWidth(64);
  second.SetHeight(64);
  second.Buffer()->SetLighting(false);
  second.SetCamera(cam);
  second.Render();
  EXPECT_EQ(scene.BufferCount(), 2);
  EXPECT_EQ(scene.BaseContext(), viewer.Buffer()->RenderingContext());
  // The list compiled for the first viewer draws in the second.
  std::vector<uint8_t> px(4);
  TGLContext* ctx = second.Buffer()->RenderingContext();
  ctx->ActivateNested();
  GL.glReadPixels(32, 32, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, px.data());
  EXPECT_EQ(GL.glIsList(q->ListHandle()->Handle()), GL_TRUE);
  ctx->DeactivateNested();
  px.resize(3);
  EXPECT_TRUE(Near(px, 255, 0, 0));
  // Without its first buffer the scene's base is the second one's context.
  viewer.Buffer()->DestroyRC();
  EXPECT_EQ(scene.BufferCount(), 1);
  EXPECT_EQ(scene.BaseContext(), second.Buffer()->RenderingContext());
}

namespace {

// Handles events until the viewer has drawn more than `count` frames (or gives up).
bool PaintedMoreThan(const TGLSceneViewer& viewer, int count) {
  QElapsedTimer t;
  t.start();
  while (viewer.PaintCount() <= count && t.elapsed() < 5000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return viewer.PaintCount() > count;
}

// A shown window viewer on a scene with one camera and one object, past its first frames.
struct GL_SceneViewerFixture : ::testing::Test {
  TGLSceneGraph scene{nullptr};
  TGLCamera* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  TGLSceneObject* obj = scene.Objects()->AddNewChild<TGLSceneObject>();
  TGLSceneViewer viewer;

  void SetUp() override {
    GL_MemoryViewerFixture::SetUpTestSuite();
    viewer.SetCamera(cam);
    viewer.resize(64, 64);
    viewer.show();
    if (!viewer.OpenGLAvailable()) GTEST_SKIP() << "no OpenGL";
    ASSERT_TRUE(PaintedMoreThan(viewer, 0));
    ASSERT_NE(viewer.Buffer()->RenderingContext(), nullptr);
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  void TearDown() override { viewer.hide(); }
};

}  // namespace

TEST_F(GL_SceneViewerFixture, AChangeInTheSceneReachesTheWindowAsARepaint) {
  // The scene, the buffer and the viewer pass the change on and the window draws again.
  int changes = 0;
  TObject* sender = nullptr;
  const int painted = viewer.PaintCount();
  auto previous = viewer.Buffer()->OnChange;
  viewer.Buffer()->OnChange = [&](TObject* s) {
    ++changes;
    sender = s;
    previous(s);
  };
  obj->Position()->SetX(1);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(sender, viewer.Buffer());
  EXPECT_TRUE(PaintedMoreThan(viewer, painted));

  // Changes made inside an update are passed on once, when it ends.
  changes = 0;
  obj->BeginUpdate();
  obj->Position()->SetY(1);
  obj->SetVisible(false);
  EXPECT_EQ(changes, 0);
  obj->EndUpdate();
  EXPECT_EQ(changes, 1);
}

TEST_F(GL_SceneViewerFixture, InvalidatingTheWidgetRedrawsTheScene) {
  // Nothing changed in the scene: asking the widget to repaint still draws a frame.
  const int painted = viewer.PaintCount();
  viewer.update();
  EXPECT_TRUE(PaintedMoreThan(viewer, painted));
}

namespace {

// A GL value of the viewer's on-screen context.
int ContextInt(TGLSceneViewer& v, GLenum what) {
  TGLContext* ctx = v.Buffer()->RenderingContext();
  if (!ctx) return -1;
  GLint value = -1;
  ctx->ActivateNested();
  GL.glGetIntegerv(what, &value);
  ctx->DeactivateNested();
  return value;
}

WId NativeWindowOf(TGLSceneViewer& v) {
  TGLContext* ctx = v.Buffer()->RenderingContext();
  return ctx && ctx->OutputDevice() ? ctx->OutputDevice()->winId() : 0;
}

// The colour at the middle of the next frame, read before the buffers are swapped.
QRgb MiddleOfNextFrame(TGLSceneViewer& v) {
  uint8_t px[4] = {0, 0, 0, 0};
  v.Buffer()->PostRender = [&](TObject*) {
    GL.glReadPixels(v.Buffer()->Width() / 2, v.Buffer()->Height() / 2, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, px);
  };
  v.RenderNow();
  v.Buffer()->PostRender = nullptr;
  return qRgb(px[0], px[1], px[2]);
}

}  // namespace

TEST_F(GL_SceneViewerFixture, TheShownWindowHasADepthBufferThatHidesFarObjects) {
  EXPECT_GE(ContextInt(viewer, GL_DEPTH_BITS), 24);
  viewer.Buffer()->SetLighting(false);
  viewer.Buffer()->SetFaceCulling(false);
  cam->Position()->SetXYZAsPoint(0, 0, 10);
  // The near cube is drawn first: without a depth buffer the far one would cover it.
  auto* nearCube = scene.Objects()->AddNewChild<TGLCube>();
  nearCube->Position()->SetZ(2);
  nearCube->Material()->FrontProperties()->Diffuse()->SetColor(TVector4f{{1, 0, 0, 1}});
  auto* farCube = scene.Objects()->AddNewChild<TGLCube>();
  farCube->Position()->SetZ(-2);
  farCube->Material()->FrontProperties()->Diffuse()->SetColor(TVector4f{{0, 1, 0, 1}});
  const QRgb middle = MiddleOfNextFrame(viewer);
  EXPECT_GT(qRed(middle), 200) << std::hex << middle;
  EXPECT_LT(qGreen(middle), 50) << std::hex << middle;

  // The ray through a pixel of the near cube ends on its front face, as the
  // 3D window's drag needs it (the camera style it uses included).
  for (TGLCameraStyle style : {csPerspective, csInfinitePerspective}) {
    cam->SetCameraStyle(style);
    viewer.RenderNow();
    const TVector4f p = viewer.Buffer()->PixelRayToWorld(32, 34);
    EXPECT_NEAR(p[2], 2.5, 0.05) << int(style);
    EXPECT_NEAR(p[0], 0, 0.1);
    EXPECT_NO_THROW(viewer.RenderNow());  // no error left behind by the depth read
  }
}

TEST_F(GL_SceneViewerFixture, NewBufferOptionsMakeANewNativeWindowWithTheNewFormat) {
  const WId before = NativeWindowOf(viewer);
  ASSERT_NE(before, WId(0));
  viewer.Buffer()->SetContextOptions(TContextOptions{roDoubleBuffer, roRenderToWindow, roStencilBuffer});
  EXPECT_FALSE(viewer.Buffer()->Rendering());
  ASSERT_NE(viewer.Buffer()->RenderingContext(), nullptr);
  EXPECT_NE(NativeWindowOf(viewer), before);
  EXPECT_GE(ContextInt(viewer, GL_STENCIL_BITS), 8);
  EXPECT_GE(ContextInt(viewer, GL_DEPTH_BITS), 24);
  // The new window is shown and drawn into.
  const int painted = viewer.PaintCount();
  EXPECT_TRUE(PaintedMoreThan(viewer, painted));
  EXPECT_TRUE(viewer.Buffer()->RenderingContext()->OutputDevice()->isExposed());

  // A deeper depth request on a display without it is relaxed, not refused.
  viewer.Buffer()->SetDepthPrecision(dp32bits);
  EXPECT_GE(ContextInt(viewer, GL_DEPTH_BITS), 24);
  EXPECT_GE(ContextInt(viewer, GL_STENCIL_BITS), 8);
}

TEST_F(GL_SceneViewerFixture, KeysHeldWhileAnotherWindowHasTheFocusReadAsDown) {
  QWidget other;
  other.resize(40, 40);
  other.show();
  other.activateWindow();
  QElapsedTimer t;
  t.start();
  while (!other.isActiveWindow() && t.elapsed() < 3000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_TRUE(other.isActiveWindow());
  ClearKeyStates();
  constexpr unsigned long kControlL = 0xFFE3, kShiftL = 0xFFE1, kShiftR = 0xFFE2;
  {
    TScopeExit release([] {
      for (unsigned long key : {kControlL, kShiftL, kShiftR}) FakeServerKey(key, false);
    });
    if (!FakeServerKey(kControlL, true)) GTEST_SKIP() << "the display has no XTest extension";
    EXPECT_TRUE(IsKeyDown(17));
    EXPECT_FALSE(IsKeyDown(160));
    FakeServerKey(kShiftR, true);
    EXPECT_FALSE(IsKeyDown(160));  // the left Shift only
    FakeServerKey(kShiftL, true);
    EXPECT_TRUE(IsKeyDown(160));
  }
  EXPECT_FALSE(IsKeyDown(17));
  EXPECT_FALSE(IsKeyDown(160));
}

TEST_F(GL_MemoryViewerFixture, BufferChangesAskedForDuringAFrameTakeEffectAfterIt) {
  Quad(0, 0.3f, 1, 0, 0);
  viewer.Render();
  int after = 0;
  viewer.Buffer()->AfterRender = [&after](TObject*) { ++after; };
  // A new anti-aliasing mode: the frame ends with its context, which goes after it.
  int structural = 0;
  auto previous = viewer.Buffer()->OnStructuralChange;
  viewer.Buffer()->OnStructuralChange = [&](TObject* s) {
    EXPECT_FALSE(viewer.Buffer()->Rendering());
    ++structural;
    previous(s);
  };
  viewer.Buffer()->BeforeRender = [this](TObject*) { viewer.Buffer()->SetAntiAliasing(aaNone); };
  viewer.Render();
  EXPECT_EQ(after, 1);
  EXPECT_EQ(structural, 1);
  EXPECT_FALSE(viewer.Buffer()->RCInstantiated());
  viewer.Buffer()->BeforeRender = nullptr;
  viewer.Render();
  ASSERT_TRUE(viewer.Buffer()->RCInstantiated());
  EXPECT_TRUE(Near(Pixel(32, 32), 255, 0, 0));

  // A new size likewise; the next frame has it.
  viewer.Buffer()->BeforeRender = [this](TObject*) {
    viewer.SetWidth(32);
    viewer.SetHeight(40);
    viewer.Buffer()->DestroyRC();
  };
  viewer.Render();
  EXPECT_EQ(after, 3);
  EXPECT_FALSE(viewer.Buffer()->RCInstantiated());
  viewer.Buffer()->BeforeRender = nullptr;
  viewer.Render();
  EXPECT_EQ(viewer.Buffer()->Width(), 32);
  EXPECT_EQ(viewer.Buffer()->Height(), 40);
  EXPECT_TRUE(Near(Pixel(16, 20), 255, 0, 0));
  EXPECT_EQ(GetCurrentRenderingContext(), nullptr);
}

TEST_F(GL_MemoryViewerFixture, ANewContextStartsTheStateCacheFromTheGLDefaults) {
  // An object that wants alpha testing and leaves it on, as a cut-out texture does.
  GLboolean alphaTest = GL_FALSE;
  auto* q = scene.Objects()->AddNewChild<TGLDirectOpenGL>();
  q->OnRender = [&alphaTest](TObject*, TRenderContextInfo& rci) {
    rci.GLStates->EnableState(stAlphaTest);
    alphaTest = GL.glIsEnabled(GL_ALPHA_TEST);
  };
  viewer.Render();
  EXPECT_EQ(alphaTest, GL_TRUE);
  // A buffer option change makes a new context, where alpha testing is off.
  for (auto change : {+[](TGLMemoryViewer& v) { v.Buffer()->SetAntiAliasing(aaNone); },
                      +[](TGLMemoryViewer& v) { v.SetWidth(v.Width() + 1); }}) {
    change(viewer);
    alphaTest = GL_FALSE;
    viewer.Render();
    EXPECT_EQ(alphaTest, GL_TRUE);
    EXPECT_TRUE(viewer.Buffer()->GLStates().StateEnabled(stAlphaTest));
  }
}

namespace {

// Counts the native surfaces made and destroyed for a window.
struct TSurfaceEvents : QObject {
  int created = 0, destroyed = 0;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::PlatformSurface) {
      const auto type = static_cast<QPlatformSurfaceEvent*>(e)->surfaceEventType();
      if (type == QPlatformSurfaceEvent::SurfaceCreated) ++created;
      if (type == QPlatformSurfaceEvent::SurfaceAboutToBeDestroyed) ++destroyed;
    }
    return false;
  }
};

}  // namespace

TEST_F(GL_SceneViewerFixture, NewBufferOptionsDestroyTheNativeWindowEvenWhenItsFormatWouldDo) {
  // Less depth than the window has: its format would serve, yet the window is made anew.
  QWindow* window = viewer.Buffer()->RenderingContext()->OutputDevice();
  ASSERT_NE(window, nullptr);
  const WId before = window->winId();
  TSurfaceEvents events;
  window->installEventFilter(&events);
  viewer.Buffer()->SetDepthPrecision(dp16bits);
  window->removeEventFilter(&events);
  EXPECT_EQ(events.destroyed, 1);
  EXPECT_EQ(events.created, 1);
  EXPECT_NE(window->winId(), before);
  ASSERT_NE(viewer.Buffer()->RenderingContext(), nullptr);
  EXPECT_EQ(viewer.Buffer()->RenderingContext()->OutputDevice(), window);
  const int painted = viewer.PaintCount();
  EXPECT_TRUE(PaintedMoreThan(viewer, painted));
}

TEST_F(GL_SceneViewerFixture, BufferOptionsChangedDuringAFrameRemakeTheWindowAfterIt) {
  const WId before = NativeWindowOf(viewer);
  int after = 0;
  viewer.Buffer()->AfterRender = [&after](TObject*) { ++after; };
  viewer.Buffer()->BeforeRender = [this](TObject*) {
    viewer.Buffer()->SetContextOptions(TContextOptions{roDoubleBuffer, roRenderToWindow, roStencilBuffer});
    viewer.Buffer()->SetAntiAliasing(aaNone);
  };
  viewer.RenderNow();
  viewer.Buffer()->BeforeRender = nullptr;
  EXPECT_EQ(after, 1);
  EXPECT_FALSE(viewer.Buffer()->Rendering());
  EXPECT_EQ(GetCurrentRenderingContext(), nullptr);
  ASSERT_NE(viewer.Buffer()->RenderingContext(), nullptr);
  EXPECT_NE(NativeWindowOf(viewer), before);
  EXPECT_GE(ContextInt(viewer, GL_STENCIL_BITS), 8);
  const int painted = viewer.PaintCount();
  EXPECT_TRUE(PaintedMoreThan(viewer, painted));
  EXPECT_EQ(after, 1 + viewer.PaintCount() - painted);
}

TEST_F(GL_SceneViewerFixture, AFailedFrameIsFollowedByOneMoreWithoutInputButNotByARunOfThem) {
  int after = 0, failing = 1;
  viewer.Buffer()->AfterRender = [&after](TObject*) { ++after; };
  viewer.Buffer()->BeforeRender = [&failing](TObject*) {
    if (failing > 0) {
      --failing;
      throw std::runtime_error("frame failed");
    }
  };
  testing::internal::CaptureStderr();
  EXPECT_THROW(viewer.RenderNow(), std::runtime_error);
  EXPECT_EQ(after, 0);
  EXPECT_TRUE(PaintedMoreThan(viewer, viewer.PaintCount()));
  EXPECT_EQ(after, 1);

  // A scene failing every frame: one more frame comes, then the view waits for input.
  failing = std::numeric_limits<int>::max();
  EXPECT_THROW(viewer.RenderNow(), std::runtime_error);
  const int painted = viewer.PaintCount();
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 500) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  testing::internal::GetCapturedStderr();
  EXPECT_GE(viewer.PaintCount(), painted + 1);
  EXPECT_LE(viewer.PaintCount(), painted + 2);
  EXPECT_EQ(after, 1);
  viewer.Buffer()->BeforeRender = nullptr;
  viewer.Buffer()->AfterRender = nullptr;
}

TEST_F(GL_SceneViewerFixture, BufferOptionsAskedForByAFailedFrameRemakeTheWindowWithoutInput) {
  const WId before = NativeWindowOf(viewer);
  int after = 0;
  viewer.Buffer()->AfterRender = [&after](TObject*) { ++after; };
  viewer.Buffer()->BeforeRender = [this](TObject*) {
    viewer.Buffer()->SetContextOptions(TContextOptions{roDoubleBuffer, roRenderToWindow, roStencilBuffer});
    throw std::runtime_error("frame failed");
  };
  testing::internal::CaptureStderr();
  EXPECT_THROW(viewer.RenderNow(), std::runtime_error);
  viewer.Buffer()->BeforeRender = nullptr;
  EXPECT_TRUE(viewer.Buffer()->ChangesPending());
  QElapsedTimer t;
  t.start();
  while (after == 0 && t.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  testing::internal::GetCapturedStderr();
  EXPECT_GE(after, 1);
  EXPECT_FALSE(viewer.Buffer()->ChangesPending());
  EXPECT_NE(NativeWindowOf(viewer), before);
  EXPECT_GE(ContextInt(viewer, GL_STENCIL_BITS), 8);
  viewer.Buffer()->AfterRender = nullptr;
}

TEST_F(GL_SceneViewerFixture, LosingTheFocusForgetsKeysTheWindowSawButNotKeysStillHeld) {
  // The viewer's window has the focus and sees a key go down.
  QWindow* window = viewer.Buffer()->RenderingContext()->OutputDevice();
  viewer.activateWindow();
  window->requestActivate();
  QElapsedTimer t;
  t.start();
  while (QGuiApplication::focusWindow() != window && t.elapsed() < 3000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_EQ(QGuiApplication::focusWindow(), window);
  ClearKeyStates();
  QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier);
  QCoreApplication::sendEvent(window, &press);
  ASSERT_TRUE(IsKeyDown(VK_A));

  // Another window takes the focus; the release goes there, never to the viewer.
  QWidget other;
  other.resize(40, 40);
  other.show();
  other.activateWindow();
  t.restart();
  while (!other.isActiveWindow() && t.elapsed() < 3000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_TRUE(other.isActiveWindow());
  EXPECT_FALSE(IsKeyDown(VK_A));

  // A key the server still holds reads as down after the focus went.
  window->requestActivate();
  t.restart();
  while (QGuiApplication::focusWindow() != window && t.elapsed() < 3000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  constexpr unsigned long kControlL = 0xFFE3;
  TScopeExit release([] { FakeServerKey(kControlL, false); });
  if (!FakeServerKey(kControlL, true)) GTEST_SKIP() << "the display has no XTest extension";
  other.activateWindow();
  t.restart();
  while (!other.isActiveWindow() && t.elapsed() < 3000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_TRUE(IsKeyDown(VK_CONTROL));
}
