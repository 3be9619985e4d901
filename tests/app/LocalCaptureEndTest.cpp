// The main window when its local capture ends on its own (the adapter has
// gone): the reason in the event log, the button ready to start again.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "app/Unit1.h"
#include "capture/monpcap.h"
#include "platform/Paths.h"
#include "rtl/SysUtils.h"
#include "tests/capture/FakeDriver.h"
#include "tests/capture/Frames.h"

namespace {

class LocalCaptureEnd : public testing::Test {
 protected:
  QTemporaryDir Dir;
  void SetUp() override {
    SetProgramFolder(Dir.path().toStdString());
    ViewLink() = TViewLink{};
    InstallFakeDriver();
    const std::string Names("fake0\0\0Fake adapter A\0\0", 23);
    Fake().NameBuffer.assign(Names.begin(), Names.end());
    Fake().Adapters = {"fake0"};
  }
  void TearDown() override {
    RemoveFakeDriver();
    SetProgramFolder("");
  }
  // Pumps the window's events until Done holds or Ms have passed; the time taken.
  template <class F>
  static double PumpUntil(F Done, int Ms = 5000) {
    const auto T0 = std::chrono::steady_clock::now();
    while (!Done() && std::chrono::steady_clock::now() - T0 < std::chrono::milliseconds(Ms)) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count();
  }
};

TEST_F(LocalCaptureEnd, AVanishedAdapterIsLoggedAndTheButtonStartsAgain) {
  TForm1 F;
  F.doMonitor->click();
  ASSERT_TRUE(F.MonitoringActive) << F.OBJinfo->toPlainText().toStdString();
  ASSERT_EQ(F.doMonitor->text(), "Stop Monitor");

  // A failure of another kind, then frames: the capture runs on.
  Fake().PushFailure(EIO);
  std::vector<uint8_t> Block;
  frames::AppendRecord(Block, frames::UdpFrame(frames::TFrameSpec{}), 1700000000, 0);
  Fake().PushBlock(Block);
  PumpUntil([] {
    std::lock_guard<std::mutex> Lock(Fake().Lock);
    return Fake().Reads.empty();
  });
  PumpUntil([] { return false; }, 1000);  // a second with no traffic
  EXPECT_TRUE(F.MonitoringActive);
  EXPECT_TRUE(F.MonitorPcap()->Connected());

  const std::string Why = "Capture ended: adapter \"fake0\" has gone (" + SysErrorMessage(ENODEV) + ")";
  Fake().PushFailure(ENODEV);
  const double Delay = PumpUntil([&] { return F.OBJinfo->toPlainText().contains(QString::fromStdString(Why)); });
  std::printf("[ logged   ] after %.3f s: %s\n", Delay, Why.c_str());
  EXPECT_TRUE(F.OBJinfo->toPlainText().endsWith(QString::fromStdString(Why))) << F.OBJinfo->toPlainText().toStdString();
  EXPECT_FALSE(F.MonitoringActive);
  EXPECT_EQ(F.doMonitor->text(), "Start Monitor");
  EXPECT_FALSE(F.MonitorPcap()->Connected());
  EXPECT_EQ(Fake().Closes, 1);

  // The button starts a new capture, as after a failed start; a stop then is
  // the user's and logs nothing more.
  F.doMonitor->click();
  EXPECT_TRUE(F.MonitoringActive);
  EXPECT_EQ(F.doMonitor->text(), "Stop Monitor");
  EXPECT_EQ(Fake().Opens, 2);
  const int Lines = F.OBJinfo->blockCount();
  F.doMonitor->click();
  PumpUntil([] { return false; }, 300);
  EXPECT_EQ(F.doMonitor->text(), "Start Monitor");
  EXPECT_EQ(F.OBJinfo->blockCount(), Lines);
}

}  // namespace
