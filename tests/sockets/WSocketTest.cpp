// Tests of the event-driven sockets: UDP datagrams, TCP connect, transfer and close, errors and
// resolvers, lookups, background exceptions and synchronous waits.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "SocketTestUtil.h"
#include "sockets/WSocket.h"

TEST(WSocketUdp, ListenStatesDatagramsAndPortInUse) {
  auto s = UdpListener("0");
  std::vector<std::pair<TSocketState, TSocketState>> states;
  std::vector<int> connected;
  std::vector<std::string> got;
  s->OnChangeState = [&](TObject*, TSocketState o, TSocketState n) { states.emplace_back(o, n); };
  s->OnSessionConnected = [&](TObject*, uint16_t e) { connected.push_back(e); };
  s->OnDataAvailable = [&](TObject*, uint16_t) { got.push_back(s->ReceiveAsString()); };
  s->Listen();
  EXPECT_EQ(StateLog(states), "wsClosed>wsBound wsBound>wsListening wsListening>wsConnected ");
  EXPECT_EQ(connected, std::vector<int>{0});
  EXPECT_EQ(s->SelectedEvents(), 0x2B);
  const int port = std::stoi(s->GetBoundPort());

  PlainSocket peer(SOCK_DGRAM);
  peer.SendTo(port, std::string(40, 'x'));
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 1; }));
  EXPECT_EQ(got[0], std::string(40, 'x'));
  peer.SendTo(port, "one");
  peer.SendTo(port, "two two");
  peer.SendTo(port, "three");
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 4; }));
  EXPECT_EQ(got, (std::vector<std::string>{std::string(40, 'x'), "one", "two two", "three"}));
  PumpFor(20);
  EXPECT_EQ(got.size(), 4u);  // each datagram once

  // A second listener on the same port fails and keeps nothing open.
  auto second = UdpListener(std::to_string(port));
  int errors = 0;
  second->OnError = [&](TObject*) { ++errors; };
  second->Listen();
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(second->LastError(), 10048);
  EXPECT_EQ(second->State(), wsClosed);
  EXPECT_EQ(second->HSocket(), INVALID_SOCKET);
  auto third = UdpListener(std::to_string(port));
  try {
    third->Listen();
    FAIL();
  } catch (ESocketException& e) {
    EXPECT_EQ(e.Message(), "Address already in use (#10048 in Bind)");
  }
}

TEST(WSocketUdp, DatagramsStayWholeAndKeepTheirSender) {
  auto s = UdpListener("0");
  std::vector<std::string> got;
  std::vector<int> fromPorts, errors;
  s->OnDataAvailable = [&](TObject*, uint16_t) {
    char buf[4];
    sockaddr_in from{};
    int fromLen = sizeof from;
    const int n = s->ReceiveFrom(buf, sizeof buf, from, fromLen);  // a short buffer cuts this datagram only
    if (n < 0) return;
    got.emplace_back(buf, static_cast<size_t>(n));
    fromPorts.push_back(ntohs(from.sin_port));
    errors.push_back(s->LastError());  // and says so
  };
  s->Listen();
  const int port = std::stoi(s->GetBoundPort());
  PlainSocket peer(SOCK_DGRAM);
  const int peerPort = peer.Bind(0);
  peer.SendTo(port, "abcdef");
  peer.SendTo(port, "");
  peer.SendTo(port, "xy");
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 3; }));
  PumpFor(20);
  EXPECT_EQ(got, (std::vector<std::string>{"abcd", "", "xy"}));
  EXPECT_EQ(fromPorts, (std::vector<int>(3, peerPort)));
  EXPECT_EQ(errors, (std::vector<int>{10040, 0, 0}));

  // Receive alike, also for a datagram read ahead by the receive loop.
  std::vector<int> sizes;
  errors.clear();
  s->OnDataAvailable = [&](TObject*, uint16_t) {
    char buf[100];
    sizes.push_back(s->Receive(buf, sizeof buf));
    errors.push_back(s->LastError());
  };
  const std::string whole(100, 'w');
  peer.SendTo(port, std::string(1000, 'c'));
  peer.SendTo(port, whole);
  peer.SendTo(port, std::string(101, 'c'));
  peer.SendTo(port, whole);
  ASSERT_TRUE(PumpUntil([&] { return sizes.size() == 4; }));
  EXPECT_EQ(sizes, (std::vector<int>{100, 100, 100, 100}));
  EXPECT_EQ(errors, (std::vector<int>{10040, 0, 10040, 0}));
}

TEST(WSocketUdp, EachSendLeavesAsOneDatagram) {
  PlainSocket sink(SOCK_DGRAM);
  const int port = sink.Bind(0);
  TWSocket s(nullptr);
  s.SetProto("udp");
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(port));
  s.Connect();
  ASSERT_EQ(s.State(), wsConnected);
  EXPECT_EQ(s.Send("0123456789", 10), 10);
  EXPECT_EQ(s.Send("abcdefghij", 10), 10);
  const std::string big(4000, 'z');
  EXPECT_EQ(s.SendText(big), 4000);
  std::vector<size_t> sizes;
  char buf[8192];
  for (int i = 0; i < 3; ++i) {
    ssize_t n = ::recv(sink.fd, buf, sizeof buf, 0);
    sizes.push_back(static_cast<size_t>(n));
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{10, 10, 4000}));
}

TEST(WSocketUdp, UnreadDataNeitherSpinsNorIsLost) {
  auto s = UdpListener("0");
  s->Listen();
  const int port = std::stoi(s->GetBoundPort());
  PlainSocket peer(SOCK_DGRAM);
  // No handler: the datagram is read and dropped, and nothing repeats.
  peer.SendTo(port, "dropped");
  PumpFor(30);
  // A handler that does not read is called once, not in a loop.
  int calls = 0;
  s->OnDataAvailable = [&](TObject*, uint16_t) { ++calls; };
  peer.SendTo(port, "kept");
  ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
  PumpFor(30);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(s->ReceiveAsString(), "kept");
  EXPECT_EQ(s->ReceiveAsString(), "");  // nothing pending: asks for 255 and reads nothing
  EXPECT_EQ(s->LastError(), 10035);
}

TEST(WSocketUdp, QueuedEventOfAClosedSessionIsDropped) {
  auto s = UdpListener("0");
  s->Listen();
  const int port = std::stoi(s->GetBoundPort());
  const UINT eventsMsg = s->ReleaseMsg() + 1;  // the socket's first own number
  int calls = 0;
  s->OnDataAvailable = [&](TObject*, uint16_t) {
    ++calls;
    s->ReceiveAsString();
  };
  TMessage saved;
  HWND savedWnd = 0;
  const THookHandle hook = SetMessageHook([&](HWND wnd, TMessage& m) {
    if (m.Msg != eventsMsg || savedWnd) return false;
    saved = m;
    savedWnd = wnd;
    return true;  // keep it back, as if still queued
  });
  PlainSocket peer(SOCK_DGRAM);
  peer.SendTo(port, "old");
  ASSERT_TRUE(PumpUntil([&] { return savedWnd != 0; }));
  RemoveMessageHook(hook);
  s->Close();
  s->SetProto("udp");
  s->SetAddr("127.0.0.1");
  s->SetPort(std::to_string(port));
  s->Listen();  // usually gets the same descriptor number back
  PostMessage(savedWnd, saved.Msg, saved.WParam, saved.LParam);
  PumpFor(30);
  EXPECT_EQ(calls, 0);
  peer.SendTo(port, "new");
  ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
}

TEST(WSocketTcp, ConnectAcceptDataBothWaysAndPeerClose) {
  TcpPair p;
  ASSERT_TRUE(p.Connect());
  EXPECT_EQ(StateLog(p.clientStates), "wsClosed>wsOpened wsOpened>wsConnecting wsConnecting>wsConnected ");
  EXPECT_EQ(p.connected, std::vector<int>{0});
  EXPECT_EQ(p.server->State(), wsListening);
  EXPECT_EQ(p.client->GetPeerAddr(), "127.0.0.1");
  EXPECT_EQ(p.client->GetPeerPort(), std::to_string(p.port));

  std::string atServer, atClient;
  p.accepted->OnDataAvailable = [&](TObject*, uint16_t) { atServer += p.accepted->ReceiveAsString(); };
  p.client->OnDataAvailable = [&](TObject*, uint16_t) { atClient += p.client->ReceiveAsString(); };
  EXPECT_EQ(p.client->SendText("hello server"), 12);
  EXPECT_EQ(p.accepted->SendText("hello client"), 12);
  ASSERT_TRUE(PumpUntil([&] { return atServer.size() == 12 && atClient.size() == 12; }));
  EXPECT_EQ(atServer, "hello server");
  EXPECT_EQ(atClient, "hello client");

  // The client sends its last bytes and closes: the server reads them, then sees the close once.
  std::vector<int> closed;
  std::string order;
  p.accepted->OnSessionClosed = [&](TObject*, uint16_t e) {
    closed.push_back(e);
    order += "C";
  };
  p.accepted->OnDataAvailable = [&](TObject*, uint16_t) {
    std::string s = p.accepted->ReceiveAsString();
    if (!s.empty()) order += "D";
    atServer += s;
  };
  int clientClosed = 0;
  p.client->OnSessionClosed = [&](TObject*, uint16_t) { ++clientClosed; };
  p.client->SendText("bye");
  p.client->Close();
  p.client->Close();  // a second close does nothing
  EXPECT_EQ(clientClosed, 1);
  EXPECT_EQ(p.client->State(), wsClosed);
  ASSERT_TRUE(PumpUntil([&] { return !closed.empty(); }));
  PumpFor(20);
  EXPECT_EQ(atServer, "hello serverbye");
  EXPECT_EQ(closed, std::vector<int>{0});
  EXPECT_EQ(order.back(), 'C');
  EXPECT_EQ(p.accepted->State(), wsClosed);
  EXPECT_EQ(p.client->Proto(), "tcp");  // defaults after a close
  EXPECT_EQ(p.client->Port(), std::to_string(p.port));
}

// A server that ended its connection itself leaves it in TIME_WAIT on its port: it may listen there
// again at once, but two listeners never share a port.
TEST(WSocketTcp, AServerListensAgainOnItsPortButNeverBesideAnotherListener) {
  TcpPair p;
  ASSERT_TRUE(p.Connect());
  p.accepted->Close();
  ASSERT_TRUE(PumpUntil([&] { return p.client->State() == wsClosed; }));
  p.server->Close();
  std::vector<int> errors;
  for (TWSocket* s : {p.server.get(), p.accepted.get()}) {
    s->OnError = [&errors, s](TObject*) { errors.push_back(s->LastError()); };
    s->SetAddr("127.0.0.1");
    s->SetPort(std::to_string(p.port));
    s->Listen();
  }
  EXPECT_EQ(p.server->State(), wsListening);
  EXPECT_EQ(errors, std::vector<int>{10048});
  EXPECT_EQ(p.accepted->State(), wsClosed);
}

TEST(WSocketTcp, RefusedConnectReportsAndCloses) {
  TWSocket c(nullptr);
  std::vector<int> connected, closed;
  c.OnSessionConnected = [&](TObject*, uint16_t e) { connected.push_back(e); };
  c.OnSessionClosed = [&](TObject*, uint16_t e) { closed.push_back(e); };
  c.SetAddr("127.0.0.1");
  c.SetPort(std::to_string(FreePort()));
  c.Connect();
  EXPECT_TRUE(connected.empty());  // reported from the loop, as an asynchronous failure
  ASSERT_TRUE(PumpUntil([&] { return !connected.empty(); }));
  EXPECT_EQ(connected, std::vector<int>{10061});
  EXPECT_EQ(c.State(), wsClosed);
  EXPECT_EQ(c.HSocket(), INVALID_SOCKET);
  EXPECT_EQ(closed.size(), 1u);
}

// Sends 1 MB in one call to a reader that takes it slowly; `sendHandler` also
// counts the chunks the network took (the queued path for every byte).
void SendToSlowReader(bool sendHandler) {
  TcpPair p;
  p.Listen();
  PlainSocket reader(SOCK_STREAM);
  int rcv = 4096;
  ::setsockopt(reader.fd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
  // The reader is a plain socket on its own thread; the accepted end sends.
  ASSERT_TRUE(reader.Connect(p.port));
  ASSERT_TRUE(PumpUntil([&] { return p.accepted->State() == wsConnected; }));
  PumpFor(20);  // the initial "ready to send" event has passed
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131) >> 3);
  int dataSent = 0;
  int64_t sentTotal = 0;
  p.accepted->OnDataSent = [&](TObject*, uint16_t) { ++dataSent; };
  if (sendHandler) p.accepted->OnSendData = [&](TObject*, int n) { sentTotal += n; };
  std::string received;
  std::thread slow([&] {
    char buf[4096];
    while (received.size() < data.size()) {
      ssize_t n = ::recv(reader.fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      received.append(buf, static_cast<size_t>(n));
      if (received.size() % 65536 < 4096) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  p.accepted->SetSocketSndBufSize(8192);
  EXPECT_EQ(p.accepted->Send(data.data(), 1000), 1000);
  EXPECT_EQ(p.accepted->Send(data.data() + 1000, static_cast<int>(data.size()) - 1000), (1 << 20) - 1000);
  EXPECT_FALSE(p.accepted->AllSent());  // the network could not take it all at once
  const bool done = PumpUntil([&] { return dataSent > 0; }, 30000);
  slow.join();
  ASSERT_TRUE(done);
  PumpFor(20);
  EXPECT_EQ(dataSent, 1);
  if (sendHandler) {
    EXPECT_EQ(sentTotal, 1 << 20);
  }
  EXPECT_EQ(p.accepted->BufferedByteCount(), 0);
  EXPECT_TRUE(received == data);
}

TEST(WSocketTcp, OneMegabyteToASlowReaderArrivesIntactWithOneDataSent) {
  SendToSlowReader(true);
  SendToSlowReader(false);
}

TEST(WSocketTcp, SendingFromInsideSendCallbacks) {
  TcpPair p;
  ASSERT_TRUE(p.Connect());
  std::string atServer;
  p.accepted->OnDataAvailable = [&](TObject*, uint16_t) { atServer += p.accepted->ReceiveAsString(); };
  int extra = 0;
  p.client->OnSendData = [&](TObject*, int) {
    if (extra++ < 3) p.client->SendText("+");  // must neither deadlock nor repeat data
  };
  p.client->SendText("abc");
  ASSERT_TRUE(PumpUntil([&] { return atServer.size() >= 6; }));
  PumpFor(20);
  EXPECT_EQ(atServer, "abc+++");
}

TEST(WSocketTcp, HandlerThatDoesNotReadIsNotCalledInALoop) {
  TcpPair p;
  ASSERT_TRUE(p.Connect());
  int calls = 0;
  p.accepted->OnDataAvailable = [&](TObject*, uint16_t) { ++calls; };
  p.client->SendText("data");
  ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
  PumpFor(30);
  EXPECT_EQ(calls, 1);
  char buf[16];
  EXPECT_EQ(p.accepted->Receive(buf, sizeof buf), 4);
  EXPECT_EQ(p.accepted->ReadCount(), 4);
}

TEST(WSocketTcp, ResetPeerClosesBeforeTheErrorIsReported) {
  TcpPair p;
  ASSERT_TRUE(p.Connect());
  std::string order;
  p.client->OnSessionClosed = [&](TObject*, uint16_t e) { order += "closed" + std::to_string(e) + " "; };
  p.client->OnError = [&](TObject*) {
    order += "error" + std::to_string(p.client->LastError()) + (p.client->State() == wsClosed ? " in wsClosed" : "");
  };
  ResetConnection(*p.accepted);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(p.client->GetPeerAddr(), "error");  // the failing call, before any event was pumped
  EXPECT_EQ(order, "closed10057 error10057 in wsClosed");
  PumpFor(20);
  EXPECT_EQ(order, "closed10057 error10057 in wsClosed");
}

TEST(WSocketTcp, SendToAResetPeerLogsClosesAndReportsTheCloseOnce) {
  TcpPair p;
  ASSERT_TRUE(p.Connect());
  TSockLogger log(nullptr);
  std::vector<std::string> lines;
  log.SetOnSockLogEvent([&](TObject*, TLogOption, const std::string& m) { lines.push_back(m); });
  log.SetLogOptions({loDestEvent, loWsockErr});
  p.client->SetSockLogger(&log);
  p.client->SetName("client");
  std::vector<int> closed;
  int errors = 0;
  p.client->OnSessionClosed = [&](TObject*, uint16_t e) { closed.push_back(e); };
  p.client->OnError = [&](TObject*) { ++errors; };
  ResetConnection(*p.accepted);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  p.client->SendText("after the reset");
  EXPECT_EQ(lines, std::vector<std::string>{"client Winsock Send failed - Connection reset by peer (#10054)"});
  EXPECT_EQ(closed, std::vector<int>{10054});
  EXPECT_EQ(p.client->State(), wsClosed);
  PumpFor(30);
  EXPECT_EQ(closed.size(), 1u);
  EXPECT_EQ(errors, 0);
  p.client->SetSockLogger(nullptr);
}

// A plain peer on its own thread that starts reading after `delayMs` (never,
// when negative) and reads until the connection ends.
struct LatePeer {
  PlainSocket listener{SOCK_STREAM};
  int port = listener.Bind(0);
  int fd = -1;
  std::atomic<int64_t> received{0};
  std::atomic<bool> sawReset{false}, sawEnd{false};
  std::thread thread;
  explicit LatePeer(int delayMs) {
    ::listen(listener.fd, 1);
    thread = std::thread([this, delayMs] {
      fd = ::accept(listener.fd, nullptr, nullptr);
      if (delayMs < 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      ReadToEnd();
    });
  }
  void ReadToEnd() {
    char buf[65536];
    for (;;) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        received += n;
        continue;
      }
      sawReset = n < 0 && errno == ECONNRESET;
      sawEnd = n == 0;
      return;
    }
  }
  ~LatePeer() {
    if (thread.joinable()) thread.join();
    if (fd >= 0) ::close(fd);
  }
};

// Connects a socket to the peer; what it reports at its close lands in `closed`.
bool ConnectTo(TWSocket& s, LatePeer& peer, std::vector<int>& closed) {
  bool connected = false;
  s.OnSessionConnected = [&connected](TObject*, uint16_t e) { connected = e == 0; };
  s.OnSessionClosed = [&closed, &s](TObject*, uint16_t e) {
    closed.push_back(e);
    closed.push_back(s.LastError());  // already set when the handler runs
  };
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(peer.port));
  s.Connect();
  return PumpUntil([&] { return connected; });
}

// Data still queued in the socket and in the system when Close is called
// reaches a peer that reads late, and the connection ends in order, whatever
// the linger setting and whether Flush ran first.
TEST(WSocketClose, DeliversWhatIsStillToSendThenEndsInOrder) {
  const std::string data(2 << 20, 'c');
  for (const int variant : {0, 1, 2}) {
    SCOPED_TRACE(variant);
    LatePeer peer(200);
    TWSocket s(nullptr);
    std::vector<int> closed;
    ASSERT_TRUE(ConnectTo(s, peer, closed));
    s.SetSocketSndBufSize(65536);  // most of the data waits in the socket's own buffer
    if (variant == 1) s.SetLingerOnOff(wsLingerNoSet);
    ASSERT_EQ(s.Send(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    if (variant == 2) s.Flush();
    if (variant != 2) {
      EXPECT_GT(s.BufferedByteCount(), 0);
    }
    s.Close();
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(closed, (std::vector<int>{0, 0}));
    peer.thread.join();
    EXPECT_EQ(peer.received.load(), static_cast<int64_t>(data.size()));
    EXPECT_TRUE(peer.sawEnd);
    EXPECT_FALSE(peer.sawReset);
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn);  // the defaults stand after the close
    EXPECT_EQ(s.LingerTimeout(), 0);
  }
}

// When the data cannot be delivered (a peer that never reads, one that resets
// meanwhile), Close says so with its code and the peer learns it by a reset.
TEST(WSocketClose, WhatCannotBeDeliveredIsReported) {
  const std::string data(2 << 20, 'c');
  {
    LatePeer peer(-1);
    TWSocket s(nullptr);
    std::vector<int> closed;
    ASSERT_TRUE(ConnectTo(s, peer, closed));
    s.Send(data.data(), static_cast<int>(data.size()));
    s.SetFlushTimeout(1);
    s.Close();
    EXPECT_EQ(closed, (std::vector<int>{10060, 10060}));
    EXPECT_EQ(s.LastError(), 10060);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.BufferedByteCount(), 0);
    peer.thread.join();
    peer.ReadToEnd();
    EXPECT_TRUE(peer.sawReset);
    EXPECT_LT(peer.received.load(), static_cast<int64_t>(data.size()));
  }
  {
    LatePeer peer(-1);
    TWSocket s(nullptr);
    std::vector<int> closed;
    ASSERT_TRUE(ConnectTo(s, peer, closed));
    s.Send(data.data(), static_cast<int>(data.size()));
    peer.thread.join();
    std::thread resetter([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      linger l{};
      l.l_onoff = 1;
      ::setsockopt(peer.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      ::close(peer.fd);
      peer.fd = -1;
    });
    s.Close();
    resetter.join();
    EXPECT_EQ(closed, (std::vector<int>{10054, 10054}));
  }
}

// A peer that ends its side while data is still on its way: the close that
// follows tells whether the data arrived (a peer still reading takes it all; one
// that quits part-way resets the connection).
TEST(WSocketClose, PeerClosingWhileDataIsOnItsWayGetsItOrTheCloseSaysSo) {
  const std::string data(4 << 20, 'p');
  for (const bool readsAll : {true, false}) {
    SCOPED_TRACE(readsAll);
    LatePeer peer(-1);
    TWSocket s(nullptr);
    std::vector<int> closed;
    ASSERT_TRUE(ConnectTo(s, peer, closed));
    s.SetSocketSndBufSize(65536);
    s.Send(data.data(), static_cast<int>(data.size()));
    ASSERT_GT(s.BufferedByteCount(), 0);
    peer.thread.join();
    ::shutdown(peer.fd, SHUT_WR);
    std::thread reader([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (readsAll) {
        peer.ReadToEnd();
        return;
      }
      char buf[65536];
      peer.received += ::recv(peer.fd, buf, sizeof buf, 0);
      ::close(peer.fd);  // with data unread: a reset
      peer.fd = -1;
    });
    EXPECT_TRUE(PumpUntil([&] { return !closed.empty(); }));
    reader.join();
    if (readsAll) {
      EXPECT_EQ(closed, (std::vector<int>{0, 0}));
      EXPECT_EQ(peer.received.load(), static_cast<int64_t>(data.size()));
    } else {
      EXPECT_EQ(closed, (std::vector<int>{10054, 10054}));
    }
    EXPECT_EQ(s.State(), wsClosed);
  }
}

// The close waits while serving the thread's other messages: a reader on the
// same thread takes the data. Events of the closing socket wait and end with it;
// a second Close from a handler meanwhile changes nothing, and Abort does not wait.
TEST(WSocketClose, ServesTheThreadWhileWaitingAndAbortStaysImmediate) {
  TcpPair p;
  ASSERT_TRUE(p.Connect());
  p.client->SetSocketSndBufSize(65536);
  int64_t got = 0;
  int secondCloses = 0;
  p.accepted->OnDataAvailable = [&](TObject*, uint16_t) {
    char buf[65536];
    const int n = p.accepted->Receive(buf, sizeof buf);
    if (n > 0) got += n;
    if (got > (1 << 20) && secondCloses == 0) {
      ++secondCloses;
      p.client->Close();
    }
  };
  int clientData = 0;
  std::vector<int> closed;
  p.client->OnDataAvailable = [&](TObject*, uint16_t) { ++clientData; };
  p.client->OnSessionClosed = [&](TObject*, uint16_t e) { closed.push_back(e); };
  const std::string data(4 << 20, 's');
  p.client->Send(data.data(), static_cast<int>(data.size()));
  p.accepted->SendText("while closing");
  p.client->Close();
  EXPECT_EQ(closed, std::vector<int>{0});
  EXPECT_EQ(secondCloses, 1);
  EXPECT_EQ(clientData, 0);  // its events ended with the close
  ASSERT_TRUE(PumpUntil([&] { return got == static_cast<int64_t>(data.size()); }));

  LatePeer peer(-1);
  TWSocket s(nullptr);
  ASSERT_TRUE(ConnectTo(s, peer, closed));
  s.Send(data.data(), static_cast<int>(data.size()));
  s.Abort();
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(s.BufferedByteCount(), 0);
  peer.thread.join();
  peer.ReadToEnd();
  EXPECT_LT(peer.received.load(), static_cast<int64_t>(data.size()));
}

TEST(WSocketErrors, SettersAndOperationsOutOfState) {
  TcpPair p;
  p.Listen();
  TWSocket& s = *p.server;
  s.SetPort("0");  // the same text: nothing happens
  try {
    s.SetPort("81");
    FAIL();
  } catch (ESocketException& e) {
    EXPECT_EQ(e.Message(), "Cannot change Port if not closed");
  }
  EXPECT_EQ(s.Port(), "0");
  try {
    s.Listen();  // already listening: refused instead of leaking the descriptor
    FAIL();
  } catch (ESocketException& e) {
    EXPECT_EQ(e.Message(), "Invalid argument (#10022 in listen: socket already in use)");
  }
  s.Close();
  EXPECT_EQ(s.Proto(), "tcp");
  EXPECT_EQ(s.Addr(), "127.0.0.1");
  try {
    s.Listen();  // Port and Addr keep their texts but must be set again
    FAIL();
  } catch (ESocketException& e) {
    EXPECT_EQ(e.Message(), "Invalid argument (#10022 in listen: port not assigned)");
  }
}

TEST(WSocketErrors, ReportsGoToOnErrorWithLastError) {
  TWSocket s(nullptr);
  std::vector<int> errors;
  s.OnError = [&](TObject*) { errors.push_back(s.LastError()); };
  EXPECT_EQ(s.Accept(), INVALID_SOCKET);
  EXPECT_EQ(s.Send("x", 1), -1);
  EXPECT_EQ(s.SendLine("x"), -1);
  EXPECT_EQ(s.SendLine(""), 0);  // an empty line sends nothing, whatever the state
  EXPECT_EQ(errors, (std::vector<int>{10022, 10057, 10057}));
  EXPECT_EQ(s.BufferedByteCount(), 0);  // the refused line was not queued
  s.OnError = nullptr;
  try {
    s.Send("x", 1);
    FAIL();
  } catch (ESocketException& e) {
    EXPECT_EQ(e.Message(), "Socket is not connected (#10057 in Send)");
  }
  s.SetAddr("127.0.0.1");
  s.SetPort("70000");
  try {
    s.Listen();
    FAIL();
  } catch (ESocketException& e) {
    EXPECT_EQ(e.Message(), "listen: Winsock Resolve Port: Invalid Port.");
  }
  EXPECT_EQ(s.State(), wsClosed);
  try {
    s.SetSocksLevel("6");
    FAIL();
  } catch (ESocketException& e) {
    EXPECT_EQ(e.Message(), "Invalid socks level. Must be 4, 4A or 5.");
  }
  s.SetSocksLevel("4a");
  EXPECT_EQ(s.SocksLevel(), "4A");
}

// Whatever the resolver says, the report (OnError, the lookup's done event, or
// the exception) comes with LastError holding the resolver's code.
TEST(WSocketErrors, FailedNameLookupsSetLastErrorBeforeTheReport) {
  for (const int resolver : {WSATRY_AGAIN, WSAHOST_NOT_FOUND, WSANO_DATA}) {
    SCOPED_TRACE(resolver);
    const THostLookup previous = SetHostLookup(
        [&](const std::string&, std::vector<std::string>&, const std::atomic<bool>&) { return resolver; });
    TWSocket s(nullptr);
    std::vector<int> seen;
    s.OnError = [&](TObject*) { seen.push_back(s.LastError()); };
    s.OnDnsLookupDone = [&](TObject*, uint16_t e) { seen.push_back(e == s.LastError() ? e : -1); };
    s.SetAddr("printer.example");
    s.SetPort("80");
    s.Connect();
    s.SetProto("udp");
    s.Listen();
    s.DnsLookup("printer.example");
    EXPECT_TRUE(PumpUntil([&] { return seen.size() == 3; }));
    EXPECT_EQ(seen, std::vector<int>(3, resolver));
    EXPECT_EQ(s.State(), wsClosed);
    s.OnError = nullptr;
    s.SetLastError(0);
    EXPECT_THROW(s.Connect(), ESocketException);
    EXPECT_EQ(s.LastError(), resolver);
    SetHostLookup(previous);
  }
  TWSocket s(nullptr);
  EXPECT_THROW(s.ResolvePort("no-such-service", "tcp"), ESocketException);
  EXPECT_EQ(s.LastError(), WSANO_DATA);
  EXPECT_THROW(s.ResolvePort("70000", "tcp"), ESocketException);
  EXPECT_EQ(s.LastError(), WSAEINVAL);
  EXPECT_THROW(s.ResolveHost(""), ESocketException);
  EXPECT_EQ(s.LastError(), WSAHOST_NOT_FOUND);
}

TEST(WSocketErrors, Resolvers) {
  TWSocket s(nullptr);
  EXPECT_EQ(s.ResolvePort("http", "tcp"), 80);
  EXPECT_EQ(s.ResolvePort("80x", "tcp"), 80);
  EXPECT_EQ(s.ResolveProto("UDP"), 17);
  EXPECT_EQ(s.ResolveProto("raw"), 255);
  EXPECT_EQ(s.ResolveHost("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(s.ResolveHost("127.0.0.1"), htonl(INADDR_LOOPBACK));
  try {
    s.ResolveHost("");
    FAIL();
  } catch (ESocketException& e) {
    EXPECT_EQ(e.Message(), "Winsock Resolve Host: '' Invalid Hostname.");
  }
  try {
    s.ResolvePort("", "tcp");
    FAIL();
  } catch (ESocketException& e) {
    EXPECT_EQ(e.Message(), "Winsock Resolve Port: Invalid Port.");
  }
}

TEST(WSocketMisc, BackgroundExceptionAbortsUnlessTheHandlerKeepsTheSocket) {
  auto s = UdpListener("0");
  s->Listen();
  const int port = std::stoi(s->GetBoundPort());
  std::string seen;
  s->OnDataAvailable = [&](TObject*, uint16_t) {
    s->ReceiveAsString();
    throw ESocketException("handler failed");
  };
  s->OnBgException = [&](TObject*, Exception& e, bool& canClose) {
    seen = e.Message();
    canClose = seen.empty();
  };
  PlainSocket peer(SOCK_DGRAM);
  peer.SendTo(port, "x");
  ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
  EXPECT_EQ(seen, "handler failed");
  EXPECT_EQ(s->State(), wsConnected);  // kept
  s->OnBgException = nullptr;
  PostMessage(s->Handle(), s->MsgTestException(), 0, s->TaggedLParam(s->MsgTestException(), 0));
  ASSERT_TRUE(PumpUntil([&] { return s->State() == wsClosed; }));
}

// A handler that throws a standard exception (not the run-time's Exception)
// or anything else: the background handler gets its text, or "Unknown
// exception", the socket is aborted, and the event loop goes on serving the
// others.
TEST(WSocketMisc, StandardAndOtherExceptionsOfAHandlerReachTheBackgroundHandler) {
  auto other = UdpListener("0");
  int otherGot = 0;
  other->OnDataAvailable = [&](TObject*, uint16_t) {
    other->ReceiveAsString();
    ++otherGot;
  };
  other->Listen();
  PlainSocket peer(SOCK_DGRAM);
  for (const bool standard : {true, false}) {
    SCOPED_TRACE(standard);
    auto s = UdpListener("0");
    s->Listen();
    const int port = std::stoi(s->GetBoundPort());
    s->OnDataAvailable = [&](TObject*, uint16_t) {
      s->ReceiveAsString();
      if (standard) throw std::runtime_error("plain failure");
      throw 42;
    };
    std::vector<std::string> seen;
    s->OnBgException = [&](TObject*, Exception& e, bool& canClose) {
      seen.push_back(e.Message());
      EXPECT_TRUE(canClose);
    };
    peer.SendTo(port, "x");
    ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, std::vector<std::string>{standard ? "plain failure" : "Unknown exception"});
    ASSERT_TRUE(PumpUntil([&] { return s->State() == wsClosed; }));
    const int before = otherGot;
    peer.SendTo(std::stoi(other->GetBoundPort()), "y");
    ASSERT_TRUE(PumpUntil([&] { return otherGot == before + 1; }));
  }
}

TEST(WSocketMisc, DnsLookupsAndSynchronousWait) {
  TWSocket s(nullptr);
  std::vector<int> done;
  s.OnDnsLookupDone = [&](TObject*, uint16_t e) { done.push_back(e); };
  s.DnsLookup("127.0.0.1");
  EXPECT_EQ(done, std::vector<int>{0});  // a dotted address is answered at once
  EXPECT_EQ(s.DnsResult(), "127.0.0.1");

  bool finished = false;
  s.OnDnsLookupDone = [&](TObject*, uint16_t e) {
    done.push_back(e);
    finished = true;
  };
  s.SetTimeout(10000);
  EXPECT_EQ(s.Synchronize([&] { s.DnsLookup("localhost"); }, finished), 0);
  EXPECT_EQ(done.back(), 0);
  EXPECT_EQ(s.DnsResult(), "127.0.0.1");

  s.ReverseDnsLookupBlocking("127.0.0.1");
  EXPECT_EQ(done.back(), 0);
  EXPECT_EQ(s.DnsResult(), "localhost");

  // A lookup cancelled before its answer arrives reports 10004 and never its late answer.
  done.clear();
  s.DnsLookup("localhost");
  s.CancelDnsLookup();
  PumpFor(100);
  EXPECT_EQ(done, std::vector<int>{10004});

  // A wait that is already done does not pump; one that never completes times out.
  bool already = true;
  s.SetTimeout(30);
  EXPECT_EQ(s.WaitUntilReady(already), 0);
  bool never = false;
  EXPECT_EQ(s.WaitUntilReady(never), 12001);

  // Without a time-out only the end of the message loop stops a wait.
  TWSocket waiter(nullptr);
  waiter.SetTimeout(0);
  PostQuitMessage(0);
  EXPECT_EQ(waiter.WaitUntilReady(never), 12001);
  EXPECT_TRUE(waiter.LoopEnded());
}

TEST(WSocketMisc, LookupsOfAResolverThatNeverAnswersTakeFewThreadsAndEndWhenCancelled) {
  std::atomic<int> running{0};
  const THostLookup previous =
      SetHostLookup([&](const std::string&, std::vector<std::string>&, const std::atomic<bool>& cancelled) {
        ++running;
        while (!cancelled) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        --running;
        return WSAEINTR;
      });
  std::vector<int> done;
  {
    TWSocket s(nullptr);
    s.OnDnsLookupDone = [&](TObject*, uint16_t e) { done.push_back(e); };
    for (int i = 0; i < 20; ++i) {
      s.DnsLookup("never.answers.invalid");  // a retry cancels the lookup before it
      EXPECT_LE(DnsLookupThreads(), 4);
    }
    s.CancelDnsLookup();
    TWSocket gone(nullptr);
    gone.DnsLookup("never.answers.invalid");  // freeing the socket cancels its lookup
  }
  ASSERT_TRUE(PumpUntil([&] { return DnsLookupThreads() == 0; }));
  EXPECT_EQ(running.load(), 0);
  EXPECT_EQ(done, std::vector<int>(20, WSAEINTR));
  SetHostLookup(previous);
}

// A resolver that ignores cancelling keeps its thread until it answers. Lookups
// of many sockets, some freed while their lookups are held or queued, still
// share a few threads; the resolver stand-in counts them itself.
TEST(WSocketMisc, LookupsOfAResolverThatIgnoresCancellingShareAFewThreads) {
  std::mutex lock;
  std::condition_variable release;
  bool released = false;
  int running = 0, most = 0, calls = 0;
  std::set<std::thread::id> threads;
  const THostLookup previous =
      SetHostLookup([&](const std::string&, std::vector<std::string>& addresses, const std::atomic<bool>&) {
        std::unique_lock<std::mutex> g(lock);
        ++calls;
        most = std::max(most, ++running);
        threads.insert(std::this_thread::get_id());
        release.wait(g, [&] { return released; });  // cancelled or not
        --running;
        addresses.push_back("192.0.2.7");
        return 0;
      });
  auto held = [&] {
    std::lock_guard<std::mutex> g(lock);
    return running;
  };
  constexpr int kSockets = 12;
  std::vector<std::unique_ptr<TWSocket>> sockets;
  std::vector<int> answers(kSockets, -1);
  for (int i = 0; i < kSockets; ++i) {
    sockets.push_back(std::make_unique<TWSocket>(nullptr));
    sockets.back()->OnDnsLookupDone = [&answers, i](TObject*, uint16_t e) { answers[i] = e; };
    sockets.back()->DnsLookup("slow.example");
  }
  EXPECT_TRUE(PumpUntil([&] { return held() >= 4; }));
  PumpFor(300);  // room for threads beyond the bound to show up
  // The sockets 0, 2, ... go away: two held lookups and four queued ones are cancelled.
  for (int i = 0; i < kSockets; i += 2) sockets[i].reset();
  {
    std::lock_guard<std::mutex> g(lock);
    released = true;
  }
  release.notify_all();
  EXPECT_TRUE(PumpUntil([&] {
    for (int i = 1; i < kSockets; i += 2)
      if (answers[i] == -1) return false;
    return held() == 0 && DnsLookupThreads() == 0;
  }));
  std::lock_guard<std::mutex> g(lock);
  EXPECT_LE(most, 4);
  EXPECT_LE(threads.size(), 4u);
  EXPECT_EQ(calls, kSockets - 4);  // the cancelled queued lookups never ran
  for (int i = 1; i < kSockets; i += 2) {
    EXPECT_EQ(answers[i], 0) << i;
    EXPECT_EQ(sockets[i]->DnsResult(), "192.0.2.7") << i;
  }
  SetHostLookup(previous);
}

TEST(WSocketMisc, SynchronousWaitEndsOnTheApplicationsQuitAndSleepsMeanwhile) {
  TWSocket waiter(nullptr);
  bool never = false;
  // Without a time-out, the application's quit ends a wait inside its loop.
  waiter.SetTimeout(0);
  int result = -1;
  QTimer failSafe;  // ends a wait that misses the quit, so that the test fails instead of hanging
  failSafe.setSingleShot(true);
  QObject::connect(&failSafe, &QTimer::timeout, [&] { never = true; });
  QTimer::singleShot(0, [&] {
    QTimer::singleShot(50, [] { QCoreApplication::quit(); });
    failSafe.start(5000);
    result = waiter.WaitUntilReady(never);
  });
  QCoreApplication::exec();
  EXPECT_EQ(result, 12001);
  EXPECT_FALSE(never);

  // Sleeping, not polling: the thread leaves the processor a few times at most.
  TWSocket sleeper(nullptr);
  sleeper.SetTimeout(300);
  rusage before{}, after{};
  getrusage(RUSAGE_THREAD, &before);
  EXPECT_EQ(sleeper.WaitUntilReady(never), 12001);
  getrusage(RUSAGE_THREAD, &after);
  EXPECT_LT(after.ru_nvcsw - before.ru_nvcsw, 30);
}

TEST(WSocketMisc, SocketOnItsOwnThread) {
  std::atomic<int> port{0};
  std::atomic<DWORD> eventThread{0};
  DWORD socketThread = 0;
  std::string got;
  std::thread t([&] {
    socketThread = GetCurrentThreadId();
    auto s = UdpListener("0");
    s->OnDataAvailable = [&](TObject*, uint16_t) {
      got = s->ReceiveAsString();
      eventThread = GetCurrentThreadId();
      PostQuitMessage(0);
    };
    s->Listen();
    port = std::stoi(s->GetBoundPort());
    RunMessageLoop();
    s.reset();
  });
  while (port == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  PlainSocket peer(SOCK_DGRAM);
  peer.SendTo(port, "to the thread");
  t.join();
  EXPECT_EQ(got, "to the thread");
  EXPECT_EQ(eventThread.load(), socketThread);
  EXPECT_NE(socketThread, GetCurrentThreadId());
}

TEST(WSocketErrors, FailuresOnTheWayToConnectingCloseTheSocket) {
  PlainSocket taken(SOCK_DGRAM);
  const int port = taken.Bind(0);
  TWSocket s(nullptr);
  auto prepare = [&] {
    s.SetProto("udp");
    s.SetAddr("127.0.0.1");
    s.SetPort("9");
    s.SetLocalAddr("127.0.0.1");
    s.SetLocalPort(std::to_string(port));  // in use: the bind fails
  };
  prepare();
  try {
    s.Connect();
    FAIL();
  } catch (ESocketException& e) {
    EXPECT_EQ(e.Message(), "Bind socket failed - Address already in use (#10048)");
  }
  EXPECT_EQ(s.HSocket(), INVALID_SOCKET);
  EXPECT_EQ(s.State(), wsClosed);
  int errors = 0;
  s.OnError = [&](TObject*) { ++errors; };
  prepare();
  s.Connect();
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(s.HSocket(), INVALID_SOCKET);
  EXPECT_EQ(s.State(), wsClosed);
}

TEST(WSocketTcp, FlushGivesUpAfterFlushTimeout) {
  TcpPair p;
  ASSERT_TRUE(p.Connect());
  p.client->SetSocketSndBufSize(4096);
  p.accepted->OnDataAvailable = [](TObject*, uint16_t) {};  // a reader that never reads
  const std::string big(8 << 20, 'f');                      // far more than the network holds while nobody reads
  p.client->Send(big.data(), static_cast<int>(big.size()));
  ASSERT_FALSE(p.client->AllSent());
  p.client->SetFlushTimeout(1);
  p.client->Flush();  // returns instead of waiting for a reader that never comes
  EXPECT_FALSE(p.client->AllSent());
  EXPECT_GT(p.client->BufferedByteCount(), 0);
}

// Pauses a socket at the moment one of its network events is about to be
// handled, so that the event arrives while paused.
struct PauseOnEvent {
  THookHandle hook;
  PauseOnEvent(TWSocket& s, int event) {
    hook = SetMessageHook([&s, event](HWND wnd, TMessage& m) {
      if (wnd == s.Handle() && m.Msg == s.MsgSocketEvents() && (m.LParam & event) && !s.Paused()) s.PauseEvents();
      return false;
    });
  }
  ~PauseOnEvent() { RemoveMessageHook(hook); }
};

TEST(WSocketTcp, EventsThatArriveWhilePausedAreSeenAfterResume) {
  TcpPair p;
  p.Listen();
  std::vector<int> connected;
  p.client->OnSessionConnected = [&](TObject*, uint16_t e) { connected.push_back(e); };
  p.client->SetAddr("127.0.0.1");
  p.client->SetPort(std::to_string(p.port));
  {
    PauseOnEvent pause(*p.client, FD_CONNECT);
    p.client->Connect();
    EXPECT_TRUE(PumpUntil([&] { return p.client->Paused(); }));  // the connect event came and paused it
  }
  EXPECT_TRUE(connected.empty());
  p.client->ResumeEvents();
  ASSERT_TRUE(PumpUntil([&] { return connected == std::vector<int>{0} && p.accepted->State() == wsConnected; }));

  // Data, and the "all sent" event of a send: a large send after the resume
  // still runs to its end.
  std::string got;
  p.accepted->OnDataAvailable = [&](TObject*, uint16_t) { got += p.accepted->ReceiveAsString(); };
  p.accepted->PauseEvents();
  p.client->SendText("later");
  PumpFor(30);
  EXPECT_EQ(got, "");
  p.accepted->ResumeEvents();
  ASSERT_TRUE(PumpUntil([&] { return got == "later"; }));
  int dataSent = 0;
  p.client->OnDataSent = [&](TObject*, uint16_t) { ++dataSent; };
  PumpFor(20);
  dataSent = 0;
  p.client->SendText("x");
  p.client->PauseEvents();
  PumpFor(30);
  EXPECT_EQ(dataSent, 0);
  p.client->ResumeEvents();
  ASSERT_TRUE(PumpUntil([&] { return dataSent == 1; }));
  const std::string big(4 << 20, 'b');
  p.client->Send(big.data(), static_cast<int>(big.size()));
  ASSERT_TRUE(PumpUntil([&] { return dataSent == 2 && got.size() == 5 + 1 + big.size(); }, 30000));

  // The peer's close.
  int closed = 0;
  p.client->OnSessionClosed = [&](TObject*, uint16_t) { ++closed; };
  {
    PauseOnEvent pause(*p.client, FD_CLOSE);
    p.accepted->Close();
    PumpFor(30);
  }
  EXPECT_EQ(closed, 0);
  p.client->ResumeEvents();
  ASSERT_TRUE(PumpUntil([&] { return closed == 1 && p.client->State() == wsClosed; }));
}

TEST(WSocketTcp, SendHandlerMayAbortOrDiscardTheQueue) {
  for (const bool abort : {true, false}) {
    TcpPair p;
    ASSERT_TRUE(p.Connect());
    std::string got;
    p.accepted->OnDataAvailable = [&](TObject*, uint16_t) { got += p.accepted->ReceiveAsString(); };
    p.client->OnSendData = [&](TObject*, int) {
      if (abort)
        p.client->Abort();
      else
        p.client->DiscardQueuedData();
    };
    EXPECT_EQ(p.client->SendText("abc"), 3);
    if (abort) {
      EXPECT_EQ(p.client->State(), wsClosed);
      continue;
    }
    EXPECT_EQ(p.client->BufferedByteCount(), 0);
    p.client->OnSendData = nullptr;
    p.client->SendText("def");
    ASSERT_TRUE(PumpUntil([&] { return got.size() >= 6; }));
    PumpFor(20);
    EXPECT_EQ(got, "abcdef");
  }
}

TEST(WSocketMisc, SocketMovedToAnotherThreadGetsItsEventsThere) {
  auto s = UdpListener("0");
  s->Listen();
  const int port = std::stoi(s->GetBoundPort());
  std::atomic<DWORD> eventThread{0};
  std::string got;
  s->OnDataAvailable = [&](TObject*, uint16_t) {
    got = s->ReceiveAsString();
    eventThread = GetCurrentThreadId();
    PostQuitMessage(0);
  };
  s->DetachFromThread();
  EXPECT_FALSE(s->HasHandle());
  std::atomic<bool> attached{false};
  DWORD worker = 0;
  std::thread t([&] {
    worker = GetCurrentThreadId();
    s->AttachToThread();
    attached = true;
    RunMessageLoop();
    s->DetachFromThread();
  });
  while (!attached) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  PlainSocket peer(SOCK_DGRAM);
  peer.SendTo(port, "moved");
  t.join();
  s->AttachToThread();  // back home, so that it is freed on its own thread
  EXPECT_EQ(got, "moved");
  EXPECT_EQ(eventThread.load(), worker);
  EXPECT_EQ(s->State(), wsConnected);
}

TEST(WSocketTcp, RetryFromTheFailureEventKeepsTheNewAttempt) {
  TcpPair p;
  p.Listen();
  TWSocket c(nullptr);
  std::vector<int> connected;
  c.OnSessionConnected = [&](TObject*, uint16_t e) {
    connected.push_back(e);
    if (e != 0) {  // refused: try the port that listens
      c.Close();
      c.SetAddr("127.0.0.1");
      c.SetPort(std::to_string(p.port));
      c.Connect();
    }
  };
  c.SetAddr("127.0.0.1");
  c.SetPort(std::to_string(FreePort()));
  c.Connect();
  ASSERT_TRUE(PumpUntil([&] { return connected.size() == 2; }));
  EXPECT_EQ(connected, (std::vector<int>{10061, 0}));
  EXPECT_EQ(c.State(), wsConnected);
  ASSERT_TRUE(PumpUntil([&] { return p.accepted->State() == wsConnected; }));
}
