// The capture monitor and its thread against the fake driver.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FakeDriver.h"
#include "Frames.h"
#include "capture/capsubs.h"
#include "capture/monpcap.h"
#include "platform/Messages.h"
#include "rtl/SysUtils.h"

using frames::TFrameSpec;

namespace {

class Monitor : public testing::Test {
 protected:
  void SetUp() override {
    InstallFakeDriver();
    const std::string names("fake0\0fake1\0\0Fake adapter A\0Fake adapter B\0\0", 44);
    Fake().NameBuffer.assign(names.begin(), names.end());
    Fake().Adapters = {"fake0", "fake1"};
  }
  void TearDown() override {
    Mon.reset();
    RemoveFakeDriver();
  }

  void Create() {
    Mon = std::make_unique<TMonitorPcap>(nullptr);
    Mon->OnPacketEvent = [this](TObject*, TPacketInfo info) {
      std::lock_guard<std::mutex> lock(Lock);
      Threads.push_back(std::this_thread::get_id());
      Events.push_back(std::move(info));
    };
  }

  size_t EventCount() {
    std::lock_guard<std::mutex> lock(Lock);
    return Events.size();
  }

  // Waits (without a time assertion) until n events have arrived.
  bool WaitEvents(size_t n) {
    for (int i = 0; i < 5000; ++i) {
      if (EventCount() >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  static std::vector<uint8_t> Block(const std::vector<std::vector<uint8_t>>& fs) {
    std::vector<uint8_t> b;
    for (const auto& f : fs) frames::AppendRecord(b, f, 1700000000, 0);
    return b;
  }

  std::unique_ptr<TMonitorPcap> Mon;
  std::mutex Lock;
  std::vector<TPacketInfo> Events;
  std::vector<std::thread::id> Threads;
};

TEST_F(Monitor, CreationListsAdaptersAndVersions) {
  Create();
  EXPECT_EQ(Mon->ClassName(), "TMonitorPcap");
  ASSERT_EQ(Mon->AdapterNameList()->Count(), 2);
  EXPECT_EQ(Mon->AdapterNameList()->Strings(1), "fake1");
  EXPECT_EQ(Mon->AdapterDescList()->Strings(1), "Fake adapter B");
  EXPECT_EQ(Mon->MonAdapter(), "fake0");
  EXPECT_EQ(Mon->DriverVersion(), "Fake driver 1.0");
  EXPECT_EQ(Mon->PacketVersion(), "4.1.3");
  EXPECT_EQ(Mon->LastError(), "");
  EXPECT_FALSE(Mon->Connected());
  EXPECT_FALSE(Mon->IgnoreData() || Mon->IgnoreLAN() || Mon->IgnoreNonIP() || Mon->Promiscuous());
}

TEST_F(Monitor, WithoutTheDriverNothingCanStart) {
  Fake().Present = false;
  Create();
  EXPECT_EQ(Mon->AdapterNameList()->Count(), 0);
  EXPECT_EQ(Mon->DriverVersion(), "Cannot load packet.dll");
  EXPECT_EQ(Mon->PacketVersion(), "Cannot load packet.dll");
  EXPECT_EQ(Mon->LastError(), "Cannot load packet.dll");
  Mon->StartMonitor();
  EXPECT_FALSE(Mon->Connected());
  EXPECT_EQ(Mon->LastError(), "No Adaptors Found to Monitor");
  Mon->StopMonitor();
}

TEST_F(Monitor, CaptureDecodesCountsAndDeliversOnTheCaptureThread) {
  Create();
  Mon->SetAddr("  192.168.1.5 ");
  Mon->StartMonitor();
  ASSERT_TRUE(Mon->Connected()) << Mon->LastError();
  EXPECT_EQ(Mon->LastError(), "");
  EXPECT_EQ(Mon->Addr(), "192.168.1.5");
  EXPECT_EQ(Fake().SnapLenAsked, 2000);
  EXPECT_EQ(Fake().HwFilter, 0x01u);

  TFrameSpec sent;
  std::memcpy(sent.Src, Fake().Mac, 6);
  TFrameSpec received;
  received.Payload = {1, 2, 3};
  Fake().PushBlock(Block({frames::TcpFrame(sent), frames::UdpFrame(received), frames::ArpFrame(received)}));
  ASSERT_TRUE(WaitEvents(3));
  Mon->StopMonitor();
  EXPECT_FALSE(Mon->Connected());
  EXPECT_EQ(Fake().ReadTimeout, 100);
  EXPECT_EQ(Fake().Opens, Fake().Closes);
  EXPECT_EQ(Fake().PacketsAllocated, Fake().PacketsFreed);

  EXPECT_TRUE(Events[0].FromLocalAdapter);
  EXPECT_FALSE(Events[1].FromLocalAdapter);
  EXPECT_EQ(Events[1].Payload, std::string("\1\2\3", 3));
  EXPECT_EQ(Events[2].EtherType, 0x0806);
  EXPECT_NE(Threads[0], std::this_thread::get_id());
  EXPECT_EQ(Mon->TotSendPackets(), 1);
  EXPECT_EQ(Mon->TotSendBytes(), 54);
  EXPECT_EQ(Mon->TotRecvPackets(), 2);
  EXPECT_EQ(Mon->TotRecvBytes(), 45 + 60);
  EXPECT_EQ(TimeToTextMs(Events[0].CaptureTime - (-LocalZoneBias() / 1440.0)), "22:13:20:000");

  // Counters keep their values after a stop and start again from zero.
  Mon->SetIgnoreData(true);
  Mon->SetPromiscuous(true);
  Mon->StartMonitor();
  ASSERT_TRUE(Mon->Connected());
  EXPECT_EQ(Mon->TotRecvPackets(), 0);
  EXPECT_EQ(Fake().SnapLenAsked, 68);
  EXPECT_EQ(Fake().HwFilter, 0x20u);
  Mon->StopMonitor();
  EXPECT_EQ(Fake().Opens, 2);
  EXPECT_EQ(Fake().Closes, 2);
}

TEST_F(Monitor, SecondStartIsRefusedAndTheFirstKeepsRunning) {
  Create();
  Mon->StartMonitor();
  ASSERT_TRUE(Mon->Connected());
  Mon->StartMonitor();
  EXPECT_EQ(Mon->LastError(), "PCap Driver Already Running");
  EXPECT_TRUE(Mon->Connected());
  Fake().PushBlock(Block({frames::UdpFrame(TFrameSpec{})}));
  EXPECT_TRUE(WaitEvents(1));
  EXPECT_EQ(Fake().Opens, 1);
}

TEST_F(Monitor, FailedStartsLeaveTheirTextAndNoThread) {
  Create();
  Mon->SetMonAdapter("nope");
  Mon->StartMonitor();
  EXPECT_FALSE(Mon->Connected());
  EXPECT_EQ(Mon->LastError(), "Cannot Open Adapter \"nope\"");

  Mon->SetMonAdapter("fake1");
  Fake().FailStep = "PacketSetBuff";
  Mon->StartMonitor();
  EXPECT_FALSE(Mon->Connected());
  EXPECT_EQ(Mon->LastError(), "Not enough memory to allocate Driver buffer");
  EXPECT_EQ(Fake().Opens, Fake().Closes);

  Mon->SetMonAdapter("");
  Mon->StartMonitor();
  EXPECT_EQ(Mon->LastError(), "No Adaptors Found to Monitor");

  // A MAC failure is reported, yet capture runs.
  Mon->SetMonAdapter("fake0");
  Fake().FailStep = "PacketRequest";
  Mon->StartMonitor();
  EXPECT_TRUE(Mon->Connected());
  EXPECT_EQ(Mon->LastError(), "Failed to get adaptor MAC");
  Fake().PushBlock(Block({frames::UdpFrame(TFrameSpec{})}));
  EXPECT_TRUE(WaitEvents(1));
}

TEST_F(Monitor, ReadFailuresAndHandlerExceptionsDoNotEndTheCapture) {
  Create();
  auto handler = Mon->OnPacketEvent;
  bool first = true;
  Mon->OnPacketEvent = [&](TObject* s, TPacketInfo info) {
    if (first) {
      first = false;
      throw std::runtime_error("handler failed");
    }
    handler(s, std::move(info));
  };
  Mon->StartMonitor();
  ASSERT_TRUE(Mon->Connected());
  Fake().PushBlock(Block({frames::UdpFrame(TFrameSpec{}), frames::TcpFrame(TFrameSpec{})}));
  ASSERT_TRUE(WaitEvents(1));
  Fake().PushFailure();
  Fake().PushFailure();
  Fake().PushBlock(Block({frames::UdpFrame(TFrameSpec{})}));
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_TRUE(Mon->Connected());
  EXPECT_EQ(Mon->TotRecvPackets(), 3);
  Mon->StopMonitor();
  EXPECT_EQ(Mon->LastError(), "Read Error: PacketRecievePacket failed");

  // The next start begins without the old error.
  Mon->StartMonitor();
  Mon->StopMonitor();
  EXPECT_EQ(Mon->LastError(), "");
}

// A read that finds the adapter gone ends the capture: Connected turns False
// and LastError tells why at once; the end event follows on the starting
// thread, once, with the adapter closed. A failure of another kind does not.
TEST_F(Monitor, AVanishedAdapterEndsTheCaptureAndSaysWhy) {
  Create();
  int ended = 0;
  std::thread::id endedOn;
  bool closedThen = false;
  bool connectedThen = true;
  Mon->OnCaptureEnded = [&](TObject* sender) {
    EXPECT_EQ(sender, Mon.get());
    ++ended;
    endedOn = std::this_thread::get_id();
    closedThen = Fake().Closes == 1;
    connectedThen = Mon->Connected();
  };
  Mon->StartMonitor();
  ASSERT_TRUE(Mon->Connected()) << Mon->LastError();
  Fake().PushFailure(EIO);  // another failure: retried
  Fake().PushBlock(Block({frames::UdpFrame(TFrameSpec{})}));
  ASSERT_TRUE(WaitEvents(1));
  EXPECT_TRUE(Mon->Connected());

  Fake().PushFailure(ENODEV);
  for (int i = 0; i < 5000 && Mon->Connected(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(Mon->Connected());
  const std::string why = "Capture ended: adapter \"fake0\" has gone (" + SysErrorMessage(ENODEV) + ")";
  EXPECT_EQ(Mon->LastError(), why);
  WaitMessages([&] { return ended > 0; }, 5000);
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(endedOn, std::this_thread::get_id());
  EXPECT_TRUE(closedThen);
  EXPECT_FALSE(connectedThen);
  EXPECT_EQ(Mon->LastError(), why);

  // Stopping it now is harmless; a new start works and a stop by the caller
  // raises no end event.
  Mon->StopMonitor();
  EXPECT_EQ(Fake().Closes, 1);
  Mon->StartMonitor();
  ASSERT_TRUE(Mon->Connected()) << Mon->LastError();
  EXPECT_EQ(Mon->LastError(), "");
  Mon->StopMonitor();
  ProcessMessages();
  EXPECT_EQ(ended, 1);

  // ENXIO (no such device or address) is a vanished adapter as well.
  Mon->StartMonitor();
  Fake().PushFailure(ENXIO);
  WaitMessages([&] { return ended > 1; }, 5000);
  EXPECT_EQ(ended, 2);
  EXPECT_FALSE(Mon->Connected());
}

TEST_F(Monitor, RunningCaptureKeepsTheFiltersItStartedWith) {
  Create();
  Mon->AddIgnoreIP(frames::Ip("10.0.0.9"));
  Mon->StartMonitor();
  ASSERT_TRUE(Mon->Connected());
  Mon->SetIgnoreNonIP(true);
  Mon->ClearIgnoreIPs();
  Mon->OnPacketEvent = nullptr;
  TFrameSpec ignored;
  ignored.DstIp = "10.0.0.9";
  Fake().PushBlock(Block({frames::ArpFrame(TFrameSpec{}), frames::UdpFrame(ignored), frames::UdpFrame(TFrameSpec{})}));
  ASSERT_TRUE(WaitEvents(2));
  Mon->StopMonitor();
  EXPECT_EQ(Events[0].EtherType, 0x0806);
  EXPECT_EQ(Events[1].DestIp, frames::Ip("10.0.0.1"));
  EXPECT_EQ(Mon->TotRecvPackets(), 2);
}

// The driver's drop count is read while capture runs and once more as it
// ends: every drop is counted and reported, in reports that add up.
TEST_F(Monitor, DriverDropsAreCountedAndEveryOneIsReported) {
  Create();
  std::vector<std::pair<int64_t, int64_t>> reports;  // (new, total), on the capture thread
  Mon->OnDropped = [&](TObject* sender, int64_t fresh, int64_t total) {
    EXPECT_EQ(sender, Mon.get());
    std::lock_guard<std::mutex> lock(Lock);
    reports.emplace_back(fresh, total);
  };
  auto waitDropped = [&](int64_t n) {
    for (int i = 0; i < 5000 && Mon->TotDroppedPackets() != n; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return Mon->TotDroppedPackets();
  };
  Fake().Drops = 0xFFFFFFF0u;
  Mon->StartMonitor();
  ASSERT_TRUE(Mon->Connected()) << Mon->LastError();
  EXPECT_EQ(waitDropped(0xFFFFFFF0), 0xFFFFFFF0);
  Fake().Drops = 0x8u;  // the driver's 32-bit count has wrapped
  EXPECT_EQ(waitDropped(0x100000008), 0x100000008);
  Fake().Drops = 0x10u;  // the last drops, seen only by the final read
  Mon->StopMonitor();
  EXPECT_EQ(Mon->TotDroppedPackets(), 0x100000010);
  ASSERT_FALSE(reports.empty());
  int64_t sum = 0;
  for (const auto& [fresh, total] : reports) {
    EXPECT_GT(fresh, 0);
    sum += fresh;
    EXPECT_EQ(total, sum);
  }
  EXPECT_EQ(sum, 0x100000010);

  // A new start counts from zero; without drops nothing is reported.
  reports.clear();
  Fake().Drops = 0;
  Mon->StartMonitor();
  ASSERT_TRUE(Mon->Connected());
  EXPECT_EQ(Mon->TotDroppedPackets(), 0);
  Mon->StopMonitor();
  EXPECT_TRUE(reports.empty());
}

TEST_F(Monitor, EveryEndJoinsTheThreadAndClosesTheAdapter) {
  Create();
  Mon->StopMonitor();  // idle: nothing happens
  EXPECT_EQ(Fake().Closes, 0);

  Mon->StartMonitor();
  ASSERT_TRUE(Mon->Connected());
  Mon.reset();  // destroying a running monitor stops it first
  EXPECT_EQ(Fake().Opens, 1);
  EXPECT_EQ(Fake().Closes, 1);
  EXPECT_EQ(Fake().PacketsFreed, 1);

  // A thread that ends on its own (a driver that raises) is noticed, joined
  // and cleaned up by the next start.
  Create();
  Mon->StartMonitor();
  ASSERT_TRUE(Mon->Connected());
  Fake().PushThrow();
  for (int i = 0; i < 5000 && Mon->Connected(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(Mon->Connected());
  Mon->StartMonitor();
  EXPECT_TRUE(Mon->Connected());
  EXPECT_EQ(Fake().Opens, 3);
  EXPECT_EQ(Fake().Closes, 2);
  Mon->StopMonitor();
  EXPECT_EQ(Fake().Closes, 3);
}

TEST_F(Monitor, AddressesAsTextRows) {
  Create();
  std::vector<uint8_t> area(3840, 0);
  const uint32_t v[3] = {frames::Ip("192.168.1.20"), frames::Ip("255.255.255.0"), frames::Ip("192.168.1.255")};
  for (int e = 0; e < 10; ++e)
    for (int k = 0; k < 3; ++k) std::memcpy(&area[e * 384 + 4 + k * 128], &v[k], 4);
  Fake().AddrBuffer = area;
  Fake().AddrCount = 11;
  TStringList ips, masks, bcasts;
  ips.Add("old");
  EXPECT_EQ(Mon->GetIPAddresses("fake0", &ips, &masks, &bcasts), 10);
  EXPECT_EQ(ips.Count(), 10);
  EXPECT_EQ(ips.Strings(9), "192.168.1.20");
  EXPECT_EQ(masks.Strings(0), "255.255.255.0");
  EXPECT_EQ(bcasts.Strings(0), "192.168.1.255");
}

}  // namespace
