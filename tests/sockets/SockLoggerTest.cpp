// Tests of the socket log: file output, events with and without time stamps, and sockets logging
// through it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "SocketTestUtil.h"
#include "tests/common/TempFolder.h"
#include "sockets/SockLogger.h"
#include "sockets/WSocket.h"

namespace {
std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
}  // namespace

TEST(SockLogger, FileDestinationOverwriteAndAppend) {
  TTestFolder dir("socklogger");  // first: it goes after the loggers that hold its files
  TSockLogger log(nullptr);
  log.SetLogOptions({loDestFile});
  try {
    log.WriteLogLine(nullptr, loWsockInfo, "x");
    FAIL();
  } catch (ELoggerException& e) {
    EXPECT_EQ(e.Message(), "File name empty");
  }
  const std::string name = dir.File("overwrite.txt");
  std::ofstream(name, std::ios::binary) << "old 1\r\nold 2\r\nold 3\r\n";
  log.SetLogFileOption(lfoOverwrite);
  log.SetLogFileName(name);
  log.WriteLogLine(nullptr, loWsockInfo, "first");
  log.WriteLogLine(nullptr, loWsockInfo, "second");  // later lines of the run append
  EXPECT_EQ(ReadFile(name), "first\r\nsecond\r\n");
  log.SetLogFileName("");  // lets go of the file (a logger holds it locked)

  TSockLogger appender(nullptr);
  appender.SetLogOptions({loDestFile});
  appender.SetLogFileName(name);
  appender.WriteLogLine(nullptr, loWsockInfo, "third");
  EXPECT_EQ(ReadFile(name), "first\r\nsecond\r\nthird\r\n");
  // A new name closes the file; the next line goes to the new one.
  const std::string other = dir.File("other.txt");
  appender.SetLogFileName(other);
  appender.WriteLogLine(nullptr, loWsockInfo, "elsewhere");
  EXPECT_EQ(ReadFile(other), "elsewhere\r\n");
  EXPECT_EQ(ReadFile(name), "first\r\nsecond\r\nthird\r\n");
}

// Runs Body expecting it to raise ELoggerException; returns the message.
template <class Body>
std::string Raised(Body body) {
  try {
    body();
  } catch (ELoggerException& e) {
    return e.Message();
  }
  return "(nothing raised)";
}

TEST(SockLogger, FailedWriteRaisesWithItsReasonAndTheLoggerGoesOn) {
  TSockLogger log(nullptr);
  log.SetLogOptions({loDestFile});
  log.SetLogFileName("/dev/full");
  for (int i = 0; i < 2; ++i) {  // the file stays open; every lost line is reported
    const std::string msg = Raised([&] { log.WriteLogLine(nullptr, loWsockErr, "lost"); });
    EXPECT_EQ(msg, "Cannot write log file /dev/full: No space left on device; line lost");
  }
}

TEST(SockLogger, LineCutShortIsReportedAndEndedBeforeTheNextLine) {
  TTestFolder dir("socklogger");  // first: it goes after the loggers that hold its files
  const std::string name = dir.File("cut.txt");
  TSockLogger log(nullptr);
  log.SetLogOptions({loDestFile});
  log.SetLogFileName(name);
  log.WriteLogLine(nullptr, loWsockInfo, "0123456789");  // 12 bytes
  // The file may not grow past 20 bytes: the next 12-byte line gets 8 of them in.
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 20;
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string msg = Raised([&] { log.WriteLogLine(nullptr, loWsockInfo, "abcdefghij"); });
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(msg, "Cannot write log file " + name + ": File too large; line cut after 8 of 12 bytes");
  log.WriteLogLine(nullptr, loWsockInfo, "next");
  EXPECT_EQ(ReadFile(name), "0123456789\r\nabcdefgh\r\nnext\r\n");
  log.WriteLogLine(nullptr, loWsockInfo, "after");  // the cut is ended once only
  EXPECT_EQ(ReadFile(name), "0123456789\r\nabcdefgh\r\nnext\r\nafter\r\n");
}

TEST(SockLogger, SecondLoggerOnTheSameFileIsRefusedUntilTheFirstLetsGo) {
  TTestFolder dir("socklogger");  // first: it goes after the loggers that hold its files
  const std::string name = dir.File("locked.txt");
  TSockLogger first(nullptr), second(nullptr);
  for (TSockLogger* l : {&first, &second}) {
    l->SetLogOptions({loDestFile});
    l->SetLogFileName(name);
  }
  second.SetLogFileOption(lfoOverwrite);
  first.WriteLogLine(nullptr, loWsockInfo, "one");
  EXPECT_EQ(Raised([&] { second.WriteLogLine(nullptr, loWsockInfo, "two"); }),
            "Log file " + name + " is in use by another writer");
  first.WriteLogLine(nullptr, loWsockInfo, "three");
  EXPECT_EQ(ReadFile(name), "one\r\nthree\r\n");  // not truncated by the refused one
  first.SetLogFileName("");
  second.WriteLogLine(nullptr, loWsockInfo, "four");
  EXPECT_EQ(ReadFile(name), "four\r\n");
}

// A device keeps no lines: loggers of several programs (or test runs side by side) share it.
TEST(SockLogger, DevicesAreSharedAndNeverTruncated) {
  TSockLogger first(nullptr), second(nullptr);
  for (TSockLogger* l : {&first, &second}) {
    l->SetLogOptions({loDestFile});
    l->SetLogFileName("/dev/null");
  }
  EXPECT_EQ(Raised([&] {
              first.WriteLogLine(nullptr, loWsockInfo, "one");
              second.WriteLogLine(nullptr, loWsockInfo, "two");
            }),
            "(nothing raised)");
  for (TSockLogger* l : {&first, &second}) {
    l->SetLogFileOption(lfoOverwrite);
    l->SetLogFileName("/dev/full");
  }
  for (TSockLogger* l : {&first, &second})
    EXPECT_EQ(Raised([&] { l->WriteLogLine(nullptr, loWsockErr, "lost"); }),
              "Cannot write log file /dev/full: No space left on device; line lost");
}

// A pipe is written, never read, and never waited for: without a reader, and once it is full, each
// line is lost and said so; lines go through again once it is read.
TEST(SockLogger, APipeWithoutRoomLosesTheLineWithoutBlocking) {
  TTestFolder dir("socklogger");
  const std::string fifo = dir.File("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  TSockLogger log(nullptr);
  log.SetLogOptions({loDestFile});
  log.SetLogFileName(fifo);
  ASSERT_FALSE(log.TryWriteLogLine(nullptr, loWsockInfo, "nobody reads"));
  EXPECT_EQ(log.LostLineCount(), 1u);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const std::string line(98, 'x');
  int written = 0;
  for (int i = 0; i < 2000; ++i) written += log.TryWriteLogLine(nullptr, loWsockInfo, line) ? 1 : 0;
  EXPECT_GT(written, 0);
  EXPECT_EQ(log.LostLineCount(), 1u + 2000u - static_cast<unsigned>(written));
  char buf[4096];
  std::string got;
  for (ssize_t n; (n = ::read(reader, buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(got.size(), static_cast<size_t>(written) * 100u);  // whole lines only
  EXPECT_TRUE(log.TryWriteLogLine(nullptr, loWsockInfo, "read again"));
  ::close(reader);
}

TEST(SockLogger, AnotherAppenderBetweenLinesLosesNothing) {
  TTestFolder dir("socklogger");  // first: it goes after the loggers that hold its files
  const std::string name = dir.File("shared.txt");
  TSockLogger log(nullptr);
  log.SetLogOptions({loDestFile});
  log.SetLogFileName(name);
  log.WriteLogLine(nullptr, loWsockInfo, "log 0");
  const int fd = ::open(name.c_str(), O_WRONLY | O_APPEND);  // takes no lock
  ASSERT_GE(fd, 0);
  std::string expected = "log 0\r\n";
  for (int i = 1; i <= 3; ++i) {
    const std::string other = "other program line " + std::to_string(i) + "\n";
    ASSERT_EQ(::write(fd, other.data(), other.size()), static_cast<ssize_t>(other.size()));
    log.WriteLogLine(nullptr, loWsockInfo, "log " + std::to_string(i));
    expected += other + "log " + std::to_string(i) + "\r\n";
  }
  ::close(fd);
  EXPECT_EQ(ReadFile(name), expected);
}

TEST(SockLogger, EventWithAndWithoutStampAndLoggingFromTheHandler) {
  TSockLogger log(nullptr);
  std::vector<std::string> lines;
  log.SetOnSockLogEvent([&](TObject*, TLogOption, const std::string& m) {
    lines.push_back(m);
    if (m.find("again") == std::string::npos) log.WriteLogLine(nullptr, loWsockInfo, "again");  // no deadlock
  });
  log.SetLogOptions({loDestEvent});
  log.WriteLogLine(nullptr, loWsockInfo, "plain");
  log.SetLogOptions({loDestEvent, loAddStamp});
  log.WriteLogLine(nullptr, loWsockInfo, "stamped");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "plain");
  EXPECT_EQ(lines[1], "again");
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(\d\d:\d\d:\d\d:\d\d\d stamped)"))) << lines[2];
}

TEST(SockLogger, SocketsLogThroughTheirLoggerUntilItIsFreed) {
  auto log = std::make_unique<TSockLogger>(nullptr);
  std::vector<std::string> lines;
  log->SetOnSockLogEvent([&](TObject*, TLogOption, const std::string& m) { lines.push_back(m); });
  log->SetLogOptions({loDestEvent, loWsockInfo});
  const int port = FreePort();
  TWSocket s(nullptr);
  s.SetSockLogger(log.get());
  EXPECT_TRUE(s.LogOptionEnabled(loWsockInfo));
  EXPECT_FALSE(s.LogOptionEnabled(loWsockDump));
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(port));
  s.OnSessionConnected = [](TObject*, uint16_t) {};
  s.Connect();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "TWSocket will connect to 127.0.0.1:" + std::to_string(port));
  // Dumps name the socket's send completions.
  log->SetLogOptions({loDestEvent, loWsockDump});
  PlainSocket sink(SOCK_DGRAM);
  TWSocket u(nullptr);
  u.SetSockLogger(log.get());
  u.SetProto("udp");
  u.SetAddr("127.0.0.1");
  u.SetPort(std::to_string(sink.Bind(0)));
  u.Connect();
  lines.clear();
  u.SendText("x");
  ASSERT_TRUE(PumpUntil([&] { return !lines.empty(); }));
  EXPECT_NE(lines[0].find(" TriggerDataSent " + std::to_string(u.HSocket())), std::string::npos) << lines[0];
  log.reset();
  EXPECT_EQ(u.SockLogger(), nullptr);
  EXPECT_EQ(s.SockLogger(), nullptr);  // cleared by the free notification
  EXPECT_FALSE(s.LogOptionEnabled(loWsockInfo));
  PumpUntil([&] { return s.State() == wsClosed; });
}
