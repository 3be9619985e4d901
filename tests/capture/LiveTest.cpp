// Capture through the real driver on the loopback interface. Listing needs
// no privileges; capturing needs CAP_NET_RAW and is skipped without it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
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

TEST_F(Live_Loopback, StopOnAnIdleInterfaceEndsTheCaptureCleanly) {
  TMonitorPcap mon(nullptr);
  mon.SetMonAdapter("lo");
  mon.StartMonitor();
  ASSERT_TRUE(mon.Connected()) << mon.LastError();
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  mon.StopMonitor();
  EXPECT_FALSE(mon.Connected());
  EXPECT_EQ(mon.LastError(), "");
}

// A network namespace of the test's own holding one Ethernet-type interface
// that is down.
class Live_DownInterface : public RealDriver {
protected:
  void SetUp() override {
    RealDriver::SetUp();
    if (IsSkipped()) return;
    if (!CapturePermitted()) GTEST_SKIP() << "opening an adapter needs CAP_NET_RAW (run as root or setcap)";
    Ns = "tamrivel-test-" + std::to_string(getpid());
    if (!Run("ip netns add " + Ns)) GTEST_SKIP() << "cannot create a network namespace (ip netns add needs CAP_SYS_ADMIN)";
    Made = true;
    if (!Run("ip -n " + Ns + " link add d0 type dummy") && !Run("ip -n " + Ns + " link add d0 type veth peer name d1"))
      GTEST_SKIP() << "cannot create a dummy or veth interface in a network namespace";
  }
  void TearDown() override {
    if (Made) Run("ip netns del " + Ns);
    RealDriver::TearDown();
  }
  static bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

  std::string Ns;
  bool Made = false;
};

TEST_F(Live_DownInterface, IsListedButItsOpenFails) {
  std::vector<std::string> names;
  bool connected = true;
  std::string error;
  std::string entered;
  // The capture component works in the namespace of the thread that uses it.
  std::thread inside([&] {
    const int fd = open(("/run/netns/" + Ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
      entered = "cannot enter the namespace";
      if (fd >= 0) close(fd);
      return;
    }
    close(fd);
    TMonitorPcap mon(nullptr);
    names = Rows(mon.AdapterNameList());
    mon.SetMonAdapter("d0");
    mon.StartMonitor();
    connected = mon.Connected();
    error = mon.LastError();
    mon.StopMonitor();
  });
  inside.join();
  ASSERT_EQ(entered, "");
  EXPECT_NE(std::find(names.begin(), names.end(), "d0"), names.end());
  EXPECT_FALSE(connected);
  EXPECT_EQ(error, "Cannot Open Adapter \"d0\"");
}

}  // namespace
