// The 3D traffic window: building the scene, the frame handler, mouse picking and moves, the
// camera, view settings and cubes created by address.
#include "app/Unit2_3D.h"

#include "Source/Scene/GLCadencer.h"
#include "Source/Scene/GLCamera.h"
#include "Source/Materials/GLColor.h"
#include "Source/Objects/GLGeomObjects.h"
#include "Source/Scene/GLLightSource.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneBuffer.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Materials/GLTexture.h"
#include "Source/Scene/Keyboard.h"
#include "Source/Viewer/GLSceneViewer.h"
#include "app/FrameTimes.h"
#include "app/MyCylinder.h"
#include "app/PacketQueue.h"
#include "app/Settings.h"
#include "app/SnifferObject.h"
#include "app/TrafficScene.h"
#include "app/Unit1.h"
#include "app/Unit3_Wsocket.h"
#include "app/Unit_Globals.h"
#include "platform/Graphics.h"
#include "platform/IniFiles.h"
#include "platform/Timing.h"
#include "rtl/SysUtils.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTimer>
#include <QWheelEvent>
#include <cmath>

TForm2_3D* Form2_3D = nullptr;

namespace {
constexpr int VK_CONTROL_KEY = 17;
constexpr int VK_LSHIFT_KEY = 160;
constexpr uint32_t PipeColour = 0x64FF64;
constexpr double LabelUploadMsPerFrame = 4;  // and at most a fifth of a frame
constexpr double LabelUploadShareOfFrame = 0.2;

// Runs a handler body, logging "<routine> <message>" for anything it throws.
template <class F>
void Guarded(const char* routine, F&& body) {
  try {
    body();
  } catch (const std::exception& e) {
    LogToPktData(std::string(routine) + " " + e.what());
  } catch (...) {
    LogToPktData(std::string(routine) + " unknown exception");
  }
}

TVector4f Colour(float r, float g, float b, float a = 1.0f) { return TVector4f{r, g, b, a}; }

bool IsFile(const std::string& path) { return QFileInfo(QString::fromStdString(path)).isFile(); }

// Loads a picture of the Images folder into `image`. One the folder lacks is
// drawn and kept there; when it cannot be kept (a folder that cannot be
// written) the drawn picture is used as it is and the cause logged once.
void LoadImagesPicture(TGLTextureImage* image, const std::string& name, uint32_t a, uint32_t b) {
  const std::string path = TTrafficScene::ImagesDir() + name;
  if (IsFile(path)) {
    image->LoadFromFile(path);
    return;
  }
  TBitmap bmp(64, 64, pf24bit);
  TCanvas& c = bmp.Canvas();
  for (int y = 0; y < 64; y += 8)
    for (int x = 0; x < 64; x += 8) {
      c.Brush().SetColor(((x + y) / 8) % 2 ? a : b);
      c.Pen().SetColor(((x + y) / 8) % 2 ? a : b);
      c.Rectangle(x, y, x + 8, y + 8);
    }
  try {
    if (QFileInfo(QString::fromStdString(name)).suffix().compare("jpg", Qt::CaseInsensitive) == 0) {
      TJPEGImage jpg;
      jpg.Assign(&bmp);
      jpg.SaveToFile(path);
    } else
      bmp.SaveToFile(path);
  } catch (const std::exception& e) {
    LogFailure("Images", e.what());
    image->Assign(&bmp);
    return;
  }
  image->LoadFromFile(path);
}

SnifferObject* AsCube(TGLBaseSceneObject* o) {
  return o && o->ClassType() == SnifferObject::StaticClass() && NameStartsWith(o->Name(), "IP")
             ? static_cast<SnifferObject*>(o)
             : nullptr;
}

MyCylinder* AsPipe(TGLBaseSceneObject* o) {
  return o && o->ClassType() == MyCylinder::StaticClass() && NameStartsWith(o->Name(), "MYC")
             ? static_cast<MyCylinder*>(o)
             : nullptr;
}

void CopyPosition(TGLBaseSceneObject* to, TGLBaseSceneObject* from) {
  to->Position()->SetXYZAsPoint(from->Position()->X(), from->Position()->Y(), from->Position()->Z());
}
}  // namespace

TForm2_3D::TForm2_3D(TViewHost* host, QWidget* parent, int listenPort)
    : QWidget(parent), FComponents(std::make_unique<TComponent>(nullptr)), FHost(host), FListenPort(listenPort) {
  if (!Form2_3D) Form2_3D = this;
  setObjectName("Form2_3D");
  setWindowTitle("Form2_3D");
  resize(800, 600);
  BuildScene();
  FormCreate();
}

TForm2_3D::~TForm2_3D() {
  if (Form2_3D == this) Form2_3D = nullptr;
  SetPacketTickBar(nullptr);
  FGLCadencer1->SetEnabled(false);
  FTimer1->stop();
  FTimer_ChkLife->stop();
  delete FMySocket;
  FMySocket = nullptr;
  ResetPickedSnifferObject();
  delete FGLSceneViewer1;  // before the camera it shows
  FGLSceneViewer1 = nullptr;
  FTraffic.reset();
  FComponents.reset();
}

void TForm2_3D::BuildScene() {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  FProgressBar1 = new QProgressBar(this);
  FProgressBar1->setObjectName("ProgressBar1");
  FProgressBar1->setOrientation(Qt::Vertical);
  FProgressBar1->setRange(0, 100);
  FProgressBar1->setValue(0);
  FProgressBar1->setTextVisible(false);
  layout->addWidget(FProgressBar1);

  FGLScene1 = new TGLSceneGraph(FComponents.get());
  FGLScene1->SetName("GLScene1");
  TGLBaseSceneObject* root = FGLScene1->Objects();

  auto* global = root->AddNewChild<TGLLightSource>();
  global->SetName("GLLightSourceGlobal");
  global->SetLightStyle(lsOmni);
  global->Position()->SetXYZAsPoint(0, 0, 20000);
  global->Ambient()->SetColor(Colour(0.75f, 0.75f, 0.75f));
  global->Specular()->SetColor(Colour(0.25f, 0.25f, 0.25f));
  global->SetConstAttenuation(1);
  global->SetSpotCutOff(180);

  // Template objects of the window; hidden at creation and otherwise unused.
  struct TTemplate {
    const char* name;
    float x, y, z;
    TVector4f diffuse;
    bool transparent;
  };
  const TTemplate templates[] = {
      {"cPur", 1, -5, 0, Colour(0.6745f, 0, 0.698f, 0.55f), true},
      {"cRed", 1, -4, 0, Colour(1, 0, 0, 0.55f), true},
      {"cRandom", 0, -3, 0, Colour(1, 0, 0, 0.75f), true},
      {"cTextured", 0, -2, 0, Colour(1, 0, 0, 0.619f), false},
      {"cRedT", 0, -1, 0, Colour(1, 0, 0, 0.619f), true},
      {"cYellowT", 0, 0, 0, Colour(1, 1, 0, 0.627f), true},
  };
  for (const TTemplate& t : templates) {
    auto* cube = root->AddNewChild<TGLCube>();
    cube->SetName(t.name);
    cube->Position()->SetXYZAsPoint(t.x, t.y, t.z);
    cube->Material()->FrontProperties()->Diffuse()->SetColor(t.diffuse);
    if (t.transparent) cube->Material()->SetBlendingMode(bmTransparency);
    if (std::string(t.name) == "cPur") {
      cube->Material()->FrontProperties()->Ambient()->SetColor(Colour(0.1843f, 0.2078f, 0.502f));
      cube->Material()->FrontProperties()->Emission()->SetColor(Colour(0, 0, 0.3176f));
    }
  }
  auto* cyl = root->AddNewChild<TGLCylinder>();
  cyl->SetName("GLCylinder1");
  cyl->SetTopRadius(2);
  cyl->SetBottomRadius(2);
  cyl->SetHeight(100);
  cyl->SetSlices(8);
  cyl->Position()->SetXYZAsPoint(0, 45, 5);
  cyl->Direction()->SetXYZAsVector(1, 0, 0);
  cyl->Up()->SetXYZAsVector(0, 1, 0);
  cyl->SetTurnAngle(90);

  auto* lines = root->AddNewChild<TGLLines>();
  lines->SetName("GLLines1");
  lines->SetLineWidth(0.5f);

  auto* plane = root->AddNewChild<TGLPlane>();
  plane->SetName("GLPlane1");
  plane->SetWidth(400);
  plane->SetHeight(400);
  plane->SetXTiles(100);
  plane->SetYTiles(100);
  plane->SetShowAxes(true);
  plane->Material()->FrontProperties()->Ambient()->SetColor(Colour(0.3922f, 0.3922f, 0.3922f));
  plane->Material()->FrontProperties()->Diffuse()->SetColor(Colour(0.3922f, 0.3922f, 0.3922f));
  plane->Material()->FrontProperties()->SetShininess(81);
  Guarded("FormCreate", [&] {
    LoadImagesPicture(plane->Material()->Texture()->Image(), "Asphalt3.jpg", RGBColour(70, 70, 70),
                      RGBColour(90, 90, 90));
    plane->Material()->Texture()->SetTextureMode(tmModulate);
    plane->Material()->Texture()->SetDisabled(false);
  });

  auto* arps = plane->AddNewChild<TGLDummyCube>();
  arps->SetName("ARPs");
  FCameraTarget = plane->AddNewChild<TGLDummyCube>();
  FCameraTarget->SetName("CameraTarget");
  FCameraTarget->Position()->SetXYZAsPoint(0, 0, 5);
  FLS_Global = plane->AddNewChild<TGLLightSource>();
  FLS_Global->SetName("LS_Global");
  FLS_Global->Position()->SetXYZAsPoint(0, 0, 20000);
  auto* pcs = plane->AddNewChild<TGLDummyCube>();
  pcs->SetName("PCs");
  pcs->SetCubeSize(2);
  auto* groups = plane->AddNewChild<TGLDummyCube>();
  groups->SetName("Groups");
  auto* connections = plane->AddNewChild<TPipeGroup>();
  connections->SetName("Connections");

  FGLCamera1 = root->AddNewChild<TGLCamera>();
  FGLCamera1->SetName("GLCamera1");
  FGLCamera1->SetDepthOfView(10000);
  FGLCamera1->SetFocalLength(252.149f);
  FGLCamera1->SetTargetObject(FCameraTarget);
  FGLCamera1->SetCameraStyle(csInfinitePerspective);
  FGLCamera1->Position()->SetXYZAsPoint(50, 50, 50);
  FGLCamera1->Direction()->SetXYZAsVector(1, 0, 0);
  FGLCamera1->Up()->SetXYZAsVector(0, 0, 1);
  FLS_Camera = FGLCamera1->AddNewChild<TGLLightSource>();
  FLS_Camera->SetName("LS_Camera");
  FLS_Camera->Ambient()->SetColor(Colour(0.75f, 0.75f, 0.75f));
  FLS_Camera->Specular()->SetColor(Colour(1, 1, 1));

  FGLMaterialLibrary1 = new TGLMaterialLibrary(FComponents.get());
  FGLMaterialLibrary1->SetName("GLMaterialLibrary1");
  const std::pair<const char*, TVector4f> mats[] = {{"c_red", Colour(1, 0, 0)},
                                                    {"c_green", Colour(0, 1, 0)},
                                                    {"c_blue", Colour(0, 0, 1)},
                                                    {"c_purple", Colour(0.5f, 0, 0.5f)}};
  for (const auto& m : mats) {
    TGLLibMaterial* lm = FGLMaterialLibrary1->Materials()->Add();
    lm->SetName(m.first);
    lm->Material()->FrontProperties()->Diffuse()->SetColor(m.second);
  }
  FGLMaterialLibrary1->OnTextureNeeded = [](TObject*, std::string& name) {
    if (IsFile(name)) return;
    const std::string images = TTrafficScene::ImagesDir();
    name = IsFile(images + name) ? images + name : images + "Asphalt3.jpg";
  };

  FGLCadencer1 = new TGLCadencer(FComponents.get());
  FGLCadencer1->SetName("GLCadencer1");
  FGLCadencer1->SetScene(FGLScene1);
  FGLCadencer1->SetMaxDeltaTime(0.03);
  FGLCadencer1->SetEnabled(false);
  FGLCadencer1->OnProgress = [this](TObject*, double deltaTime, double newTime) {
    GLCadencer1Progress(deltaTime, newTime);
  };

  FGLSceneViewer1 = new TGLSceneViewer(nullptr, this);
  FGLSceneViewer1->setObjectName("GLSceneViewer1");
  FGLSceneViewer1->SetCamera(FGLCamera1);
  FGLSceneViewer1->Buffer()->SetBackgroundColor(0);
  FGLSceneViewer1->SetFieldOfView(92.6305f);
  FGLSceneViewer1->setFocusPolicy(Qt::ClickFocus);
  // New and changed labels of cubes and pipes are uploaded a few milliseconds'
  // worth a frame, less in a short frame: thousands of new hosts or a port
  // change on every packet spread over frames instead of stalling one.
  FGLSceneViewer1->Buffer()->UploadBudget().SetLimitMs(LabelUploadMsPerFrame);
  FGLSceneViewer1->Buffer()->UploadBudget().SetShareOfFrame(LabelUploadShareOfFrame);
  FGLSceneViewer1->Buffer()->AfterRender = [](TObject*) {
    int64_t now = 0, frequency = 0;
    if (QueryPerformanceCounter(now) && QueryPerformanceFrequency(frequency))
      ViewFrameTimes().FrameDone(now, frequency);
  };
  FGLSceneViewer1->OnMouseDown = [this](TObject*, QMouseEvent* e) {
    ViewerMouseDown(qRound(e->position().x()), qRound(e->position().y()), (e->buttons() & Qt::LeftButton) != 0);
  };
  FGLSceneViewer1->OnMouseMove = [this](TObject*, QMouseEvent* e) {
    ViewerMouseMove(qRound(e->position().x()), qRound(e->position().y()), (e->buttons() & Qt::LeftButton) != 0,
                    (e->buttons() & Qt::RightButton) != 0, (e->modifiers() & Qt::ShiftModifier) != 0);
  };
  FGLSceneViewer1->OnMouseUp = [this](TObject*, QMouseEvent*) { ViewerMouseUp(); };
  FGLSceneViewer1->OnMouseWheel = [this](TObject*, QWheelEvent* e) {
    wheelEvent(e);
    e->accept();
  };
  layout->addWidget(FGLSceneViewer1, 1);

  FTimer1 = new QTimer(this);
  FTimer1->setObjectName("Timer1");
  FTimer1->setInterval(1000);
  connect(FTimer1, &QTimer::timeout, this, [this] { Guarded("Timer1Timer", [this] { Timer1Timer(); }); });
  FTimer_ChkLife = new QTimer(this);
  FTimer_ChkLife->setObjectName("Timer_ChkLife");
  FTimer_ChkLife->setInterval(500);
  connect(FTimer_ChkLife, &QTimer::timeout, this,
          [this] { Guarded("Timer_ChkLifeTimer", [this] { Timer_ChkLifeTimer(); }); });

  FTraffic = std::make_unique<TTrafficScene>(pcs, groups, connections);
  FTraffic->Host = FHost;
  FTraffic->OnLayoutStep = [] { QCoreApplication::processEvents(); };
  FTraffic->OnEmptiedAfterMassExpiry = [this] {
    FGLSceneViewer1->Buffer()->DestroyRC();  // made anew at the next paint
    FGLSceneViewer1->update();
  };
  SetPacketTickBar(FProgressBar1, TTickPaint::PerFrame);
}

void TForm2_3D::FormCreate() {
  TimeToLive = 15;
  FTraffic->PipeTurnAngle = 0.5f;
  FTraffic->StallSeconds = 5;
  Guarded("LoadViewSettings", [this] { LoadViewSettings(); });
  TGLBaseSceneObject* root = FGLScene1->Objects();
  for (int i = 0; i < root->Count(); ++i) {
    const std::string cls = root->Children(i)->ClassName();
    if (cls == "TGLCube" || cls == "TGLCylinder") root->Children(i)->SetVisible(false);
  }
  PacketQueue();  // allocated on first use, normally already by a producer
  try {
    FMySocket = new TMySocket(nullptr, FListenPort);
    FMySocket->OnQueuedBeforeClear = [this] { FTraffic->ExtendClear(PacketQueue().LastQueued()); };
    FMySocket->Listen();
  } catch (const std::exception& e) {
    LogToPktData(std::string("Wsocket Error ") + e.what());
  }
  Guarded("LoadPCinfoToArry", [this] { FTraffic->LoadPCinfoToArry(); });
  FTraffic->ArpPipeRadius = 0.2f;
  FTraffic->IcmpPipeRadius = 0.2f;
  FTraffic->IpPipeRadius = 0.09f;
  FTraffic->MaxPipeRadius = 0.45f;
  FPipeEndToggle = 1;
  FTimer1->start();
  FTimer_ChkLife->start();
}

void TForm2_3D::SetMainWindow(TViewHost* host) {
  FHost = host;
  FTraffic->Host = host;
}

void TForm2_3D::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  Guarded("FormActivate", [this] { FormActivate(); });
}

void TForm2_3D::FormActivate() {
  if (!FFirstActivation3D) return;
  TGLBaseSceneObject* pcs = FTraffic->PCs();
  const TVector4f a = FLS_Global->AbsolutePosition(), b = pcs->AbsolutePosition();
  // Straight above its target the Z up vector is degenerate: use Y then.
  const bool overhead = std::fabs(a[0] - b[0]) < 1e-3f && std::fabs(a[1] - b[1]) < 1e-3f;
  FLS_Global->PointToObject(pcs, overhead ? TVector4f{0, 1, 0, 0} : TVector4f{0, 0, 1, 0});
  FFirstActivation3D = false;
  FGLCadencer1->SetEnabled(true);
  FGLCamera1->Position()->SetXYZAsPoint(FSavedCameraX, FSavedCameraY, FSavedCameraZ);
  Load3DFormSettings();
}

void TForm2_3D::closeEvent(QCloseEvent* e) {
  Guarded("FormClose", [this] { FormClose(); });
  QWidget::closeEvent(e);
}

void TForm2_3D::FormClose() {
  FGLCadencer1->SetEnabled(false);
  // Lines that will not be drawn are told before the logs are saved.
  Guarded("FormClose", [this] {
    if (FMySocket) FMySocket->CloseFeed();
  });
  for (const std::string& line : PacketQueue().CloseReport()) LogToPktData(line);
  SaveViewSettings();
}

void TForm2_3D::wheelEvent(QWheelEvent* e) {
  Guarded("FormMouseWheel", [&] {
    if (FGLSceneViewer1 && FGLSceneViewer1->Focused())
      FGLCamera1->ScaleDistanceToTarget(std::pow(1.1f, e->angleDelta().y() / 120.0f));
  });
}

TGLBaseSceneObject* TForm2_3D::SelectedObject() const { return FTraffic->SelectedObject; }

void TForm2_3D::GLCadencer1Progress(double, double) {
  Guarded("GLCadencer1Progress", [this] {
    int64_t now = 0, frequency = 1;
    QueryPerformanceCounter(now);
    QueryPerformanceFrequency(frequency);
    if (FGLCadencer1->MinDeltaTime() > 0) ViewFrameTimes().Resumed(now);
    TPacketQueue& q = PacketQueue();
    if (q.QuePending() > 0) FLinesSeenAt = now;
    if (FHost) {
      if (FHost->BufferPanelVisible())
        FHost->SetBufferLabel(std::to_string(q.QuePending()));
      else if (q.QuePending() > q.QueHigh())
        FHost->ShowBufferPanel();
    }
    const int n = TPacketQueue::DrainCount(q.QuePending());
    for (int i = 0; i < n; ++i)
      q.QueUnload([this, &q](const std::string& line) { FTraffic->ProcessLine(line, q.Taken()); },
                  [](const std::string& msg) { LogLineError("QueUnload " + msg); });
    if (const std::string dropped = q.DropReport(); !dropped.empty()) LogToPktData(dropped);
    // A view at rest (no lines for a second) draws no oftener than the screen shows pictures: on
    // a computer that draws in software it would keep a core busy otherwise. Under traffic the
    // frames come as fast as they can.
    const bool atRest = q.QuePending() == 0 && now - FLinesSeenAt >= frequency;
    FGLCadencer1->SetMinDeltaTime(atRest ? 1 / FGLSceneViewer1->RefreshRate() : 0);

    TGLBaseSceneObject* sel = FTraffic->SelectedObject;
    if (IsKeyDown(VK_CONTROL_KEY)) FCtrlWasDown = true;
    if (IsKeyDown(VK_LSHIFT_KEY)) FLShiftWasDown = true;
    if (FCtrlWasDown && !IsKeyDown(VK_CONTROL_KEY)) {
      FCtrlWasDown = false;
      if (sel) CopyPosition(FCameraTarget, sel);
    }
    if (FLShiftWasDown && !IsKeyDown(VK_LSHIFT_KEY)) {
      FLShiftWasDown = false;
      if (sel) {
        MyCylinder* pipe = AsPipe(sel);
        if (FPipeEndToggle == 1) {
          if (pipe && pipe->DstObject()) CopyPosition(FCameraTarget, pipe->DstObject());
          FPipeEndToggle = 2;
        } else {
          if (pipe && pipe->SrcObject()) CopyPosition(FCameraTarget, pipe->SrcObject());
          FPipeEndToggle = 1;
        }
      }
    }
    if (SnifferObject* cube = AsCube(sel); cube && FMouseLeft) {
      const TVector4f v{static_cast<float>(FMouseX), static_cast<float>(FGLSceneViewer1->Buffer()->Height() - FMouseY),
                        0, 0};
      TVector4f p{};
      TGLCoordinates* pos = cube->Position();
      const bool hit =
          FMouseShiftKey ? FGLSceneViewer1->Buffer()->ScreenVectorIntersectWithPlaneXZ(v, pos->Y() - FGrabOffset[1], p)
                         : FGLSceneViewer1->Buffer()->ScreenVectorIntersectWithPlaneXY(v, pos->Z() - FGrabOffset[2], p);
      if (hit)  // a ray that misses the plane leaves the cube where it is
      {
        const TVector4f was = pos->AsVector();
        pos->SetXYZAsPoint(p[0] + FGrabOffset[0], p[1] + FGrabOffset[1], p[2] + FGrabOffset[2]);
        if (!VectorEquals(pos->AsVector(), was)) {
          FMovedByDrag = true;
          FTraffic->CubeMoved(cube);  // its pipes go along
        }
      }
    }
    if (FMouseRight && FGLSceneViewer1->Camera() && FGLSceneViewer1->Camera()->Name() == "GLCamera1") {
      FGLCamera1->OrbitTarget(static_cast<float>(FPrevMouseY - FMouseY), static_cast<float>(FPrevMouseX - FMouseX));
      FLS_Camera->PointToObject(FCameraTarget, TVector4f{0, 0, 1, 0});
    }
    FPrevMouseX = FMouseX;
    FPrevMouseY = FMouseY;
    PaintPacketTicks();
    FGLSceneViewer1->update();
  });
}

void TForm2_3D::ViewerMouseMove(int x, int y, bool left, bool right, bool shift) {
  FMouseX = x;
  FMouseY = y;
  FMouseLeft = left;
  FMouseRight = right;
  FMouseShiftKey = shift;
}

void TForm2_3D::ViewerMouseDown(int x, int y, bool leftDown) {
  Guarded("GLSceneViewer1MouseDown", [&] {
    FGLSceneViewer1->setFocus();
    if (!leftDown) return;
    FMovedByDrag = false;
    TGLBaseSceneObject* picked = FGLSceneViewer1->Buffer()->GetPickedObject(x, y);
    SnifferObject* cube = AsCube(picked);
    MyCylinder* pipe = AsPipe(picked);
    if (!cube && !pipe) {
      ResetPickedSnifferObject();
      return;
    }
    if (picked == FTraffic->SelectedObject) return;
    ResetPickedSnifferObject();
    FTraffic->SelectedObject = picked;
    QPlainTextEdit* memo = FHost ? FHost->OBJinfoMemo() : nullptr;
    const TInfoLines* lines = pipe ? &pipe->InfoLines : &cube->InfoLines;
    if (memo) {
      // Info lines are shown text already, one memo line each, as bytes.
      QStringList text;
      for (int i = 0; i < lines->Count(); ++i) text << BytesToQ(lines->Strings(i));
      memo->setPlainText(text.join('\n'));
      // Lines appended while it is selected keep to the object's own bound.
      memo->setMaximumBlockCount(pipe ? MyCylinder::MaxInfoLines : SnifferObject::MaxInfoLines);
    }
    if (FHost) FHost->ShowSelectionInfo(true);
    if (pipe) {
      pipe->InfoMemo = memo;
      pipe->Material()->FrontProperties()->Diffuse()->SetFromWinColor(0xFFFFFF);
    } else {
      LoadImagesPicture(cube->Material()->Texture()->Image(), "Selected.bmp", RGBColour(255, 255, 0),
                        RGBColour(255, 160, 0));
      cube->InfoMemo = memo;
    }
    TVector4f pickPoint = FGLSceneViewer1->Buffer()->PixelRayToWorld(x, y);
    const TVector4f at = picked->Position()->AsVector();
    const float dx = pickPoint[0] - at[0], dy = pickPoint[1] - at[1], dz = pickPoint[2] - at[2];
    const float reach = 4 * picked->GetBoundingSphereRadius() + 1;
    if (!std::isfinite(dx) || !std::isfinite(dy) || !std::isfinite(dz) || dx * dx + dy * dy + dz * dz > reach * reach)
      pickPoint = at;  // background depth at an edge: grab the object at its own position
    for (int i = 0; i < 3; ++i) FGrabOffset[i] = at[i] - pickPoint[i];
    UpdateSelected();
  });
}

void TForm2_3D::ViewerMouseUp() {
  Guarded("GLSceneViewer1MouseUp", [this] {
    FMouseLeft = false;
    // Only a drag keeps a place: a click that moved nothing writes nothing
    // (a block cube would get a section of its own for its layout place).
    const bool moved = std::exchange(FMovedByDrag, false);
    if (!moved) return;
    UpdateSelected();  // the main window shows where it now stands
    if (SnifferObject* cube = AsCube(FTraffic->SelectedObject); cube && cube->NetType == "fixed") {
      FTraffic->SaveObjectPosition(cube);
      UpdateSelected();  // and the profile that keeps it
    }
  });
}

void TForm2_3D::ResetPickedSnifferObject() {
  Guarded("ResetPickedSnifferObject", [this] {
    TGLBaseSceneObject* sel = FTraffic->SelectedObject;
    if (!sel) return;
    FTraffic->SelectedObject = nullptr;
    if (QPlainTextEdit* memo = FHost ? FHost->OBJinfoMemo() : nullptr) memo->setMaximumBlockCount(ObjInfoMaxLines);
    if (FHost) FHost->ShowSelectionInfo(false);
    if (SnifferObject* cube = AsCube(sel)) {
      cube->InfoMemo = nullptr;
      cube->BandwidthLabel = nullptr;
      FTraffic->LoadFace(cube);
    } else if (MyCylinder* pipe = AsPipe(sel)) {
      pipe->InfoMemo = nullptr;
      pipe->BandwidthLabel = nullptr;
      pipe->Material()->FrontProperties()->Diffuse()->SetFromWinColor(PipeColour);
    }
  });
}

void TForm2_3D::UpdateSelected() {
  Guarded("UpdateSelected", [this] {
    TGLBaseSceneObject* sel = FTraffic->SelectedObject;
    if (!sel || !FHost) return;
    std::string address, second;
    if (SnifferObject* cube = AsCube(sel)) {
      cube->BandwidthLabel = FHost->BandwidthLabel();
      address = cube->IP;
      second = cube->ProfileName;
    } else if (MyCylinder* pipe = AsPipe(sel)) {
      pipe->BandwidthLabel = FHost->BandwidthLabel();
      second = "Pipe";
    }
    FHost->ShowSelection(FloatToStr(sel->Position()->X()), FloatToStr(sel->Position()->Y()),
                         FloatToStr(sel->Position()->Z()), address, second, sel->Name());
  });
}

void TForm2_3D::Timer_ChkLifeTimer() { FTraffic->Timer_ChkLifeTimer(); }

void TForm2_3D::Timer1Timer() {
  setWindowTitle(QString::fromStdString(Format("%.1f FPS", FGLSceneViewer1->FramesPerSecond())));
  FGLSceneViewer1->ResetFrameCounter();
}

void TForm2_3D::SaveViewSettings() {
  TIniFile ini(ProgramFile("Tamrivel.ini"));
  // A position the view could not start from again is not kept.
  const float depth = FGLCamera1->DepthOfView();
  auto write = [&](const char* key, float v) {
    ini.WriteFloat("Form2_3D", key, std::isfinite(v) && std::fabs(v) <= depth ? v : 100.0f);
  };
  write("GLCamera1.Position.X", FGLCamera1->Position()->X());
  write("GLCamera1.Position.Y", FGLCamera1->Position()->Y());
  write("GLCamera1.Position.Z", FGLCamera1->Position()->Z());
  Save3DFormSettings();
}

void TForm2_3D::LoadViewSettings() {
  TIniFile ini(ProgramFile("Tamrivel.ini"));
  // Farther out than the depth of view the camera would show nothing.
  const double depth = FGLCamera1->DepthOfView();
  auto read = [&](const char* key) {
    return static_cast<float>(ReadFloatSetting(ini, "Form2_3D", key, 100.0, -depth, depth));
  };
  FSavedCameraX = read("GLCamera1.Position.X");
  FSavedCameraY = read("GLCamera1.Position.Y");
  FSavedCameraZ = read("GLCamera1.Position.Z");
  Load3DFormSettings();
}

// The window has no stored controls: its section is the placement alone.
void TForm2_3D::Save3DFormSettings() { SaveFormSettings(this, ProgramFile("Tamrivel.ini")); }

void TForm2_3D::Load3DFormSettings() { LoadFormSettings(this, ProgramFile("Tamrivel.ini")); }

void TForm2_3D::LoadPCinfoToArry() {
  Guarded("LoadPCinfoToArry", [this] { FTraffic->LoadPCinfoToArry(); });
}

void TForm2_3D::AddProfileCubes() { FTraffic->AddProfileCubes(); }

void TForm2_3D::CreateCubesByIPs(const std::string& startIP, const std::string& count, const std::string& steps) {
  Guarded("CreateCubesByIPs", [&] { FTraffic->CreateCubesByIPs(startIP, count, steps); });
}

void TForm2_3D::ExpireAllCubes() {
  // Lines in the queue now, and those of datagrams received before now that
  // still wait at the socket, are older than the click.
  FTraffic->ExpireAllCubes(PacketQueue().LastQueued());
  if (FMySocket) FMySocket->MarkClear();
}

void TForm2_3D::SaveSelectedObject() {
  FTraffic->SaveSelectedObject();
  UpdateSelected();  // the profile that keeps it now
}

void TForm2_3D::AimCamera() {
  if (TGLBaseSceneObject* sel = FTraffic->SelectedObject) CopyPosition(FCameraTarget, sel);
}

void TForm2_3D::ResetCamera() {
  FCameraTarget->Position()->SetXYZAsPoint(0, 0, 5);
  FGLCamera1->Position()->SetXYZAsPoint(-105, -70, 80);
}

void Link3DView(int feedPort) {
  TViewLink& link = ViewLink();
  link.Create = [feedPort](TForm1* main) -> QWidget* {
    auto* form = new TForm2_3D(main, nullptr, feedPort);
    Form2_3D = form;
    return form;
  };
  auto withForm = [](auto f) {
    return [f](auto&&... args) {
      if (Form2_3D) f(Form2_3D, args...);
    };
  };
  link.LoadPCinfoToArry = withForm([](TForm2_3D* f) { f->LoadPCinfoToArry(); });
  link.AddProfileCubes = withForm([](TForm2_3D* f) { f->AddProfileCubes(); });
  link.CreateCubesByIPs = [](const std::string& a, const std::string& b, const std::string& c) {
    if (Form2_3D) Form2_3D->CreateCubesByIPs(a, b, c);
  };
  link.ExpireAllCubes = withForm([](TForm2_3D* f) { f->ExpireAllCubes(); });
  link.SaveSelectedObject = withForm([](TForm2_3D* f) { f->SaveSelectedObject(); });
  link.AimCamera = withForm([](TForm2_3D* f) { f->AimCamera(); });
  link.ResetCamera = withForm([](TForm2_3D* f) { f->ResetCamera(); });
  link.SetPipeThreshold = [](int v) { PipeThreshold = v; };
  link.SetTimeToLive = [](int v) { TimeToLive = v; };
  link.SetStopCubeLayout = [](bool v) { StopCubeLayout = v; };
}
