// Capture through the real driver on the loopback interface. Listing needs
// no privileges; capturing needs CAP_NET_RAW and is skipped without it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/Pcap.h"
#include "capture/capsubs.h"
#include "capture/monpcap.h"
#include "platform/Messages.h"
#include "rtl/SysUtils.h"
#include "tests/common/TempFolder.h"

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

// A network namespace of the test's own, deleted afterwards; capture components
// work in the namespace of the thread that uses them.
class InOwnNamespace : public RealDriver {
 protected:
  void SetUp() override {
    RealDriver::SetUp();
    if (IsSkipped()) return;
    if (!CapturePermitted()) GTEST_SKIP() << "capturing needs CAP_NET_RAW (run as root or setcap)";
    Ns = "tamrivel-test-" + std::to_string(getpid());
    if (!Run("ip netns add " + Ns))
      GTEST_SKIP() << "cannot create a network namespace (ip netns add needs CAP_SYS_ADMIN)";
    Made = true;
    // Without IPv6 an interface that comes up sends nothing of its own
    // (no neighbour or multicast listener messages): every frame on it is
    // the test's. Set before any interface is made or brought up.
    Ipv6Off = Run("ip netns exec " + Ns + " sysctl -w net.ipv6.conf.all.disable_ipv6=1") &&
              Run("ip netns exec " + Ns + " sysctl -w net.ipv6.conf.default.disable_ipv6=1");
  }
  void TearDown() override {
    if (Made) Run("ip netns del " + Ns);
    RealDriver::TearDown();
  }
  static bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
  // Moves the calling thread into the namespace; empty when it is there.
  std::string Enter() const {
    const int fd = open(("/run/netns/" + Ns).c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) close(fd);
    return entered ? "" : "cannot enter the namespace";
  }

  std::string Ns;
  bool Made = false;
  bool Ipv6Off = false;
};

// The namespace holding one Ethernet-type interface that is down.
class Live_DownInterface : public InOwnNamespace {
 protected:
  void SetUp() override {
    InOwnNamespace::SetUp();
    if (IsSkipped()) return;
    if (!Run("ip -n " + Ns + " link add d0 type dummy") && !Run("ip -n " + Ns + " link add d0 type veth peer name d1"))
      GTEST_SKIP() << "cannot create a dummy or veth interface in a network namespace";
  }
};

TEST_F(Live_DownInterface, IsListedButItsOpenFails) {
  std::vector<std::string> names;
  bool connected = true;
  std::string error;
  std::string entered;
  // The capture component works in the namespace of the thread that uses it.
  std::thread inside([&] {
    entered = Enter();
    if (!entered.empty()) return;
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

// A host with many adapters (containers): 60 veth pairs and lo. Each one is
// listed; the names alone outgrow the first name buffer.
class Live_ManyAdapters : public InOwnNamespace {};

TEST_F(Live_ManyAdapters, EveryAdapterIsListed) {
  const TTestFolder folder("many");
  const std::string batch = folder.File("veth.batch");
  {
    FILE* f = std::fopen(batch.c_str(), "w");
    ASSERT_NE(f, nullptr);
    for (int i = 0; i < 60; ++i) std::fprintf(f, "link add tdummy%d type veth peer name tdummyp%d\n", i, i);
    std::fclose(f);
  }
  const bool made = Run("ip -n " + Ns + " -batch " + batch);
  if (!made) GTEST_SKIP() << "cannot create 60 veth pairs in a network namespace";
  std::vector<std::string> names, kernel;
  std::string entered, error;
  std::thread inside([&] {
    entered = Enter();
    if (!entered.empty()) return;
    struct if_nameindex* all = if_nameindex();
    for (struct if_nameindex* i = all; i && i->if_index; ++i) kernel.push_back(i->if_name);
    if (all) if_freenameindex(all);
    TMonitorPcap mon(nullptr);
    names = Rows(mon.AdapterNameList());
    error = mon.LastError();
  });
  inside.join();
  ASSERT_EQ(entered, "");
  std::printf("[ adapters ] %zu in the namespace, %zu listed\n", kernel.size(), names.size());
  EXPECT_EQ(error, "");
  ASSERT_EQ(kernel.size(), 121u);
  EXPECT_EQ(names.size(), kernel.size());
  for (const std::string& k : kernel) EXPECT_NE(std::find(names.begin(), names.end(), k), names.end()) << k;
}

// An adapter deleted while it is being captured: the capture ends, says why
// and tells its thread; a capture on an idle adapter beside it runs on.
class Live_VanishingAdapter : public InOwnNamespace {};

TEST_F(Live_VanishingAdapter, EndsItsCaptureWhileAnIdleOneRunsOn) {
  if (!Run("ip -n " + Ns + " link add va0 type veth peer name va1") ||
      !Run("ip -n " + Ns + " link add vb0 type veth peer name vb1"))
    GTEST_SKIP() << "cannot create veth pairs in a network namespace";
  for (const char* d : {"va0", "va1", "vb0", "vb1"}) ASSERT_TRUE(Run("ip -n " + Ns + " link set " + d + " up")) << d;
  std::string entered, startError, why, idleError;
  bool ended = false, idleEnded = false, connectedAfter = true, idleConnected = false;
  double delay = -1;
  std::thread inside([&] {
    entered = Enter();
    if (!entered.empty()) return;
    TMonitorPcap gone(nullptr), idle(nullptr);
    gone.SetMonAdapter("va0");
    idle.SetMonAdapter("vb0");
    const auto t0 = std::make_shared<std::chrono::steady_clock::time_point>();
    gone.OnCaptureEnded = [&, t0](TObject*) {
      ended = true;
      delay = std::chrono::duration<double>(std::chrono::steady_clock::now() - *t0).count();
      why = gone.LastError();
    };
    idle.OnCaptureEnded = [&](TObject*) { idleEnded = true; };
    gone.StartMonitor();
    idle.StartMonitor();
    if (!gone.Connected() || !idle.Connected()) {
      startError = gone.LastError() + idle.LastError();
      return;
    }
    WaitMessages([] { return false; }, 300);
    *t0 = std::chrono::steady_clock::now();
    Run("ip link del va0");
    WaitMessages([&] { return ended; }, 5000);
    connectedAfter = gone.Connected();
    // Longer than the idle adapter's presence check.
    WaitMessages([] { return false; }, 1500);
    idleConnected = idle.Connected();
    idleError = idle.LastError();
    idle.StopMonitor();
    gone.StopMonitor();
  });
  inside.join();
  ASSERT_EQ(entered, "");
  ASSERT_EQ(startError, "");
  std::printf("[ vanish   ] end event after %.3f s: %s\n", delay, why.c_str());
  EXPECT_TRUE(ended);
  EXPECT_FALSE(connectedAfter);
  EXPECT_EQ(why, "Capture ended: adapter \"va0\" has gone (" + SysErrorMessage(ENODEV) + ")");
  EXPECT_FALSE(idleEnded);
  EXPECT_TRUE(idleConnected);
  EXPECT_EQ(idleError, "");
}

// Taken down and renamed: no read error says so (a downed adapter is only
// paused), but the name no longer gives the adapter that was opened.
TEST_F(Live_VanishingAdapter, EndsItsCaptureWhenRenamed) {
  if (!Run("ip -n " + Ns + " link add vr0 type veth peer name vr1"))
    GTEST_SKIP() << "cannot create a veth pair in a network namespace";
  for (const char* d : {"vr0", "vr1"}) ASSERT_TRUE(Run("ip -n " + Ns + " link set " + d + " up")) << d;
  std::string entered, startError, why;
  bool ended = false;
  std::thread inside([&] {
    entered = Enter();
    if (!entered.empty()) return;
    TMonitorPcap mon(nullptr);
    mon.SetMonAdapter("vr0");
    mon.OnCaptureEnded = [&](TObject*) { ended = true; };
    mon.StartMonitor();
    if (!mon.Connected()) {
      startError = mon.LastError();
      return;
    }
    WaitMessages([] { return false; }, 300);
    Run("ip link set vr0 down");
    Run("ip link set vr0 name vr9");
    WaitMessages([&] { return ended; }, 5000);
    why = mon.LastError();
    mon.StopMonitor();
  });
  inside.join();
  ASSERT_EQ(entered, "");
  ASSERT_EQ(startError, "");
  EXPECT_TRUE(ended);
  EXPECT_EQ(why, "Capture ended: adapter \"vr0\" has gone (" + SysErrorMessage(ENODEV) + ")");
}

// Bursts sent as fast as the sender can go, in a namespace with IPv6 off, so
// that the burst's frames are the only ones. The driver's 1 MB buffer has room
// for 300 frames of the monitor's snap length, so a burst of 300 is counted
// whole; of a burst of 2,000 every frame is either counted or reported
// dropped, and no drop is reported that did not take place.
class Live_Burst : public InOwnNamespace {
 protected:
  static constexpr int MarkerPort = 47017;

  struct TFigures {
    int Sent = 0;
    int Counted = 0;
    int64_t Dropped = 0;
    std::string Error;
  };

  void SetUp() override {
    InOwnNamespace::SetUp();
    if (IsSkipped()) return;
    // Frames of others on the interface would be dropped and counted too.
    if (!Ipv6Off) GTEST_SKIP() << "cannot turn IPv6 off in a network namespace (sysctl net.ipv6.conf.all.disable_ipv6)";
    if (!Run("ip -n " + Ns + " link set lo up")) GTEST_SKIP() << "cannot bring lo up in a network namespace";
  }

  // Captures on Adapter inside the namespace while Send (also run there)
  // sends a burst; Send returns the number of frames it sent.
  TFigures Capture(const std::string& Adapter, const std::function<int()>& Send) {
    TFigures f;
    std::thread inside([&] {
      f.Error = Enter();
      if (!f.Error.empty()) return;
      std::atomic<int> counted{0};
      TMonitorPcap mon(nullptr);
      mon.SetMonAdapter(Adapter);
      mon.OnPacketEvent = [&](TObject*, TPacketInfo info) {
        if (info.IpProtocol == 17 && info.DestPort == MarkerPort) counted.fetch_add(1);
      };
      mon.StartMonitor();
      if (!mon.Connected()) {
        f.Error = "cannot capture on " + Adapter + ": " + mon.LastError();
        return;
      }
      f.Sent = Send();
      // Until everything has come or nothing more has come for a second.
      int last = -1;
      for (int quiet = 0; quiet < 50 && counted.load() < f.Sent;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const int now = counted.load();
        quiet = now == last ? quiet + 1 : 0;
        last = now;
      }
      mon.StopMonitor();
      f.Counted = counted.load();
      f.Dropped = mon.TotDroppedPackets();
      if (!mon.LastError().empty()) f.Error = mon.LastError();
    });
    inside.join();
    std::printf("[ burst    ] %s: sent %d, counted %d, reported dropped %lld\n", Adapter.c_str(), f.Sent, f.Counted,
                static_cast<long long>(f.Dropped));
    return f;
  }

  static void ExpectAccounted(const TFigures& f, int Frames) {
    ASSERT_EQ(f.Error, "");
    ASSERT_EQ(f.Sent, Frames);
    EXPECT_LE(f.Counted, f.Sent);
    if (Frames <= 300) {
      EXPECT_EQ(f.Counted, f.Sent);
      EXPECT_EQ(f.Dropped, 0);
    }
    // No other frame shares the interface: a drop reported is one of the burst.
    EXPECT_EQ(f.Counted + f.Dropped, int64_t(f.Sent))
        << f.Sent - f.Counted << " frames missing, " << f.Dropped << " reported dropped";
  }

  // UDP datagrams of 100 bytes to a bound receiver on 127.0.0.1.
  static int SendUdp(int Frames) {
    const int rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(MarkerPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int sent = 0;
    if (rx >= 0 && tx >= 0 && bind(rx, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
      const std::string payload(100, 'b');
      for (int i = 0; i < Frames; ++i)
        if (sendto(tx, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0) ++sent;
    }
    if (rx >= 0) close(rx);
    if (tx >= 0) close(tx);
    return sent;
  }

  // Ethernet frames carrying UDP datagrams of 100 bytes, written to the far
  // end of the pair with a packet socket.
  static int SendFrames(const std::string& Device, int Frames) {
    const int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (s < 0) return 0;
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_ifindex = int(if_nametoindex(Device.c_str()));
    at.sll_halen = 6;
    std::vector<uint8_t> f(14 + 20 + 8 + 100, 0);
    std::memset(f.data(), 0xFF, 6);  // broadcast
    const uint8_t src[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
    std::memcpy(f.data() + 6, src, 6);
    f[12] = 0x08;  // IPv4
    uint8_t* ip = f.data() + 14;
    ip[0] = 0x45;
    ip[2] = 0;
    ip[3] = 20 + 8 + 100;
    ip[8] = 64;
    ip[9] = 17;
    const uint8_t from[4] = {10, 200, 0, 2}, to[4] = {10, 200, 0, 1};
    std::memcpy(ip + 12, from, 4);
    std::memcpy(ip + 16, to, 4);
    uint8_t* udp = ip + 20;
    udp[0] = 0xB0;
    udp[1] = 0x01;
    udp[2] = uint8_t(MarkerPort >> 8);
    udp[3] = uint8_t(MarkerPort & 0xFF);
    udp[5] = 8 + 100;
    int sent = 0;
    if (at.sll_ifindex != 0)
      for (int i = 0; i < Frames; ++i)
        if (sendto(s, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&at), sizeof at) > 0) ++sent;
    close(s);
    return sent;
  }
};

TEST_F(Live_Burst, OnLoopbackEveryDatagramIsCountedOrReportedDropped) {
  for (const int frames : {300, 2000}) {
    SCOPED_TRACE(frames);
    ExpectAccounted(Capture("lo", [frames] { return SendUdp(frames); }), frames);
  }
}

TEST_F(Live_Burst, OnAVethPairEveryFrameIsCountedOrReportedDropped) {
  if (!Run("ip -n " + Ns + " link add bv0 type veth peer name bv1") || !Run("ip -n " + Ns + " link set bv0 up") ||
      !Run("ip -n " + Ns + " link set bv1 up"))
    GTEST_SKIP() << "cannot create a veth pair in a network namespace";
  for (const int frames : {300, 2000}) {
    SCOPED_TRACE(frames);
    ExpectAccounted(Capture("bv0", [frames] { return SendFrames("bv1", frames); }), frames);
  }
}

}  // namespace
