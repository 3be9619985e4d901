// The two ways the program uses its sockets: the UDP packet-line feed listener
// (a TWSocket subclass on 0.0.0.0 port 32000) and the TCP client that drives a
// remote capture server with CR LF commands and waits for its "SCS>" prompt.
#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "SocketTestUtil.h"
#include "sockets/WSocket.h"

namespace {

// The feed listener as the program builds it: its own handlers, then the
// address, port and protocol it listens on.
class TMySocket : public TWSocket {
  RTL_CLASS(TMySocket, TWSocket)
 public:
  explicit TMySocket(TComponent* owner) : TWSocket(owner) {
    OnChangeState = [this](TObject*, TSocketState o, TSocketState n) {
      Log.push_back(SocketStateName(o) + " " + SocketStateName(n));
    };
    OnError = [this](TObject*) { Log.push_back("WSocket1Error"); };
    OnBgException = [this](TObject*, Exception& e, bool&) {
      Log.push_back("WSocket1BgException " + e.Message());
      Close();
    };
    OnSessionAvailable = [this](TObject*, uint16_t) { Log.push_back("WSocket1SessionAvailable"); };
    OnSessionConnected = [this](TObject*, uint16_t) { Log.push_back("WSocket1SessionConnected"); };
    OnSessionClosed = [this](TObject*, uint16_t) { Log.push_back("WSocket1SessionClosed"); };
    OnSocksAuthState = [this](TObject*, TSocksAuthState) { Log.push_back("WSocket1SocksAuthState"); };
    OnSocksConnected = [this](TObject*, uint16_t) { Log.push_back("WSocket1SocksConnected"); };
    OnSocksError = [this](TObject*, int, const std::string&) { Log.push_back("WSocket1SocksError"); };
    OnDataAvailable = [this](TObject*, uint16_t) {
      const std::string d = ReceiveAsString();
      if (d == "boom") throw ESocketException("feed handler failed");
      Datagrams.push_back(d);
    };
    SetAddr("0.0.0.0");
    SetLineMode(false);
    SetLingerOnOff(wsLingerOn);
    SetPort("32000");
    SetProto("udp");
  }
  std::vector<std::string> Log;
  std::vector<std::string> Datagrams;
};

std::string PacketLine(int n) {
  return "12:00:00:00" + std::to_string(n) +
         "\t00-11-22-33-44-55\t66-77-88-99-AA-BB\t0800\t60\t10.0.0.1\t1024\t10.0.0.2\t80\tTCP\tTCP-IP\n";
}

// A remote capture server: greets with a prompt, answers each CR LF command.
struct FakeCaptureServer {
  PlainSocket listener{SOCK_STREAM};
  int port = 0;
  std::string commands;  // everything received, all connections
  std::atomic<int> connections{0};
  std::thread thread;

  FakeCaptureServer() {
    port = listener.Bind(0);
    ::listen(listener.fd, 4);
    thread = std::thread([this] { Run(2); });
  }
  ~FakeCaptureServer() {
    ::shutdown(listener.fd, SHUT_RDWR);
    thread.join();
  }
  static void SendAll(int fd, const std::string& s) { ::send(fd, s.data(), s.size(), MSG_NOSIGNAL); }
  void Run(int count) {
    for (int c = 0; c < count; ++c) {
      pollfd p{listener.fd, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) return;
      const int fd = ::accept(listener.fd, nullptr, nullptr);
      if (fd < 0) return;
      ++connections;
      SendAll(fd, "Remote capture server\nSCS>\n");
      std::string pending;
      char buf[256];
      for (;;) {
        pollfd q{fd, POLLIN, 0};
        if (::poll(&q, 1, 10000) <= 0) break;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
        commands.append(buf, static_cast<size_t>(n));
        for (size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
          const std::string cmd = pending.substr(0, end);
          pending.erase(0, end + 2);
          if (cmd == "10") {  // one reply in two pieces, cut inside a line
            SendAll(fd, "AdapterList,Begin\n0=eth0\n1=lo\nIDX=1\nAdapterLi");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            SendAll(fd, "st,End\nSCS>\n");
          } else if (cmd == "11") {
            SendAll(fd, "AdapterIPList,Begin\n127.0.0.1\nAdapterIPList,End\nSCS>\r\n");
          } else if (cmd == "12") {  // the prompt as the last text, without a line end
            SendAll(fd, "SnifferStat,Begin\nMonLive=0\nMonitorPcap.Connected=0\nSnifferStat,End\nready SCS>");
          }
        }
      }
      ::close(fd);
    }
  }
};

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST(FeedListener, SubclassOnPort32000ReadsEveryDatagramWhole) {
  TMySocket s(nullptr);
  EXPECT_EQ(s.ClassName(), "TMySocket");
  EXPECT_TRUE(s.InheritsFrom(TWSocket::StaticClass()));
  s.Listen();
  if (s.LastError() == WSAEADDRINUSE) GTEST_SKIP() << "UDP port 32000 is in use on this machine";
  ASSERT_EQ(s.State(), wsConnected);
  EXPECT_EQ(s.Log, (std::vector<std::string>{"wsClosed wsBound", "wsBound wsListening", "wsListening wsConnected",
                                             "WSocket1SessionConnected"}));
  EXPECT_EQ(s.GetBoundAddr(), "0.0.0.0");
  EXPECT_EQ(s.GetBoundPort(), "32000");

  // Two complete lines; a line cut in two datagrams; a datagram far above the
  // 255 bytes asked for when nothing is known to be pending.
  PlainSocket feeder(SOCK_DGRAM);
  const std::string two = PacketLine(1) + PacketLine(2);
  const std::string cut = PacketLine(3);
  std::string big;
  while (big.size() < 60000) big += PacketLine(static_cast<int>(big.size()));
  const std::vector<std::string> sent{two, cut.substr(0, 40), cut.substr(40), big};
  for (const std::string& d : sent) feeder.SendTo(32000, d);
  ASSERT_TRUE(PumpUntil([&] { return s.Datagrams.size() == sent.size(); }));
  PumpFor(20);
  EXPECT_EQ(s.Datagrams, sent);

  // A handler that fails: the listener logs it and closes.
  s.Log.clear();
  feeder.SendTo(32000, "boom");
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsClosed; }));
  EXPECT_EQ(s.Log, (std::vector<std::string>{"WSocket1BgException feed handler failed", "wsConnected wsClosed",
                                             "WSocket1SessionClosed"}));
  EXPECT_EQ(s.Datagrams.size(), sent.size());
}

TEST(RemoteControlClient, CommandsWithCrLfAndRepliesUpToThePrompt) {
  FakeCaptureServer server;
  TWSocket c(nullptr);
  std::vector<std::string> lines;
  std::string raw;
  std::vector<int> connected;
  bool replyReceived = false;
  c.OnSessionConnected = [&](TObject*, uint16_t e) { connected.push_back(e); };
  c.OnDataAvailable = [&](TObject*, uint16_t) {
    const std::string s = c.ReceiveAsString();
    if (c.LineMode()) {
      lines.push_back(s);
      if (EndsWith(s, "SCS>\n") || EndsWith(s, "SCS>\r\n")) replyReceived = true;
    } else {
      raw += s;
      if (EndsWith(raw, "SCS>")) replyReceived = true;
    }
  };
  c.SetTimeout(3000);  // the client waits 3 s for a prompt
  auto connect = [&] {
    c.SetAddr("127.0.0.1");
    c.SetPort(std::to_string(server.port));
    c.SetLineMode(true);
    c.SetLineEnd("\n");
    lines.clear();
    return c.Synchronize([&] { c.Connect(); }, replyReceived);  // the greeting ends with the prompt
  };
  auto command = [&](const std::string& text) {
    return c.Synchronize([&] { EXPECT_EQ(c.SendText(text + "\r\n"), static_cast<int>(text.size()) + 2); },
                         replyReceived);
  };

  ASSERT_EQ(connect(), 0);
  EXPECT_EQ(connected, std::vector<int>{0});
  EXPECT_EQ(lines, (std::vector<std::string>{"Remote capture server\n", "SCS>\n"}));
  lines.clear();
  ASSERT_EQ(command("10"), 0);
  EXPECT_EQ(lines, (std::vector<std::string>{"AdapterList,Begin\n", "0=eth0\n", "1=lo\n", "IDX=1\n",
                                             "AdapterList,End\n", "SCS>\n"}));
  lines.clear();
  ASSERT_EQ(command("11"), 0);
  EXPECT_EQ(lines.back(), "SCS>\r\n");
  // Read raw from here on: the prompt may end the reply without a line end.
  c.SetLineMode(false);
  ASSERT_EQ(command("12"), 0);
  EXPECT_EQ(raw, "SnifferStat,Begin\nMonLive=0\nMonitorPcap.Connected=0\nSnifferStat,End\nready SCS>");

  // Another target: "1", then the same socket connects again.
  EXPECT_EQ(c.SendText("1\r\n"), 3);
  c.Flush();
  c.Close();
  EXPECT_EQ(c.State(), wsClosed);
  ASSERT_EQ(connect(), 0);
  EXPECT_EQ(server.connections.load(), 2);
  EXPECT_EQ(lines.back(), "SCS>\n");
  ASSERT_EQ(command("10"), 0);
  c.Close();
  ASSERT_TRUE(PumpUntil([&] { return server.commands.size() >= 19; }));
  EXPECT_EQ(server.commands, "10\r\n11\r\n12\r\n1\r\n10\r\n");
}

TEST(RemoteControlClient, NoPromptWithinTheWaitTimesOut) {
  PlainSocket silent(SOCK_STREAM);
  const int port = silent.Bind(0);
  ::listen(silent.fd, 1);  // accepts the connection, never answers
  TWSocket c(nullptr);
  c.SetAddr("127.0.0.1");
  c.SetPort(std::to_string(port));
  c.SetTimeout(100);
  bool replyReceived = false;
  c.OnDataAvailable = [&](TObject*, uint16_t) {
    replyReceived = c.ReceiveAsString().find("SCS>") != std::string::npos;
  };
  EXPECT_EQ(c.Synchronize([&] { c.Connect(); }, replyReceived), WSOCKET_WAIT_TIMEOUT);
  EXPECT_EQ(c.State(), wsConnected);  // still connected: the next command goes out anyway
  EXPECT_EQ(c.SendText("10\r\n"), 4);
}
