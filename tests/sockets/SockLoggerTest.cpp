// Tests of the socket log: file output, events with and without time stamps, and sockets logging
// through it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "SocketTestUtil.h"
#include "sockets/SockLogger.h"
#include "sockets/WSocket.h"

namespace {
std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
// Named per process: test programs of several checkouts may run at once.
std::string TempName(const char* tag) {
  return ::testing::TempDir() + "socklogger_" + std::to_string(::getpid()) + "_" + tag + ".txt";
}
}  // namespace

TEST(SockLogger, FileDestinationOverwriteAndAppend) {
  TSockLogger log(nullptr);
  log.SetLogOptions({loDestFile});
  try {
    log.WriteLogLine(nullptr, loWsockInfo, "x");
    FAIL();
  } catch (ELoggerException& e) {
    EXPECT_EQ(e.Message(), "File name empty");
  }
  const std::string name = TempName("overwrite");
  std::ofstream(name, std::ios::binary) << "old 1\r\nold 2\r\nold 3\r\n";
  log.SetLogFileOption(lfoOverwrite);
  log.SetLogFileName(name);
  log.WriteLogLine(nullptr, loWsockInfo, "first");
  log.WriteLogLine(nullptr, loWsockInfo, "second");  // later lines of the run append
  EXPECT_EQ(ReadFile(name), "first\r\nsecond\r\n");

  TSockLogger appender(nullptr);
  appender.SetLogOptions({loDestFile});
  appender.SetLogFileName(name);
  appender.WriteLogLine(nullptr, loWsockInfo, "third");
  EXPECT_EQ(ReadFile(name), "first\r\nsecond\r\nthird\r\n");
  // A new name closes the file; the next line goes to the new one.
  const std::string other = TempName("other");
  std::remove(other.c_str());
  appender.SetLogFileName(other);
  appender.WriteLogLine(nullptr, loWsockInfo, "elsewhere");
  EXPECT_EQ(ReadFile(other), "elsewhere\r\n");
  EXPECT_EQ(ReadFile(name), "first\r\nsecond\r\nthird\r\n");
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
