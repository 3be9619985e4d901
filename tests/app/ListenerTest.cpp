// Tests of the feed listener: lines cut by datagrams joined, bad pieces dropped, datagrams into the
// queue, the receive buffer and kernel drops.
#include "app/PacketQueue.h"
#include "app/Unit3_Wsocket.h"
#include "app/Unit_Globals.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <algorithm>
#include <fstream>
#include <unistd.h>

#include "ViewHostStub.h"

namespace {
const std::string kLine =
    "10:00:00:000\t00-11-22-33-44-55\t66-77-88-99-aa-bb\t0800\t60\t10.1.2.3\t1025\t10.1.2.4\t80\tTCP\tTCP-IP";
}  // namespace

TEST(ListenerTest, LinesCutByDatagramsAreJoined) {
  TFeedAssembler f;
  auto two = f.Feed(kLine + "\n" + kLine + "\r\n");
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[1], kLine + "\r");  // the CR stays in the suffix
  EXPECT_EQ(f.UdpLeftover(), "");

  size_t cut = 0;
  for (int i = 0; i < 5; ++i) cut = kLine.find('\t', cut) + 1;
  EXPECT_TRUE(f.Feed(kLine.substr(0, cut)).empty());
  auto joined = f.Feed(kLine.substr(cut) + "\n");
  ASSERT_EQ(joined.size(), 1u);
  EXPECT_EQ(joined[0], kLine);
}

TEST(ListenerTest, BadFinishedPiecesDoNotSpoilLaterLines) {
  TFeedAssembler f;
  const std::string emptySuffix = kLine.substr(0, kLine.rfind('\t') + 1);
  EXPECT_TRUE(f.Feed(emptySuffix + "\n").empty());  // ten fields: dropped
  EXPECT_EQ(f.UdpLeftover(), "");
  auto next = f.Feed(kLine + "\n");
  ASSERT_EQ(next.size(), 1u);
  EXPECT_TRUE(f.Feed("\r").empty());
  EXPECT_EQ(f.UdpLeftover(), "");
  EXPECT_TRUE(f.Feed(std::string(TFeedAssembler::MaxLeftover + 1, 'x')).empty());
  EXPECT_EQ(f.UdpLeftover(), "");  // no unbounded growth
}

TEST(ListenerTest, ReceivesDatagramsIntoTheQueue) {
  QPlainTextEdit log;
  SetPktDataMemo(&log);
  std::string drop;
  while (PacketQueue().Take(drop)) {
  }
  const int port = FreeUdpPort();
  {
    TMySocket sock(nullptr, port);
    sock.Listen();
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string first = kLine + "\n" + kLine.substr(0, 20);
    const std::string second = kLine.substr(20) + "\n";
    ::sendto(fd, first.data(), first.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::sendto(fd, second.data(), second.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);
    QElapsedTimer t;
    t.start();
    while (PacketQueue().QuePending() < 2 && t.elapsed() < 10000)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    sock.Close();
  }
  std::string a, b;
  ASSERT_TRUE(PacketQueue().Take(a));
  ASSERT_TRUE(PacketQueue().Take(b));
  EXPECT_EQ(a, kLine);
  EXPECT_EQ(b, kLine);
  EXPECT_EQ(log.toPlainText().split('\n').filter(QRegularExpression("^(ws|WSocket1)")).join('|').toStdString(),
            "wsClosed wsBound|wsBound wsListening|wsListening wsConnected|WSocket1SessionConnected|"
            "wsConnected wsClosed|WSocket1SessionClosed");
  SetPktDataMemo(nullptr);
}

TEST(ListenerTest, AsksForALargeReceiveBufferAndReportsKernelDrops) {
  QPlainTextEdit log;
  SetPktDataMemo(&log);
  const int port = FreeUdpPort();
  TMySocket sock(nullptr, port);
  sock.Listen();
  int granted = 0;
  socklen_t len = sizeof granted;
  ASSERT_EQ(::getsockopt(sock.HSocket(), SOL_SOCKET, SO_RCVBUF, &granted, &len), 0);
  int rmemMax = 0;
  std::ifstream("/proc/sys/net/core/rmem_max") >> rmemMax;
  EXPECT_GE(granted / 2, std::min(TMySocket::FeedReceiveBuffer, rmemMax));
  EXPECT_EQ(sock.KernelDrops(), 0);

  // More than the buffer holds, sent while nothing reads.
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string big(60000, 'x');
  for (int i = 0; i < 2 * granted / 60000 + 50; ++i)
    ::sendto(fd, big.data(), big.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ::close(fd);
  const int64_t drops = sock.KernelDrops();
  EXPECT_GT(drops, 0);
  QElapsedTimer t;
  t.start();
  while (!log.toPlainText().contains("dropped") && t.elapsed() < 10000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  const QStringList reports = log.toPlainText().split('\n').filter("dropped");
  ASSERT_EQ(reports.size(), 1);
  EXPECT_EQ(reports[0].toStdString(), "Feed datagrams dropped by the kernel: " + std::to_string(drops) + " (" +
                                          std::to_string(drops) + " since listening)");
  sock.Close();
  SetPktDataMemo(nullptr);
}

// Another program holds the port: the listener says why it cannot listen,
// stays closed, and a later listen on a free port works.
TEST(ListenerTest, APortThatIsTakenIsLoggedWithTheReason) {
  QPlainTextEdit log;
  SetPktDataMemo(&log);
  const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  socklen_t len = sizeof at;
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&at), &len);
  {
    TMySocket sock(nullptr, ntohs(at.sin_port));
    sock.Listen();
    EXPECT_EQ(sock.State(), wsClosed);
    const QStringList errors = log.toPlainText().split('\n').filter("WSocket1Error");
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains("Address already in use")) << errors[0].toStdString();
    EXPECT_TRUE(errors[0].contains("udp port " + QString::number(ntohs(at.sin_port)) + ": "))
        << errors[0].toStdString();
  }
  ::close(holder);
  TMySocket sock(nullptr, ntohs(at.sin_port));
  sock.Listen();
  EXPECT_EQ(sock.State(), wsConnected);
  sock.Close();
  SetPktDataMemo(nullptr);
}
