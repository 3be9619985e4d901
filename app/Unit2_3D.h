// The 3D traffic window: the scene of host cubes and pipes, its frame handler,
// picking, camera and settings, and the operations the main window calls.
#pragma once

#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QTimer;
class TGLSceneViewer;
class TGLSceneGraph;
class TGLCadencer;
class TGLCamera;
class TGLLightSource;
class TGLDummyCube;
class TGLPlane;
class TGLBaseSceneObject;
class TGLMaterialLibrary;
class TMySocket;
class TTrafficScene;
class TComponent;
class QShowEvent;
class QCloseEvent;
class QWheelEvent;

// What the 3D view reads from and writes to the main window. TForm1 implements
// it and hands itself to the view (SetMainWindow) before the view is shown.
class TViewHost {
 public:
  virtual ~TViewHost() = default;
  // Filter and threshold check boxes.
  virtual bool IgnoreARPChecked() const = 0;
  virtual bool IgnoreICMPChecked() const = 0;
  virtual bool IgnoreIPChecked() const = 0;
  virtual bool IgnoreTimeOutChecked() const = 0;
  virtual bool HideBelowThresholdChecked() const = 0;
  // Backlog panel "BUFFER" (Panel1) and its label Label4.
  virtual bool BufferPanelVisible() const = 0;
  virtual void ShowBufferPanel() = 0;
  virtual void SetBufferLabel(const std::string& text) = 0;
  // Count labels LBL_NOPCs, LBL_NOconnections, LBL_NOgroups (full captions,
  // e.g. "Cubes=3") and LB_TotalBandwidth.
  virtual void SetCountCaptions(const std::string& cubes, const std::string& pipes, const std::string& groups) = 0;
  virtual void SetTotalBandwidthCaption(const std::string& text) = 0;
  // Chart series point `index` (0..19) gets `value`.
  virtual void SetChartPoint(int index, double value) = 0;
  // The memo that shows the selection's info lines in the event log's place
  // (OBJinfo on the Sniffer tab), and the label LB_BandWidth shown for the
  // selection.
  virtual QPlainTextEdit* OBJinfoMemo() = 0;
  virtual QLabel* BandwidthLabel() = 0;
  // True while an object is selected: its info lines show instead of the
  // event log; false: the event log shows again, with what was logged
  // meanwhile.
  virtual void ShowSelectionInfo(bool /*shown*/) {}
  // LB_X, LB_Y, LB_Z, LB_IP, Label2, Label3: values only, the host adds the hints.
  virtual void ShowSelection(const std::string& x, const std::string& y, const std::string& z, const std::string& ip,
                             const std::string& second, const std::string& third) = 0;
};

// View settings shared with the main window (its track bars write these).
extern int PipeThreshold;    // packet count at which a hidden pipe shows
extern int TimeToLive;       // seconds of idleness before cubes and pipes expire
extern bool StopCubeLayout;  // ends a running CreateCubesByIPs

class TForm2_3D : public QWidget {
  Q_OBJECT
 public:
  // Builds the window and its scene and runs the creation steps (profiles,
  // listener on `listenPort`, settings). Nothing is drawn before show().
  explicit TForm2_3D(TViewHost* host, QWidget* parent = nullptr, int listenPort = 32000);
  ~TForm2_3D() override;

  void SetMainWindow(TViewHost* host);

  // Main-window commands.
  void LoadPCinfoToArry();
  void AddProfileCubes();
  void CreateCubesByIPs(const std::string& startIP, const std::string& count, const std::string& steps);
  void ExpireAllCubes();
  void SaveSelectedObject();
  void AimCamera();    // "Aim Camera": target := selection's position
  void ResetCamera();  // "Reset Camera"

  // Activity bar ticked once per packet line or datagram (PacketTick).
  QProgressBar* ProgressBar1() const { return FProgressBar1; }

  // Scene access for the main window and tests.
  TGLSceneViewer* GLSceneViewer1() const { return FGLSceneViewer1; }
  TGLCadencer* GLCadencer1() const { return FGLCadencer1; }
  TTrafficScene& Traffic() const { return *FTraffic; }
  TGLBaseSceneObject* SelectedObject() const;

  // One frame of the frame handler (the frame clock calls it; tests may too).
  void GLCadencer1Progress(double deltaTime, double newTime);
  void Timer_ChkLifeTimer();
  void Timer1Timer();

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void wheelEvent(QWheelEvent* e) override;

 private:
  void BuildScene();
  void FormCreate();
  void FormActivate();
  void FormClose();
  void SaveViewSettings();
  void LoadViewSettings();
  void Save3DFormSettings();
  void Load3DFormSettings();
  void ViewerMouseDown(int x, int y, bool leftDown);
  void ViewerMouseMove(int x, int y, bool left, bool right, bool shift);
  void ViewerMouseUp();
  void ResetPickedSnifferObject();
  void UpdateSelected();

  std::unique_ptr<TComponent> FComponents;  // owns the scene, clock and library
  TViewHost* FHost = nullptr;
  int FListenPort = 32000;
  TGLSceneViewer* FGLSceneViewer1 = nullptr;
  QProgressBar* FProgressBar1 = nullptr;
  TGLSceneGraph* FGLScene1 = nullptr;
  TGLCadencer* FGLCadencer1 = nullptr;
  TGLCamera* FGLCamera1 = nullptr;
  TGLMaterialLibrary* FGLMaterialLibrary1 = nullptr;
  QTimer* FTimer1 = nullptr;
  QTimer* FTimer_ChkLife = nullptr;
  TGLBaseSceneObject* FCameraTarget = nullptr;
  TGLLightSource* FLS_Camera = nullptr;
  TGLLightSource* FLS_Global = nullptr;
  float FGrabOffset[3] = {0, 0, 0};
  bool FMovedByDrag = false;  // the selected cube moved since the left button went down
  std::unique_ptr<TTrafficScene> FTraffic;
  TMySocket* FMySocket = nullptr;
  bool FFirstActivation3D = true;
  float FSavedCameraX = 100, FSavedCameraY = 100, FSavedCameraZ = 100;
  int FMouseX = 0, FMouseY = 0, FPrevMouseX = 0, FPrevMouseY = 0;
  bool FMouseLeft = false, FMouseRight = false, FMouseShiftKey = false;
  bool FCtrlWasDown = false, FLShiftWasDown = false;
  int FPipeEndToggle = 1;
  int64_t FLinesSeenAt = 0;  // when the frame handler last found lines waiting (performance counter)
};

// The window created by the main window (nil before and after).
extern TForm2_3D* Form2_3D;
