// A view drawn, read or picked inside another view's frame (render to texture from a
// BeforeRender): the outer frame and every later one still draw, the outer context is current
// again after each inner call, and a failing inner frame leaves the counts balanced.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Source/Materials/GLTexture.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Viewer/GLQtContext.h"
#include "Source/Viewer/GLSceneViewer.h"
#include "tests/Source/Viewer/MemoryViewerTest.h"

namespace {

// A white square 2 units wide in the middle of a blue background, seen by two memory viewers: the outer
// one (the fixture's) and an inner one that the outer one's BeforeRender uses.
struct GL_NestedFrameTest : TMemoryViewerTest {
  TGLMemoryViewer inner{nullptr};
  TGLDirectOpenGL* quad = nullptr;
  std::vector<std::string> failures;  // what an inner call found wrong, per frame
  int outerFrames = 0;

  void SetUp() override {
    for (TGLMemoryViewer* v : {&viewer, &inner}) {
      v->SetWidth(32);
      v->SetHeight(32);
      v->Buffer()->SetLighting(false);
      v->Buffer()->SetBackgroundColor(0xFF0000);  // blue
      v->SetCamera(cam);
    }
    cam->Position()->SetXYZAsPoint(0, 0, 10);
    cam->SetFocalLength(12.5f);  // 5 units across at z 0
    quad = scene.Objects()->AddNewChild<TGLDirectOpenGL>();
    quad->OnRender = [](TObject*, TRenderContextInfo&) {
      GL.glColor3f(1, 1, 1);
      GL.glBegin(GL_QUADS);
      GL.glVertex3f(-1, -1, 0);
      GL.glVertex3f(1, -1, 0);
      GL.glVertex3f(1, 1, 0);
      GL.glVertex3f(-1, 1, 0);
      GL.glEnd();
    };
    viewer.Buffer()->AfterRender = [this](TObject*) { ++outerFrames; };
  }
  TGLContext* Outer() { return viewer.Buffer()->RenderingContext(); }
  // Runs an inner call from the outer frame's BeforeRender and notes whether the outer context
  // was current again after it.
  void Inside(std::function<void()> call) {
    viewer.Buffer()->BeforeRender = [this, call](TObject*) {
      call();
      if (GetCurrentRenderingContext() != Outer()) failures.push_back("outer context not current after the call");
    };
  }
  // Three outer frames, each drawn whole, and nothing current afterwards.
  void ExpectThreeWholeFrames() {
    for (int i = 0; i < 3; ++i) EXPECT_NO_THROW(viewer.Render()) << "frame " << i;
    EXPECT_EQ(outerFrames, 3);
    EXPECT_EQ(Rgb(::PixelAt(viewer, 0, 0, 0)), "255,255,255");
    EXPECT_EQ(Rgb(::PixelAt(viewer, 1.5f, 1.5f, 0)), "0,0,255");
    EXPECT_EQ(GetCurrentRenderingContext(), nullptr);
    EXPECT_FALSE(Outer()->IsActive());
    EXPECT_TRUE(failures.empty()) << failures.front();
  }
};

TEST_F(GL_NestedFrameTest, AViewRenderedInsideAnotherOnesFrame) {
  viewer.Render();  // the outer context exists before the inner one's first frame
  outerFrames = 0;
  int innerFrames = 0;
  inner.Buffer()->AfterRender = [&](TObject*) { ++innerFrames; };
  Inside([this] { inner.Render(); });  // the first one also makes the inner context
  ExpectThreeWholeFrames();
  EXPECT_EQ(innerFrames, 3);
  EXPECT_EQ(Rgb(::PixelAt(inner, 0, 0, 0)), "255,255,255");
}

TEST_F(GL_NestedFrameTest, ReadsAndPicksOfAViewInsideAnotherOnesFrame) {
  inner.Render();
  viewer.Render();
  outerFrames = 0;
  TGLTexture texture(nullptr);
  float depth = 0;
  int maxLights = 0;
  TGLBaseSceneObject* picked = nullptr;
  Inside([&] {
    depth = inner.Buffer()->GetPixelDepth(16, 16);
    maxLights = inner.Buffer()->GetGLLimit(2);
    picked = inner.Buffer()->GetPickedObject(16, 16);
    inner.CopyToTexture(&texture);
    inner.Buffer()->FogEnvironment()->ApplyFog();
  });
  ExpectThreeWholeFrames();
  EXPECT_LT(depth, 1.0f);
  EXPECT_GE(maxLights, 8);
  EXPECT_EQ(picked, quad);
  EXPECT_TRUE(texture.IsHandleAllocated());
}

// An inner frame that fails: the outer frame hears of it, the counts stay balanced and the next
// frames of both draw.
TEST_F(GL_NestedFrameTest, AFailingInnerFrameLeavesTheOuterOneWorking) {
  inner.Render();
  viewer.Render();
  outerFrames = 0;
  bool fail = true;
  inner.Buffer()->BeforeRender = [&](TObject*) {
    if (fail) throw std::runtime_error("inner frame failed");
  };
  Inside([&] {
    try {
      inner.Render();
    } catch (const std::runtime_error&) {
    }
  });
  ExpectThreeWholeFrames();
  EXPECT_FALSE(inner.Buffer()->RenderingContext()->IsActive());
  fail = false;
  EXPECT_NO_THROW(inner.Render());
  EXPECT_EQ(Rgb(::PixelAt(inner, 0, 0, 0)), "255,255,255");
}

// Handles events until the window has drawn more than `count` frames (or gives up).
bool PaintedMoreThan(const TGLSceneViewer& viewer, int count) {
  QElapsedTimer t;
  t.start();
  while (viewer.PaintCount() <= count && t.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return viewer.PaintCount() > count;
}

// A window freed once drawn, from its own AfterRender, from a draw handler during its paint, or
// from its context-preparation hook (its first paint, or new buffer options): nothing of it is
// touched after (the sanitizer build sees it), and a view of the scene draws on.
TEST_F(GL_NestedFrameTest, AWindowFreedFromItsOwnPaint) {
  auto* freer = scene.Objects()->AddNewChild<TGLDirectOpenGL>();
  for (const std::string from : {"AfterRender", "a draw handler", "the first context", "a new context"}) {
    SCOPED_TRACE(from);
    auto window = std::make_unique<TGLSceneViewer>();
    window->SetCamera(cam);
    window->resize(64, 64);
    TGLSceneBuffer* buffer = window->Buffer();
    bool freed = false;
    const auto freeIt = [&] {
      freed = true;
      window.reset();
    };
    freer->OnRender = [&, buffer](TObject*, TRenderContextInfo& rci) {
      if (from == "a draw handler" && !freed && rci.buffer == buffer) freeIt();
    };
    if (from == "AfterRender") buffer->AfterRender = [&](TObject*) { freeIt(); };
    if (from == "the first context") buffer->OnPrepareGLContext = [&](TObject*) { freeIt(); };
    window->show();
    if (!window->OpenGLAvailable()) GTEST_SKIP() << "no OpenGL";
    if (from == "a new context") {
      ASSERT_TRUE(PaintedMoreThan(*window, 0));
      buffer->OnPrepareGLContext = [&](TObject*) { freeIt(); };
      buffer->SetAntiAliasing(aaNone);
    }
    QElapsedTimer t;
    t.start();
    while (!freed && t.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_TRUE(freed);
    outerFrames = 0;
    ExpectThreeWholeFrames();
  }
}

// A shown window whose every paint renders a memory viewer and reads it: each paint completes.
TEST_F(GL_NestedFrameTest, AWindowThatRendersAMemoryViewInEachPaint) {
  TGLSceneViewer window;
  window.SetCamera(cam);
  window.resize(64, 64);
  int windowFrames = 0, innerFrames = 0;
  float depth = 1;
  inner.Buffer()->AfterRender = [&](TObject*) { ++innerFrames; };
  window.Buffer()->AfterRender = [&](TObject*) { ++windowFrames; };
  window.Buffer()->BeforeRender = [&](TObject*) {
    inner.Render();
    depth = inner.Buffer()->GetPixelDepth(16, 16);
    if (GetCurrentRenderingContext() != window.Buffer()->RenderingContext())
      failures.push_back("window context not current after the inner frame");
  };
  window.show();
  if (!window.OpenGLAvailable()) GTEST_SKIP() << "no OpenGL";
  ASSERT_TRUE(PaintedMoreThan(window, 0));
  for (int i = 0; i < 6; ++i) {
    const int painted = window.PaintCount();
    window.update();
    ASSERT_TRUE(PaintedMoreThan(window, painted)) << "paint " << i;
  }
  window.hide();
  EXPECT_EQ(windowFrames, window.PaintCount());
  EXPECT_GE(windowFrames, 7);
  EXPECT_EQ(innerFrames, windowFrames);
  EXPECT_LT(depth, 1.0f);
  EXPECT_TRUE(failures.empty()) << failures.front();
  EXPECT_EQ(GetCurrentRenderingContext(), nullptr);
}

}  // namespace
