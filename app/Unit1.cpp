// The main window: its controls, settings and logs, local capture start and stop, remote capture
// targets, commands and the threshold sliders.
#include "app/Unit1.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QStackedWidget>
#include <QStyle>
#include <QTabWidget>
#include <QTextOption>
#include <QTimer>
#include <QVBoxLayout>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "app/PacketLine.h"
#include "app/PacketQueue.h"
#include "app/RemoteControl.h"
#include "app/Settings.h"
#include "app/Unit_Globals.h"
#include "capture/Packet32.h"
#include "capture/monpcap.h"
#include "platform/Timing.h"
#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

TForm1* Form1 = nullptr;

TViewLink& ViewLink() {
  static TViewLink Link;
  return Link;
}

namespace {

QString Q(const std::string& S) { return BytesToQ(S); }
std::string S(const QString& Text) { return QToBytes(Text); }

// A label of one selection field ("OBJname=IP10_0_3"): drawn whole where it
// fits, else cut with "..." and its whole text on hover. It may be made
// narrower than its text.
class TFieldLabel : public QLabel {
 public:
  TFieldLabel(const QString& Hint, QWidget* Parent) : QLabel(Hint, Parent), Hint_(Hint) { setToolTip(Hint); }
  QSize minimumSizeHint() const override { return QSize(0, QLabel::minimumSizeHint().height()); }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter Painter(this);
    const QRect Area = contentsRect();
    const QString Shown = fontMetrics().elidedText(text(), Qt::ElideRight, Area.width());
    const QString Tip = Shown == text() ? Hint_ : text();
    if (toolTip() != Tip) setToolTip(Tip);
    style()->drawItemText(&Painter, Area, Qt::AlignLeft | Qt::AlignVCenter, palette(), isEnabled(), Shown,
                          foregroundRole());
  }

 private:
  QString Hint_;
};

// A packet line in columns: a tab stop after the widest text of each of its
// first ten fields and one blank (time, the two MACs, EtherType, length,
// source address and port, destination address and port, protocol), in
// characters of the memo's fixed font; past them every TabColumn characters.
// Fields of one kind line up from line to line, the longest line fits the
// main window's default width, and as stops fall on whole characters, a
// field longer than its column still ends at least one character before
// the next field ("192.168.1.1" and "443" never touch).
constexpr int PacketColumns[] = {12, 17, 17, 4, 5, 15, 5, 15, 5, 6};
constexpr int TabColumn = 8;
void SetPacketColumns(QPlainTextEdit* Memo) {
  const qreal Char = QFontMetricsF(Memo->font()).horizontalAdvance(QLatin1Char('0'));
  QTextOption Option = Memo->document()->defaultTextOption();
  QList<QTextOption::Tab> Tabs;
  int At = 0;
  for (int Width : PacketColumns) {
    At += Width + 1;
    Tabs.append(QTextOption::Tab(At * Char, QTextOption::LeftTab));
  }
  Option.setTabs(Tabs);
  Option.setTabStopDistance(TabColumn * Char);
  Memo->document()->setDefaultTextOption(Option);
}

std::string CurrentText(const QListWidget* List) {
  const QListWidgetItem* Item = List->currentItem();
  return Item ? S(Item->text()) : std::string();
}

// The program's version, kept as numbers and turned into text when shown.
constexpr int VersionParts[3] = {1, 2, 0};

const char* const MonitorStart = "Start Monitor";
const char* const MonitorStop = "Stop Monitor";
const char* const LayoutStart = "Create Cubes By IPs";
const char* const LayoutStop = "STOP Create Cubes By IPs";
const char* const NoView = "3D view not available";
// Property of a list box: the routine its double-click runs.
const char* const DblClickRoutine = "DblClickRoutine";

template <class T>
T* Named(T* W, const char* Name) {
  W->setObjectName(Name);
  return W;
}

}  // namespace

std::string VersionText1() {
  return "Version " + std::to_string(VersionParts[0]) + "." + std::to_string(VersionParts[1]) + "." +
         std::to_string(VersionParts[2]);
}

std::string VersionText2() { return std::string("Build ") + __DATE__; }

TForm1::TForm1(QWidget* Parent) : QWidget(Parent) {
  setObjectName("Form1");
  Form1 = this;
  BuildControls();
  SetObjInfoMemo(OBJinfo);
  SetPktDataMemo(PKTdata);
  SetLogAllCheckBox(CheckBox1);
  Remote_ = std::make_unique<TRemoteControl>(LB_PCsToMonitor, AdapterList, MonIpList, LBActiveSniffers);
  Guard("FormCreate", [this] { FormCreate(); });
}

TForm1::~TForm1() {
  try {
    if (MonitoringActive) StopLocalMonitor();
  } catch (...) {
  }
  // The 3D window and its listener log into this window's memos: it goes first.
  delete Form2_3D_.data();
  Remote_.reset();
  MonitorPcap_.reset();
  if (Form1 == this) Form1 = nullptr;
}

void TForm1::Guard(const char* Routine, const std::function<void()>& Work) {
  try {
    Work();
  } catch (const std::exception& E) {
    LogToPktData(std::string(Routine) + " " + E.what());
  } catch (...) {
    LogToPktData(std::string(Routine) + " unknown error");
  }
}

void TForm1::BuildControls() {
  setWindowTitle("Tamrivel");
  // Wide enough for a packet line of usual fields in the Sniffer tab's memo.
  resize(933, 640);
  auto* Root = new QVBoxLayout(this);
  UserFilesNotice = Named(new QLabel(this), "UserFilesNotice");
  UserFilesNotice->setWordWrap(true);
  UserFilesNotice->setStyleSheet("background-color: #fff3b0; color: black; padding: 4px;");
  UserFilesNotice->hide();
  Root->addWidget(UserFilesNotice);

  // Selection details, counts, filters and thresholds above the pages.
  auto* Top = new QGridLayout;
  auto Label = [this](const char* Name, const char* Hint) {
    auto* L = Named(new QLabel(Hint, this), Name);
    L->setToolTip(Hint);
    L->setMinimumWidth(110);
    return L;
  };
  // The selection fields on a row of their own, as wide as their longest
  // usual values (so they stay in place as the values change): an address,
  // a pipe's name (the longest object name), a position; the profile or
  // computer name takes the rest.
  auto Field = [this](const char* Name, const char* Hint, const char* Widest) {
    auto* L = Named(new TFieldLabel(Hint, this), Name);
    L->setProperty("Hint", QString(Hint));
    if (Widest) L->setFixedWidth(L->fontMetrics().horizontalAdvance(Widest) + 2 * L->margin() + 2);
    return L;
  };
  LB_IP = Field("LB_IP", "IP=", "IP=255.255.255.255");
  Label2 = Field("Label2", "ComputerName=", nullptr);
  Label3 = Field("Label3", "OBJname=", "OBJname=MYC00000000000000000000");
  LB_X = Field("LB_X", "X=", "X=-000.00000");
  LB_Y = Field("LB_Y", "Y=", "Y=-000.00000");
  LB_Z = Field("LB_Z", "Z=", "Z=-000.00000");
  auto* Details = new QHBoxLayout;
  Root->addLayout(Details);
  for (QLabel* L : {LB_IP, Label2, Label3, LB_X, LB_Y, LB_Z}) Details->addWidget(L);
  // The selection's bandwidth below, beside the totals.
  LB_BandWidth = Field("LB_BandWidth", "Pipe BW", "bps 000,000,000");
  Root->addLayout(Top);
  LBL_NOPCs = Label("LBL_NOPCs", "Cubes");
  LBL_NOgroups = Label("LBL_NOgroups", "Groups");
  LBL_NOconnections = Label("LBL_NOconnections", "Pipes");
  LB_TotalBandwidth = Label("LB_TotalBandwidth", "Bandwidth");
  Label4 = Named(new QLabel("0", this), "Label4");
  Panel1 = Named(new QLabel("BUFFER", this), "Panel1");
  Panel1->setAlignment(Qt::AlignCenter);
  Panel1->setStyleSheet("background-color: red; color: white;");
  Panel1->hide();
  QWidget* Counts[] = {LBL_NOPCs, LBL_NOgroups, LBL_NOconnections, LB_TotalBandwidth, Label4, Panel1};
  for (int i = 0; i < 6; ++i) Top->addWidget(Counts[i], 1, i);
  Top->addWidget(LB_BandWidth, 1, 6);

  IgnoreIP = Named(new QCheckBox("Ignore IP", this), "IgnoreIP");
  IgnoreARP = Named(new QCheckBox("Ignore ARP", this), "IgnoreARP");
  IgnoreICMP = Named(new QCheckBox("Ignore ICMP", this), "IgnoreICMP");
  IgnoreTimeOut = Named(new QCheckBox("IgnoreTimeOut", this), "IgnoreTimeOut");
  HideBelowThreshold = Named(new QCheckBox("Hide Pipes Below packet count", this), "HideBelowThreshold");
  QCheckBox* Filters[] = {IgnoreIP, IgnoreARP, IgnoreICMP, IgnoreTimeOut, HideBelowThreshold};
  for (int i = 0; i < 5; ++i) Top->addWidget(Filters[i], 2, i);

  Label1 = Named(new QLabel("Time To Live", this), "Label1");
  TrackBar1 = Named(new QSlider(Qt::Horizontal, this), "TrackBar1");
  TrackBar1->setRange(1, 120);
  TrackBar1->setValue(15);
  LBLTTL = Named(new QLabel("1", this), "LBLTTL");
  TrackBar2 = Named(new QSlider(Qt::Horizontal, this), "TrackBar2");
  TrackBar2->setRange(1, 50);
  PKTcnt_Thold = Named(new QLabel("1", this), "PKTcnt_Thold");
  Top->addWidget(Label1, 3, 0);
  Top->addWidget(TrackBar1, 3, 1, 1, 2);
  Top->addWidget(LBLTTL, 3, 3);
  Top->addWidget(TrackBar2, 3, 4, 1, 2);
  Top->addWidget(PKTcnt_Thold, 3, 6);

  Button3 = Named(new QPushButton("Save Object", this), "Button3");
  Button6 = Named(new QPushButton("Clear", this), "Button6");
  Button5 = Named(new QPushButton("Aim Camera", this), "Button5");
  Button7 = Named(new QPushButton("Reset Camera", this), "Button7");
  QPushButton* Buttons[] = {Button3, Button6, Button5, Button7};
  for (int i = 0; i < 4; ++i) Top->addWidget(Buttons[i], 4, i);

  PageControl1 = Named(new QTabWidget(this), "PageControl1");
  Root->addWidget(PageControl1, 1);
  const QFont Fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);

  // "Main": the packet-data log.
  auto* MainPage = new QWidget;
  auto* MainLayout = new QVBoxLayout(MainPage);
  PKTdata = Named(new QPlainTextEdit(MainPage), "PKTdata");
  PKTdata->setReadOnly(true);
  PKTdata->setFont(Fixed);
  SetPacketColumns(PKTdata);
  MainLayout->addWidget(PKTdata);
  PageControl1->addTab(MainPage, "Main");

  // "Sniffer": targets, adapters, addresses, feed destinations, status, event log.
  auto* SnifferPage = new QWidget;
  auto* SnifferLayout = new QGridLayout(SnifferPage);
  auto List = [SnifferPage](const char* Name) { return Named(new QListWidget(SnifferPage), Name); };
  LB_PCsToMonitor = List("LB_PCsToMonitor");
  LB_PCsToMonitor->addItem("local,PC");
  LBActiveSniffers = List("LBActiveSniffers");
  AdapterList = List("AdapterList");
  AdapterList->setEnabled(false);
  MonIpList = List("MonIpList");
  LB_RemoteSendTos = List("LB_RemoteSendTos");
  doMonitor = Named(new QPushButton(MonitorStart, SnifferPage), "doMonitor");
  CheckBox1 = Named(new QCheckBox("LogAll", SnifferPage), "CheckBox1");
  Button1 = Named(new QPushButton("Remote Settings", SnifferPage), "Button1");
  ProgressBar1 = Named(new QProgressBar(SnifferPage), "ProgressBar1");
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  // The event log, and in its place while an object is selected that
  // object's info lines; the event log goes on behind them.
  OBJinfoPages = Named(new QStackedWidget(SnifferPage), "OBJinfoPages");
  OBJinfo = Named(new QPlainTextEdit(OBJinfoPages), "OBJinfo");
  OBJinfo->setReadOnly(true);
  OBJinfo->setFont(Fixed);
  OBJinfoSelection = Named(new QPlainTextEdit(OBJinfoPages), "OBJinfoSelection");
  OBJinfoSelection->setReadOnly(true);
  OBJinfoSelection->setFont(Fixed);
  // Packet lines stay one row each, in columns; a long one scrolls sideways
  // rather than breaking inside a field (a MAC address at a "-").
  for (QPlainTextEdit* Memo : {OBJinfo, OBJinfoSelection}) {
    SetPacketColumns(Memo);
    Memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  }
  OBJinfoPages->addWidget(OBJinfo);
  OBJinfoPages->addWidget(OBJinfoSelection);
  OBJinfoPages->setCurrentWidget(OBJinfo);
  SnifferLayout->addWidget(LB_PCsToMonitor, 0, 0);
  SnifferLayout->addWidget(LBActiveSniffers, 0, 1);
  SnifferLayout->addWidget(AdapterList, 0, 2);
  SnifferLayout->addWidget(MonIpList, 0, 3);
  SnifferLayout->addWidget(LB_RemoteSendTos, 0, 4);
  SnifferLayout->addWidget(doMonitor, 1, 0);
  SnifferLayout->addWidget(CheckBox1, 1, 1);
  SnifferLayout->addWidget(Button1, 1, 2);
  SnifferLayout->addWidget(ProgressBar1, 1, 3, 1, 2);
  SnifferLayout->addWidget(OBJinfoPages, 2, 0, 1, 5);
  SnifferLayout->setRowStretch(2, 1);
  PageControl1->addTab(SnifferPage, "Sniffer");

  // "(TEST) Layout Cubes".
  auto* TestPage = new QWidget;
  auto* TestLayout = new QGridLayout(TestPage);
  EDT_IPStart = Named(new QLineEdit("192.168.4.5", TestPage), "EDT_IPStart");
  EDT_NumberOfCubes = Named(new QLineEdit("255", TestPage), "EDT_NumberOfCubes");
  ComboBox1 = Named(new QComboBox(TestPage), "ComboBox1");
  ComboBox1->setEditable(true);
  // Sized by a few characters, not by its rows: a huge layout row must not
  // widen the window.
  ComboBox1->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  ComboBox1->setMinimumContentsLength(16);
  ComboBox1->setEditText("64,32,16,8");
  Button2 = Named(new QPushButton(LayoutStart, TestPage), "Button2");
  Button4 = Named(new QPushButton("Create Cubes for IP Blocks Defs", TestPage), "Button4");
  TestLayout->addWidget(EDT_IPStart, 0, 0);
  TestLayout->addWidget(EDT_NumberOfCubes, 0, 1);
  TestLayout->addWidget(ComboBox1, 0, 2);
  TestLayout->addWidget(Button2, 1, 0);
  TestLayout->addWidget(Button4, 1, 1);
  TestLayout->setRowStretch(2, 1);
  PageControl1->addTab(TestPage, "(TEST) Layout Cubes");

  PageControl1->addTab(new QWidget, "");

  // "Chart": bits per second over the last 20 checks.
  auto* ChartPage = new QWidget;
  auto* ChartLayout = new QVBoxLayout(ChartPage);
  auto* Chart = new QChart;
  Chart->setTitle("Bits per second");
  Chart->legend()->hide();
  Series1 = new QLineSeries(Chart);
  Series1->setObjectName("Series1");
  QPen Pen(Qt::red);
  Pen.setWidth(2);
  Series1->setPen(Pen);
  Chart->addSeries(Series1);
  auto* Bottom = new QValueAxis(Chart);
  Bottom->setRange(0, 19);
  Bottom->setLabelFormat("%d");
  LeftAxis = new QValueAxis(Chart);
  LeftAxis->setRange(0, 5000000);
  LeftAxis->setLabelFormat("%.0f");
  Chart->addAxis(Bottom, Qt::AlignBottom);
  Chart->addAxis(LeftAxis, Qt::AlignLeft);
  Series1->attachAxis(Bottom);
  Series1->attachAxis(LeftAxis);
  Chart1 = Named(new QChartView(Chart, ChartPage), "Chart1");
  ChartLayout->addWidget(Chart1);
  PageControl1->addTab(ChartPage, "Chart");

  PopupMenu_MaxChartBW = Named(new QMenu(this), "PopupMenu_MaxChartBW");
  const char* Maxima[][2] = {{"5,000,000", "5000000"}, {"2,500,000", "2500000"}, {"2,000,000", "2000000"},
                             {"1,500,000", "1500000"}, {"1,000,000", "1000000"}, {"500,000", "500000"}};
  for (auto& M : Maxima) {
    QAction* A = PopupMenu_MaxChartBW->addAction(M[0]);
    A->setToolTip(M[1]);
  }
  Chart1->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(Chart1, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& At) { PopupMenu_MaxChartBW->popup(Chart1->mapToGlobal(At)); });
  connect(PopupMenu_MaxChartBW, &QMenu::triggered, this, [this](QAction* A) { MNU_MAX_ChartClick(A); });

  LB_FileLoader = Named(new QListWidget(this), "LB_FileLoader");
  LB_FileLoader->hide();
  // Labels show feed and file text (addresses, names): as it is, never as markup.
  for (QLabel* L : findChildren<QLabel*>()) L->setTextFormat(Qt::PlainText);

  SetComponentOrder(this, {"EDT_IPStart", "EDT_NumberOfCubes", "CheckBox1", "HideBelowThreshold", "IgnoreIP",
                           "IgnoreARP", "IgnoreICMP", "IgnoreTimeOut", "TrackBar1", "TrackBar2"});

  // Handlers; each one catches and logs what it raises.
  auto On = [this](const char* Routine, void (TForm1::*Handler)()) {
    return [this, Routine, Handler] { Guard(Routine, [this, Handler] { (this->*Handler)(); }); };
  };
  connect(doMonitor, &QPushButton::clicked, this, On("doMonitorClick", &TForm1::doMonitorClick));
  connect(TrackBar1, &QSlider::valueChanged, this, On("TrackBar1Change", &TForm1::TrackBar1Change));
  connect(TrackBar2, &QSlider::valueChanged, this, On("TrackBar2Change", &TForm1::TrackBar2Change));
  connect(Button1, &QPushButton::clicked, this, On("Button1Click", &TForm1::Button1Click));
  connect(Button2, &QPushButton::clicked, this, On("Button2Click", &TForm1::Button2Click));
  connect(Button3, &QPushButton::clicked, this, On("Button3Click", &TForm1::Button3Click));
  connect(Button4, &QPushButton::clicked, this, On("Button4Click", &TForm1::Button4Click));
  connect(Button5, &QPushButton::clicked, this, On("Button5Click", &TForm1::Button5Click));
  connect(Button6, &QPushButton::clicked, this, On("Button6Click", &TForm1::Button6Click));
  connect(Button7, &QPushButton::clicked, this, On("Button7Click", &TForm1::Button7Click));
  connect(LB_PCsToMonitor, &QListWidget::itemDoubleClicked, this,
          On("LB_PCsToMonitorDblClick", &TForm1::LB_PCsToMonitorDblClick));
  connect(AdapterList, &QListWidget::itemDoubleClicked, this, On("AdapterListDblClick", &TForm1::AdapterListDblClick));
  connect(LBActiveSniffers, &QListWidget::itemDoubleClicked, this,
          On("LBActiveSniffersDblClick", &TForm1::LBActiveSniffersDblClick));
  connect(LB_RemoteSendTos, &QListWidget::itemDoubleClicked, this,
          On("LB_RemoteSendTosDblClick", &TForm1::LB_RemoteSendTosDblClick));
  // While a command sequence runs, the lists it reads and fills take no
  // clicks or keys (see eventFilter).
  const std::pair<QListWidget*, const char*> Lists[] = {{LB_PCsToMonitor, "LB_PCsToMonitorDblClick"},
                                                        {AdapterList, "AdapterListDblClick"},
                                                        {MonIpList, nullptr},
                                                        {LBActiveSniffers, "LBActiveSniffersDblClick"},
                                                        {LB_RemoteSendTos, "LB_RemoteSendTosDblClick"}};
  for (const auto& [List, Routine] : Lists) {
    List->setProperty(DblClickRoutine, Routine ? QString(Routine) : QString());
    List->installEventFilter(this);
    List->viewport()->installEventFilter(this);
  }
}

bool TForm1::eventFilter(QObject* Watched, QEvent* E) {
  if (!Busy_) return QWidget::eventFilter(Watched, E);
  switch (E->type()) {
    case QEvent::MouseButtonDblClick: {
      // Refused as busy, as the handler would refuse it; the press before it
      // was swallowed too, so no highlight moved off the rows in use.
      const QObject* List = Watched->property(DblClickRoutine).isValid() ? Watched : Watched->parent();
      const QString Routine = List ? List->property(DblClickRoutine).toString() : QString();
      if (!Routine.isEmpty()) LogBusy(S(Routine));
      return true;
    }
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseMove:
    case QEvent::KeyPress:
    case QEvent::KeyRelease: return true;
    default: return QWidget::eventFilter(Watched, E);
  }
}

void TForm1::FormCreate() {
  FirstActivation = true;
  std::srand(unsigned(std::time(nullptr)));
  Guard("LoadSettingsAndLayouts", [this] { LoadSettingsAndLayouts(); });
  setWindowTitle(Q("Tamrivel " + VersionText1() + " " + VersionText2()));
  LogObjInfo(VersionText1());
  LogObjInfo(VersionText2());
  MonitoringActive = false;
  AdapterIndex = 0;
  IPIndex = 0;

  Series1->clear();
  for (int i = 0; i < 20; ++i) Series1->append(i, 0);

  if (LoadPacketDll()) {
    MonitorPcap_ = std::make_unique<TMonitorPcap>(nullptr);
    LogObjInfo("Capture DriverVersion: " + MonitorPcap_->DriverVersion());
    MonitorPcap_->OnPacketEvent = [this](TObject* Sender, TPacketInfo Info) { PacketEvent(Sender, std::move(Info)); };
    MonitorPcap_->OnDropped = [](TObject*, int64_t NewDrops, int64_t TotalDrops) {
      LogToPktData("Captured frames dropped by the driver: " + std::to_string(NewDrops) + " (" +
                   std::to_string(TotalDrops) + " since capture start)");
    };
    TStrings* Desc = MonitorPcap_->AdapterDescList();
    AdapterList->clear();
    for (int i = 0; i < Desc->Count(); ++i) AdapterList->addItem(Q(Desc->Get(i)));
    if (AdapterList->count() > 0) {
      AdapterList->setCurrentRow(0);
      AdapterList->setEnabled(true);
      AdapterIPs_ = std::make_unique<TStringList>();
      AdapterMasks_ = std::make_unique<TStringList>();
      AdapterBroadcasts_ = std::make_unique<TStringList>();
    }
  } else {
    LogObjInfo("No capture driver");
  }

  AddFileToListBox(ProgramFile("Senders.txt"), LB_PCsToMonitor, LB_FileLoader);
  AddFileToListBox(ProgramFile("Receivers.txt"), LB_RemoteSendTos, LB_FileLoader);
  LBActiveSniffers->clear();
  for (int i = 0; i < LB_PCsToMonitor->count(); ++i) LBActiveSniffers->addItem("---");
  if (LB_PCsToMonitor->count() > 0) {
    LB_PCsToMonitor->setCurrentRow(0);
    LB_PCsToMonitorDblClick();
  }
  QueryPerformanceFrequency(PerfFrequency);
}

void TForm1::LoadSettingsAndLayouts() {
  DefaultListenPort = LoadFormSettings(this, ProgramFile("Tamrivel.ini"));
  // The restored positions decide the thresholds even when they equal the
  // bars' first positions (which would not signal a change).
  TrackBar1Change();
  TrackBar2Change();
  std::vector<std::string> Layouts;
  try {
    Layouts = ReadListFile(ProgramFile("CreateCubesLayout.txt"));
  } catch (const std::exception& E) {
    LogObjInfo(std::string("LoadSettingsAndLayouts ") + E.what());
    return;
  }
  if (Layouts.empty()) {
    LogObjInfo("LoadSettingsAndLayouts CreateCubesLayout.txt is empty");
    return;
  }
  ComboBox1->clear();
  for (const std::string& L : Layouts) ComboBox1->addItem(Q(L));
  ComboBox1->setEditText(Q(Layouts[0]));
}

std::vector<std::string> TForm1::SaveSettingsAndLogs() {
  // Each file on its own: one that cannot be written does not stop the others.
  std::vector<std::string> Failures;
  auto Save = [&Failures](const std::function<void()>& Work) {
    try {
      Work();
    } catch (const std::exception& E) {
      Failures.push_back(E.what());
      LogToPktData(std::string("SaveSettingsAndLogs ") + E.what());
    }
  };
  Save([this] { SaveFormSettings(this, ProgramFile("Tamrivel.ini"), &DefaultListenPort); });
  Save([&] { SaveLinesToFile(ProgramFile("OBJinfo.txt"), MemoLines(OBJinfo)); });
  Save([&] { SaveLinesToFile(ProgramFile("PKTdata.txt"), MemoLines(PKTdata)); });
  return Failures;
}

bool TForm1::event(QEvent* E) {
  if (E->type() == QEvent::WindowActivate) Guard("FormActivate", [this] { FormActivate(); });
  return QWidget::event(E);
}

void TForm1::FormActivate() {
  if (!FirstActivation) return;
  FirstActivation = false;
  TViewLink& Link = ViewLink();
  if (!Link.Create) {
    LogObjInfo(NoView);
    return;
  }
  Form2_3D_ = Link.Create(this);
  if (!Form2_3D_) {
    LogObjInfo(NoView);
    return;
  }
  // The view starts with its own Time To Live; the bars restored from the
  // settings give the values it works with.
  TrackBar1Change();
  TrackBar2Change();
  // Showing it activates it (its first activation starts its frame clock).
  Form2_3D_->show();
  Form2_3D_->activateWindow();
}

void TForm1::closeEvent(QCloseEvent* E) {
  if (Busy_) {
    // A command sequence or a layout run is pumping messages: let it return
    // first, then close.
    CloseRequested_ = true;
    Remote_->CancelWait();
    if (ViewLink().SetStopCubeLayout) ViewLink().SetStopCubeLayout(true);
    E->ignore();
    return;
  }
  const bool First = !Closed_;
  Guard("FormClose", [this] { FormClose(); });
  if (First && !SaveFailures_.empty()) {
    // The logs that would tell are among what was lost: say it elsewhere.
    std::string Text = "Settings and logs were not all saved:";
    for (const std::string& F : SaveFailures_) {
      std::fprintf(stderr, "tamrivel: not saved: %s\n", ShownText(F).c_str());
      Text += "\n" + ShownText(F);
    }
    if (E->spontaneous()) {
      QMessageBox Box(QMessageBox::Warning, "Tamrivel", Q(Text), QMessageBox::Ok, this);
      Box.setTextFormat(Qt::PlainText);  // file names and messages, never markup
      Box.exec();
    }
  }
  E->accept();
  // Even when a close step failed, the program may end now.
  if (First) emit Closed();
}

void TForm1::FormClose() {
  if (Closed_) return;
  Closed_ = true;
  if (MonitoringActive) StopLocalMonitor();
  if (Form2_3D_) Form2_3D_->close();
  // What the capture thread handed over last, and the counts of repeated
  // failures still held, belong in the saved logs.
  DrainHandOver();
  FlushLogCounts();
  SaveFailures_ = SaveSettingsAndLogs();
}

// ---------------------------------------------------------------------------
// Local capture

void TForm1::PacketEvent(TObject*, TPacketInfo PacketInfo) {
  // Capture thread: format and enqueue here; logging (by LogIt and "LogAll")
  // and the tick are carried out on the main thread, in batches.
  bool LogIt = false;
  std::string Line = MakePacketLine(std::move(PacketInfo), LogIt);
  QueLoad(Line);
  HandOverPacketLine(std::move(Line), LogIt);
}

void TForm1::StopLocalMonitor() {
  if (MonitorPcap_) MonitorPcap_->StopMonitor();
  MonitoringActive = false;
  doMonitor->setText(MonitorStart);
}

void TForm1::doMonitorClick() {
  if (MonitoringActive) {
    StopLocalMonitor();
  } else if (StartLocalMonitor()) {
    MonitoringActive = true;
    doMonitor->setText(MonitorStop);
  }
}

bool TForm1::StartLocalMonitor() {
  if (!MonitorPcap_ || !AdapterIPs_ || AdapterList->currentRow() < 0) return false;
  TStrings* Names = MonitorPcap_->AdapterNameList();
  const int Row = AdapterList->currentRow();
  if (Row >= Names->Count()) return false;
  MonitorPcap_->SetMonAdapter(Names->Get(Row));
  MonitorPcap_->GetIPAddresses(MonitorPcap_->MonAdapter(), AdapterIPs_.get(), AdapterMasks_.get(),
                               AdapterBroadcasts_.get());
  MonitorPcap_->SetAddr(CurrentText(MonIpList));
  MonitorPcap_->SetAddrMask("");
  MonitorPcap_->SetIgnoreData(false);
  MonitorPcap_->SetIgnoreLAN(false);
  MonitorPcap_->SetIgnoreNonIP(false);
  MonitorPcap_->SetPromiscuous(true);
  MonitorPcap_->ClearIgnoreIPs();
  // A capture that ends on its own (its adapter has gone) is told here, on
  // this thread, through the message queue.
  MonitorPcap_->OnCaptureEnded = [this](TObject*) { Guard("LocalMonitorEnded", [this] { LocalMonitorEnded(); }); };
  MonitorPcap_->StartMonitor();
  if (!MonitorPcap_->Connected()) {
    LogObjInfo(MonitorPcap_->LastError());
    return false;
  }
  return true;
}

// The capture ended without a stop: told and shown as after a failed start.
void TForm1::LocalMonitorEnded() {
  if (!MonitoringActive) return;
  MonitoringActive = false;
  doMonitor->setText(MonitorStart);
  LogObjInfo(MonitorPcap_->LastError());
}

// Fills the address list (and with RefillAdapters the adapter list) from the
// local adapters.
void TForm1::FillLocalLists(bool RefillAdapters) {
  if (!MonitorPcap_ || !AdapterIPs_) return;
  if (RefillAdapters) {
    TStrings* Desc = MonitorPcap_->AdapterDescList();
    AdapterList->clear();
    for (int i = 0; i < Desc->Count(); ++i) AdapterList->addItem(Q(Desc->Get(i)));
  }
  if (AdapterIndex >= AdapterList->count()) AdapterIndex = 0;
  AdapterList->setCurrentRow(AdapterIndex);
  TStrings* Names = MonitorPcap_->AdapterNameList();
  if (AdapterIndex < Names->Count()) MonitorPcap_->SetMonAdapter(Names->Get(AdapterIndex));
  MonitorPcap_->GetIPAddresses(MonitorPcap_->MonAdapter(), AdapterIPs_.get(), AdapterMasks_.get(),
                               AdapterBroadcasts_.get());
  MonIpList->clear();
  for (int i = 0; i < AdapterIPs_->Count(); ++i) MonIpList->addItem(Q(AdapterIPs_->Get(i)));
  if (IPIndex >= MonIpList->count()) IPIndex = 0;
  MonIpList->setCurrentRow(IPIndex);
}

// ---------------------------------------------------------------------------
// Remote capture control

void TForm1::LogBusy(const std::string& Routine) { LogObjInfo(Routine + " busy: a remote command is in progress"); }

void TForm1::RunSequence(const char* Routine, const std::function<void()>& Steps) {
  if (Busy_) {
    LogBusy(Routine);
    return;
  }
  Busy_ = true;
  Guard(Routine, Steps);
  Busy_ = false;
  if (CloseRequested_) QTimer::singleShot(0, this, [this] { close(); });
}

bool TForm1::Command(const std::string& Text) {
  if (CloseRequested_) return false;
  return Remote_->SendCommandAndWait(Text);
}

void TForm1::LB_PCsToMonitorDblClick() {
  const std::string Row = CurrentText(LB_PCsToMonitor);
  if (Row.empty()) return;
  const int Index = LB_PCsToMonitor->currentRow();
  RunSequence("LB_PCsToMonitorDblClick", [this, Index] {
    if (Index == 0) {
      if (Remote_->Connected()) Remote_->SendCommand("1");
      FillLocalLists(true);
      return;
    }
    OpenRemoteTarget("LB_PCsToMonitorDblClick", Index);
  });
}

bool TForm1::OpenRemoteTarget(const char* Routine, int Row) {
  const std::string Text = S(LB_PCsToMonitor->item(Row)->text());
  if (Remote_->Connected()) Remote_->SendCommand("1");
  if (Remote_->Active()) Delay(0.5f);
  if (CloseRequested_) return false;
  TSplitArray Parts = Split(Text, ",");
  int Port = 0;
  if (Parts.size() < 2 || !TryStrToInt(Parts[1], Port)) {
    LogObjInfo(std::string(Routine) + " not an address,port row: " + Text);
    return false;
  }
  // The adapter and address lists are about to show this server's rows;
  // none of another server's stay meanwhile (a silent server sends none).
  LB_PCsToMonitor->setCurrentRow(Row);
  AdapterList->clear();
  MonIpList->clear();
  Remote_->Parser.ReplyReceived = false;
  if (!Remote_->ConnectTo(Parts[0], Parts[1], Row)) return false;
  Remote_->WaitForReply(Remote_->ReplyTimeout);
  if (!Remote_->Connected()) {
    LogObjInfo("Not Connected to remote");
    return false;
  }
  Command("10");
  Command("11");
  Command("12");
  return !CloseRequested_ && Remote_->ConnectedRow() == Row;
}

bool TForm1::UseRemoteTarget(const char* Routine, int Row) {
  if (Remote_->ConnectedRow() == Row) return true;
  return OpenRemoteTarget(Routine, Row);
}

void TForm1::AdapterListDblClick() {
  RunSequence("AdapterListDblClick", [this] {
    AdapterIndex = AdapterList->currentRow() < 0 ? 0 : AdapterList->currentRow();
    if (LB_PCsToMonitor->currentRow() == 0) {
      FillLocalLists(false);
      return;
    }
    if (!Remote_->Connected()) return;
    if (AdapterIndex >= AdapterList->count()) AdapterIndex = 0;
    Command("22," + std::to_string(AdapterIndex));
    Command("11");
    if (IPIndex >= MonIpList->count()) IPIndex = 0;
    MonIpList->setCurrentRow(IPIndex);
  });
}

bool TForm1::StartRemoteSniffer() {
  if (!Remote_->Connected()) {
    LogObjInfo("Not Connected to remote");
    return false;
  }
  const std::string Adapter = CurrentText(AdapterList);
  Command("22," + Adapter.substr(0, Adapter.find('=')));
  Command("32");
  Command("30");
  Command("4");
  return true;
}

void TForm1::LBActiveSniffersDblClick() {
  // A status row belongs to the target row at the same index; row 0 is the
  // local computer, which has no server.
  const int Row = LBActiveSniffers->currentRow();
  const std::string Shown = CurrentText(LBActiveSniffers);
  const TSplitArray Parts = Split(Shown, ":");
  if (Parts.size() < 2 || Row <= 0 || Row >= LB_PCsToMonitor->count()) return;
  RunSequence("LBActiveSniffersDblClick", [this, Row, Shown, Parts] {
    if (Remote_->ConnectedRow() != Row) {
      if (!OpenRemoteTarget("LBActiveSniffersDblClick", Row)) return;
      // Connecting brought the server's own status into the row: a start or
      // stop chosen from an older one could do the opposite of what was meant.
      const std::string Now = S(LBActiveSniffers->item(Row)->text());
      if (Now != Shown) {
        LogObjInfo("LBActiveSniffersDblClick " + S(LB_PCsToMonitor->item(Row)->text()) + " now reports " + Now +
                   " (was " + Shown + "): nothing sent, double-click again");
        return;
      }
    }
    Remote_->Parser.RemoteMonLive = Parts[0];
    Remote_->Parser.RemoteConnected = Parts[1];
    if (Parts[0] == "0" && Parts[1] == "0") {
      StartRemoteSniffer();
      Command("12");
    } else {
      Command("31");
      Command("33");
      Command("12");
    }
  });
}

void TForm1::LB_RemoteSendTosDblClick() {
  // The destination is for the selected target's server.
  const int Target = LB_PCsToMonitor->currentRow();
  if (Target <= 0) {
    LogObjInfo("Not Connected to remote");
    return;
  }
  TSplitArray Parts = Split(CurrentText(LB_RemoteSendTos), ",");
  if (Parts.size() < 2) {
    LogObjInfo("LB_RemoteSendTosDblClick not an address,port row");
    return;
  }
  RunSequence("LB_RemoteSendTosDblClick", [this, Target, Parts] {
    if (!UseRemoteTarget("LB_RemoteSendTosDblClick", Target)) return;
    Command("20," + Parts[0]);
    Command("21," + Parts[1]);
  });
}

void TForm1::Button1Click() {
  const int Target = LB_PCsToMonitor->currentRow();
  if (Target <= 0) {
    LogObjInfo("Not Connected to remote");
    return;
  }
  RunSequence("Button1Click", [this, Target] {
    if (UseRemoteTarget("Button1Click", Target)) Command("4");
  });
}

// ---------------------------------------------------------------------------
// Thresholds, chart and the 3D view's commands

void TForm1::TrackBar1Change() {
  const int V = TrackBar1->value();
  if (ViewLink().SetTimeToLive) ViewLink().SetTimeToLive(V);
  LBLTTL->setText(QString::number(V));
  TrackBar1->setToolTip(QString::number(V));
}

void TForm1::TrackBar2Change() {
  const int V = TrackBar2->value();
  if (ViewLink().SetPipeThreshold) ViewLink().SetPipeThreshold(V);
  PKTcnt_Thold->setText(QString::number(V));
  TrackBar2->setToolTip(QString::number(V));
}

void TForm1::MNU_MAX_ChartClick(QAction* Item) {
  int Max = 0;
  if (Item && TryStrToInt(S(Item->toolTip()), Max)) LeftAxis->setMax(Max);
}

namespace {

// Runs a view command, or says the view is not there.
template <class F, class... A>
void ViewCall(const F& Fn, A&&... Args) {
  if (Fn)
    Fn(std::forward<A>(Args)...);
  else
    LogObjInfo(NoView);
}

}  // namespace

void TForm1::Button5Click() { ViewCall(ViewLink().AimCamera); }
void TForm1::Button7Click() { ViewCall(ViewLink().ResetCamera); }
void TForm1::Button3Click() { ViewCall(ViewLink().SaveSelectedObject); }
void TForm1::Button6Click() { ViewCall(ViewLink().ExpireAllCubes); }

void TForm1::Button2Click() {
  TViewLink& Link = ViewLink();
  if (Button2->text() != LayoutStart) {
    if (Link.SetStopCubeLayout) Link.SetStopCubeLayout(true);
    return;
  }
  if (Busy_) return;
  if (!Link.CreateCubesByIPs) {
    LogObjInfo(NoView);
    return;
  }
  Busy_ = true;
  Button2->setText(LayoutStop);
  if (Link.SetStopCubeLayout) Link.SetStopCubeLayout(false);
  IgnoreTimeOut->setChecked(true);
  Guard("Button2Click", [&] {
    ViewCall(Link.LoadPCinfoToArry);
    Link.CreateCubesByIPs(S(EDT_IPStart->text()), S(EDT_NumberOfCubes->text()), S(ComboBox1->currentText()));
  });
  Button2->setText(LayoutStart);
  Busy_ = false;
  if (CloseRequested_) QTimer::singleShot(0, this, [this] { close(); });
}

void TForm1::Button4Click() {
  IgnoreTimeOut->setChecked(true);
  ViewCall(ViewLink().LoadPCinfoToArry);
  ViewCall(ViewLink().AddProfileCubes);
}

// ---------------------------------------------------------------------------
// What the 3D view reads and writes

bool TForm1::IgnoreARPChecked() const { return IgnoreARP->isChecked(); }
bool TForm1::IgnoreICMPChecked() const { return IgnoreICMP->isChecked(); }
bool TForm1::IgnoreIPChecked() const { return IgnoreIP->isChecked(); }
bool TForm1::IgnoreTimeOutChecked() const { return IgnoreTimeOut->isChecked(); }
bool TForm1::HideBelowThresholdChecked() const { return HideBelowThreshold->isChecked(); }
bool TForm1::BufferPanelVisible() const { return !Panel1->isHidden(); }
void TForm1::ShowBufferPanel() { Panel1->show(); }
void TForm1::SetBufferLabel(const std::string& Text) { Label4->setText(Q(Text)); }

void TForm1::SetCountCaptions(const std::string& Cubes, const std::string& Pipes, const std::string& Groups) {
  LBL_NOPCs->setText(Q(Cubes));
  LBL_NOconnections->setText(Q(Pipes));
  LBL_NOgroups->setText(Q(Groups));
}

void TForm1::SetTotalBandwidthCaption(const std::string& Text) { LB_TotalBandwidth->setText(Q(Text)); }

void TForm1::SetChartPoint(int Index, double Value) {
  if (Index >= 0 && Index < Series1->count()) Series1->replace(Index, QPointF(Index, Value));
}

QPlainTextEdit* TForm1::OBJinfoMemo() { return OBJinfoSelection; }

void TForm1::ShowSelectionInfo(bool Shown) {
  OBJinfoPages->setCurrentWidget(Shown ? OBJinfoSelection : OBJinfo);
  if (Shown) return;
  OBJinfoSelection->clear();
  // An ended selection leaves none of its figures in the details row.
  for (QLabel* L : {LB_IP, Label2, Label3, LB_X, LB_Y, LB_Z, LB_BandWidth}) L->setText(L->property("Hint").toString());
}

QLabel* TForm1::BandwidthLabel() { return LB_BandWidth; }

void TForm1::ShowUserFilesNotice(const std::string& Text) {
  UserFilesNotice->setText(BytesToQ(VisibleText(Text)));
  UserFilesNotice->setVisible(!Text.empty());
}

void TForm1::ShowSelection(const std::string& X, const std::string& Y, const std::string& Z, const std::string& IP,
                           const std::string& Second, const std::string& Third) {
  auto Show = [](QLabel* L, const std::string& Value) { L->setText(L->property("Hint").toString() + ShownQ(Value)); };
  Show(LB_X, X);
  Show(LB_Y, Y);
  Show(LB_Z, Z);
  Show(LB_IP, IP);
  Show(Label2, Second);
  Show(Label3, Third);
}
