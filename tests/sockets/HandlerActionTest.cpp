// What a handler may do to the socket that called it, cell by cell: every event of the socket and
// every place where user code runs inside a socket call (rows), crossed with what a handler does
// there (columns: Send, Close, Abort, Release, raise, free, connect again). Each cell writes out the
// events the socket gives, in order, and the state it ends in; after the cell a session that is open
// must carry data both ways (a listener: announce a new connection) and be told its own close.
// Whatever the cell, no event comes after a session's close but the connect of a new one, and what
// the Send column sent arrived, or its refusal was told. A cell waits for each event it needs (its
// hook, the accept of its connection), never for a fixed time, so that it holds on a busy machine.
#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "SocketTestUtil.h"
#include "sockets/SockLogger.h"
#include "sockets/WSocket.h"
#include "tools/socks-server/SocksServer.h"

namespace {

enum TAction { aSend, aClose, aAbort, aRelease, aRaise, aFree, aReconnect };
const char* const kActionNames[] = {"Send", "Close", "Abort", "Release", "raise", "free", "connect again"};

// A socket that says when it is gone.
class TTestSocket : public TWSocket {
 public:
  TTestSocket() : TWSocket(nullptr) {}
  ~TTestSocket() override { *Gone = true; }
  std::shared_ptr<bool> Gone = std::make_shared<bool>(false);
};

enum class TPeer { Tcp, Udp, Socks };

// One cell: a server (a SOCKS server in front of it, or a plain UDP peer), the client under test and
// what the client's handlers saw.
struct Cell {
  TAction action;
  TPeer peer = TPeer::Tcp;
  std::string hook;  // the event (or report) whose first run does the action
  TWSocket server{nullptr};
  std::vector<std::unique_ptr<TWSocket>> ends;
  std::vector<std::string> endGot;
  int port = 0;
  std::unique_ptr<PlainSocket> udpPeer;
  std::unique_ptr<TSocksTestServer> socks;
  TSocksServerOptions socksOptions;
  std::unique_ptr<PlainSocket> blocker;               // holds a port another socket is to find in use
  std::vector<std::unique_ptr<PlainSocket>> callers;  // connections to the socket under test when it listens
  std::vector<int> acceptedFds;                       // ... and what it accepted of them
  bool dupNext = false;                               // the server hands its next connection to the socket under test
  std::unique_ptr<TSockLogger> logger;
  TTestSocket* c = new TTestSocket;
  std::shared_ptr<bool> gone = c->Gone;
  std::string log;
  bool acted = false;
  bool waitDone = false;
  bool answered = false;  // a connect or data came (what a wait of the cell waits for)
  int sendResult = 0;     // of the Send column's send
  size_t sendAt = 0;      // ... made at this length of the log
  std::string udpGot;

  ~Cell() {
    if (!*gone) delete c;
    for (int fd : acceptedFds) ::close(fd);
  }
  void Event(const std::string& e) { log += e + " "; }
  void Reached(const std::string& where) {
    if (acted || where != hook) return;
    acted = true;
    waitDone = true;
    Act();
  }
  void Target() {
    c->SetAddr("127.0.0.1");
    if (peer == TPeer::Udp) c->SetProto("udp");
    c->SetPort(std::to_string(port));
  }
  void Act() {
    switch (action) {
      case aSend:
        sendAt = log.size();
        sendResult = c->SendText("act");
        break;
      case aClose: c->Close(); break;
      case aAbort: c->Abort(); break;
      case aRelease: c->ReleaseLater(); break;
      case aRaise: throw ESocketException("raised by the handler");
      case aFree: delete c; break;
      case aReconnect:
        c->Close();
        Target();
        c->Connect();
        break;
    }
  }

  void Setup() {
    if (peer == TPeer::Udp) {
      udpPeer = std::make_unique<PlainSocket>(SOCK_DGRAM);
      port = udpPeer->Bind(0);
    } else {
      server.SetAddr("127.0.0.1");
      server.SetPort("0");
      server.OnSessionAvailable = [this](TObject*, uint16_t) {
        if (dupNext) {
          // The other end is a client of ends (made by DupFromServer).
          dupNext = false;
          const TSocket h = server.Accept();
          Call([&] { c->Dup(h); });
          return;
        }
        NewEnd()->Dup(server.Accept());
      };
      server.Listen();
      port = std::stoi(server.GetBoundPort());
    }
    if (peer == TPeer::Socks) {
      socks = std::make_unique<TSocksTestServer>(socksOptions);
      c->SetSocksServer("127.0.0.1");
      c->SetSocksPort(std::to_string(socks->Port()));
      c->SetSocksLevel("5");
      if (socksOptions.RequireAuth) {
        c->SetSocksAuthentication(socksAuthenticateUsercode);
        c->SetSocksUsercode(socksOptions.User);
        c->SetSocksPassword(socksOptions.Pass);
      }
    }
    c->OnSessionConnected = [this](TObject*, uint16_t e) {
      Event("connected:" + std::to_string(e));
      answered = answered || e == 0;
      Reached(e == 0 ? "connected" : "refused");
    };
    c->OnSessionClosed = [this](TObject*, uint16_t e) {
      Event("closed:" + std::to_string(e));
      Reached("closed");
    };
    c->OnDataSent = [this](TObject*, uint16_t) {
      // Through a SOCKS server the write events of the negotiation come as the network allows.
      if (peer != TPeer::Socks) Event("sent");
      Reached("sent");
    };
    c->OnSendData = [this](TObject*, int) { Reached("senddata"); };
    c->OnDataAvailable = [this](TObject*, uint16_t) {
      const std::string s = c->ReceiveAsString();
      if (s.empty()) return;
      Event("data:" + s.substr(0, s.find('\r')));
      Reached("data");
    };
    c->OnChangeState = [this](TObject*, TSocketState o, TSocketState n) {
      if (n == wsOpened) Event("opened");
      if (n == wsListening) Event("listening");
      if (o == wsClosed && n == wsConnected) Event("dup");
      Reached("state:" + SocketStateName(n));
    };
    c->OnSessionAvailable = [this](TObject*, uint16_t e) {
      Event("available:" + std::to_string(e));
      const std::shared_ptr<bool> freed = gone;
      Reached("available");
      if (!*freed && c->State() == wsListening) {
        const TSocket h = c->Accept();
        if (h != INVALID_SOCKET) acceptedFds.push_back(h);
      }
    };
    c->OnError = [this](TObject*) {
      Event("error:" + std::to_string(c->LastError()));
      Reached("error");
    };
    c->OnDnsLookupDone = [this](TObject*, uint16_t e) {
      Event("dns:" + std::to_string(e));
      Reached("dns");
    };
    c->OnSocksConnected = [this](TObject*, uint16_t) { Reached("socksconnected"); };
    c->OnSocksAuthState = [this](TObject*, TSocksAuthState s) {
      if (s == socksAuthStart) Reached("socksauth");
      if (s == socksAuthSuccess) Reached("socksauthok");
    };
    c->OnSocksError = [this](TObject*, int e, const std::string&) {
      Event("socks-error:" + std::to_string(e));
      Reached("sockserror");
    };
    c->OnBgException = [this](TObject*, Exception&, bool&) {
      Event("bg");
      Reached("report");
    };
    Target();
  }

  // Runs a call of the user's own; what a handler raised inside it comes out of it.
  void Call(const std::function<void()>& f) {
    try {
      f();
    } catch (Exception& e) {
      Event("raised");
    }
  }
  bool Connected() { return !*gone && c->State() == wsConnected && !c->SocksNegotiating(); }
  bool Settled() {
    return *gone || ((c->State() == wsConnected || c->State() == wsClosed || c->State() == wsListening) &&
                     !c->SocksNegotiating());
  }
  TWSocket* NewEnd() {
    ends.push_back(std::make_unique<TWSocket>(nullptr));
    endGot.emplace_back();
    TWSocket* end = ends.back().get();
    const size_t i = ends.size() - 1;
    end->OnDataAvailable = [this, end, i](TObject*, uint16_t) { endGot[i] += end->ReceiveAsString(); };
    return end;
  }
  // The end connected to the session open now (through a SOCKS server: the last one, once every
  // tunnel made so far has reached the server), or none yet.
  TWSocket* PeerEnd() {
    if (!Connected()) return nullptr;
    if (peer == TPeer::Socks) {
      size_t tunnels = 0;
      for (size_t at = 0; (at = log.find("connected:0", at)) != std::string::npos; ++at) ++tunnels;
      return ends.size() == tunnels && ends.back()->State() == wsConnected ? ends.back().get() : nullptr;
    }
    const int local = PortOf(c->HSocket(), false), remote = PortOf(c->HSocket(), true);
    for (auto& end : ends)
      if (end->State() == wsConnected && local > 0 && PortOf(end->HSocket(), true) == local &&
          PortOf(end->HSocket(), false) == remote)
        return end.get();
    return nullptr;
  }
  static int PortOf(TSocket fd, bool peer) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    const int r = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len)
                       : ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return r == 0 ? ntohs(a.sin_port) : -1;
  }
  // For a row whose call leads to a close that comes later (the peer answers it).
  void AwaitClose() {
    PumpUntil([&] { return *gone || log.find("closed:") != std::string::npos; });
  }
  void ConnectFirst() {
    Call([&] { c->Connect(); });
    // Up with its write event told, and accepted at the server.
    ASSERT_TRUE(PumpUntil([&] { return PeerEnd() && log.find("sent") != std::string::npos; }));
    log = "up ";  // a session connected before the cell
  }
  // A client connects to the server, which hands the connection to the socket under test.
  void DupFromServer() {
    dupNext = true;
    TWSocket* client = NewEnd();
    client->SetAddr("127.0.0.1");
    client->SetPort(std::to_string(port));
    client->Connect();
    ASSERT_TRUE(PumpUntil([&] { return !dupNext && client->State() == wsConnected; }));
  }
  void ListenFirst() {
    c->SetAddr("127.0.0.1");
    c->SetPort("0");
    Call([&] { c->Listen(); });
  }
  void CallListener() {
    callers.push_back(std::make_unique<PlainSocket>(SOCK_STREAM));
    callers.back()->Connect(std::stoi(c->GetBoundPort()));
  }
  size_t Count(const std::string& e) {
    size_t n = 0;
    for (size_t at = 0; (at = log.find(e, at)) != std::string::npos; ++at) ++n;
    return n;
  }
  void ReadUdp() {
    char buf[64];
    for (int n; (n = static_cast<int>(::recv(udpPeer->fd, buf, sizeof buf, MSG_DONTWAIT))) > 0;)
      udpGot.append(buf, static_cast<size_t>(n)) += ' ';
  }
  bool Arrived(const std::string& what) {
    if (peer == TPeer::Udp) {
      ReadUdp();
      return udpGot.find(what) != std::string::npos;
    }
    for (const std::string& got : endGot)
      if (got.find(what) != std::string::npos) return true;
    return false;
  }
  void UseLogger(TLogOption option) {
    logger = std::make_unique<TSockLogger>(nullptr);
    logger->SetLogOptions({loDestFile, option});
    logger->SetLogFileName("/dev/full");
    c->SetSockLogger(logger.get());
  }
  TWSocket& LastEnd() { return *ends.back(); }

  // After the cell: an open session still carries data both ways, and its close is told; a
  // listener still announces connections. Each step waits for the event it needs.
  void Finish() {
    EXPECT_TRUE(PumpUntil([&] { return acted; }));
    if (action == aRelease) PumpUntil([&] { return *gone; });
    EXPECT_TRUE(PumpUntil([&] { return Settled(); }));
    ProcessMessages();  // what the action posted (its write event, a delayed close) comes first
    if (!*gone && logger) c->SetSockLogger(nullptr);
    if (action == aSend) {
      // Arrived, or refused or lost aloud: an error, a raise or a close with a code after it.
      auto told = [&] {
        const std::string after = log.substr(sendAt);
        return after.find("error:") != std::string::npos || after.find("raised") != std::string::npos ||
               std::regex_search(after, std::regex("closed:[1-9]"));
      };
      EXPECT_TRUE(PumpUntil([&] { return told() || (sendResult > 0 && Arrived("act")); }, 5000))
          << "sent " << sendResult << ", neither arrived nor told: " << log;
    }
    if (!*gone && c->State() == wsListening) {
      const size_t before = Count("available:");
      CallListener();
      Event(PumpUntil([&] { return Count("available:") > before; }) ? "probe" : "probe-lost");
      c->Close();
    } else if (Connected()) {
      if (peer == TPeer::Udp) {
        c->SendText("probe");
        ProcessMessages();
        Event(PumpUntil([&] { return Arrived("probe"); }, 5000) ? "probe" : "probe-lost");
        c->Close();
      } else {
        TWSocket* end = nullptr;
        PumpUntil([&] { return (end = PeerEnd()) != nullptr; });
        if (end) {
          const size_t i = static_cast<size_t>(
              std::find_if(ends.begin(), ends.end(), [&](auto& e) { return e.get() == end; }) - ends.begin());
          c->SendText("probe");
          const bool arrived = PumpUntil([&] { return endGot[i].find("probe") != std::string::npos; });
          end->SendText("back\r\n");
          const bool back = PumpUntil([&] { return log.find("data:back") != std::string::npos; });
          Event(arrived && back ? "probe" : "probe-lost");
          end->Close();
          PumpUntil([&] { return *gone || c->State() == wsClosed; });
        } else {
          Event("probe-lost");
        }
      }
    }
    ProcessMessages();
    log += *gone ? "| freed" : "| " + SocketStateName(c->State());
  }
};

// The order every cell must keep: a session opens, connects once at most (or fails), closes once;
// its data and sent events come in between; after its close nothing of it (refusals of calls made
// on the closed socket are not session events).
std::string OrderFault(const std::string& log) {
  bool open = false;
  bool connected = false;
  size_t at = 0;
  while (at < log.size() && log[at] != '|') {
    const size_t end = log.find(' ', at);
    const std::string e = log.substr(at, end - at);
    at = end + 1;
    if (e == "up") {
      open = connected = true;
    } else if (e == "opened" || e == "listening") {
      if (open) return "a session opened within another";
      open = true;
      connected = false;
    } else if (e == "dup") {
      if (open) return "a session taken over within another";
      open = connected = true;
    } else if (e.rfind("connected:", 0) == 0) {
      if (!open || connected) return e + " outside a connecting session";
      connected = true;
    } else if (e.rfind("closed:", 0) == 0) {
      if (!open) return e + " of no open session";
      open = false;
    } else if (e == "sent" || e.rfind("data:", 0) == 0) {
      if (!open) return e + " outside a session";
    }
  }
  return "";
}

struct Row {
  const char* name;
  const char* hook;
  TPeer peer;
  std::function<void(Cell&)> setup;    // before the hook is armed
  std::function<void(Cell&)> trigger;  // what reaches the hook
  const char* expected[7];             // per action, in the order of kActionNames
};

}  // namespace

namespace {

// The reset has reached the socket under test once its descriptor reports it (no message is handled
// meanwhile: the cell's call is to find it).
void ResetFromPeer(Cell& t) {
  ResetConnection(t.LastEnd());
  pollfd p{t.c->HSocket(), POLLIN | POLLRDHUP, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
}

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"Connect: the log report",
       "report",
       TPeer::Tcp,
       [](Cell& t) { t.UseLogger(loWsockInfo); },
       [](Cell& t) { t.Call([&] { t.c->Connect(); }); },
       {
           /* Send */ "opened bg closed:10057 error:10057 | wsClosed",
           /* Close */ "opened bg closed:0 | wsClosed",
           /* Abort */ "opened bg closed:0 | wsClosed",
           /* Release */ "opened bg | freed",
           /* raise */ "opened bg connected:0 sent sent data:back probe closed:0 | wsClosed",
           /* free */ "opened bg | freed",
           /* connect again */ "opened bg closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"Connect: OnChangeState(wsOpened)",
       "state:wsOpened",
       TPeer::Tcp,
       nullptr,
       [](Cell& t) { t.Call([&] { t.c->Connect(); }); },
       {
           /* Send */ "opened closed:10057 error:10057 error:10022 | wsClosed",
           /* Close */ "opened closed:0 error:10022 | wsClosed",
           /* Abort */ "opened closed:0 error:10022 | wsClosed",
           /* Release */ "opened | freed",
           /* raise */ "opened closed:0 raised | wsClosed",
           /* free */ "opened | freed",
           /* connect again */ "opened closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"Connect: OnError, a name that does not resolve",
       "error",
       TPeer::Tcp,
       [](Cell& t) { t.c->SetAddr("no-such-host.invalid"); },
       [](Cell& t) { t.Call([&] { t.c->Connect(); }); },
       {
           /* Send */ "error:11001 error:10057 | wsClosed",
           /* Close */ "error:11001 | wsClosed",
           /* Abort */ "error:11001 | wsClosed",
           /* Release */ "error:11001 | freed",
           /* raise */ "error:11001 raised | wsClosed",
           /* free */ "error:11001 | freed",
           /* connect again */ "error:11001 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"Connect (UDP): OnSessionConnected",
       "connected",
       TPeer::Udp,
       nullptr,
       [](Cell& t) { t.Call([&] { t.c->Connect(); }); },
       {
           /* Send */ "opened connected:0 sent sent probe closed:0 | wsClosed",
           /* Close */ "opened connected:0 closed:0 | wsClosed",
           /* Abort */ "opened connected:0 closed:0 | wsClosed",
           /* Release */ "opened connected:0 sent | freed",
           /* raise */ "opened connected:0 closed:0 raised | wsClosed",
           /* free */ "opened connected:0 | freed",
           /* connect again */ "opened connected:0 closed:0 opened connected:0 sent sent probe closed:0 | wsClosed",
       }},
      {"connect event: OnSessionConnected",
       "connected",
       TPeer::Tcp,
       nullptr,
       [](Cell& t) { t.Call([&] { t.c->Connect(); }); },
       {
           /* Send */ "opened connected:0 sent sent data:back probe closed:0 | wsClosed",
           /* Close */ "opened connected:0 closed:0 | wsClosed",
           /* Abort */ "opened connected:0 closed:0 | wsClosed",
           /* Release */ "opened connected:0 sent | freed",
           /* raise */ "opened connected:0 bg closed:0 | wsClosed",
           /* free */ "opened connected:0 | freed",
           /* connect again */
           "opened connected:0 closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"connect refused: OnSessionConnected",
       "refused",
       TPeer::Tcp,
       [](Cell& t) { t.c->SetPort(std::to_string(FreePort())); },
       [](Cell& t) { t.Call([&] { t.c->Connect(); }); },
       {
           /* Send */ "opened connected:10061 closed:10054 | wsClosed",
           /* Close */ "opened connected:10061 closed:0 | wsClosed",
           /* Abort */ "opened connected:10061 closed:0 | wsClosed",
           /* Release */ "opened connected:10061 closed:0 | freed",
           /* raise */ "opened connected:10061 bg closed:0 | wsClosed",
           /* free */ "opened connected:10061 | freed",
           /* connect again */
           "opened connected:10061 closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"connect refused: OnSessionClosed",
       "closed",
       TPeer::Tcp,
       [](Cell& t) { t.c->SetPort(std::to_string(FreePort())); },
       [](Cell& t) { t.Call([&] { t.c->Connect(); }); },
       {
           /* Send */ "opened connected:10061 closed:0 error:10057 | wsClosed",
           /* Close */ "opened connected:10061 closed:0 | wsClosed",
           /* Abort */ "opened connected:10061 closed:0 | wsClosed",
           /* Release */ "opened connected:10061 closed:0 | freed",
           /* raise */ "opened connected:10061 closed:0 bg | wsClosed",
           /* free */ "opened connected:10061 closed:0 | freed",
           /* connect again */
           "opened connected:10061 closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"Close: the log report",
       "report",
       TPeer::Tcp,
       [](Cell& t) {
         t.ConnectFirst();
         t.UseLogger(loWsockInfo);
       },
       [](Cell& t) { t.Call([&] { t.c->Close(); }); },
       {
           /* Send */ "up bg closed:0 | wsClosed",
           /* Close */ "up bg closed:0 | wsClosed",
           /* Abort */ "up bg closed:0 | wsClosed",
           /* Release */ "up bg closed:0 | freed",
           /* raise */ "up bg closed:0 | wsClosed",
           /* free */ "up bg | freed",
           /* connect again */ "up bg closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"Close: OnSessionClosed",
       "closed",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) { t.Call([&] { t.c->Close(); }); },
       {
           /* Send */ "up closed:0 error:10057 | wsClosed",
           /* Close */ "up closed:0 | wsClosed",
           /* Abort */ "up closed:0 | wsClosed",
           /* Release */ "up closed:0 | freed",
           /* raise */ "up closed:0 raised | wsClosed",
           /* free */ "up closed:0 | freed",
           /* connect again */ "up closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"Shutdown: the log report",
       "report",
       TPeer::Tcp,
       [](Cell& t) {
         t.ConnectFirst();
         t.UseLogger(loWsockInfo);
       },
       [](Cell& t) {
         t.Call([&] { t.c->Shutdown(1); });
         t.AwaitClose();
       },
       {
           /* Send */ "up bg sent closed:0 | wsClosed",
           /* Close */ "up bg closed:0 | wsClosed",
           /* Abort */ "up bg closed:0 | wsClosed",
           /* Release */ "up bg | freed",
           /* raise */ "up bg closed:0 | wsClosed",
           /* free */ "up bg | freed",
           /* connect again */ "up bg closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"Send: OnSendData",
       "senddata",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) { t.Call([&] { t.c->SendText("x"); }); },
       {
           /* Send */ "up sent sent data:back probe closed:0 | wsClosed",
           /* Close */ "up closed:0 | wsClosed",
           /* Abort */ "up closed:0 | wsClosed",
           /* Release */ "up | freed",
           /* raise */ "up raised sent data:back probe closed:0 | wsClosed",
           /* free */ "up | freed",
           /* connect again */ "up closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"Flush: OnSendData",
       "senddata",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) {
         t.Call([&] {
           t.c->QueueText("q");
           t.c->Flush();
         });
       },
       {
           /* Send */ "up sent data:back probe closed:0 | wsClosed",
           /* Close */ "up closed:0 | wsClosed",
           /* Abort */ "up closed:0 | wsClosed",
           /* Release */ "up | freed",
           /* raise */ "up raised sent data:back probe closed:0 | wsClosed",
           /* free */ "up | freed",
           /* connect again */ "up closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"write event: OnDataSent",
       "sent",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) { t.Call([&] { t.c->SendText("x"); }); },
       {
           /* Send */ "up sent sent sent data:back probe closed:0 | wsClosed",
           /* Close */ "up sent closed:0 | wsClosed",
           /* Abort */ "up sent closed:0 | wsClosed",
           /* Release */ "up sent | freed",
           /* raise */ "up sent bg closed:0 | wsClosed",
           /* free */ "up sent | freed",
           /* connect again */ "up sent closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"write event: the log report",
       "report",
       TPeer::Tcp,
       [](Cell& t) {
         t.ConnectFirst();
         t.UseLogger(loWsockDump);
       },
       [](Cell& t) { t.Call([&] { t.c->SendText("x"); }); },
       {
           /* Send */ "up bg sent sent sent data:back probe closed:0 | wsClosed",
           /* Close */ "up bg closed:0 | wsClosed",
           /* Abort */ "up bg closed:0 | wsClosed",
           /* Release */ "up bg sent | freed",
           /* raise */ "up bg sent sent data:back probe closed:0 | wsClosed",
           /* free */ "up bg | freed",
           /* connect again */ "up bg closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"read event: OnDataAvailable",
       "data",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) { t.LastEnd().SendText("one\r\n"); },
       {
           /* Send */ "up data:one sent sent data:back probe closed:0 | wsClosed",
           /* Close */ "up data:one closed:0 | wsClosed",
           /* Abort */ "up data:one closed:0 | wsClosed",
           /* Release */ "up data:one | freed",
           /* raise */ "up data:one bg closed:0 | wsClosed",
           /* free */ "up data:one | freed",
           /* connect again */ "up data:one closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"read event, line mode: OnDataAvailable",
       "data",
       TPeer::Tcp,
       [](Cell& t) {
         t.c->SetLineMode(true);
         t.ConnectFirst();
       },
       [](Cell& t) { t.LastEnd().SendText("one\r\ntwo\r\n"); },
       {
           /* Send */ "up data:one data:two sent sent data:back probe closed:0 | wsClosed",
           /* Close */ "up data:one data:two closed:0 | wsClosed",
           /* Abort */ "up data:one data:two closed:0 | wsClosed",
           /* Release */ "up data:one data:two | freed",
           /* raise */ "up data:one bg data:two closed:0 | wsClosed",
           /* free */ "up data:one | freed",
           /* connect again */
           "up data:one data:two closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"peer close: OnSessionClosed",
       "closed",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) { t.LastEnd().Close(); },
       {
           /* Send */ "up closed:0 error:10054 | wsClosed",
           /* Close */ "up closed:0 | wsClosed",
           /* Abort */ "up closed:0 | wsClosed",
           /* Release */ "up closed:0 | freed",
           /* raise */ "up closed:0 bg | wsClosed",
           /* free */ "up closed:0 | freed",
           /* connect again */ "up closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"Send, peer reset: OnSessionClosed",
       "closed",
       TPeer::Tcp,
       [](Cell& t) {
         t.ConnectFirst();
         ResetFromPeer(t);
       },
       [](Cell& t) { t.Call([&] { t.c->SendText("x"); }); },
       {
           /* Send */ "up closed:10054 error:10057 | wsClosed",
           /* Close */ "up closed:10054 | wsClosed",
           /* Abort */ "up closed:10054 | wsClosed",
           /* Release */ "up closed:10054 | freed",
           /* raise */ "up closed:10054 raised | wsClosed",
           /* free */ "up closed:10054 | freed",
           /* connect again */ "up closed:10054 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"SendLine, peer reset: OnSessionClosed",
       "closed",
       TPeer::Tcp,
       [](Cell& t) {
         t.ConnectFirst();
         ResetFromPeer(t);
       },
       [](Cell& t) { t.Call([&] { t.c->SendLine("x"); }); },
       {
           /* Send */ "up closed:10054 error:10057 | wsClosed",
           /* Close */ "up closed:10054 | wsClosed",
           /* Abort */ "up closed:10054 | wsClosed",
           /* Release */ "up closed:10054 | freed",
           /* raise */ "up closed:10054 raised | wsClosed",
           /* free */ "up closed:10054 | freed",
           /* connect again */ "up closed:10054 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"Send, peer reset: the log report",
       "report",
       TPeer::Tcp,
       [](Cell& t) {
         t.ConnectFirst();
         t.UseLogger(loWsockErr);
         ResetFromPeer(t);
       },
       [](Cell& t) { t.Call([&] { t.c->SendText("x"); }); },
       {
           /* Send */ "up bg closed:10054 | wsClosed",
           /* Close */ "up bg closed:10054 | wsClosed",
           /* Abort */ "up bg closed:10054 | wsClosed",
           /* Release */ "up bg closed:10054 | freed",
           /* raise */ "up bg closed:10054 | wsClosed",
           /* free */ "up bg | freed",
           /* connect again */ "up bg closed:10054 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"lookup: OnDnsLookupDone",
       "dns",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) { t.Call([&] { t.c->DnsLookup("loopback.test"); }); },
       {
           /* Send */ "up dns:0 sent sent data:back probe closed:0 | wsClosed",
           /* Close */ "up dns:0 closed:0 | wsClosed",
           /* Abort */ "up dns:0 closed:0 | wsClosed",
           /* Release */ "up dns:0 | freed",
           /* raise */ "up dns:0 bg closed:0 | wsClosed",
           /* free */ "up dns:0 | freed",
           /* connect again */ "up dns:0 closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"SOCKS step: OnSocksConnected",
       "socksconnected",
       TPeer::Socks,
       nullptr,
       [](Cell& t) { t.Call([&] { t.c->Connect(); }); },
       {
           /* Send */ "opened closed:10057 error:10057 | wsClosed",
           /* Close */ "opened closed:0 | wsClosed",
           /* Abort */ "opened closed:0 | wsClosed",
           // The release posted from the handler and the rest of the negotiation race.
           /* Release */ "opened | freed OR opened connected:0 | freed",
           /* raise */ "opened bg closed:0 | wsClosed",
           /* free */ "opened | freed",
           /* connect again */ "opened closed:0 opened connected:0 data:back probe closed:0 | wsClosed",
       }},
      {"SOCKS step: OnSocksAuthState",
       "socksauth",
       TPeer::Socks,
       nullptr,
       [](Cell& t) { t.Call([&] { t.c->Connect(); }); },
       {
           /* Send */ "opened closed:10057 error:10057 | wsClosed",
           /* Close */ "opened closed:0 | wsClosed",
           /* Abort */ "opened closed:0 | wsClosed",
           // The release posted from the handler and the rest of the negotiation race.
           /* Release */ "opened | freed OR opened connected:0 | freed",
           /* raise */ "opened bg closed:0 | wsClosed",
           /* free */ "opened | freed",
           /* connect again */ "opened closed:0 opened connected:0 data:back probe closed:0 | wsClosed",
       }},
      {"SOCKS step: OnSocksError",
       "sockserror",
       TPeer::Socks,
       nullptr,
       [](Cell& t) { t.Call([&] { t.c->Connect(); }); },
       {
           /* Send */ "opened socks-error:20005 closed:10057 error:10057 | wsClosed",
           /* Close */ "opened socks-error:20005 closed:0 | wsClosed",
           /* Abort */ "opened socks-error:20005 closed:0 | wsClosed",
           /* Release */ "opened socks-error:20005 connected:20005 closed:20005 | freed",
           /* raise */ "opened socks-error:20005 bg closed:0 | wsClosed",
           /* free */ "opened socks-error:20005 | freed",
           /* connect again */
           "opened socks-error:20005 closed:0 opened socks-error:20005 connected:20005 closed:20005 | wsClosed",
       }},
      {"synchronous wait: OnSessionConnected",
       "connected",
       TPeer::Tcp,
       nullptr,
       [](Cell& t) {
         t.Call([&] {
           t.c->Connect();
           const int r = t.c->WaitUntilReady(t.waitDone);
           t.Event("wait:" + std::to_string(r));
         });
       },
       {
           /* Send */ "opened connected:0 sent wait:0 sent data:back probe closed:0 | wsClosed",
           /* Close */ "opened connected:0 closed:0 wait:0 | wsClosed",
           /* Abort */ "opened connected:0 closed:0 wait:0 | wsClosed",
           /* Release */ "opened connected:0 sent wait:0 | freed",
           /* raise */ "opened connected:0 bg closed:0 wait:0 | wsClosed",
           /* free */ "opened connected:0 wait:0 | freed",
           /* connect again */
           "opened connected:0 closed:0 opened wait:0 connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},

      {"Send before connected: OnSessionClosed",
       "closed",
       TPeer::Tcp,
       nullptr,
       [](Cell& t) {
         t.Call([&] {
           t.c->Connect();
           t.c->SendText("early");
         });
       },
       {
           /* Send */ "opened closed:10057 error:10057 error:10057 | wsClosed",
           /* Close */ "opened closed:10057 error:10057 | wsClosed",
           /* Abort */ "opened closed:10057 error:10057 | wsClosed",
           /* Release */ "opened closed:10057 error:10057 | freed",
           /* raise */ "opened closed:10057 raised | wsClosed",
           /* free */ "opened closed:10057 | freed",
           /* connect again */ "opened closed:10057 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"Connect (UDP): OnError, the local port in use",
       "error",
       TPeer::Udp,
       [](Cell& t) {
         t.blocker = std::make_unique<PlainSocket>(SOCK_DGRAM);
         t.c->SetLocalPort(std::to_string(t.blocker->Bind(0)));
       },
       [](Cell& t) { t.Call([&] { t.c->Connect(); }); },
       {
           /* Send */ "opened error:10048 closed:10057 error:10057 | wsClosed",
           /* Close */ "opened error:10048 closed:0 | wsClosed",
           /* Abort */ "opened error:10048 closed:0 | wsClosed",
           /* Release */ "opened error:10048 closed:0 | freed",
           /* raise */ "opened error:10048 closed:0 raised | wsClosed",
           /* free */ "opened error:10048 | freed",
           /* connect again */ "opened error:10048 closed:0 opened connected:0 sent sent probe closed:0 | wsClosed",
       }},
      {"Connect (UDP): OnSessionClosed of an option refused",
       "closed",
       TPeer::Udp,
       [](Cell& t) {
         t.c->SetMultiCast(true);
         t.c->SetMultiCastIpTTL(1000);
       },
       [](Cell& t) { t.Call([&] { t.c->Connect(); }); },
       {
           /* Send */ "opened closed:0 error:10057 error:10022 | wsClosed",
           /* Close */ "opened closed:0 error:10022 | wsClosed",
           /* Abort */ "opened closed:0 error:10022 | wsClosed",
           /* Release */ "opened closed:0 error:10022 | freed",
           /* raise */ "opened closed:0 raised | wsClosed",
           /* free */ "opened closed:0 | freed",
           /* connect again */ "opened closed:0 opened closed:0 error:10022 error:10022 | wsClosed",
       }},
      {"connect event: OnChangeState(wsConnected)",
       "state:wsConnected",
       TPeer::Tcp,
       nullptr,
       [](Cell& t) { t.Call([&] { t.c->Connect(); }); },
       {
           /* Send */ "opened connected:0 sent sent data:back probe closed:0 | wsClosed",
           /* Close */ "opened closed:0 | wsClosed",
           /* Abort */ "opened closed:0 | wsClosed",
           /* Release */ "opened connected:0 sent | freed",
           /* raise */ "opened bg closed:0 | wsClosed",
           /* free */ "opened | freed",
           /* connect again */ "opened closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"write event: OnSendData",
       "",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) {
         // The first send goes at once; what is queued after it leaves from the write event.
         t.Call([&] { t.c->SendText("x"); });
         t.c->QueueText("queued");
         t.hook = "senddata";
       },
       {
           /* Send */ "up sent sent data:back probe closed:0 | wsClosed",
           /* Close */ "up closed:0 | wsClosed",
           /* Abort */ "up closed:0 | wsClosed",
           /* Release */ "up sent | freed",
           /* raise */ "up bg closed:0 | wsClosed",
           /* free */ "up | freed",
           /* connect again */ "up closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"SendTo: OnSendData",
       "senddata",
       TPeer::Udp,
       [](Cell& t) { t.Call([&] { t.c->Connect(); }); },
       [](Cell& t) {
         const sockaddr_in to = Loopback(t.port);
         t.Call([&] { t.c->SendTo(to, "x", 1); });
       },
       {
           /* Send */ "opened connected:0 sent sent probe closed:0 | wsClosed",
           /* Close */ "opened connected:0 closed:0 | wsClosed",
           /* Abort */ "opened connected:0 closed:0 | wsClosed",
           /* Release */ "opened connected:0 sent | freed",
           /* raise */ "opened connected:0 raised sent sent probe closed:0 | wsClosed",
           /* free */ "opened connected:0 | freed",
           /* connect again */ "opened connected:0 closed:0 opened connected:0 sent sent probe closed:0 | wsClosed",
       }},
      {"DnsLookup of an empty name: OnError",
       "error",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) { t.Call([&] { t.c->DnsLookup(""); }); },
       {
           /* Send */ "up error:10022 dns:10022 sent sent data:back probe closed:0 | wsClosed",
           /* Close */ "up error:10022 closed:0 dns:10022 | wsClosed",
           /* Abort */ "up error:10022 closed:0 dns:10022 | wsClosed",
           /* Release */ "up error:10022 dns:10022 | freed",
           /* raise */ "up error:10022 raised sent data:back probe closed:0 | wsClosed",
           /* free */ "up error:10022 | freed",
           /* connect again */
           "up error:10022 closed:0 opened dns:10022 connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"ReverseDnsLookup of an empty name: OnError",
       "error",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) { t.Call([&] { t.c->ReverseDnsLookup(""); }); },
       {
           /* Send */ "up error:10022 dns:10022 sent sent data:back probe closed:0 | wsClosed",
           /* Close */ "up error:10022 closed:0 dns:10022 | wsClosed",
           /* Abort */ "up error:10022 closed:0 dns:10022 | wsClosed",
           /* Release */ "up error:10022 dns:10022 | freed",
           /* raise */ "up error:10022 raised sent data:back probe closed:0 | wsClosed",
           /* free */ "up error:10022 | freed",
           /* connect again */
           "up error:10022 closed:0 opened dns:10022 connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"ReverseDnsLookupBlocking of an empty name: OnError",
       "error",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) { t.Call([&] { t.c->ReverseDnsLookupBlocking(""); }); },
       {
           /* Send */ "up error:10022 dns:10022 sent sent data:back probe closed:0 | wsClosed",
           /* Close */ "up error:10022 closed:0 dns:10022 | wsClosed",
           /* Abort */ "up error:10022 closed:0 dns:10022 | wsClosed",
           /* Release */ "up error:10022 dns:10022 | freed",
           /* raise */ "up error:10022 raised sent data:back probe closed:0 | wsClosed",
           /* free */ "up error:10022 | freed",
           /* connect again */
           "up error:10022 closed:0 opened dns:10022 connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"Abort with a lookup pending: OnDnsLookupDone",
       "",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) {
         t.Call([&] { t.c->DnsLookup("loopback.test"); });
         t.hook = "dns";
         t.Call([&] { t.c->Abort(); });
       },
       {
           /* Send */ "up dns:10004 closed:0 | wsClosed",
           /* Close */ "up dns:10004 closed:0 | wsClosed",
           /* Abort */ "up dns:10004 closed:0 | wsClosed",
           /* Release */ "up dns:10004 closed:0 | freed",
           /* raise */ "up dns:10004 closed:0 raised | wsClosed",
           /* free */ "up dns:10004 | freed",
           /* connect again */ "up dns:10004 closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"DrainUntilClosed: OnDataAvailable",
       "data",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) {
         t.LastEnd().SendText("one\r\n");
         t.LastEnd().Close();
         t.Call([&] { t.c->DrainUntilClosed(); });
         t.AwaitClose();
       },
       {
           /* Send */ "up data:one sent closed:10054 | wsClosed",
           /* Close */ "up data:one closed:0 | wsClosed",
           /* Abort */ "up data:one closed:0 | wsClosed",
           /* Release */ "up data:one | freed",
           /* raise */ "up data:one raised closed:0 | wsClosed",
           /* free */ "up data:one | freed",
           /* connect again */ "up data:one closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"SOCKS refused: OnSessionConnected",
       "refused",
       TPeer::Socks,
       nullptr,
       [](Cell& t) { t.Call([&] { t.c->Connect(); }); },
       {
           /* Send */ "opened socks-error:20005 connected:20005 closed:20005 | wsClosed",
           /* Close */ "opened socks-error:20005 connected:20005 closed:0 | wsClosed",
           /* Abort */ "opened socks-error:20005 connected:20005 closed:0 | wsClosed",
           /* Release */ "opened socks-error:20005 connected:20005 closed:20005 | freed",
           /* raise */ "opened socks-error:20005 connected:20005 bg closed:0 | wsClosed",
           /* free */ "opened socks-error:20005 connected:20005 | freed",
           /* connect again */
           "opened socks-error:20005 connected:20005 closed:0 opened socks-error:20005 connected:20005 closed:20005 | "
           "wsClosed",
       }},
      {"SOCKS tunnel up: OnSessionConnected",
       "connected",
       TPeer::Socks,
       nullptr,
       [](Cell& t) { t.Call([&] { t.c->Connect(); }); },
       {
           /* Send */ "opened connected:0 data:HELLO data:back probe closed:0 | wsClosed",
           /* Close */ "opened connected:0 closed:0 | wsClosed",
           /* Abort */ "opened connected:0 closed:0 | wsClosed",
           /* Release */ "opened connected:0 data:HELLO | freed",
           /* raise */ "opened connected:0 bg closed:0 | wsClosed",
           /* free */ "opened connected:0 | freed",
           /* connect again */
           "opened connected:0 closed:0 opened connected:0 data:HELLO data:back probe closed:0 | wsClosed",
       }},
      {"CloseLater: OnSessionClosed",
       "closed",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) { t.Call([&] { t.c->CloseLater(); }); },
       {
           /* Send */ "up closed:0 error:10057 | wsClosed",
           /* Close */ "up closed:0 | wsClosed",
           /* Abort */ "up closed:0 | wsClosed",
           /* Release */ "up closed:0 | freed",
           /* raise */ "up closed:0 bg | wsClosed",
           /* free */ "up closed:0 | freed",
           /* connect again */ "up closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"CloseLater, then Abort: OnSessionClosed",
       "closed",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) {
         t.Call([&] {
           t.c->CloseLater();
           t.c->Abort();
         });
       },
       {
           /* Send */ "up closed:0 error:10057 | wsClosed",
           /* Close */ "up closed:0 | wsClosed",
           /* Abort */ "up closed:0 | wsClosed",
           /* Release */ "up closed:0 | freed",
           /* raise */ "up closed:0 raised | wsClosed",
           /* free */ "up closed:0 | freed",
           /* connect again */ "up closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"Close: OnChangeState(wsClosed)",
       "state:wsClosed",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) { t.Call([&] { t.c->Close(); }); },
       {
           /* Send */ "up error:10057 closed:0 | wsClosed",
           /* Close */ "up closed:0 | wsClosed",
           /* Abort */ "up closed:0 | wsClosed",
           /* Release */ "up closed:0 | freed",
           /* raise */ "up closed:0 raised | wsClosed",
           /* free */ "up | freed",
           /* connect again */ "up closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"listening: OnSessionAvailable",
       "available",
       TPeer::Tcp,
       [](Cell& t) { t.ListenFirst(); },
       [](Cell& t) { t.CallListener(); },
       {
           /* Send */ "listening available:0 closed:10057 error:10057 | wsClosed",
           /* Close */ "listening available:0 closed:0 | wsClosed",
           /* Abort */ "listening available:0 closed:0 | wsClosed",
           /* Release */ "listening available:0 | freed",
           /* raise */ "listening available:0 bg closed:0 | wsClosed",
           /* free */ "listening available:0 | freed",
           /* connect again */
           "listening available:0 closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"Accept when not listening: OnError",
       "error",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) { t.Call([&] { t.c->Accept(); }); },
       {
           /* Send */ "up error:10022 sent sent data:back probe closed:0 | wsClosed",
           /* Close */ "up error:10022 closed:0 | wsClosed",
           /* Abort */ "up error:10022 closed:0 | wsClosed",
           /* Release */ "up error:10022 | freed",
           /* raise */ "up error:10022 raised sent data:back probe closed:0 | wsClosed",
           /* free */ "up error:10022 | freed",
           /* connect again */
           "up error:10022 closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"Dup: OnChangeState(wsConnected)",
       "state:wsConnected",
       TPeer::Tcp,
       nullptr,
       [](Cell& t) { t.DupFromServer(); },
       {
           /* Send */ "dup sent sent data:back probe closed:0 | wsClosed",
           /* Close */ "dup closed:0 | wsClosed",
           /* Abort */ "dup closed:0 | wsClosed",
           /* Release */ "dup sent | freed",
           /* raise */ "dup closed:0 raised | wsClosed",
           /* free */ "dup | freed",
           /* connect again */ "dup closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"Dup over an open session: OnSessionClosed",
       "closed",
       TPeer::Tcp,
       [](Cell& t) { t.ConnectFirst(); },
       [](Cell& t) { t.DupFromServer(); },
       {
           /* Send */ "up closed:0 error:10057 dup sent sent data:back probe closed:0 | wsClosed",
           /* Close */ "up closed:0 dup sent sent data:back probe closed:0 | wsClosed",
           /* Abort */ "up closed:0 dup sent sent data:back probe closed:0 | wsClosed",
           /* Release */ "up closed:0 dup | freed",
           /* raise */ "up closed:0 raised | wsClosed",
           /* free */ "up closed:0 | freed",
           /* connect again */
           "up closed:0 opened error:10022 connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"line mode switched off, re-trigger: OnDataAvailable",
       "data",
       TPeer::Tcp,
       [](Cell& t) {
         t.c->SetLineMode(true);
         t.ConnectFirst();
         t.LastEnd().SendText("one\r\ntw");
         ASSERT_TRUE(PumpUntil([&] { return t.log.find("data:one") != std::string::npos && t.c->RcvdCount() == 2; }));
         t.log = "up ";
       },
       [](Cell& t) { t.Call([&] { t.c->SetLineMode(false); }); },
       {
           /* Send */ "up data:tw sent sent data:back probe closed:0 | wsClosed",
           /* Close */ "up data:tw closed:0 | wsClosed",
           /* Abort */ "up data:tw closed:0 | wsClosed",
           /* Release */ "up data:tw | freed",
           /* raise */ "up data:tw bg closed:0 | wsClosed",
           /* free */ "up data:tw | freed",
           /* connect again */ "up data:tw closed:0 opened connected:0 sent sent data:back probe closed:0 | wsClosed",
       }},
      {"wait begun after the end: OnSessionClosed",
       "closed",
       TPeer::Tcp,
       [](Cell& t) {
         t.ConnectFirst();
         t.c->SetTimeout(5000);  // a wait that misses the end runs out instead
         ResetFromPeer(t);
         t.answered = false;
       },
       [](Cell& t) {
         t.Call([&] { t.c->SendText("x"); });
         if (!*t.gone) t.Call([&] { t.Event("wait:" + std::to_string(t.c->WaitUntilReady(t.answered))); });
       },
       {
           /* Send */ "up closed:10054 error:10057 wait:10054 | wsClosed",
           /* Close */ "up closed:10054 wait:10054 | wsClosed",
           /* Abort */ "up closed:10054 wait:10054 | wsClosed",
           /* Release */ "up closed:10054 wait:10054 | freed",
           /* raise */ "up closed:10054 raised wait:10054 | wsClosed",
           /* free */ "up closed:10054 | freed",
           /* connect again */
           "up closed:10054 opened connected:0 sent wait:0 sent data:back probe closed:0 | wsClosed",
       }},
      {"SOCKS step: OnSocksAuthState(success)",
       "socksauthok",
       TPeer::Socks,
       nullptr,
       [](Cell& t) { t.Call([&] { t.c->Connect(); }); },
       {
           /* Send */ "opened closed:10057 error:10057 | wsClosed",
           /* Close */ "opened closed:0 | wsClosed",
           /* Abort */ "opened closed:0 | wsClosed",
           // The release posted from the handler and the rest of the negotiation race.
           /* Release */ "opened | freed OR opened connected:0 | freed",
           /* raise */ "opened bg closed:0 | wsClosed",
           /* free */ "opened | freed",
           /* connect again */ "opened closed:0 opened connected:0 data:back probe closed:0 | wsClosed",
       }},
  };
  return rows;
}

}  // namespace

// One test per row, its seven cells in turn; a cell that differs prints the row's actual lines.
class HandlerActions : public ::testing::TestWithParam<int> {};

TEST_P(HandlerActions, EachActionFromTheRow) {
  const Row& row = Rows()[static_cast<size_t>(GetParam())];
  const THostLookup previous =
      SetHostLookup([](const std::string& host, std::vector<std::string>& addresses, const std::atomic<bool>&) {
        if (host != "loopback.test") return 11001;
        addresses.push_back("127.0.0.1");
        return 0;
      });
  TScopeExit restore([&] { SetHostLookup(previous); });
  std::string actual;
  for (int a = aSend; a <= aReconnect; ++a) {
    SCOPED_TRACE(std::string(row.name) + " x " + kActionNames[a]);
    Cell t;
    t.action = static_cast<TAction>(a);
    t.peer = row.peer;
    if (row.peer == TPeer::Socks && std::string(row.hook).rfind("socksauth", 0) == 0) {
      t.socksOptions.RequireAuth = true;
      t.socksOptions.User = "u";
      t.socksOptions.Pass = "p";
    }
    if (row.peer == TPeer::Socks && (std::string(row.hook) == "sockserror" || std::string(row.hook) == "refused"))
      t.socksOptions.ForceReplyCode = 2;
    if (row.peer == TPeer::Socks && std::string(row.hook) == "connected") t.socksOptions.AfterReply = "HELLO\r\n";
    t.Setup();
    if (row.setup) row.setup(t);
    if (HasFatalFailure()) return;
    t.hook = row.hook;
    row.trigger(t);
    t.Finish();
    EXPECT_TRUE(t.acted);
    // A closed socket has no negotiation under way.
    if (!*t.gone && t.c->State() == wsClosed) {
      EXPECT_FALSE(t.c->SocksNegotiating());
    }
    EXPECT_EQ(OrderFault(t.log), "") << t.log;
    // A cell whose events may come in either of two orders lists both, joined by " OR ".
    std::string expected = row.expected[a] ? row.expected[a] : "";
    const size_t orAt = expected.find(" OR ");
    if (orAt != std::string::npos && t.log == expected.substr(orAt + 4)) expected = t.log;
    EXPECT_EQ(t.log, expected.substr(0, expected.find(" OR ")));
    actual += std::string("/* ") + kActionNames[a] + " */ \"" + t.log + "\",\n";
  }
  if (HasFailure()) std::printf("// row: %s\n%s", row.name, actual.c_str());
}

std::string RowTestName(const ::testing::TestParamInfo<int>& info) {
  std::string name = Rows()[static_cast<size_t>(info.param)].name;
  for (char& ch : name)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Table, HandlerActions, ::testing::Range(0, static_cast<int>(Rows().size())), RowTestName);
