// Capture through the real driver on the loopback interface. Listing needs
// no privileges; capturing needs CAP_NET_RAW and is skipped without it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/Pcap.h"
#include "capture/capsubs.h"
#include "capture/monpcap.h"

namespace {

bool CapturePermitted() {
  const int s = socket(AF_PACKET, SOCK_RAW, 0);
  if (s < 0) return false;
  close(s);
  return true;
}

std::vector<std::string> Rows(const TStrings* l) {
  std::vector<std::string> v;
  for (int i = 0; i < l->Count(); ++i) v.push_back(l->Strings(i));
  return v;
}

class RealDriver : public testing::Test {
protected:
  void SetUp() override {
    SetPacketModule(nullptr);
    if (!LoadPacketDll()) GTEST_SKIP() << "libpcap (libpcap.so.1 or libpcap.so.0.8) is not installed";
  }
  void TearDown() override { FreePacketDll(); }
};

TEST_F(RealDriver, ListsEthernetTypeAdaptersWithDescriptionsAndLoopbackAddresses) {
  TMonitorPcap mon(nullptr);
  const std::vector<std::string> names = Rows(mon.AdapterNameList());
  const std::vector<std::string> descs = Rows(mon.AdapterDescList());
  ASSERT_EQ(names.size(), descs.size());
  EXPECT_NE(std::find(names.begin(), names.end(), "lo"), names.end());
  for (const char* other : {"any", "nflog", "nfqueue"})
    EXPECT_EQ(std::find(names.begin(), names.end(), other), names.end()) << other;
  for (const std::string& d : descs) EXPECT_FALSE(d.empty());
  EXPECT_EQ(mon.PacketVersion().rfind("libpcap", 0), 0u) << mon.PacketVersion();
  EXPECT_FALSE(mon.DriverVersion().empty());

  TStringList ips, masks, bcasts;
  ASSERT_GE(mon.GetIPAddresses("lo", &ips, &masks, &bcasts), 1) << mon.LastError();
  EXPECT_EQ(ips.Strings(0), "127.0.0.1");
  EXPECT_EQ(masks.Strings(0), "255.0.0.0");

  std::string err;
  EXPECT_EQ(OpenCapture("no-such-if0", 2000, false, err, 100), nullptr);
  EXPECT_EQ(err, "Cannot Open Adapter \"no-such-if0\"");
}

class Live_Loopback : public RealDriver {
protected:
  void SetUp() override {
    RealDriver::SetUp();
    if (IsSkipped()) return;
    if (!CapturePermitted()) GTEST_SKIP() << "capturing on lo needs CAP_NET_RAW (run as root or setcap)";
  }
};

TEST_F(Live_Loopback, UdpDatagramsAreCapturedAndDecoded) {
  TMonitorPcap mon(nullptr);
  mon.SetMonAdapter("lo");
  std::mutex lock;
  std::vector<TPacketInfo> seen;
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(0);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // A bound receiver gives a port that no other test uses.
  const int rx = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  socklen_t len = sizeof to;
  getsockname(rx, reinterpret_cast<sockaddr*>(&to), &len);
  const int port = ntohs(to.sin_port);
  mon.OnPacketEvent = [&](TObject*, TPacketInfo info) {
    if (info.IpProtocol == 17 && info.DestPort == port) {
      std::lock_guard<std::mutex> g(lock);
      seen.push_back(std::move(info));
    }
  };
  mon.StartMonitor();
  ASSERT_TRUE(mon.Connected()) << mon.LastError();

  const std::string payload = "tamrivel loopback probe";
  size_t count = 0;
  for (int i = 0; i < 200 && count < 3; ++i) {
    sendto(sock, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard<std::mutex> g(lock);
    count = seen.size();
  }
  mon.StopMonitor();
  close(sock);
  close(rx);
  EXPECT_FALSE(mon.Connected());
  ASSERT_GE(seen.size(), 3u) << mon.LastError();
  const TPacketInfo& p = seen[0];
  EXPECT_EQ(p.EtherType, 0x0800);
  EXPECT_EQ(IPAddrToText(p.SourceIp), "127.0.0.1");
  EXPECT_EQ(IPAddrToText(p.DestIp), "127.0.0.1");
  EXPECT_EQ(MacAddrToText(p.SourceMac), "00-00-00-00-00-00");
  EXPECT_TRUE(p.FromLocalAdapter);  // the loopback MAC is all zero
  EXPECT_EQ(p.WireLength, int(14 + 20 + 8 + payload.size()));
  EXPECT_EQ(p.PayloadLength, int(payload.size()));
  EXPECT_EQ(p.Payload, payload);
  EXPECT_GE(mon.TotSendPackets(), 3);
}

TEST_F(Live_Loopback, StopOnAnIdleInterfaceReturnsWithinAReadTimeOut) {
  TMonitorPcap mon(nullptr);
  mon.SetMonAdapter("lo");
  mon.StartMonitor();
  ASSERT_TRUE(mon.Connected()) << mon.LastError();
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  const auto t0 = std::chrono::steady_clock::now();
  mon.StopMonitor();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  RecordProperty("StopMilliseconds", int(ms));
  // Generous bound: it catches a read that blocks for seconds, not jitter.
  EXPECT_LT(ms, 2000);
  EXPECT_FALSE(mon.Connected());
  EXPECT_EQ(mon.LastError(), "");
}

}  // namespace
