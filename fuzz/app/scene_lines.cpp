// Packet lines through the packet queue into a traffic scene without a window:
// parsing, cubes, pipes, their labels, the bandwidth and lifetime check. The
// first byte picks the road (raw lines or feed datagrams), the filters and the
// thresholds. Nothing may crash; the queue must drain within its own count of
// steps (a step that never empties it is a hang, as is any input running past
// the fuzzer's time-out); the scene keeps its counts consistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include <QDir>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <fstream>

#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneGraph.h"
#include "app/PacketQueue.h"
#include "app/TrafficScene.h"
#include "app/Unit2_3D.h"
#include "app/Unit3_Wsocket.h"
#include "app/Unit_Globals.h"
#include "platform/Paths.h"

namespace {
class THost : public TViewHost {
 public:
  uint8_t Flags = 0;
  bool IgnoreARPChecked() const override { return Flags & 2; }
  bool IgnoreICMPChecked() const override { return Flags & 4; }
  bool IgnoreIPChecked() const override { return Flags & 8; }
  bool IgnoreTimeOutChecked() const override { return Flags & 16; }
  bool HideBelowThresholdChecked() const override { return Flags & 32; }
  bool BufferPanelVisible() const override { return false; }
  void ShowBufferPanel() override {}
  void SetBufferLabel(const std::string&) override {}
  void SetCountCaptions(const std::string&, const std::string&, const std::string&) override {}
  void SetTotalBandwidthCaption(const std::string&) override {}
  void SetChartPoint(int, double) override {}
  QPlainTextEdit* OBJinfoMemo() override { return nullptr; }
  QLabel* BandwidthLabel() override { return nullptr; }
  void ShowSelection(const std::string&, const std::string&, const std::string&, const std::string&, const std::string&,
                     const std::string&) override {}
};

// Labels are drawn with fonts (a GUI application) into the program folder's
// "Images"; a few addresses have user names, so label files are drawn and reused.
struct TWorld {
  std::unique_ptr<QGuiApplication> App;
  QTemporaryDir Dir;
  TWorld() {
    static int argc = 1;
    static char name[] = "fuzz_scene_lines";
    static char* argv[] = {name, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Without a runtime folder Qt makes one in /tmp and leaves it there.
    setenv("XDG_RUNTIME_DIR", Dir.path().toLocal8Bit().constData(), 1);
    App = std::make_unique<QGuiApplication>(argc, argv);
    SetProgramFolder(Dir.path().toStdString());
    std::ofstream(Dir.path().toStdString() + "/IPToComputerName.ini")
        << "[10.0.0.1]\nUSER=John Smith\n[10.0.0.2]\nUSER=John Smith\n[10.0.0.3]\nUSER=a/b\\c..\n";
    std::ofstream(Dir.path().toStdString() + "/SnifferPCsInfo.ini")
        << "[Default]\nNetType=other\n[LAN]\nIPmin=10.0.0.0\nIPmax=10.0.0.255\nNetType=localnet\n"
           "[Block]\nIPmin=172.16.0.0\nIPmax=172.16.255.255\nShowAsOneCube=1\n";
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static TWorld world;
  if (Size == 0) return 0;
  const uint8_t mode = Data[0];
  const std::string text(reinterpret_cast<const char*>(Data) + 1, Size - 1);

  TGLSceneGraph scene(nullptr);
  auto* pcs = scene.Objects()->AddNewChild<TGLDummyCube>();
  auto* groups = scene.Objects()->AddNewChild<TGLDummyCube>();
  auto* connections = scene.Objects()->AddNewChild<TGLDummyCube>();
  THost host;
  host.Flags = mode;
  TTrafficScene traffic(pcs, groups, connections);
  traffic.Host = &host;
  int64_t now = 1000;
  traffic.PerfFrequency = 1000;
  traffic.Now = [&now] { return now; };
  traffic.LoadPCinfoToArry();
  PipeThreshold = 1 + mode % 7;
  TimeToLive = 1 + mode % 3;

  TPacketQueue& queue = PacketQueue();
  std::string stale;
  while (queue.Take(stale)) {
  }
  int loaded = 0;
  if (mode & 1) {
    // Feed datagrams of at most 64 bytes each, joined by the assembler.
    TFeedAssembler feed;
    for (size_t at = 0; at < text.size(); at += 64)
      for (const std::string& line : feed.Feed(text.substr(at, 64))) {
        queue.QueLoad(line);
        ++loaded;
      }
  } else {
    for (const std::string& line : Split(text, "\n")) {
      queue.QueLoad(line);
      ++loaded;
    }
  }
  int steps = 0;
  while (queue.QuePending() > 0) {
    if (++steps > loaded + 1) std::abort();  // the queue does not drain
    queue.QueUnload([&traffic](const std::string& line) { traffic.ProcessLine(line); }, [](const std::string&) {});
    now += 7;
  }
  for (int check = 0; check < 3; ++check) {
    now += 1000 * (TimeToLive + 1);
    traffic.Timer_ChkLifeTimer();
  }
  traffic.ExpireAllCubes();
  if (traffic.SelectedObject) std::abort();
  return 0;
}
