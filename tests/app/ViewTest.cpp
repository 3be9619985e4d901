// Tests of the 3D window on screen: creation and settings, fed lines as cubes and pipes, camera
// keys, and selection by clicking.
#include "Source/Scene/GLCadencer.h"
#include "Source/Scene/GLCamera.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneBuffer.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Viewer/GLQtContext.h"
#include "Source/Viewer/GLSceneViewer.h"
#include "app/MyCylinder.h"
#include "app/PacketQueue.h"
#include "app/SnifferObject.h"
#include "app/PacketParse.h"
#include "app/TrafficScene.h"
#include "app/Unit2_3D.h"
#include "app/Unit_Globals.h"
#include "platform/IniFiles.h"
#include "platform/KeyState.h"
#include "platform/Paths.h"
#include "ViewHostStub.h"

#include <QApplication>
#include <QDir>
#include <QMouseEvent>
#include <QWindow>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QTemporaryDir>
#include <QTextBlock>
#include <fstream>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

class GL_ViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const bool registered = (RegisterGLQtContext(), true);
    (void)registered;
    SetProgramFolder(FDir.path().toStdString());
    SetPktDataMemo(&host.PktData);
    std::string drop;
    while (PacketQueue().Take(drop)) {
    }
  }
  void TearDown() override {
    SetPktDataMemo(nullptr);
    SetProgramFolder("");
  }
  QTemporaryDir FDir;
  TViewHostStub host;
};

TEST_F(GL_ViewTest, CreationSettingsAndClose) {
  TimeToLive = 40;
  // Values the view cannot use fall back to the defaults.
  std::ofstream(ProgramFile("Tamrivel.ini"))
      << "[Form2_3D]\nGLCamera1.Position.X=nan\nGLCamera1.Position.Y=1e9\nWidth=99999\n";
  SetObjInfoMemo(&host.Memo);
  {
    TForm2_3D form(&host, nullptr, FreeUdpPort());
    EXPECT_EQ(TimeToLive, 15);
    EXPECT_EQ(form.objectName(), "Form2_3D");
    TGLBaseSceneObject* root = form.GLSceneViewer1()->Camera()->Scene()->Objects();
    EXPECT_FALSE(root->FindChildByName("cRed", true)->Visible());
    EXPECT_FALSE(root->FindChildByName("GLCylinder1", true)->Visible());
    EXPECT_NE(root->FindChildByName("Connections"), nullptr);
    form.show();
    Pump(50);
    EXPECT_TRUE(form.GLCadencer1()->Enabled());
    TGLCamera* cam = form.GLSceneViewer1()->Camera();
    EXPECT_FLOAT_EQ(cam->Position()->X(), 100);
    EXPECT_FLOAT_EQ(cam->Position()->Y(), 100);
    EXPECT_FLOAT_EQ(cam->Position()->Z(), 100);
    EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().contains(form.geometry()));
    EXPECT_TRUE(host.Memo.toPlainText().contains("[Form2_3D] GLCamera1.Position.X=nan not usable, 100 used"));
    const std::string log = host.PktData.toPlainText().toStdString();
    EXPECT_NE(log.find("wsClosed"), std::string::npos);
    EXPECT_NE(log.find("LoadPCinfoToArry cannot open"), std::string::npos);
    form.ResetCamera();
    form.close();
    EXPECT_FALSE(form.GLCadencer1()->Enabled());
  }
  SetObjInfoMemo(nullptr);
  TIniFile ini(ProgramFile("Tamrivel.ini"));
  EXPECT_EQ(ini.ReadString("Form2_3D", "GLCamera1.Position.X", ""), "-105");
  EXPECT_LE(ini.ReadInteger("Form2_3D", "Width", 0), QGuiApplication::primaryScreen()->availableGeometry().width());
  EXPECT_EQ(ini.ReadString("Form2_3D", "DefaultListenPort", "none"), "none");
}

TEST_F(GL_ViewTest, FedLinesBecomeCubesAndPipesOnScreen) {
  if (NoDisplay()) GTEST_SKIP() << "needs a display";
  const int port = FreeUdpPort();
  {
    std::ofstream f(ProgramFile("SnifferPCsInfo.ini"));
    f << "[Default]\nNetType=other\nWidth=6\nHeight=6\nDepth=6\n";
  }
  TForm2_3D form(&host, nullptr, port);
  form.resize(640, 480);
  form.show();
  form.GLSceneViewer1()->Camera()->Position()->SetXYZAsPoint(-150, -150, 150);
  form.GLCadencer1()->SetEnabled(false);  // frames by hand below

  // Through the listener: one datagram, two lines.
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to = Loopback(port);
  const std::string datagram =
      Line("10.20.10.1", "10.60.50.1", "80") + "\n" + Line("10.100.100.1", "10.20.10.1", "25") + "\n";
  ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ::close(fd);
  QElapsedTimer t;
  t.start();
  // The lines are queued at once; the activity tick reaches the bar in a later pass of the loop.
  while ((PacketQueue().QuePending() < 2 || form.ProgressBar1()->value() < 1) && t.elapsed() < 10000)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_EQ(PacketQueue().QuePending(), 2);
  for (const char* bad : {"bad line", ""}) QueLoad(bad);
  for (int i = 0; i < 4; ++i) form.GLCadencer1Progress(0.01, 0.01 * i);
  // Under traffic the frames come as fast as they can; at rest (no lines for a second), no
  // oftener than the screen shows them.
  EXPECT_EQ(form.GLCadencer1()->MinDeltaTime(), 0);
  t.restart();
  while (form.GLCadencer1()->MinDeltaTime() == 0 && t.elapsed() < 10000) form.GLCadencer1Progress(0.01, 0);
  EXPECT_GE(t.elapsed(), 900);
  EXPECT_DOUBLE_EQ(form.GLCadencer1()->MinDeltaTime(), 1 / form.GLSceneViewer1()->RefreshRate());
  EXPECT_GE(form.GLSceneViewer1()->RefreshRate(), 1);
  QueLoad("");
  form.GLCadencer1Progress(0.01, 0);
  EXPECT_EQ(form.GLCadencer1()->MinDeltaTime(), 0);

  TTrafficScene& traffic = form.Traffic();
  EXPECT_EQ(traffic.PCs()->Count(), 3);
  ASSERT_EQ(traffic.Connections()->Count(), 2);
  EXPECT_NE(host.PktData.toPlainText().toStdString().find("[NI<>10]bad line"), std::string::npos);
  EXPECT_EQ(form.ProgressBar1()->value(), 1);  // one tick per datagram

  Pump(200);
  form.GLSceneViewer1()->RenderNow();
  Pump(200);
  const QImage shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
  shot.save(QString::fromStdString(TTrafficScene::ImagesDir() + "../view.png"));
  if (const char* keep = std::getenv("VIEW_SCREENSHOT")) shot.save(keep);

  // Picking the middle of a cube selects it and shows its lines.
  SnifferObject* cube = static_cast<SnifferObject*>(traffic.PCs()->Children(0));
  TGLSceneBuffer* buffer = form.GLSceneViewer1()->Buffer();
  const TVector4f screen = buffer->WorldToScreen(cube->AbsolutePosition());
  TGLBaseSceneObject* picked = buffer->GetPickedObject(qRound(screen[0]), buffer->Height() - qRound(screen[1]));
  EXPECT_EQ(picked, cube);

  form.Timer_ChkLifeTimer();
  EXPECT_EQ(host.Cubes, "Cubes=3");
  EXPECT_EQ(host.Pipes, "Pipes=2");
}

// After a mass expiry the view lets its context go and draws (and picks) with
// a new one from the next frame on.
TEST_F(GL_ViewTest, AnEmptiedSceneDrawsOnWithANewContext) {
  if (NoDisplay()) GTEST_SKIP() << "needs a display";
  TForm2_3D form(&host, nullptr, FreeUdpPort());
  form.resize(640, 480);
  form.show();
  form.GLSceneViewer1()->Camera()->Position()->SetXYZAsPoint(-150, -150, 150);
  form.GLCadencer1()->SetEnabled(false);
  Pump(200);
  TGLSceneBuffer* buffer = form.GLSceneViewer1()->Buffer();
  form.GLSceneViewer1()->RenderNow();
  ASSERT_TRUE(buffer->RCInstantiated());

  TTrafficScene& traffic = form.Traffic();
  ASSERT_TRUE(traffic.OnEmptiedAfterMassExpiry);
  traffic.OnEmptiedAfterMassExpiry();
  EXPECT_FALSE(buffer->RCInstantiated());

  traffic.ProcessLine(Line("10.20.10.1", "10.60.50.1", "80"));
  Pump(200);
  form.GLSceneViewer1()->RenderNow();
  ASSERT_TRUE(buffer->RCInstantiated());
  SnifferObject* cube = static_cast<SnifferObject*>(traffic.PCs()->Children(0));
  cube->Position()->SetXYZAsPoint(0, 0, 0);  // apart from the other cube
  static_cast<SnifferObject*>(traffic.PCs()->Children(1))->Position()->SetXYZAsPoint(80, -80, 0);
  const TVector4f screen = buffer->WorldToScreen(cube->AbsolutePosition());
  TGLBaseSceneObject* picked = buffer->GetPickedObject(qRound(screen[0]), buffer->Height() - qRound(screen[1]));
  EXPECT_EQ(picked, cube) << (picked ? picked->Name() : "none");
}

TEST_F(GL_ViewTest, KeysAimTheCameraAtTheSelection) {
  TForm2_3D form(&host, nullptr, FreeUdpPort());
  TTrafficScene& traffic = form.Traffic();
  traffic.ProcessLine(Line("10.0.1.1", "10.0.2.1", "80"));
  SnifferObject* src = static_cast<SnifferObject*>(traffic.PCs()->Children(0));
  SnifferObject* dst = static_cast<SnifferObject*>(traffic.PCs()->Children(1));
  src->Position()->SetXYZAsPoint(1, 2, 3);
  dst->Position()->SetXYZAsPoint(7, 8, 9);
  TGLBaseSceneObject* target = form.GLSceneViewer1()->Camera()->Scene()->Objects()->FindChildByName("CameraTarget");
  ASSERT_NE(target, nullptr);
  traffic.SelectedObject = traffic.Connections()->Children(0);
  auto frameWith = [&](int vk) {
    SetKeyState(vk, true);
    form.GLCadencer1Progress(0.01, 0);
    SetKeyState(vk, false);
    form.GLCadencer1Progress(0.01, 0);
  };
  float seen[3];
  for (float& x : seen) {
    frameWith(VK_LSHIFT);
    x = target->Position()->X();
  }
  EXPECT_EQ(seen[0], 7);  // destination first, then source, then destination
  EXPECT_EQ(seen[1], 1);
  EXPECT_EQ(seen[2], 7);
  SetKeyState(VK_RSHIFT, true);  // the right Shift key does nothing
  form.GLCadencer1Progress(0.01, 0);
  SetKeyState(VK_RSHIFT, false);
  form.GLCadencer1Progress(0.01, 0);
  EXPECT_EQ(target->Position()->X(), 7);

  traffic.SelectedObject = src;
  frameWith(VK_CONTROL);
  EXPECT_EQ(target->Position()->Z(), 3);

  // A freed end is skipped, not followed.
  traffic.SelectedObject = traffic.Connections()->Children(0);
  delete dst;
  frameWith(VK_LSHIFT);
  frameWith(VK_LSHIFT);
  EXPECT_EQ(target->Position()->X(), 1);

  // Lines the full ring dropped are logged with their count by a frame (a
  // second after an earlier report at the latest; earlier tests may overflow too).
  for (int i = 0; i < TPacketQueue::QueSize + 8; ++i) QueLoad("");
  QElapsedTimer waited;
  waited.start();
  do form.GLCadencer1Progress(0.01, 0);
  while (!host.PktData.toPlainText().contains("Packet lines dropped, queue full: ") && waited.elapsed() < 5000);
  EXPECT_TRUE(host.PktData.toPlainText().contains("Packet lines dropped, queue full: "));
}

TEST_F(GL_ViewTest, ClickingSelectsACubeAndTheFloorClearsIt) {
  if (NoDisplay()) GTEST_SKIP() << "needs a display";
  // The selection picture cannot be kept in "Images": the drawn one is used.
  QDir().mkpath(QString::fromStdString(TTrafficScene::ImagesDir() + "Selected.bmp"));
  TForm2_3D form(&host, nullptr, FreeUdpPort());
  form.resize(400, 300);
  form.show();
  form.GLCadencer1()->SetEnabled(false);
  TTrafficScene& traffic = form.Traffic();
  traffic.ProcessLine(Line("10.0.1.1", "255.255.255.255", "80"));
  // Bytes of any value reach the memo of the selection as they are.
  const std::string bytes = "t\tm1\tm2\t0800\t100\t10.0.1.1\t1025\t255.255.255.255\t80\tTCP\tcaf\xE9 \xA0\x82";
  traffic.ProcessLine(bytes);
  SnifferObject* cube = static_cast<SnifferObject*>(traffic.PCs()->Children(0));
  traffic.SelectedObject = cube;
  form.AimCamera();
  traffic.SelectedObject = nullptr;
  const float cx = cube->Position()->X(), cy = cube->Position()->Y(), cz = cube->Position()->Z();
  form.GLSceneViewer1()->Camera()->Position()->SetXYZAsPoint(cx + 6, cy + 6, cz + 6);
  Pump(200);

  // The viewer's native window gets the mouse.
  QWindow* target = nullptr;
  for (QWindow* w : QGuiApplication::allWindows())
    if (w->parent() && w->isVisible()) target = w;
  ASSERT_NE(target, nullptr);
  auto click = [&](QPointF at) {
    QMouseEvent down(QEvent::MouseButtonPress, at, target->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(target, &down);
    QMouseEvent up(QEvent::MouseButtonRelease, at, target->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                   Qt::NoModifier);
    QCoreApplication::sendEvent(target, &up);
  };
  const QPointF centre(target->width() / 2.0, target->height() / 2.0);
  click(centre);
  ASSERT_EQ(form.SelectedObject(), cube);
  EXPECT_EQ(host.Selection, "10.0.1.1|IP167772417|IP10_0_1");
  EXPECT_EQ(host.Memo.toPlainText().toStdString().substr(0, 1), "t");  // its info lines
  EXPECT_EQ(MemoLines(&host.Memo),
            (std::vector<std::string>{InfoLineOf(Line("10.0.1.1", "255.255.255.255", "80")), InfoLineOf(bytes)}));
  EXPECT_EQ(cube->InfoMemo, &host.Memo);
  EXPECT_EQ(cube->BandwidthLabel, &host.Bandwidth);

  EXPECT_EQ(host.PktData.toPlainText().count("Images Cannot create file"), 1);

  click(centre);  // the selected cube again: nothing changes
  EXPECT_EQ(form.SelectedObject(), cube);

  // A busy selected cube: its memo keeps its last lines only, as the cube does.
  for (int i = 0; i < SnifferObject::MaxInfoLines + 100; ++i)
    traffic.ProcessLine(Line("10.0.1.1", "255.255.255.255", std::to_string(i)));
  EXPECT_EQ(host.Memo.document()->blockCount(), SnifferObject::MaxInfoLines);
  EXPECT_EQ(host.Memo.document()->lastBlock().text().toStdString(),
            InfoLineOf(Line("10.0.1.1", "255.255.255.255", std::to_string(SnifferObject::MaxInfoLines + 99))));

  click(QPointF(target->width() / 2.0, target->height() - 3.0));  // the floor
  EXPECT_EQ(form.SelectedObject(), nullptr);
  EXPECT_EQ(cube->InfoMemo, nullptr);
  EXPECT_EQ(cube->BandwidthLabel, nullptr);
  EXPECT_EQ(host.Memo.maximumBlockCount(), ObjInfoMaxLines);  // the event log's own bound again
}
