// The window viewer on a scaled screen: the buffer draws into every device
// pixel of the window, and a mouse position goes to picking as it comes.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QWindow>

#include <array>

#include "ScaledRun.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Viewer/GLQtContext.h"
#include "Source/Viewer/GLSceneViewer.h"

namespace {

// Four quads, one per quarter of the view (upper right red, upper left green,
// lower left blue, lower right white) over a black background.
struct GL_ScaledViewer : ::testing::Test {
  TGLSceneGraph scene{nullptr};
  TGLCamera* cam = scene.Cameras()->AddNewChild<TGLCamera>();
  TGLSceneViewer viewer;
  std::array<TGLDirectOpenGL*, 4> quads{};
  QWindow* window = nullptr;

  static constexpr float kColors[4][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};

  void SetUp() override {
    static const bool registered = (RegisterGLQtContext(), true);
    (void)registered;
    cam->Position()->SetXYZAsPoint(0, 0, 10);
    viewer.SetCamera(cam);
    viewer.Buffer()->SetLighting(false);
    viewer.Buffer()->SetFaceCulling(false);
    viewer.Buffer()->SetBackgroundColor(0);
    const float sx[4] = {1, -1, -1, 1}, sy[4] = {1, 1, -1, -1};
    for (int i = 0; i < 4; ++i) {
      quads[i] = scene.Objects()->AddNewChild<TGLDirectOpenGL>();
      const float x0 = sx[i] * 0.05f, x1 = sx[i] * 50, y0 = sy[i] * 0.05f, y1 = sy[i] * 50;
      const float* c = kColors[i];
      quads[i]->OnRender = [=](TObject*, TRenderContextInfo&) {
        GL.glColor3f(c[0], c[1], c[2]);
        GL.glBegin(GL_QUADS);
        GL.glVertex3f(x0, y0, 0);
        GL.glVertex3f(x1, y0, 0);
        GL.glVertex3f(x1, y1, 0);
        GL.glVertex3f(x0, y1, 0);
        GL.glEnd();
      };
    }
    viewer.resize(120, 90);
    viewer.show();
    if (!viewer.OpenGLAvailable()) GTEST_SKIP() << "no OpenGL";
    QElapsedTimer t;
    t.start();
    while (viewer.PaintCount() == 0 && t.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_NE(viewer.Buffer()->RenderingContext(), nullptr);
    window = viewer.Buffer()->RenderingContext()->OutputDevice();
    ASSERT_EQ(window->devicePixelRatio(), 2.0) << "run with QT_SCALE_FACTOR=2";
  }
  void TearDown() override { viewer.hide(); }

  // The colour of a framebuffer pixel (origin bottom left) of the next frame.
  std::array<int, 3> PixelOfNextFrame(int x, int y) {
    uint8_t px[4] = {0, 0, 0, 0};
    viewer.Buffer()->PostRender = [&](TObject*) { GL.glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, px); };
    viewer.RenderNow();
    viewer.Buffer()->PostRender = nullptr;
    return {px[0], px[1], px[2]};
  }
  static std::array<int, 3> Expected(int quad) {
    return {int(kColors[quad][0] * 255), int(kColors[quad][1] * 255), int(kColors[quad][2] * 255)};
  }

  // Presses the left button at a point of the window (Qt's logical pixels),
  // as the window system delivers it; the viewer's event hands it on.
  QPointF PressAt(QPointF at) {
    QPointF handed(-1, -1);
    viewer.OnMouseDown = [&handed](TObject*, QMouseEvent* e) { handed = e->position(); };
    QMouseEvent press(QEvent::MouseButtonPress, at, window->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(window, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, window->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(window, &release);
    viewer.OnMouseDown = nullptr;
    return handed;
  }
};

}  // namespace

TEST_F(GL_ScaledViewer, DISABLED_ThePictureFillsTheWindow) {
  EXPECT_EQ(viewer.Buffer()->Width(), 240);
  EXPECT_EQ(viewer.Buffer()->Height(), 180);
  // The middle of each quarter of the framebuffer shows its quad.
  const int x[4] = {180, 60, 60, 180}, y[4] = {135, 135, 45, 45};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(PixelOfNextFrame(x[i], y[i]), Expected(i)) << "quarter " << i;
  // So does a corner of the window.
  EXPECT_EQ(PixelOfNextFrame(236, 176), Expected(0));
}

TEST_F(GL_ScaledViewer, DISABLED_APickUnderTheCursorReturnsTheQuadDrawnThere) {
  viewer.RenderNow();
  // Upper right and lower left quarters, in the window's logical pixels.
  const QPointF cursor[2] = {QPointF(100, 15), QPointF(20, 80)};
  const int quad[2] = {0, 2};
  for (int i = 0; i < 2; ++i) {
    const QPointF at = PressAt(cursor[i]);
    EXPECT_EQ(at, cursor[i] * 2);
    const int px = qRound(at.x()), py = qRound(at.y());
    // Drawn there (rows counted from the bottom in the framebuffer), and picked there.
    EXPECT_EQ(PixelOfNextFrame(px, viewer.Buffer()->Height() - 1 - py), Expected(quad[i]));
    EXPECT_EQ(viewer.Buffer()->GetPickedObject(px, py), quads[quad[i]]);
    // The ray through the pixel ends on the quad's plane, in its quarter.
    const TVector4f p = viewer.Buffer()->PixelRayToWorld(px, py);
    EXPECT_NEAR(p[2], 0, 0.05);
    EXPECT_GT(p[0] * (i == 0 ? 1 : -1), 0.05f);
    EXPECT_GT(p[1] * (i == 0 ? 1 : -1), 0.05f);
  }
}

TEST(GL_SceneViewerAtScaleTwo, ThePictureFillsTheWindowAndPicksHitWhatIsUnderTheCursor) {
  ExpectPassesAtScaleTwo("GL_ScaledViewer.DISABLED_*");
}
