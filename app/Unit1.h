// The main window: starts and stops local capture, chooses local or remote
// capture targets, holds the filters and thresholds the 3D view reads, shows
// the logs, counts and the bandwidth chart, and creates the 3D window on its
// first activation.
#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Unit2_3D.h"
#include "capture/packhdrs.h"

class QAction;
class QCheckBox;
class QChartView;
class QComboBox;
class QLabel;
class QLineEdit;
class QLineSeries;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSlider;
class QStackedWidget;
class QTabWidget;
class QValueAxis;
class TMonitorPcap;
class TRemoteControl;
class TStringList;
class TObject;

class TForm1;

// The main window's road into the 3D view. Link3DView fills it with the 3D
// window's operations; while it is empty the main window runs alone and says
// so in the event log when asked for the view.
struct TViewLink {
  // Creates the 3D window (not yet shown) for the main window.
  std::function<QWidget*(TForm1*)> Create;
  std::function<void()> LoadPCinfoToArry;
  std::function<void()> AddProfileCubes;
  std::function<void(const std::string&, const std::string&, const std::string&)> CreateCubesByIPs;
  std::function<void()> ExpireAllCubes;
  std::function<void()> SaveSelectedObject;
  std::function<void()> AimCamera;
  std::function<void()> ResetCamera;
  std::function<void(int)> SetPipeThreshold;
  std::function<void(int)> SetTimeToLive;
  std::function<void(bool)> SetStopCubeLayout;
};
TViewLink& ViewLink();
// Connects the main window to the 3D window unit; the view's feed listener
// binds `FeedPort` (another one than the program's only in tests).
void Link3DView(int FeedPort = 32000);

class TForm1 : public QWidget, public TViewHost {
  Q_OBJECT
 public:
  // Builds the controls and runs the start-up steps (settings, chart, capture
  // driver, target lists).
  explicit TForm1(QWidget* Parent = nullptr);
  // Stops capture and frees the 3D window before the logs go.
  ~TForm1() override;

  // --- selection details and counts
  QLabel* LB_IP = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* LB_X = nullptr;
  QLabel* LB_Y = nullptr;
  QLabel* LB_Z = nullptr;
  QLabel* LB_BandWidth = nullptr;
  QLabel* LBL_NOPCs = nullptr;
  QLabel* LBL_NOgroups = nullptr;
  QLabel* LBL_NOconnections = nullptr;
  QLabel* LB_TotalBandwidth = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* Panel1 = nullptr;
  // Shown above everything while the user's files are where a rebuild can
  // delete them (ShowUserFilesNotice).
  QLabel* UserFilesNotice = nullptr;
  // --- filters and thresholds
  QCheckBox* IgnoreIP = nullptr;
  QCheckBox* IgnoreARP = nullptr;
  QCheckBox* IgnoreICMP = nullptr;
  QCheckBox* IgnoreTimeOut = nullptr;
  QCheckBox* HideBelowThreshold = nullptr;
  QSlider* TrackBar1 = nullptr;
  QSlider* TrackBar2 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* LBLTTL = nullptr;
  QLabel* PKTcnt_Thold = nullptr;
  QPushButton* Button3 = nullptr;
  QPushButton* Button6 = nullptr;
  QPushButton* Button5 = nullptr;
  QPushButton* Button7 = nullptr;
  // --- pages
  QTabWidget* PageControl1 = nullptr;
  QPlainTextEdit* PKTdata = nullptr;
  QListWidget* LB_PCsToMonitor = nullptr;
  QListWidget* AdapterList = nullptr;
  QListWidget* MonIpList = nullptr;
  QListWidget* LB_RemoteSendTos = nullptr;
  QListWidget* LBActiveSniffers = nullptr;
  QPushButton* doMonitor = nullptr;
  QCheckBox* CheckBox1 = nullptr;
  QPushButton* Button1 = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  QPlainTextEdit* OBJinfo = nullptr;           // the event log, saved as "OBJinfo.txt"
  QPlainTextEdit* OBJinfoSelection = nullptr;  // the selection's info lines, in its place
  QStackedWidget* OBJinfoPages = nullptr;      // shows one of the two
  QLineEdit* EDT_IPStart = nullptr;
  QLineEdit* EDT_NumberOfCubes = nullptr;
  QComboBox* ComboBox1 = nullptr;
  QPushButton* Button2 = nullptr;
  QPushButton* Button4 = nullptr;
  QChartView* Chart1 = nullptr;
  QLineSeries* Series1 = nullptr;
  QValueAxis* LeftAxis = nullptr;
  QMenu* PopupMenu_MaxChartBW = nullptr;
  QListWidget* LB_FileLoader = nullptr;

  // --- state
  bool FirstActivation = true;
  bool MonitoringActive = false;
  int AdapterIndex = 0;
  int IPIndex = 0;
  int64_t PerfFrequency = 1;
  std::string DefaultListenPort = "32000";
  TMonitorPcap* MonitorPcap() const { return MonitorPcap_.get(); }
  TStringList* AdapterIPs() const { return AdapterIPs_.get(); }
  TRemoteControl* Remote() const { return Remote_.get(); }
  QWidget* Form2_3DWindow() const { return Form2_3D_.data(); }
  QLineSeries* ChartSeries() const { return Series1; }

  // --- handlers
  void FormActivate();
  // The close steps: stop capture, close the 3D window, save settings and logs.
  void FormClose();
  void PacketEvent(TObject* Sender, TPacketInfo PacketInfo);
  void doMonitorClick();
  bool StartLocalMonitor();
  // The local capture has ended on its own (its adapter has gone).
  void LocalMonitorEnded();
  void TrackBar1Change();
  void TrackBar2Change();
  void MNU_MAX_ChartClick(QAction* Item);
  void Button1Click();
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void Button5Click();
  void Button6Click();
  void Button7Click();
  void LB_PCsToMonitorDblClick();
  void AdapterListDblClick();
  void LBActiveSniffersDblClick();
  void LB_RemoteSendTosDblClick();
  bool StartRemoteSniffer();

  // Tells where the user's files are kept, when that is not a folder of the
  // user's ("" hides the notice).
  void ShowUserFilesNotice(const std::string& Text);
  void LoadSettingsAndLayouts();
  // Writes "Tamrivel.ini", "OBJinfo.txt" and "PKTdata.txt", each on its own;
  // returns why the ones that could not be written failed.
  std::vector<std::string> SaveSettingsAndLogs();
  // What the close could not save (also told on standard error, and in a
  // message box when the user closed the window).
  const std::vector<std::string>& SaveFailures() const { return SaveFailures_; }

  // --- what the 3D view reads and writes
  bool IgnoreARPChecked() const override;
  bool IgnoreICMPChecked() const override;
  bool IgnoreIPChecked() const override;
  bool IgnoreTimeOutChecked() const override;
  bool HideBelowThresholdChecked() const override;
  bool BufferPanelVisible() const override;
  void ShowBufferPanel() override;
  void SetBufferLabel(const std::string& Text) override;
  void SetCountCaptions(const std::string& Cubes, const std::string& Pipes, const std::string& Groups) override;
  void SetTotalBandwidthCaption(const std::string& Text) override;
  void SetChartPoint(int Index, double Value) override;
  QPlainTextEdit* OBJinfoMemo() override;
  QLabel* BandwidthLabel() override;
  void ShowSelectionInfo(bool Shown) override;
  void ShowSelection(const std::string& X, const std::string& Y, const std::string& Z, const std::string& IP,
                     const std::string& Second, const std::string& Third) override;

 signals:
  // The close steps ran; the program may end.
  void Closed();

 protected:
  bool event(QEvent* E) override;
  // While a command sequence or a layout run is in progress, the remote
  // lists swallow mouse buttons and keys: a double-click is refused as busy
  // (logged), and no click moves a highlight off the rows in use.
  bool eventFilter(QObject* Watched, QEvent* E) override;
  void closeEvent(QCloseEvent* E) override;

 private:
  void BuildControls();
  void FormCreate();
  void FillLocalLists(bool RefillAdapters);
  // Logs that Routine was refused: a sequence is running.
  void LogBusy(const std::string& Routine);
  // Runs a remote command sequence unless one is running; closes afterwards
  // when a close was asked for meanwhile.
  void RunSequence(const char* Routine, const std::function<void()>& Steps);
  // Sends and waits unless the window is closing.
  bool Command(const std::string& Text);
  // Leaves any open connection (command "1"), connects to the server of
  // target row Row and asks for its lists and status ("10", "11", "12").
  // True when connected to it; the reason is in the event log otherwise.
  bool OpenRemoteTarget(const char* Routine, int Row);
  // As OpenRemoteTarget, unless the connection is already to that server.
  bool UseRemoteTarget(const char* Routine, int Row);
  void StopLocalMonitor();
  // Runs a handler, logging what it throws as "<Routine> <message>".
  void Guard(const char* Routine, const std::function<void()>& Work);

  std::unique_ptr<TMonitorPcap> MonitorPcap_;
  std::unique_ptr<TStringList> AdapterIPs_;
  std::unique_ptr<TStringList> AdapterMasks_;
  std::unique_ptr<TStringList> AdapterBroadcasts_;
  std::unique_ptr<TRemoteControl> Remote_;
  QPointer<QWidget> Form2_3D_;
  bool Busy_ = false;            // a remote command sequence or a layout run is in progress
  bool CloseRequested_ = false;  // a close came during it
  bool Closed_ = false;          // the close steps have run
  std::vector<std::string> SaveFailures_;
};

extern TForm1* Form1;

// The caption's two version texts.
std::string VersionText1();
std::string VersionText2();
