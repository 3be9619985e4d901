// The synchronous wait when the session ends under it: a peer that closes, a
// refused connect, a failed SOCKS negotiation, and a retry made meanwhile.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <QTimer>
#include <string>
#include <thread>
#include <vector>

#include "SocketTestUtil.h"
#include "sockets/SocksProtocol.h"
#include "sockets/WSocket.h"

namespace {

using sockettest::FreePort;
using sockettest::PlainSocket;

// Accepts one connection, reads the client's first bytes when asked to, sends
// the reply, then closes at once or once the client has closed. Blocking calls
// give up after 5 s, so a test that goes wrong still ends.
struct ScriptedPeer {
  PlainSocket listener{SOCK_STREAM};
  int port = listener.Bind(0);
  std::thread t;
  ScriptedPeer(bool readFirst, std::string reply, bool waitForClient) {
    ::listen(listener.fd, 1);
    const timeval limit{5, 0};
    ::setsockopt(listener.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    t = std::thread([=, this] {
      const int c = ::accept(listener.fd, nullptr, nullptr);
      if (c < 0) return;
      ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      char buf[256];
      if (readFirst) ::recv(c, buf, sizeof buf, 0);
      if (!reply.empty()) ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
      while (waitForClient && ::recv(c, buf, sizeof buf, 0) > 0) {
      }
      ::close(c);
    });
  }
  ~ScriptedPeer() { t.join(); }
};

// Sets the flag a wait waits for after a while, so that a wait that misses the
// end of its session fails the test instead of hanging it.
struct Watchdog {
  QTimer timer;
  bool fired = false;
  Watchdog(bool& flag, int ms) {
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [this, &flag] {
      fired = true;
      flag = true;
    });
    timer.start(ms);
  }
};

// A client waiting for a reply that ends with the prompt, as the remote control does.
struct PromptClient {
  TWSocket c{nullptr};
  bool replyReceived = false;
  std::vector<int> connected, closed;
  explicit PromptClient(int port, uint32_t timeout) {
    c.SetAddr("127.0.0.1");
    c.SetPort(std::to_string(port));
    c.SetTimeout(timeout);
    c.SetLineMode(true);
    c.SetLineEnd("\n");
    c.OnSessionConnected = [this](TObject*, uint16_t e) { connected.push_back(e); };
    c.OnSessionClosed = [this](TObject*, uint16_t e) { closed.push_back(e); };
    c.OnDataAvailable = [this](TObject*, uint16_t) {
      if (c.ReceiveAsString().find("SCS>") != std::string::npos) replyReceived = true;
    };
  }
};

TEST(SynchronousWait, APeerThatClosesEndsTheWaitAsAborted) {
  {  // closes right after the connect, with a time-out
    ScriptedPeer peer(false, "", false);
    PromptClient p(peer.port, 2000);
    EXPECT_EQ(p.c.Synchronize([&] { p.c.Connect(); }, p.replyReceived), WSAECONNABORTED);
    EXPECT_FALSE(p.replyReceived);
    EXPECT_EQ(p.connected, std::vector<int>{0});
    EXPECT_EQ(p.closed, std::vector<int>{0});
    EXPECT_EQ(p.c.State(), wsClosed);

    // A later wait for something else is not ended by that old close.
    bool looked = false;
    p.c.OnDnsLookupDone = [&](TObject*, uint16_t) { looked = true; };
    EXPECT_EQ(p.c.Synchronize([&] { p.c.DnsLookup("localhost"); }, looked), 0);
  }
  {  // closes on a command, without a time-out: the send-and-wait-for-the-reply pattern
    ScriptedPeer peer(true, "", false);
    PromptClient p(peer.port, 0);
    bool up = false;
    p.c.OnSessionConnected = [&](TObject*, uint16_t) { up = true; };
    ASSERT_EQ(p.c.Synchronize([&] { p.c.Connect(); }, up), 0);
    Watchdog dog(p.replyReceived, 5000);
    EXPECT_EQ(p.c.Synchronize([&] { p.c.SendText("10\r\n"); }, p.replyReceived), WSAECONNABORTED);
    EXPECT_FALSE(dog.fired);
    EXPECT_EQ(p.closed, std::vector<int>{0});
  }
  {  // a reply that came before the close still completes the wait
    ScriptedPeer peer(false, "greeting\nSCS>", false);
    PromptClient p(peer.port, 0);
    Watchdog dog(p.replyReceived, 5000);
    EXPECT_EQ(p.c.Synchronize([&] { p.c.Connect(); }, p.replyReceived), 0);
    EXPECT_FALSE(dog.fired);
  }
}

// The peer resets before the command goes: the send tells the close, and a wait begun after it
// (or a Synchronize around a send on the closed socket) ends at once with that close's code.
TEST(SynchronousWait, AWaitBegunAfterTheEndReturnsItsCode) {
  ScriptedPeer peer(false, "", false);  // closes at once; a reset once the client sends
  PromptClient p(peer.port, 5000);      // a wait that misses the end runs out instead
  bool up = false;
  p.c.OnSessionConnected = [&](TObject*, uint16_t) { up = true; };
  ASSERT_EQ(p.c.Synchronize([&] { p.c.Connect(); }, up), 0);
  ASSERT_TRUE(PumpUntil([&] { return !p.closed.empty(); }));
  int errors = 0;
  p.c.OnError = [&](TObject*) { ++errors; };
  p.c.SendText("10\r\n");
  EXPECT_EQ(p.c.WaitUntilReady(p.replyReceived), WSAECONNABORTED);
  EXPECT_EQ(p.c.Synchronize([&] { p.c.SendText("11\r\n"); }, p.replyReceived), WSAECONNABORTED);
  EXPECT_EQ(errors, 2);  // each refused send told
  // A lookup started on the closed socket is waited for.
  bool looked = false;
  p.c.OnDnsLookupDone = [&](TObject*, uint16_t) { looked = true; };
  p.c.DnsLookup("localhost");
  EXPECT_EQ(p.c.WaitUntilReady(looked), 0);
}

TEST(SynchronousWait, AFailedConnectOrNegotiationEndsTheWaitWithItsCode) {
  {
    PromptClient p(FreePort(), 0);
    Watchdog dog(p.replyReceived, 5000);
    EXPECT_EQ(p.c.Synchronize([&] { p.c.Connect(); }, p.replyReceived), WSAECONNREFUSED);
    EXPECT_FALSE(dog.fired);
    EXPECT_EQ(p.connected, std::vector<int>{WSAECONNREFUSED});
    EXPECT_EQ(p.closed, std::vector<int>{0});  // the events are those of before
  }
  {  // refused before a session opened, the error going to OnError
    TWSocket c(nullptr);
    c.SetAddr("127.0.0.1");
    int errors = 0;
    c.OnError = [&](TObject*) { ++errors; };
    bool done = false;
    Watchdog dog(done, 5000);
    EXPECT_EQ(c.Synchronize([&] { c.Connect(); }, done), WSAENOTCONN);  // no port
    EXPECT_FALSE(dog.fired);
    EXPECT_EQ(errors, 1);
  }
  {  // a SOCKS 5 server that accepts none of the offered methods
    ScriptedPeer socks(true, std::string("\x05\xff", 2), true);
    PromptClient p(FreePort(), 0);
    std::vector<int> socksErrors;
    p.c.OnSocksError = [&](TObject*, int e, const std::string&) { socksErrors.push_back(e); };
    p.c.SetSocksServer("127.0.0.1");
    p.c.SetSocksPort(std::to_string(socks.port));
    Watchdog dog(p.replyReceived, 5000);
    EXPECT_EQ(p.c.Synchronize([&] { p.c.Connect(); }, p.replyReceived), SOCKS_METHOD_ERROR);
    EXPECT_FALSE(dog.fired);
    EXPECT_EQ(socksErrors, std::vector<int>{SOCKS_METHOD_ERROR});
    EXPECT_EQ(p.c.State(), wsClosed);
  }
}

TEST(SynchronousWait, ARetryStartedByAHandlerKeepsTheWaitGoing) {
  ScriptedPeer server(false, "SCS>\n", true);
  PromptClient p(FreePort(), 0);
  p.c.OnSessionClosed = [&](TObject*, uint16_t e) {
    p.closed.push_back(e);
    if (p.closed.size() == 1) {  // the first server is down: try the other one
      p.c.SetPort(std::to_string(server.port));
      p.c.Connect();
    }
  };
  Watchdog dog(p.replyReceived, 5000);
  EXPECT_EQ(p.c.Synchronize([&] { p.c.Connect(); }, p.replyReceived), 0);
  EXPECT_FALSE(dog.fired);
  EXPECT_EQ(p.connected, (std::vector<int>{WSAECONNREFUSED, 0}));
  p.c.Close();
}

}  // namespace
