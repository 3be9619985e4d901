// Tests of the main window: start-up state, restored lists and settings, closing, the chart menu,
// the view's time to live, capture start failures, labels and placement.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "app/PacketParse.h"
#include "app/PacketQueue.h"
#include "app/Settings.h"
#include "app/SnifferObject.h"
#include "app/Unit1.h"
#include "app/Unit_Globals.h"
#include "platform/IniFiles.h"
#include "platform/Paths.h"
#include "tests/capture/FakeDriver.h"
#include "tests/capture/Frames.h"
#include "capture/monpcap.h"

namespace {

void WriteAll(const std::string& Name, const std::string& Text) {
  std::ofstream F(Name, std::ios::binary);
  F << Text;
}

QStringList Rows(const QListWidget* W) {
  QStringList R;
  for (int i = 0; i < W->count(); ++i) R << W->item(i)->text();
  return R;
}

// A main window in a scratch program folder, with the view's settings caught.
class Form1Fixture : public testing::Test {
 protected:
  QTemporaryDir Dir;
  int PipeThresholdSeen = -1;
  int TimeToLiveSeen = -1;
  void SetUp() override {
    SetProgramFolder(Dir.path().toStdString());
    ViewLink() = TViewLink{};
    ViewLink().SetPipeThreshold = [this](int V) { PipeThresholdSeen = V; };
    ViewLink().SetTimeToLive = [this](int V) { TimeToLiveSeen = V; };
  }
  void TearDown() override {
    ViewLink() = TViewLink{};
    SetProgramFolder("");
  }
  std::string File(const char* Name) { return ProgramFile(Name); }
};

TEST_F(Form1Fixture, StartsWithLocalTargetOnlyAndAChartOfTwentyZeros) {
  InstallFakeDriver();
  Fake().Present = false;
  TForm1 F;
  RemoveFakeDriver();
  EXPECT_EQ(Rows(F.LB_PCsToMonitor), QStringList{"local,PC"});
  EXPECT_EQ(Rows(F.LBActiveSniffers), QStringList{"---"});
  EXPECT_EQ(F.LB_PCsToMonitor->currentRow(), 0);
  EXPECT_EQ(F.LB_RemoteSendTos->count(), 0);
  ASSERT_EQ(F.ChartSeries()->count(), 20);
  for (const QPointF& P : F.ChartSeries()->points()) EXPECT_EQ(P.y(), 0.0);
  EXPECT_EQ(F.LeftAxis->max(), 5000000.0);
  EXPECT_TRUE(F.windowTitle().startsWith("Tamrivel Version "));
  const QString Log = F.OBJinfo->toPlainText();
  // Without the capture driver only the feeds work.
  EXPECT_TRUE(Log.contains("No capture driver"));
  EXPECT_EQ(F.MonitorPcap(), nullptr);
  EXPECT_FALSE(F.AdapterList->isEnabled());
  EXPECT_FALSE(F.StartLocalMonitor());
  EXPECT_EQ(Log.count("AddFileToListBox "), 2);  // neither list file exists
  EXPECT_EQ(F.ComboBox1->currentText(), "64,32,16,8");
  EXPECT_FALSE(F.BufferPanelVisible());
  // The thresholds follow the bars even when nothing was stored.
  EXPECT_EQ(PipeThresholdSeen, 1);
  EXPECT_EQ(TimeToLiveSeen, 15);
}

TEST_F(Form1Fixture, ListFilesAndStoredSettingsAreRestored) {
  WriteAll(File("Senders.txt"), "# remote servers\r\n10.0.0.5,5000\r\n");
  WriteAll(File("Receivers.txt"), "192.168.1.9,32000\n");
  WriteAll(File("CreateCubesLayout.txt"), "32,16,8,4\r\n64,32,16,8\r\n");
  WriteAll(File("Tamrivel.ini"), "[Form1]\nTrackBar2=7\nTrackBar1=30\nIgnoreARP=1\nDefaultListenPort=12345\n");
  TForm1 F;
  EXPECT_EQ(Rows(F.LB_PCsToMonitor), (QStringList{"local,PC", "10.0.0.5,5000"}));
  EXPECT_EQ(Rows(F.LBActiveSniffers), (QStringList{"---", "---"}));
  EXPECT_EQ(Rows(F.LB_RemoteSendTos), QStringList{"192.168.1.9,32000"});
  EXPECT_EQ(F.ComboBox1->count(), 2);
  EXPECT_EQ(F.ComboBox1->currentText(), "32,16,8,4");
  EXPECT_EQ(PipeThresholdSeen, 7);
  EXPECT_EQ(F.PKTcnt_Thold->text(), "7");
  EXPECT_EQ(TimeToLiveSeen, 30);
  EXPECT_EQ(F.LBLTTL->text(), "30");
  EXPECT_TRUE(F.IgnoreARPChecked());
  EXPECT_FALSE(F.IgnoreICMPChecked());
  EXPECT_EQ(F.DefaultListenPort, "12345");
}

const std::string NonAscii = "caf\xE9-\xC3\xA9-\xE2\x82\xAC-\xFF-\xA0";
const std::string NonAsciiShown = "caf\xE9-\xC3\xA9-\xE2\\x82\xAC-\xFF-\xA0";

// A selection that ends (a click on the floor, its object gone) leaves none
// of its figures in the details row.
TEST_F(Form1Fixture, AnEndedSelectionClearsTheDetailsRow) {
  TForm1 F;
  F.ShowSelectionInfo(true);
  F.ShowSelection("1.5", "-2", "5", "10.1.2.3", "LAN", "IP10_1_2_3");
  F.BandwidthLabel()->setText("bps 312,442");
  EXPECT_EQ(F.LB_IP->text().toStdString(), "IP=10.1.2.3");
  F.ShowSelectionInfo(false);
  std::vector<std::string> Row;
  for (QLabel* L : {F.LB_IP, F.Label2, F.Label3, F.LB_X, F.LB_Y, F.LB_Z, F.LB_BandWidth})
    Row.push_back(L->text().toStdString());
  EXPECT_EQ(Row, (std::vector<std::string>{"IP=", "ComputerName=", "OBJname=", "X=", "Y=", "Z=", "Pipe BW"}));
}

TEST_F(Form1Fixture, CloseWritesSettingsAndBothLogs) {
  WriteAll(File("Tamrivel.ini"), "[Form2_3D]\nGLCamera1.Position.X=1.5\n");
  {
    TForm1 F;
    F.TrackBar2->setValue(12);
    F.CheckBox1->setChecked(true);
    LogToPktData("packet data line");
    // Bytes of any value come back as they were logged (control bytes shown).
    LogToPktData(NonAscii);
    LogObjInfo(NonAscii);
    // A selected cube's info lines show in the event log's place, not in it.
    SnifferObject Cube(nullptr);
    Cube.InfoMemo = F.OBJinfoMemo();
    F.ShowSelectionInfo(true);
    Cube.AddInfoLine(InfoLineOf("selected cube's line"));
    // Handed over by the capture thread just before the close: still saved.
    std::thread([&F] {
      LogObjInfo("from the capture thread");
      TPacketInfo Info;
      Info.EtherType = 0x86DD;  // logged on its own account, and again for "LogAll"
      F.PacketEvent(nullptr, Info);
    }).join();
    F.close();
    EXPECT_FALSE(F.isVisible());
  }
  TIniFile Ini(File("Tamrivel.ini"));
  EXPECT_EQ(Ini.ReadSection("Form1"),
            (std::vector<std::string>{"Left", "Top", "Width", "Height", "DefaultListenPort", "EDT_IPStart",
                                      "EDT_NumberOfCubes", "CheckBox1", "HideBelowThreshold", "IgnoreIP", "IgnoreARP",
                                      "IgnoreICMP", "IgnoreTimeOut", "TrackBar1", "TrackBar2"}));
  EXPECT_EQ(Ini.ReadString("Form1", "DefaultListenPort", ""), "32000");
  EXPECT_EQ(Ini.ReadString("Form1", "TrackBar2", ""), "12");
  EXPECT_EQ(Ini.ReadString("Form1", "CheckBox1", ""), "1");
  EXPECT_EQ(Ini.ReadString("Form1", "IgnoreTimeOut", ""), "0");
  EXPECT_EQ(Ini.ReadString("Form1", "EDT_NumberOfCubes", ""), "255");
  EXPECT_FALSE(Ini.ValueExists("Form1", "ComboBox1"));
  EXPECT_EQ(Ini.ReadString("Form2_3D", "GLCamera1.Position.X", ""), "1.5");
  EXPECT_EQ(ReadListFile(File("PKTdata.txt")), (std::vector<std::string>{"packet data line", NonAsciiShown}));
  std::vector<std::string> Events = ReadListFile(File("OBJinfo.txt"));
  EXPECT_EQ(std::count(Events.begin(), Events.end(), NonAsciiShown), 1);
  EXPECT_EQ(std::count(Events.begin(), Events.end(), InfoLineOf("selected cube's line")), 0);
  EXPECT_EQ(
      std::count_if(Events.begin(), Events.end(), [](const std::string& L) { return L.rfind("Version ", 0) == 0; }), 1);
  EXPECT_EQ(std::count(Events.begin(), Events.end(), "from the capture thread"), 1);
  EXPECT_EQ(std::count_if(Events.begin(), Events.end(),
                          [](const std::string& L) { return L.find("PROTO_IPV6") != std::string::npos; }),
            2);
  std::string Line;
  while (PacketQueue().Take(Line)) {
  }
}

TEST_F(Form1Fixture, ChartMenuSetsTheAxisMaximumFromTheItemsNumber) {
  TForm1 F;
  QList<QAction*> Items = F.PopupMenu_MaxChartBW->actions();
  ASSERT_EQ(Items.size(), 6);
  EXPECT_EQ(Items.last()->text(), "500,000");
  Items.last()->trigger();
  EXPECT_EQ(F.LeftAxis->max(), 500000.0);
  QAction Bad("x");
  Bad.setToolTip("5e6");
  F.MNU_MAX_ChartClick(&Bad);
  EXPECT_EQ(F.LeftAxis->max(), 500000.0);
}

TEST_F(Form1Fixture, WithoutTheViewFirstActivationAndViewButtonsOnlyLog) {
  TForm1 F;
  F.FormActivate();
  F.FormActivate();
  F.Button5->click();
  F.Button2->click();
  EXPECT_EQ(F.OBJinfo->toPlainText().count("3D view not available"), 3);
  EXPECT_EQ(F.Button2->text(), "Create Cubes By IPs");
  EXPECT_FALSE(F.FirstActivation);
}

TEST_F(Form1Fixture, TheRestoredBarsGiveTheViewItsTimeToLiveAndThreshold) {
  WriteAll(File("Tamrivel.ini"), "[Form1]\nTrackBar1=60\nTrackBar2=7\n");
  ViewLink().Create = [this](TForm1*) {
    TimeToLiveSeen = 15;  // the view's creation starts with its own values
    PipeThresholdSeen = 1;
    return new QWidget;  // the main window frees it
  };
  TForm1 F;
  F.FormActivate();
  EXPECT_EQ(TimeToLiveSeen, 60);
  EXPECT_EQ(F.LBLTTL->text(), "60");
  EXPECT_EQ(PipeThresholdSeen, 7);
  EXPECT_EQ(F.PKTcnt_Thold->text(), "7");
  F.TrackBar1->setValue(31);
  EXPECT_EQ(TimeToLiveSeen, 31);
}

TEST_F(Form1Fixture, LayoutRunTogglesItsButtonAndASecondClickStopsIt) {
  bool Stop = false;
  int Cubes = 0;
  std::string Args;
  ViewLink().SetStopCubeLayout = [&Stop](bool V) { Stop = V; };
  ViewLink().LoadPCinfoToArry = [] {};
  TForm1 F;
  ViewLink().CreateCubesByIPs = [&](const std::string& A, const std::string& B, const std::string& C) {
    Args = A + "|" + B + "|" + C;
    EXPECT_EQ(F.Button2->text(), "STOP Create Cubes By IPs");
    while (!Stop && Cubes < 1000) {
      if (++Cubes == 3) F.Button2->click();  // the user's second click during the run
    }
  };
  F.Button2->click();
  EXPECT_EQ(Cubes, 3);
  EXPECT_EQ(Args, "192.168.4.5|255|64,32,16,8");
  EXPECT_TRUE(F.IgnoreTimeOut->isChecked());
  EXPECT_EQ(F.Button2->text(), "Create Cubes By IPs");
}

TEST_F(Form1Fixture, LocalStartWithoutAnAdapterOrOneThatCannotBeOpenedLeavesCaptureOff) {
  InstallFakeDriver();
  const std::string Names("fake0\0\0Fake adapter A\0\0", 23);
  Fake().NameBuffer.assign(Names.begin(), Names.end());
  Fake().Adapters = {};  // listed, but opening fails
  {
    TForm1 F;
    EXPECT_TRUE(F.OBJinfo->toPlainText().contains("Capture DriverVersion: Fake driver 1.0"));
    ASSERT_EQ(Rows(F.AdapterList), QStringList{"Fake adapter A"});
    F.AdapterList->setCurrentRow(-1);
    F.doMonitor->click();
    EXPECT_FALSE(F.OBJinfo->toPlainText().contains("Cannot Open Adapter"));
    F.AdapterList->setCurrentRow(0);
    F.doMonitor->click();
    EXPECT_FALSE(F.MonitoringActive);
    EXPECT_EQ(F.doMonitor->text(), "Start Monitor");
    EXPECT_TRUE(F.OBJinfo->toPlainText().contains("Cannot Open Adapter \"fake0\""));
  }
  RemoveFakeDriver();
}

TEST_F(Form1Fixture, SelectionLabelsShowFeedTextAsItIsAndCutLong) {
  TForm1 F;
  const std::string Html = "9.9.9.9.<h1><font color=red>HACKED</font></h1>";
  F.ShowSelection("1", "2", "3", Html, "IP151587072", std::string(70000, 'n'));
  for (QLabel* L : F.findChildren<QLabel*>())
    EXPECT_EQ(L->textFormat(), Qt::PlainText) << L->objectName().toStdString();
  EXPECT_EQ(F.LB_IP->text().toStdString(), "IP=" + Html);
  // Markup would make the line a heading: as text it is one line of the label's font.
  EXPECT_LE(F.LB_IP->sizeHint().height(), F.LB_X->sizeHint().height());
  const std::string Name = F.Label3->text().toStdString();
  EXPECT_EQ(Name, "OBJname=" + std::string(MaxShownText, 'n') + " ...(cut, 69600 more bytes)");
}

// Two adapters; the second one's double-click reads its addresses, the start
// button opens it, frames flow into the queue and the logs, the button stops it.
TEST_F(Form1Fixture, LocalCaptureOfTheChosenAdapterStartsFromTheWindowDeliversFramesAndStops) {
  InstallFakeDriver();
  const std::string Names("fake0\0fake1\0\0Fake adapter A\0Fake adapter B\0\0", 44);
  Fake().NameBuffer.assign(Names.begin(), Names.end());
  Fake().Adapters = {"fake0", "fake1"};
  std::vector<uint8_t> Area(3840, 0);  // one address entry: address, mask, broadcast
  const uint32_t Address[3] = {frames::Ip("10.1.2.3"), frames::Ip("255.0.0.0"), frames::Ip("10.255.255.255")};
  for (int K = 0; K < 3; ++K) std::memcpy(&Area[4 + K * 128], &Address[K], 4);
  Fake().AddrBuffer = Area;
  Fake().AddrCount = 1;
  std::string Line;
  while (PacketQueue().Take(Line)) {
  }
  {
    TForm1 F;
    F.CheckBox1->setChecked(true);  // every frame's line into the event log too
    ASSERT_EQ(Rows(F.AdapterList), (QStringList{"Fake adapter A", "Fake adapter B"}));
    F.AdapterList->setCurrentRow(1);
    emit F.AdapterList->itemDoubleClicked(F.AdapterList->item(1));
    EXPECT_EQ(F.AdapterIndex, 1);
    EXPECT_EQ(Fake().AddrAdapter, "fake1");
    EXPECT_EQ(Rows(F.MonIpList), QStringList{"10.1.2.3"});
    EXPECT_EQ(F.MonIpList->currentRow(), 0);

    F.doMonitor->click();
    ASSERT_TRUE(F.MonitoringActive) << F.OBJinfo->toPlainText().toStdString();
    EXPECT_EQ(F.doMonitor->text(), "Stop Monitor");
    EXPECT_EQ(F.MonitorPcap()->MonAdapter(), "fake1");
    EXPECT_EQ(F.MonitorPcap()->Addr(), "10.1.2.3");
    EXPECT_EQ(Fake().Opens, 1);

    frames::TFrameSpec Out, In;
    Out.SrcIp = "10.1.2.3";
    Out.DstIp = "10.9.9.9";
    In.SrcIp = "10.9.9.9";
    In.DstIp = "10.1.2.3";
    In.SrcPort = 53;
    std::vector<uint8_t> Block;
    frames::AppendRecord(Block, frames::TcpFrame(Out), 1700000000, 0);
    frames::AppendRecord(Block, frames::UdpFrame(In), 1700000000, 1000);
    Fake().PushBlock(Block);
    auto Logged = [&F] { return F.OBJinfo->toPlainText().split('\n').filter("\t10.9.9.9\t"); };
    for (int I = 0; I < 1000 && Logged().size() < 2; ++I) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const QStringList Lines = Logged();
    ASSERT_EQ(Lines.size(), 2);
    EXPECT_TRUE(Lines[0].endsWith("\t10.1.2.3\t1234\t10.9.9.9\t80\tTCP\tTCP-IP")) << Lines[0].toStdString();
    EXPECT_TRUE(Lines[1].endsWith("\t10.9.9.9\t53\t10.1.2.3\t80\tUDP\tTCP-IP")) << Lines[1].toStdString();
    ASSERT_TRUE(PacketQueue().Take(Line));
    EXPECT_EQ(QString::fromStdString(Line), Lines[0]);
    ASSERT_TRUE(PacketQueue().Take(Line));
    EXPECT_EQ(QString::fromStdString(Line), Lines[1]);

    F.doMonitor->click();
    EXPECT_FALSE(F.MonitoringActive);
    EXPECT_FALSE(F.MonitorPcap()->Connected());
    EXPECT_EQ(F.doMonitor->text(), "Start Monitor");
    EXPECT_EQ(Fake().Closes, 1);
  }
  RemoveFakeDriver();
}

TEST_F(Form1Fixture, AFileThatCannotBeSavedIsToldAndTheOthersAreWritten) {
  QDir(Dir.path()).mkdir("OBJinfo.txt");  // a folder in the way
  testing::internal::CaptureStderr();
  std::vector<std::string> Failures;
  {
    TForm1 F;
    LogToPktData("packet data line");
    F.close();
    Failures = F.SaveFailures();
  }
  const std::string Err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(Failures.size(), 1u);
  EXPECT_NE(Failures[0].find("OBJinfo.txt"), std::string::npos);
  EXPECT_NE(Err.find("tamrivel: not saved: "), std::string::npos);
  EXPECT_NE(Err.find("OBJinfo.txt"), std::string::npos);
  EXPECT_EQ(ReadListFile(File("PKTdata.txt")).at(0), "packet data line");
  EXPECT_TRUE(TIniFile(File("Tamrivel.ini")).SectionExists("Form1"));
}

TEST_F(Form1Fixture, PlacementStaysOnTheScreenWhateverTheFilesHold) {
  WriteAll(File("CreateCubesLayout.txt"), std::string(1 << 20, '8') + "\n64,32,16,8\n");
  WriteAll(File("Tamrivel.ini"), "[Form1]\nLeft=-40000\nTop=0\nWidth=32767\nHeight=nan\n");
  const QRect Screen = QGuiApplication::primaryScreen()->availableGeometry();
  {
    TForm1 F;
    F.show();
    QCoreApplication::processEvents();
    EXPECT_TRUE(Screen.contains(F.geometry())) << F.width() << "x" << F.height();
    F.close();
  }
  TIniFile Ini(File("Tamrivel.ini"));
  EXPECT_LE(Ini.ReadInteger("Form1", "Width", 0), Screen.width());
  EXPECT_GE(Ini.ReadInteger("Form1", "Left", -1), Screen.left());
  EXPECT_GT(Ini.ReadInteger("Form1", "Height", 0), 0);
}

}  // namespace
