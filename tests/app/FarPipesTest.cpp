// Pipes seen from afar: drawn together, tinted with their labels' colours, holding no label
// picture until the camera comes near enough to read it; picked as before.
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLCadencer.h"
#include "Source/Scene/GLCamera.h"
#include "Source/Scene/GLContext.h"
#include "Source/Scene/GLSceneBuffer.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLTexture.h"
#include "Source/Viewer/GLQtContext.h"
#include "Source/Viewer/GLSceneViewer.h"
#include "app/MyCylinder.h"
#include "app/PacketQueue.h"
#include "app/TrafficScene.h"
#include "app/Unit2_3D.h"
#include "app/Unit_Globals.h"
#include "platform/Paths.h"
#include "ViewHostStub.h"

#include <QMouseEvent>
#include <QScreen>
#include <QWindow>
#include <QTemporaryDir>
#include <cmath>
#include <fstream>
#include <gtest/gtest.h>

namespace {

float Apart(const TVector4f& a, const TVector4f& b) {
  return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
}

class GL_FarPipes : public ::testing::Test {
 protected:
  void SetUp() override {
    static const bool registered = (RegisterGLQtContext(), true);
    (void)registered;
    SetProgramFolder(FDir.path().toStdString());
    std::string drop;
    while (PacketQueue().Take(drop)) {
    }
    std::ofstream(ProgramFile("SnifferPCsInfo.ini")) << "[Default]\nNetType=other\nWidth=2\nHeight=2\nDepth=2\n";
  }
  void TearDown() override { SetProgramFolder(""); }

  // A view of `pipes` conversations, each between its own two hosts, with a camera at `distance`
  // from the middle of the first pipe, looking at it.
  void Make(int pipes) {
    form = std::make_unique<TForm2_3D>(&host, nullptr, FreeUdpPort());
    form->resize(640, 480);
    form->show();
    form->GLCadencer1()->SetEnabled(false);  // frames by hand
    Pump(200);
    // Rings of 16 pipes a height apart, 12.5 units between neighbours of a ring.
    for (int k = 0; k < pipes; ++k) {
      const std::string block = std::to_string(10 + k / 16) + "." + std::to_string(k % 16 * 16) + ".";
      form->Traffic().ProcessLine("t\tm1\tm2\t0800\t100\t" + block + "1.1\t" + std::to_string(1025 + k) + "\t" + block +
                                  "9.1\t80\tTCP\tTCP-IP");
    }
    ASSERT_EQ(Connections()->Count(), pipes);
  }
  // As Make, with pipes wide enough to show a few pixels across from afar.
  void MakeWide(int pipes) {
    Make(pipes);
    if (HasFatalFailure()) return;
    for (int i = 0; i < pipes; ++i) {
      Pipe(i)->SetTopRadius(0.45f);
      Pipe(i)->SetBottomRadius(0.45f);
    }
  }
  TGLBaseSceneObject* Connections() { return form->Traffic().Connections(); }
  MyCylinder* Pipe(int i) { return static_cast<MyCylinder*>(Connections()->Children(i)); }
  TGLBaseSceneObject* Target() { return form->Traffic().PCs()->Parent()->FindChildByName("CameraTarget", false); }
  void Look(MyCylinder* at, float distance) {
    const TVector4f p = at->AbsolutePosition();
    Target()->Position()->SetXYZAsPoint(p[0], p[1], p[2]);
    const float d = distance / std::sqrt(3.0f);
    form->GLSceneViewer1()->Camera()->Position()->SetXYZAsPoint(p[0] + d, p[1] - d, p[2] + d);
  }
  void Frames(int n) {
    for (int i = 0; i < n; ++i) form->GLSceneViewer1()->RenderNow();
  }
  // An orthographic camera showing about `wide` units across the view.
  void Orthographic(float wide) {
    TGLCamera* camera = form->GLSceneViewer1()->Camera();
    camera->SetCameraStyle(csOrthogonal);
    camera->SetFocalLength(100 / wide);
  }
  // Frames until the label colour of every pipe is known: they are worked out a few
  // milliseconds' worth a frame, so a slow machine needs more frames than a fast one.
  void FramesUntilTintsKnown() {
    for (int i = 0; i < 100; ++i) {
      Frames(1);
      bool known = true;
      for (int k = 0; k < Connections()->Count(); ++k) known = known && Pipe(k)->LabelTintKnown();
      if (known) return;
    }
    ADD_FAILURE() << "label colours still unknown after 100 frames";
  }
  static bool Shown(MyCylinder* p) {
    TGLTextureEx* ex = p->Material()->TextureEx();
    return ex->Count() > 0 && ex->Items(0)->Texture()->Enabled();
  }
  QImage Grab() {
    Frames(1);
    Pump(100);
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage();
  }

  // The view of 60 pipes from afar drawn together, against each drawn with its label: over the
  // pixels the pipes cover, the colour difference on average (sum of the three channels) and the
  // share of pixels that differ by more than 120. `stretch` moves each pipe's destination cube
  // that many units away on the far side of the floor: long pipes, seen along the floor.
  void CompareLook(float stretch, bool orthographic, double& meanDifference, double& farShare, int64_t& covered) {
    MakeWide(60);
    if (orthographic) Orthographic(240);
    for (int i = 0; i < 60; ++i) {
      if (stretch > 0) {
        SnifferObject* dst = Pipe(i)->DstObject();
        const TVector4f at = dst->Position()->AsVector();
        dst->Position()->SetXYZAsPoint(at[0] - stretch, at[1] - stretch, at[2]);
        form->Traffic().CubeMoved(dst);
      }
    }
    auto* group = dynamic_cast<TPipeGroup*>(Connections());
    ASSERT_NE(group, nullptr);
    // An orthographic view looks along one direction wherever its camera is: a camera near the
    // pipes sees them from directions far from that.
    Look(Pipe(30), orthographic ? 30 : 160);
    FramesUntilTintsKnown();
    ASSERT_EQ(group->DrawnTogether(), 60);
    const QImage together = Grab();

    // One by one with their own labels, as every pipe was drawn before.
    group->DrawFarTogether = false;
    for (int i = 0; i < 300; ++i) {
      Frames(1);
      bool pending = false;
      for (int k = 0; k < 60; ++k) pending = pending || Pipe(k)->LabelPending();
      if (!pending) break;
    }
    const QImage alone = Grab();
    for (int i = 0; i < 60; ++i) Pipe(i)->SetVisible(false);
    const QImage none = Grab();
    ASSERT_FALSE(together.isNull());
    ASSERT_EQ(together.size(), alone.size());
    covered = 0;
    int64_t far = 0;
    double difference = 0;
    for (int y = 0; y < alone.height(); ++y)
      for (int x = 0; x < alone.width(); ++x) {
        const QColor a = alone.pixelColor(x, y), t = together.pixelColor(x, y), n = none.pixelColor(x, y);
        if (std::abs(a.red() - n.red()) + std::abs(a.green() - n.green()) + std::abs(a.blue() - n.blue()) < 24)
          continue;
        ++covered;
        const int d = std::abs(a.red() - t.red()) + std::abs(a.green() - t.green()) + std::abs(a.blue() - t.blue());
        difference += d;
        far += d > 120;
      }
    meanDifference = covered ? difference / double(covered) : 0;
    farShare = covered ? double(far) / double(covered) : 0;
  }

  QTemporaryDir FDir;
  TViewHostStub host;
  std::unique_ptr<TForm2_3D> form;
};

TEST_F(GL_FarPipes, ALabelIsDrawnOnlyOnceLegibleAndGoesWhenItIsNotAnyMore) {
  if (NoDisplay()) GTEST_SKIP() << "needs a display";
  Make(200);
  auto* group = dynamic_cast<TPipeGroup*>(Connections());
  ASSERT_NE(group, nullptr);
  Frames(1);  // the floor's picture and the like
  const int namesBefore = TGLContextHandle::LiveTextureNames();
  Look(Pipe(0), 400);
  Frames(3);
  int shown = 0;
  for (int i = 0; i < 200; ++i) shown += Shown(Pipe(i));
  EXPECT_EQ(shown, 0);
  EXPECT_EQ(group->DrawnTogether(), 200);
  // One shared picture for them all, not one a pipe.
  EXPECT_LE(TGLContextHandle::LiveTextureNames() - namesBefore, 1);

  // Near enough to read: the first pipe's label is drawn, the others' are not.
  Look(Pipe(0), 6);
  Frames(3);
  EXPECT_TRUE(Shown(Pipe(0)));
  EXPECT_TRUE(Pipe(0)->LabelHeld());
  EXPECT_FALSE(Pipe(0)->FarLabel);
  EXPECT_FALSE(Shown(Pipe(199)));

  // Away again: the picture goes.
  Look(Pipe(0), 400);
  Frames(2);
  EXPECT_FALSE(Shown(Pipe(0)));
  EXPECT_FALSE(Pipe(0)->LabelHeld());
  EXPECT_LE(TGLContextHandle::LiveTextureNames() - namesBefore, 1);
}

TEST_F(GL_FarPipes, TheSharedPictureGoesWithTheLastPipe) {
  if (NoDisplay()) GTEST_SKIP() << "needs a display";
  Make(20);
  Look(Pipe(0), 400);
  Frames(2);
  const int namesBefore = TGLContextHandle::LiveTextureNames();
  for (int i = 0; i < 20; ++i) Pipe(i)->SetTag(1);
  form->Traffic().RemoveOldObjects(Connections(), MyCylinder::StaticClass());
  ASSERT_EQ(Connections()->Count(), 0);
  Frames(1);
  EXPECT_EQ(TGLContextHandle::LiveTextureNames() - namesBefore, -1);
}

// Drawing an object of the group that is not drawn with the pipes may free such a sibling: the
// freed one is not drawn, nor touched, and the rest of the group draws on.
TEST_F(GL_FarPipes, AChildDrawnAloneThatFreesAnotherLeavesItUndrawn) {
  if (NoDisplay()) GTEST_SKIP() << "needs a display";
  Make(20);
  Look(Pipe(0), 400);
  int firstDrawn = 0, secondDrawn = 0, thirdDrawn = 0;
  auto* first = Connections()->AddNewChild<TGLDirectOpenGL>();
  auto* second = Connections()->AddNewChild<TGLDirectOpenGL>();
  auto* third = Connections()->AddNewChild<TGLDirectOpenGL>();
  second->OnRender = [&](TObject*, TRenderContextInfo&) { ++secondDrawn; };
  third->OnRender = [&](TObject*, TRenderContextInfo&) { ++thirdDrawn; };
  first->OnRender = [&](TObject*, TRenderContextInfo&) {
    if (++firstDrawn == 1) delete second;
  };
  Frames(1);
  EXPECT_EQ(firstDrawn, 1);
  EXPECT_EQ(secondDrawn, 0);
  EXPECT_EQ(thirdDrawn, 1);
  auto* group = dynamic_cast<TPipeGroup*>(Connections());
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->DrawnTogether(), 20);
  Frames(1);
  EXPECT_EQ(firstDrawn, 2);
  EXPECT_EQ(thirdDrawn, 2);
  EXPECT_EQ(Connections()->Count(), 22);
}

TEST_F(GL_FarPipes, APipeOfItsOwnColourFirstLeavesTheRestTogether) {
  if (NoDisplay()) GTEST_SKIP() << "needs a display";
  Make(50);
  // The first pipe as a selected one is: white.
  Pipe(0)->Material()->FrontProperties()->Diffuse()->SetFromWinColor(0xFFFFFF);
  Look(Pipe(0), 400);
  Frames(1);
  auto* group = dynamic_cast<TPipeGroup*>(Connections());
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->DrawnTogether(), 50);
  EXPECT_EQ(group->DrawnAlone(), 0);
}

// A pipe's look is kept with it between frames: a change of its material shows at the next frame,
// as it would drawn on its own, and a change back puts it with the others again.
TEST_F(GL_FarPipes, APipesNewColourShowsFromAfar) {
  if (NoDisplay()) GTEST_SKIP() << "needs a display";
  MakeWide(60);
  auto* group = dynamic_cast<TPipeGroup*>(Connections());
  ASSERT_NE(group, nullptr);
  MyCylinder* pipe = Pipe(30);
  Look(pipe, 160);
  FramesUntilTintsKnown();
  ASSERT_EQ(group->DrawnTogether(), 60);
  QWindow* view = nullptr;
  for (QWindow* w : QGuiApplication::allWindows())
    if (w->parent() && w->isVisible()) view = w;
  ASSERT_NE(view, nullptr);
  TGLSceneBuffer* buffer = form->GLSceneViewer1()->Buffer();
  const TVector4f s = buffer->WorldToScreen(pipe->AbsolutePosition());
  const QPoint at = view->mapToGlobal(QPoint(int(std::lround(s[0])), buffer->Height() - int(std::lround(s[1]))));
  auto colourAt = [&] { return Grab().pixelColor(at); };
  const QColor before = colourAt();
  ASSERT_GT(before.green(), 40) << before.name().toStdString();

  TGLFaceProperties* face = pipe->Material()->FrontProperties();
  const TVector4f ambient = face->Ambient()->Color(), diffuse = face->Diffuse()->Color();
  face->Ambient()->SetColor(TVector4f{{0.3f, 0, 0, 1}});
  face->Diffuse()->SetColor(TVector4f{{1, 0, 0, 1}});
  const QColor red = colourAt();
  EXPECT_GT(red.red(), 40) << red.name().toStdString();
  EXPECT_LT(red.green(), 16) << red.name().toStdString();
  EXPECT_LT(red.blue(), 16) << red.name().toStdString();
  EXPECT_EQ(group->DrawnTogether(), 60);

  face->Ambient()->SetColor(ambient);
  face->Diffuse()->SetColor(diffuse);
  const QColor back = colourAt();
  EXPECT_EQ(back, before) << back.name().toStdString() << " " << before.name().toStdString();
}

// Host cubes drawn in batches, from arrays with the faces turned away left out, look as each
// drawn on its own: from the side, from above and from below the floor, and turned under an
// orthographic camera (which looks along one direction, not from its place).
TEST_F(GL_FarPipes, CubesInBatchesLookAsEachDrawnOnItsOwn) {
  if (NoDisplay()) GTEST_SKIP() << "needs a display";
  Make(60);
  TGLBaseSceneObject* cubes = form->Traffic().PCs();
  ASSERT_EQ(cubes->Count(), 120);
  for (int i = 0; i < 60; ++i) Pipe(i)->SetVisible(false);  // their labels come a frame or two late
  auto batched = [&](bool on) {
    for (int i = 0; i < cubes->Count(); ++i)
      if (auto* c = dynamic_cast<TGLCube*>(cubes->Children(i))) c->SetDrawnInBatches(on);
  };
  for (const auto& [lift, orthographic] : {std::pair{1.0f, false}, {6.0f, false}, {-6.0f, false}, {1.0f, true}}) {
    SCOPED_TRACE("camera lifted by " + std::to_string(lift) + (orthographic ? ", orthographic" : ""));
    Look(Pipe(30), 60);
    TGLCoordinates* eye = form->GLSceneViewer1()->Camera()->Position();
    eye->SetZ(eye->Z() * lift);
    if (orthographic) {
      Orthographic(120);
      for (int i = 0; i < cubes->Count(); ++i) {
        cubes->Children(i)->SetTurnAngle(70);
        cubes->Children(i)->SetPitchAngle(20);
      }
    }
    batched(true);
    const QImage together = Grab();
    batched(false);
    const QImage alone = Grab();
    ASSERT_EQ(together.size(), alone.size());
    int64_t differing = 0, far = 0;
    int most = 0;
    for (int y = 0; y < alone.height(); ++y)
      for (int x = 0; x < alone.width(); ++x) {
        const QColor a = alone.pixelColor(x, y), t = together.pixelColor(x, y);
        const int d = std::abs(a.red() - t.red()) + std::abs(a.green() - t.green()) + std::abs(a.blue() - t.blue());
        differing += d > 0;
        far += d > 12;
        most = std::max(most, d);
      }
    // Cubes of a stack touch: where their faces meet, depths rounded from vertices carried on
    // this side and by GL differ, and a pixel or two goes to the other cube.
    EXPECT_LE(far, 4) << differing << " pixels differ, by up to " << most;
  }
}

// Short pipes seen from above, and long ones seen along the floor (their label tiles a pixel or
// two long and a few wide), also under an orthographic camera.
TEST_F(GL_FarPipes, PipesFromAfarLookAsTheirLabelsDid) {
  if (NoDisplay()) GTEST_SKIP() << "needs a display";
  struct TCase {
    float stretch;
    double limit;
    bool orthographic;
  };
  for (const TCase& c : {TCase{0, 8, false}, TCase{60, 16, false}, TCase{0, 8, true}, TCase{60, 16, true}}) {
    SCOPED_TRACE("destinations moved by " + std::to_string(c.stretch) + (c.orthographic ? ", orthographic" : ""));
    double mean = 0, share = 0;
    int64_t covered = 0;
    CompareLook(c.stretch, c.orthographic, mean, share, covered);
    ASSERT_GT(covered, 200);
    EXPECT_LT(mean, c.limit) << covered << " pixels covered";
    EXPECT_LT(share, 0.02) << covered << " pixels covered";
  }
}

TEST_F(GL_FarPipes, APipeDrawnFromAfarIsPickedAsBefore) {
  if (NoDisplay()) GTEST_SKIP() << "needs a display";
  MakeWide(30);
  Look(Pipe(10), 120);
  Frames(2);
  ASSERT_TRUE(Pipe(10)->FarLabel);
  ASSERT_FALSE(Shown(Pipe(10)));
  TGLSceneBuffer* buffer = form->GLSceneViewer1()->Buffer();
  const TVector4f screen = buffer->WorldToScreen(Pipe(10)->AbsolutePosition());
  TGLBaseSceneObject* picked =
      buffer->GetPickedObject(int(std::lround(screen[0])), buffer->Height() - int(std::lround(screen[1])));
  EXPECT_EQ(picked, Pipe(10)) << (picked ? picked->Name() : "nothing");
}

// The scene of the view's load benchmark at its larger size: 2,000 hosts, each its own cube, and
// 6,000 conversations between neighbours around their ring, seen from the home camera.
TEST_F(GL_FarPipes, AtTwoThousandHostsCubesArePickedAndDraggedWithTheirPipes) {
  if (NoDisplay()) GTEST_SKIP() << "needs a display";
  form = std::make_unique<TForm2_3D>(&host, nullptr, FreeUdpPort());
  form->resize(800, 600);
  form->show();
  form->GLCadencer1()->SetEnabled(false);
  Pump(200);
  auto address = [](int i) { return "11." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".1"; };
  for (int offset = 1; offset <= 3; ++offset)
    for (int i = 0; i < 2000; ++i)
      form->Traffic().ProcessLine("t\tm1\tm2\t0800\t100\t" + address(i) + "\t" +
                                  std::to_string(1024 + offset * 2000 + i) + "\t" + address((i + offset) % 2000) +
                                  "\t443\tTCP\tTCP-IP");
  ASSERT_EQ(form->Traffic().PCs()->Count(), 2000);
  ASSERT_EQ(Connections()->Count(), 6000);
  Frames(2);
  auto* group = dynamic_cast<TPipeGroup*>(Connections());
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->DrawnTogether(), 6000);
  QWindow* target = nullptr;
  for (QWindow* w : QGuiApplication::allWindows())
    if (w->parent() && w->isVisible()) target = w;
  ASSERT_NE(target, nullptr);
  auto mouse = [&](QEvent::Type type, QPointF at, Qt::MouseButton button, Qt::MouseButtons held) {
    QMouseEvent e(type, at, target->mapToGlobal(at), button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &e);
  };

  // The cube nearest the camera, at the front of the ring, is picked where it is drawn.
  TGLSceneBuffer* buffer = form->GLSceneViewer1()->Buffer();
  const TVector4f eye = form->GLSceneViewer1()->Camera()->AbsolutePosition();
  SnifferObject* cube = nullptr;
  for (int i = 0; i < 2000; ++i) {
    auto* c = static_cast<SnifferObject*>(form->Traffic().PCs()->Children(i));
    if (!cube || Apart(c->AbsolutePosition(), eye) < Apart(cube->AbsolutePosition(), eye)) cube = c;
  }
  const TVector4f s = buffer->WorldToScreen(cube->AbsolutePosition());
  const QPointF at(s[0], buffer->Height() - s[1]);
  mouse(QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
  ASSERT_EQ(form->SelectedObject(), cube);

  // Dragged, it takes its six pipes along, and they are still drawn with the rest.
  const TVector4f before = cube->AbsolutePosition();
  for (QPointF to : {at + QPointF(40, 30), at + QPointF(80, 60)}) {
    mouse(QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
    form->GLCadencer1Progress(0.01, 0);
  }
  mouse(QEvent::MouseButtonRelease, at + QPointF(80, 60), Qt::LeftButton, Qt::NoButton);
  ASSERT_GT(Apart(cube->AbsolutePosition(), before), 5.0f);
  int ends = 0;
  for (int i = 0; i < 6000; ++i) {
    MyCylinder* p = Pipe(i);
    if (p->SrcObject() != cube && p->DstObject() != cube) continue;
    ++ends;
    EXPECT_NEAR(p->Height(), Apart(p->SrcObject()->AbsolutePosition(), p->DstObject()->AbsolutePosition()), 1e-3f);
  }
  EXPECT_EQ(ends, 6);
  Frames(1);
  EXPECT_EQ(group->DrawnTogether() + group->DrawnAlone(), 6000);
}

}  // namespace
