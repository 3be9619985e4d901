// A socket whose log line cannot be written goes on as if nothing had been
// logged: the failure reaches OnBgException once (CanClose False) and is never
// raised out of a socket call.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "SocketTestUtil.h"
#include "tests/common/TempFolder.h"
#include "sockets/SockLogger.h"
#include "sockets/WSocket.h"

namespace {

const char* const kFullDevice = "Cannot write log file /dev/full: No space left on device; line lost";

// What OnBgException was given.
struct Reports {
  std::vector<std::string> texts;
  int canCloseSeen = 0;  // reports that came with CanClose True
  void Attach(TWSocket& s, bool askToClose = false) {
    s.OnBgException = [this, askToClose](TObject*, Exception& e, bool& canClose) {
      texts.push_back(e.Message());
      if (canClose) ++canCloseSeen;
      if (askToClose) canClose = true;
    };
  }
};

std::unique_ptr<TSockLogger> LoggerOn(const std::string& file, TLogOptions options) {
  auto log = std::make_unique<TSockLogger>(nullptr);
  options.Include(loDestFile);
  log->SetLogOptions(options);
  log->SetLogFileName(file);
  return log;
}

bool DescriptorOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

}  // namespace

TEST(SocketLogFailure, CloseConnectAndAResetGoOnWithTheLogOnAFullDevice) {
  TcpPair p;
  ASSERT_TRUE(p.Connect());
  std::vector<int> peerClosed;
  p.accepted->OnSessionClosed = [&](TObject*, uint16_t e) { peerClosed.push_back(e); };
  auto log = LoggerOn("/dev/full", {loWsockInfo, loWsockErr});
  Reports reports;
  reports.Attach(*p.client);
  p.client->SetSockLogger(log.get());

  const int fd = p.client->HSocket();
  EXPECT_NO_THROW(p.client->Close());
  EXPECT_EQ(p.client->State(), wsClosed);
  EXPECT_FALSE(DescriptorOpen(fd));
  ASSERT_TRUE(PumpUntil([&] { return !peerClosed.empty(); }));
  EXPECT_EQ(peerClosed, std::vector<int>{0});  // an orderly close
  EXPECT_EQ(reports.texts, std::vector<std::string>{kFullDevice});
  EXPECT_EQ(reports.canCloseSeen, 0);
  EXPECT_NO_THROW(p.client->Close());

  // The logger has written nothing since: the next failures are counted, not told.
  p.connected.clear();
  p.client->SetAddr("127.0.0.1");
  p.client->SetPort(std::to_string(p.port));
  EXPECT_NO_THROW(p.client->Connect());
  ASSERT_TRUE(PumpUntil([&] { return !p.connected.empty(); }));
  EXPECT_EQ(p.connected, std::vector<int>{0});
  EXPECT_EQ(p.client->State(), wsConnected);
  EXPECT_EQ(reports.texts.size(), 1u);

  // A send that finds the connection reset closes and says so, as without a log.
  ASSERT_TRUE(PumpUntil([&] { return p.accepted->State() == wsConnected; }));
  std::vector<int> closed;
  p.client->OnSessionClosed = [&](TObject*, uint16_t e) { closed.push_back(e); };
  ResetConnection(*p.accepted);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_NO_THROW(p.client->SendText("after the reset"));
  EXPECT_EQ(closed, std::vector<int>{10054});
  EXPECT_EQ(p.client->State(), wsClosed);
  EXPECT_EQ(reports.texts.size(), 1u);
  // Lost: the shutdown of the first close, the connect, the send failure and the shutdown of its close.
  EXPECT_EQ(log->LostLineCount(), 4u);
  p.client->SetSockLogger(nullptr);
}

TEST(SocketLogFailure, ASecondLoggerOnAHeldFileLetsEveryConnectThroughAndIsToldOnce) {
  TTestFolder dir("socklogfail");  // first: it goes after the loggers that hold its file
  const std::string name = dir.File("held.txt");
  auto first = LoggerOn(name, {loWsockInfo});
  first->WriteLogLine(nullptr, loWsockInfo, "held");
  auto second = LoggerOn(name, {loWsockInfo});
  TcpPair p;
  p.server->SetListenBacklog(32);
  p.Listen();
  int accepted = 0;
  std::vector<std::unique_ptr<TWSocket>> ends, clients;
  p.server->OnSessionAvailable = [&](TObject*, uint16_t) {
    ends.push_back(std::make_unique<TWSocket>(nullptr));
    ends.back()->Dup(p.server->Accept());
    ++accepted;
  };
  Reports reports;
  int connected = 0;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(std::make_unique<TWSocket>(nullptr));
    TWSocket& c = *clients.back();
    reports.Attach(c);
    c.SetSockLogger(second.get());
    c.OnSessionConnected = [&](TObject*, uint16_t e) { connected += e == 0; };
    c.SetAddr("127.0.0.1");
    c.SetPort(std::to_string(p.port));
    EXPECT_NO_THROW(c.Connect());
  }
  ASSERT_TRUE(PumpUntil([&] { return connected == 20 && accepted == 20; }));
  EXPECT_EQ(reports.texts, std::vector<std::string>{"Log file " + name + " is in use by another writer"});
  EXPECT_EQ(second->LostLineCount(), 20u);
  for (auto& c : clients) c->SetSockLogger(nullptr);
}

TEST(SocketLogFailure, DumpLinesThatCannotBeWrittenNeitherAbortNorStopSending) {
  TcpPair p;
  ASSERT_TRUE(p.Connect());
  std::string got;
  p.accepted->OnDataAvailable = [&](TObject*, uint16_t) { got += p.accepted->ReceiveAsString(); };
  int sent = 0;
  p.client->OnDataSent = [&](TObject*, uint16_t) { ++sent; };
  auto log = LoggerOn("/dev/full", {loWsockDump});
  Reports reports;
  reports.Attach(*p.client, true);  // asks to close, as a handler written for failed events may
  p.client->SetSockLogger(log.get());
  EXPECT_NO_THROW(p.client->SendText("one"));
  ASSERT_TRUE(PumpUntil([&] { return sent == 1 && got == "one"; }));
  EXPECT_NO_THROW(p.client->SendText("two"));
  ASSERT_TRUE(PumpUntil([&] { return sent == 2 && got == "onetwo"; }));
  EXPECT_EQ(p.client->State(), wsConnected);
  EXPECT_EQ(p.accepted->State(), wsConnected);
  EXPECT_EQ(reports.texts, std::vector<std::string>{kFullDevice});
  EXPECT_EQ(reports.canCloseSeen, 0);
  p.client->SetSockLogger(nullptr);
}

// A log that fails, recovers and fails again is told twice; a socket that
// cannot tell (no handler) leaves the telling to the next one that can.
TEST(SocketLogFailure, AFailureIsToldAgainOnlyAfterTheLoggerHasWrittenALine) {
  TSockLogger log(nullptr);
  bool broken = false;
  int written = 0;
  log.SetOnSockLogEvent([&](TObject*, TLogOption, const std::string&) {
    if (broken) throw std::runtime_error("log sink down");
    ++written;
  });
  log.SetLogOptions({loDestEvent, loWsockDump});
  PlainSocket sink(SOCK_DGRAM);
  const int port = sink.Bind(0);
  auto udp = [&](TWSocket& s) {
    s.SetSockLogger(&log);
    s.SetProto("udp");
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
  };
  TWSocket silent(nullptr), told(nullptr);
  udp(silent);
  udp(told);
  Reports reports;
  reports.Attach(told);
  int sent = 0;
  for (TWSocket* s : {&silent, &told}) s->OnDataSent = [&](TObject*, uint16_t) { ++sent; };
  PumpFor(50);  // the first write events of the new sockets, logged
  written = 0;
  sent = 0;
  broken = true;
  auto sendAndWait = [&](TWSocket& s) {
    const int before = sent;
    EXPECT_NO_THROW(s.SendText("x"));
    ASSERT_TRUE(PumpUntil([&] { return sent == before + 1; }));
  };
  sendAndWait(silent);  // no handler: counted only
  EXPECT_TRUE(reports.texts.empty());
  for (int i = 0; i < 3; ++i) sendAndWait(told);
  EXPECT_EQ(reports.texts, std::vector<std::string>{"log sink down"});
  broken = false;
  sendAndWait(told);
  EXPECT_EQ(written, 1);
  broken = true;
  sendAndWait(silent);
  sendAndWait(told);
  sendAndWait(told);
  EXPECT_EQ(reports.texts, (std::vector<std::string>{"log sink down", "log sink down"}));
  EXPECT_EQ(log.LostLineCount(), 7u);
  EXPECT_EQ(told.State(), wsConnected);
  EXPECT_EQ(silent.State(), wsConnected);
  // Every datagram left: the sink holds all eight.
  char buf[16];
  int arrived = 0;
  while (::recv(sink.fd, buf, sizeof buf, MSG_DONTWAIT) > 0) ++arrived;
  EXPECT_EQ(arrived, 8);
  // A new file name is a new log: its first failure is told.
  log.SetLogOptions({loDestFile, loWsockDump});
  log.SetLogFileName("/dev/full");
  sendAndWait(told);
  EXPECT_EQ(reports.texts.back(), kFullDevice);
  EXPECT_EQ(reports.texts.size(), 3u);
}

// The report's handler runs inside the socket call that logged; a handler
// that closes the socket there ends the session once, and the call that
// logged stops without an error of its own.
TEST(SocketLogFailure, AHandlerThatClosesFromTheReportEndsTheSessionOnce) {
  for (const bool duringConnect : {true, false}) {
    SCOPED_TRACE(duringConnect);
    TcpPair p;
    auto log = LoggerOn("/dev/full", {loWsockInfo});
    std::vector<int> closed;
    int errors = 0;
    bool closing = false;
    p.client->OnSessionClosed = [&](TObject*, uint16_t e) { closed.push_back(e); };
    p.client->OnError = [&](TObject*) { ++errors; };
    p.client->OnBgException = [&](TObject*, Exception&, bool&) {
      closing = true;
      p.client->Close();
    };
    if (duringConnect) {
      p.Listen();
      p.client->SetSockLogger(log.get());
      p.client->SetAddr("127.0.0.1");
      p.client->SetPort(std::to_string(p.port));
      EXPECT_NO_THROW(p.client->Connect());
    } else {
      ASSERT_TRUE(p.Connect());
      p.client->SetSockLogger(log.get());
      EXPECT_NO_THROW(p.client->Close());
    }
    EXPECT_TRUE(closing);
    EXPECT_EQ(p.client->State(), wsClosed);
    EXPECT_EQ(p.client->HSocket(), INVALID_SOCKET);
    PumpFor(30);
    EXPECT_EQ(closed, std::vector<int>{0});
    EXPECT_EQ(errors, 0);
    if (duringConnect) {
      EXPECT_TRUE(p.connected.empty());
    }
    p.client->SetSockLogger(nullptr);
  }
}

// A handler of the report given from the message loop may free the socket
// there, as handlers of its other events may.
TEST(SocketLogFailure, AHandlerMayFreeTheSocketWhenTheReportComesFromTheLoop) {
  TcpPair p;
  ASSERT_TRUE(p.Connect());
  auto log = LoggerOn("/dev/full", {loWsockDump});
  int reports = 0;
  int sent = 0;
  p.client->OnDataSent = [&](TObject*, uint16_t) { ++sent; };
  p.client->OnBgException = [&](TObject*, Exception&, bool&) {
    ++reports;
    p.client.reset();
  };
  p.client->SetSockLogger(log.get());
  p.client->SendText("last words");
  ASSERT_TRUE(PumpUntil([&] { return !p.client; }));
  std::vector<int> peerClosed;
  p.accepted->OnSessionClosed = [&](TObject*, uint16_t e) { peerClosed.push_back(e); };
  ASSERT_TRUE(PumpUntil([&] { return !peerClosed.empty(); }));
  EXPECT_EQ(reports, 1);
  EXPECT_EQ(sent, 0);  // the socket was gone before its sent event
}
