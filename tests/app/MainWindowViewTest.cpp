// The main window with the real 3D window behind it, as the program wires
// them: what goes in through the packet queue shows in the main window's
// counts, chart, selection labels and backlog panel, and its buttons reach
// the view.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QWindow>
#include <QtCharts/QLineSeries>

#include <algorithm>
#include <fstream>

#include "Source/Scene/GLCadencer.h"
#include "Source/Scene/GLCamera.h"
#include "Source/Viewer/GLQtContext.h"
#include "Source/Viewer/GLSceneViewer.h"
#include "app/Bandwidth.h"
#include "app/PacketParse.h"
#include "app/PacketQueue.h"
#include "app/Settings.h"
#include "app/SnifferObject.h"
#include "app/TrafficScene.h"
#include "app/Unit1.h"
#include "app/Unit2_3D.h"
#include "app/Unit_Globals.h"
#include "platform/IniFiles.h"
#include "platform/Paths.h"
#include "ViewHostStub.h"

namespace {

void Drain() {
  std::string drop;
  while (PacketQueue().Take(drop)) {
  }
}

SnifferObject* CubeOf(TTrafficScene& traffic, const std::string& ip) {
  for (TGLDummyCube* parent : {traffic.PCs(), traffic.Groups()})
    for (int i = 0; i < parent->Count(); ++i)
      if (auto* c = dynamic_cast<SnifferObject*>(parent->Children(i)); c && c->IP == ip) return c;
  return nullptr;
}

TEST(GL_MainWindowAndView, TheViewCountsShowsAndSelectsThroughTheMainWindow) {
  if (NoDisplay()) GTEST_SKIP() << "needs a display";
  static const bool registered = (RegisterGLQtContext(), true);
  (void)registered;
  QTemporaryDir dir;
  SetProgramFolder(dir.path().toStdString());
  std::ofstream(ProgramFile("SnifferPCsInfo.ini"))
      << "[Default]\nNetType=other\n"
         "[Servers]\nIPmin=10.5.0.0\nIPmax=10.5.0.255\nIP=10.5.0.7\nNetType=other\n"
         "[Named]\nIPmin=10.6.0.0\nIPmax=10.6.0.255\nIP=server-a\nNetType=other\n";
  Drain();
  ViewLink() = TViewLink{};
  Link3DView();
  {
    TForm1 main;
    main.show();
    main.FormActivate();
    auto* view = dynamic_cast<TForm2_3D*>(main.Form2_3DWindow());
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view, Form2_3D);
    EXPECT_TRUE(view->isVisible());
    view->GLCadencer1()->SetEnabled(false);  // frames by hand
    TTrafficScene& traffic = view->Traffic();

    // The bars set the view's thresholds.
    main.TrackBar2->setValue(3);
    EXPECT_EQ(PipeThreshold, 3);
    main.TrackBar1->setValue(40);
    EXPECT_EQ(TimeToLive, 40);
    main.TrackBar2->setValue(1);

    // Lines through the queue become cubes and a pipe; the counts, the
    // total and the chart point show in the main window.
    QueLoad(Line("10.0.1.1", "10.0.2.1", "80"));
    QueLoad(Line("10.0.2.1", "10.0.1.1", "1025"));
    QueLoad(Line("10.0.3.1", "255.255.255.255", "67"));
    for (int i = 0; i < 100 && PacketQueue().QuePending() > 0; ++i) view->GLCadencer1Progress(0.01, 0);
    EXPECT_EQ(PacketQueue().QuePending(), 0);
    view->Timer_ChkLifeTimer();
    EXPECT_EQ(main.LBL_NOPCs->text(), "Cubes=3");
    EXPECT_EQ(main.LBL_NOconnections->text(), "Pipes=1");
    EXPECT_EQ(main.LBL_NOgroups->text(), "Groups=0");
    const double total = main.ChartSeries()->at(0).y();
    EXPECT_GT(total, 0);
    EXPECT_EQ(main.LB_TotalBandwidth->text().toStdString(), "Tbps " + FormatThousands(total));
    view->Timer_ChkLifeTimer();
    EXPECT_GT(main.ChartSeries()->at(1).y(), 0);  // the next check, the next point

    // A click on a cube selects it: its values in the labels, its lines in the event memo.
    SnifferObject* cube = CubeOf(traffic, "10.0.3.1");  // no pipe in front of it
    ASSERT_NE(cube, nullptr);
    traffic.SelectedObject = cube;
    main.Button5->click();  // aim the camera at it
    traffic.SelectedObject = nullptr;
    const float cx = cube->Position()->X(), cy = cube->Position()->Y(), cz = cube->Position()->Z();
    view->GLSceneViewer1()->Camera()->Position()->SetXYZAsPoint(cx + 6, cy + 6, cz + 6);
    view->resize(400, 300);
    view->raise();  // over the main window: the pick reads what is drawn
    Pump(200);
    QWindow* viewer = nullptr;
    for (QWindow* w : QGuiApplication::allWindows())
      if (w->parent() && w->isVisible()) viewer = w;
    ASSERT_NE(viewer, nullptr);
    const QPointF centre(viewer->width() / 2.0, viewer->height() / 2.0);
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
      QMouseEvent e(type, centre, viewer->mapToGlobal(centre), Qt::LeftButton,
                    type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
      QCoreApplication::sendEvent(viewer, &e);
    }
    ASSERT_EQ(view->SelectedObject(), cube);
    EXPECT_EQ(main.LB_IP->text(), "IP=10.0.3.1");
    EXPECT_EQ(main.Label2->text(), QString::fromStdString("ComputerName=" + cube->ProfileName));
    EXPECT_EQ(main.Label3->text(), QString::fromStdString("OBJname=" + cube->Name()));
    EXPECT_EQ(main.LB_X->text(), QString::fromStdString("X=" + FloatToStr(cx)));
    // Its info lines show in the event log's place; the event log goes on behind them.
    EXPECT_EQ(main.OBJinfoPages->currentWidget(), main.OBJinfoSelection);
    EXPECT_EQ(main.OBJinfoSelection->toPlainText().toStdString(),
              InfoLineOf(Line("10.0.3.1", "255.255.255.255", "67")));
    EXPECT_EQ(cube->BandwidthLabel, main.LB_BandWidth);
    LogObjInfo("logged while a cube is selected");
    traffic.ProcessLine(Line("10.0.3.1", "255.255.255.255", "68"));
    EXPECT_EQ(MemoLines(main.OBJinfoSelection).back(), InfoLineOf(Line("10.0.3.1", "255.255.255.255", "68")));
    // A click on the floor ends the selection: the event log is back, whole.
    const QPointF floor(viewer->width() / 2.0, viewer->height() - 3.0);
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
      QMouseEvent e(type, floor, viewer->mapToGlobal(floor), Qt::LeftButton,
                    type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
      QCoreApplication::sendEvent(viewer, &e);
    }
    ASSERT_EQ(view->SelectedObject(), nullptr);
    EXPECT_EQ(main.OBJinfoPages->currentWidget(), main.OBJinfo);
    EXPECT_EQ(main.OBJinfoSelection->toPlainText(), "");
    const std::vector<std::string> events = MemoLines(main.OBJinfo);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(std::count(events.begin(), events.end(), VersionText1()), 1);
    EXPECT_EQ(events.back(), "logged while a cube is selected");
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const std::string& l) { return l.find("10.0.3.1") != std::string::npos; }),
              0);
    // "Save Object" keeps its place in the profiles: a section for its /24
    // block (no profile matched it), not one named after its address number;
    // the cube is of that section from now on, as after a restart.
    traffic.SelectedObject = cube;
    const std::string unmatched = cube->ProfileName;
    main.Button3->click();
    {
      TIniFile profiles(ProgramFile("SnifferPCsInfo.ini"));
      EXPECT_FALSE(profiles.SectionExists(unmatched));
      EXPECT_EQ(cube->ProfileName + " " + cube->NetType, "IP10_0_3 fixed");
      EXPECT_EQ(main.Label2->text().toStdString(), "ComputerName=IP10_0_3");
      EXPECT_EQ(profiles.ReadString("IP10_0_3", "IPmin", ""), "10.0.3.0");
      EXPECT_EQ(profiles.ReadString("IP10_0_3", "IPmax", ""), "10.0.3.255");
      EXPECT_EQ(profiles.ReadString("IP10_0_3", "X", ""), FloatToStr(cx));
    }

    // A backlog shows the BUFFER panel, then its count.
    EXPECT_FALSE(main.BufferPanelVisible());
    for (int i = 0; i <= PacketQueue().QueHigh() + 1; ++i) QueLoad("");
    view->GLCadencer1Progress(0.01, 0);
    EXPECT_TRUE(main.BufferPanelVisible());
    const int pending = PacketQueue().QuePending();
    view->GLCadencer1Progress(0.01, 0);
    EXPECT_EQ(main.Label4->text(), QString::number(pending));
    Drain();

    // "Create Cubes for IP Blocks Defs": one cube per profile address; one
    // that is no address is told and makes none.
    main.Button4->click();
    EXPECT_TRUE(main.IgnoreTimeOut->isChecked());
    SnifferObject* server = CubeOf(traffic, "10.5.0.7");
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->ProfileName, "Servers");
    EXPECT_EQ(CubeOf(traffic, "server-a"), nullptr);
    EXPECT_TRUE(main.PKTdata->toPlainText().contains("server-a"));

    // "Clear" gives every cube a second to live.
    main.IgnoreTimeOut->setChecked(false);
    main.Button6->click();
    ASSERT_GT(traffic.PCs()->Count(), 0);
    for (int i = 0; i < traffic.PCs()->Count(); ++i)
      EXPECT_EQ(static_cast<SnifferObject*>(traffic.PCs()->Children(i))->TTL, 1.0f);
    main.Button7->click();  // the camera back where it started
    EXPECT_FLOAT_EQ(view->GLSceneViewer1()->Camera()->Position()->X(), -105);

    // "Clear" after a test-tab button (which checks IgnoreTimeOut) says why
    // nothing goes; the cubes go once the box is unchecked.
    main.Button4->click();
    ASSERT_TRUE(main.IgnoreTimeOut->isChecked());
    main.Button6->click();
    EXPECT_EQ(MemoLines(main.OBJinfo).back(), "Clear: IgnoreTimeOut is checked, no cube expires until it is unchecked");
    const int cubesLeft = traffic.PCs()->Count();
    ASSERT_GT(cubesLeft, 0);
    const int64_t later = traffic.Now() + 2 * traffic.PerfFrequency;
    traffic.Now = [later] { return later; };
    view->Timer_ChkLifeTimer();
    EXPECT_EQ(traffic.PCs()->Count(), cubesLeft);
    main.IgnoreTimeOut->setChecked(false);
    view->Timer_ChkLifeTimer();
    ASSERT_EQ(traffic.SelectedObject, cube);
    ASSERT_EQ(traffic.PCs()->Count(), 1);  // the selection stays
    EXPECT_EQ(traffic.PCs()->Children(0), cube);

    main.close();
    EXPECT_FALSE(view->isVisible());
  }
  EXPECT_EQ(Form2_3D, nullptr);
  TIniFile ini(ProgramFile("Tamrivel.ini"));
  EXPECT_TRUE(ini.SectionExists("Form1"));
  EXPECT_TRUE(ini.SectionExists("Form2_3D"));
  // "OBJinfo.txt" is the event log, not the lines of the cube selected.
  const std::vector<std::string> savedLines = ReadListFile(ProgramFile("OBJinfo.txt"));
  EXPECT_EQ(std::count(savedLines.begin(), savedLines.end(), VersionText1()), 1);
  EXPECT_EQ(std::count(savedLines.begin(), savedLines.end(), "logged while a cube is selected"), 1);
  EXPECT_EQ(std::count(savedLines.begin(), savedLines.end(), InfoLineOf(Line("10.0.3.1", "255.255.255.255", "67"))), 0);
  ViewLink() = TViewLink{};
  Drain();
  SetProgramFolder("");
}

TEST(GL_MainWindowAndView, AfterClearACubeWithTrafficAgainLivesByTheTimeToLive) {
  if (NoDisplay()) GTEST_SKIP() << "needs a display";
  static const bool registered = (RegisterGLQtContext(), true);
  (void)registered;
  QTemporaryDir dir;
  SetProgramFolder(dir.path().toStdString());
  std::ofstream(ProgramFile("SnifferPCsInfo.ini")) << "[Default]\nNetType=other\n";
  Drain();
  ViewLink() = TViewLink{};
  Link3DView(FreeUdpPort());
  {
    TForm1 main;
    main.show();
    main.FormActivate();
    auto* view = dynamic_cast<TForm2_3D*>(main.Form2_3DWindow());
    ASSERT_NE(view, nullptr);
    view->GLCadencer1()->SetEnabled(false);
    TTrafficScene& traffic = view->Traffic();
    int64_t now = traffic.Now();
    traffic.Now = [&now] { return now; };
    const int64_t second = traffic.PerfFrequency;
    main.TrackBar1->setValue(60);

    traffic.ProcessLine(Line("10.0.1.1", "10.0.2.1", "80"));
    traffic.ProcessLine(Line("10.0.3.1", "255.255.255.255", "67"));
    now += second / 2;
    main.Button6->click();  // "Clear" while 10.0.1.1 and 10.0.2.1 talk
    EXPECT_EQ(CubeOf(traffic, "10.0.1.1")->TTL, 1.0f);
    now += second / 4;
    traffic.ProcessLine(Line("10.0.1.1", "10.0.2.1", "80"));
    EXPECT_EQ(CubeOf(traffic, "10.0.1.1")->TTL, 60.0f);
    EXPECT_EQ(CubeOf(traffic, "10.0.2.1")->TTL, 60.0f);
    EXPECT_EQ(CubeOf(traffic, "10.0.3.1")->TTL, 1.0f);

    // A pause: the idle cube goes after its second, the talking ones stay.
    now += 3 * second;
    view->Timer_ChkLifeTimer();
    EXPECT_EQ(CubeOf(traffic, "10.0.3.1"), nullptr);
    ASSERT_NE(CubeOf(traffic, "10.0.1.1"), nullptr);
    EXPECT_EQ(traffic.Connections()->Count(), 1);
    now += 2 * second;  // 5 s without a packet
    view->Timer_ChkLifeTimer();
    EXPECT_NE(CubeOf(traffic, "10.0.1.1"), nullptr);
    EXPECT_NE(CubeOf(traffic, "10.0.2.1"), nullptr);

    // A cube made after "Clear" at the same address lives by the Time To
    // Live too; a second "Clear" gives the idle ones their second again.
    traffic.ProcessLine(Line("10.0.3.1", "255.255.255.255", "67"));
    EXPECT_EQ(CubeOf(traffic, "10.0.3.1")->TTL, 60.0f);
    main.Button6->click();
    EXPECT_FALSE(main.OBJinfo->toPlainText().contains("IgnoreTimeOut is checked"));
    now += second + second / 10;
    view->Timer_ChkLifeTimer();
    EXPECT_EQ(traffic.PCs()->Count(), 0);
    main.close();
  }
  ViewLink() = TViewLink{};
  Drain();
  SetProgramFolder("");
}

}  // namespace
