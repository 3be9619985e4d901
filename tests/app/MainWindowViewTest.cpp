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
#include <QTemporaryDir>
#include <QWindow>
#include <QtCharts/QLineSeries>

#include <fstream>

#include "Source/Scene/GLCadencer.h"
#include "Source/Scene/GLCamera.h"
#include "Source/Viewer/GLQtContext.h"
#include "Source/Viewer/GLSceneViewer.h"
#include "app/Bandwidth.h"
#include "app/PacketParse.h"
#include "app/PacketQueue.h"
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
    EXPECT_EQ(main.OBJinfo->toPlainText().toStdString(), InfoLineOf(Line("10.0.3.1", "255.255.255.255", "67")));
    EXPECT_EQ(cube->BandwidthLabel, main.LB_BandWidth);
    // "Save Object" keeps its place in the profiles: a section for its /24
    // block (no profile matched it), not one named after its address number.
    traffic.SelectedObject = cube;
    main.Button3->click();
    {
      TIniFile profiles(ProgramFile("SnifferPCsInfo.ini"));
      EXPECT_FALSE(profiles.SectionExists(cube->ProfileName));
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

    main.close();
    EXPECT_FALSE(view->isVisible());
  }
  EXPECT_EQ(Form2_3D, nullptr);
  TIniFile ini(ProgramFile("Tamrivel.ini"));
  EXPECT_TRUE(ini.SectionExists("Form1"));
  EXPECT_TRUE(ini.SectionExists("Form2_3D"));
  ViewLink() = TViewLink{};
  Drain();
  SetProgramFolder("");
}

}  // namespace
