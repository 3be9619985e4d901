// Tests of the feed listener: lines cut by datagrams joined, bad pieces dropped, datagrams into the
// queue, the receive buffer and kernel drops.
#include "app/LogLimiter.h"
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
#include <utility>
#include <vector>
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

// A sender of one line per datagram without line ends: a bad piece before the
// lines (three fields; a line with an empty suffix) is kept, as it may be the
// start of a cut line, then dropped and counted when the next datagram does
// not complete it; it takes no line with it.
TEST(ListenerTest, ABadPieceTakesNoLineOfDatagramsWithoutLineEnds) {
  const std::string emptySuffix = kLine.substr(0, kLine.rfind('\t') + 1);
  for (const std::string& bad : {std::string("13:05:09:123\tonly\tthree"), emptySuffix}) {
    TFeedAssembler f;
    std::vector<std::pair<std::string, size_t>> dropped;
    f.OnDiscard = [&](const std::string& piece, size_t fields) { dropped.emplace_back(piece, fields); };
    EXPECT_TRUE(f.Feed(bad).empty());
    EXPECT_EQ(f.UdpLeftover(), bad);
    int got = 0;
    for (int i = 0; i < 1000; ++i) got += f.Feed(kLine) == std::vector<std::string>{kLine};
    EXPECT_EQ(got, 1000);
    EXPECT_EQ(f.UdpLeftover(), "");
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0].first, bad);
    EXPECT_EQ(dropped[0].second, bad == emptySuffix ? 10u : 3u);
    EXPECT_EQ(f.Discarded(), 1);
  }
}

// A kept tail joins the next datagram's first piece only when the two make a
// line (also without line ends, and after the tenth TAB); else the tail is
// dropped and the datagram's pieces count on their own. Every dropped piece
// is told, empty ones and lone CRs excepted; the tail still kept at the end
// is dropped by Finish.
TEST(ListenerTest, AKeptTailJoinsOnlyWhenTheTwoMakeALine) {
  TFeedAssembler f;
  std::vector<std::string> dropped;
  f.OnDiscard = [&](const std::string& piece, size_t) { dropped.push_back(piece); };
  size_t cut = 0;
  for (int i = 0; i < 5; ++i) cut = kLine.find('\t', cut) + 1;
  const std::string head = kLine.substr(0, cut);
  EXPECT_TRUE(f.Feed(head).empty());
  EXPECT_EQ(f.Feed(kLine.substr(cut)), std::vector<std::string>{kLine});
  const std::string emptySuffix = kLine.substr(0, kLine.rfind('\t') + 1);
  EXPECT_TRUE(f.Feed(emptySuffix).empty());
  EXPECT_EQ(f.Feed("TCP-IP\n"), std::vector<std::string>{kLine});
  EXPECT_TRUE(dropped.empty());

  EXPECT_TRUE(f.Feed("a\tb").empty());
  EXPECT_EQ(f.Feed(kLine + "\nx\ty\n\n\r\n" + kLine + "\r\n" + head), (std::vector<std::string>{kLine, kLine + "\r"}));
  EXPECT_EQ(dropped, (std::vector<std::string>{"a\tb", "x\ty"}));
  EXPECT_EQ(f.UdpLeftover(), head);
  EXPECT_TRUE(f.Feed("z").empty());  // with the kept head six fields: each stands alone
  EXPECT_EQ(f.UdpLeftover(), "z");
  EXPECT_TRUE(f.Feed("\n").empty());  // a line end alone finishes the tail
  EXPECT_EQ(f.UdpLeftover(), "");
  EXPECT_TRUE(f.Feed("13:05").empty());
  f.Finish();
  EXPECT_EQ(f.UdpLeftover(), "");
  EXPECT_EQ(dropped, (std::vector<std::string>{"a\tb", "x\ty", head, "z", "13:05"}));
  EXPECT_EQ(f.Discarded(), 5);
}

// Each sender's cut line is its own: A sends half a line, B a full line and
// half a line, A its tail, B its tail. Kept tails are bounded by the bytes
// they hold (a tail that does not fit is dropped, not a kept one) and in age
// (dropped when the next datagram comes); each one dropped is counted.
TEST(ListenerTest, EachSenderKeepsItsOwnUnfinishedLine) {
  const std::string a = "10:00:00:000\tm1\tm2\t0800\t60\t10.83.0.1\t1\t10.83.0.2\t2\tUDP\tTCP-IP";
  const std::string b = "10:00:00:000\tm3\tm4\t0800\t60\t10.82.0.1\t1\t10.82.0.2\t2\tUDP\tTCP-IP";
  const auto A = TFeedAssembler::SenderOf(0x0100007F, 4000), B = TFeedAssembler::SenderOf(0x0100007F, 4001);
  TFeedAssembler f;
  int64_t now = 0;
  f.Now = [&now] { return now; };
  std::vector<std::string> dropped;
  f.OnDiscard = [&](const std::string& piece, size_t) { dropped.push_back(piece); };
  EXPECT_TRUE(f.Feed(a.substr(0, 30), A).empty());
  EXPECT_EQ(f.Feed(b + "\n" + b.substr(0, 40), B), std::vector<std::string>{b});
  EXPECT_EQ(f.Feed(a.substr(30) + "\n", A), std::vector<std::string>{a});
  EXPECT_EQ(f.Feed(b.substr(40) + "\n", B), std::vector<std::string>{b});
  EXPECT_TRUE(dropped.empty());
  EXPECT_EQ(f.Senders(), 0u);

  // Senders in turn, each datagram the rest of its last line and half of the
  // next: 65 (one more than a count of 64 would keep) and 1,000 lose none.
  for (int senders : {65, 1000}) {
    auto line = [](int s, int r) {
      return "10:00:00:000\tm1\tm2\t0800\t60\t10.83.0.1\t" + std::to_string(s) + "\t10.83.0.2\t" + std::to_string(r) +
             "\tUDP\tTCP-IP";
    };
    int whole = 0;
    for (int r = 0; r <= 3; ++r)
      for (int s = 0; s < senders; ++s) {
        now += 1000;
        const std::string last = r ? line(s, r - 1) : "", next = r < 3 ? line(s, r) : "";
        const std::string datagram = (r ? last.substr(last.size() / 2) + "\n" : "") + next.substr(0, next.size() / 2);
        for (const std::string& l : f.Feed(datagram, TFeedAssembler::SenderOf(0x0A000001, uint16_t(s))))
          whole += l == last;
      }
    EXPECT_EQ(whole, 3 * senders) << senders;
  }
  EXPECT_TRUE(dropped.empty());
  EXPECT_EQ(f.Senders(), 0u);
  EXPECT_EQ(f.TailBytes(), 0u);

  // A flood of new senders with the longest tails: what they hold stays
  // within the bound; the tails that do not fit go, A's kept one stays.
  EXPECT_TRUE(f.Feed(a.substr(0, 30), A).empty());
  const std::string big(TFeedAssembler::MaxLeftover, 'x');
  for (uint16_t port = 0; port < 200; ++port) {
    now += 1000;
    EXPECT_TRUE(f.Feed(big, TFeedAssembler::SenderOf(0x0B000001, port)).empty());
  }
  const size_t fit = (TFeedAssembler::MaxTailBytes - 30 - TFeedAssembler::TailOverhead) /
                     (TFeedAssembler::MaxLeftover + TFeedAssembler::TailOverhead);
  EXPECT_EQ(f.Senders(), fit + 1);
  EXPECT_LE(f.TailBytes(), TFeedAssembler::MaxTailBytes);
  EXPECT_EQ(dropped.size(), 200 - fit);
  EXPECT_EQ(f.UdpLeftover(A), a.substr(0, 30));
  // A sender that went quiet: its tail goes with the next datagram after
  // MaxTailAge, and with it every other as old.
  now += TFeedAssembler::MaxTailAge + 1;
  EXPECT_EQ(f.Feed(a.substr(30) + "\n", A), std::vector<std::string>{a});
  EXPECT_EQ(f.Senders(), 0u);
  EXPECT_EQ(f.TailBytes(), 0u);
  EXPECT_EQ(dropped.size(), 200u);
  EXPECT_EQ(f.Discarded(), 200);
  EXPECT_TRUE(f.Feed(b.substr(0, 40), B).empty());
  f.Finish();
  EXPECT_EQ(dropped.back(), b.substr(0, 40));
}

// The same over UDP from two sockets: both lines of each sender reach the
// queue, no line is made of the two, nothing is dropped.
TEST(ListenerTest, TwoSendersThatCutLinesOverUdp) {
  QPlainTextEdit log;
  SetPktDataMemo(&log);
  ResetLogLimits();
  std::string line;
  while (PacketQueue().Take(line)) {
  }
  const int64_t before = PacketQueue().NotLines();
  const std::string a = "10:00:00:000\tm1\tm2\t0800\t60\t10.83.0.1\t1\t10.83.0.2\t2\tUDP\tTCP-IP\n";
  const std::string b = "10:00:00:000\tm3\tm4\t0800\t60\t10.82.0.1\t1\t10.82.0.2\t2\tUDP\tTCP-IP\n";
  const int port = FreeUdpPort();
  std::vector<std::string> got;
  {
    TMySocket sock(nullptr, port);
    sock.Listen();
    const int fa = ::socket(AF_INET, SOCK_DGRAM, 0), fb = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = Loopback(port);
    auto send = [&](int fd, const std::string& text) {
      ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      QElapsedTimer t;  // read before the next is sent
      t.start();
      while (t.elapsed() < 200) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    };
    send(fa, a.substr(0, 30));
    send(fb, b + b.substr(0, 40));
    send(fa, a.substr(30));
    send(fb, b.substr(40));
    ::close(fa);
    ::close(fb);
    sock.CloseFeed();
  }
  while (PacketQueue().Take(line)) got.push_back(line + "\n");
  EXPECT_EQ(got, (std::vector<std::string>{b, a, b}));
  EXPECT_EQ(PacketQueue().NotLines() - before, 0);
  SetPktDataMemo(nullptr);
}

// Over UDP to the listener: a bad piece, then lines one per datagram without
// line ends, then a piece that is still unfinished at close. Every line
// reaches the queue; both pieces are logged and counted in the close report.
TEST(ListenerTest, BadPiecesOverUdpAreLoggedAndCountedAtClose) {
  QPlainTextEdit log;
  SetPktDataMemo(&log);
  ResetLogLimits();
  std::string line;
  while (PacketQueue().Take(line)) {
  }
  const int64_t before = PacketQueue().NotLines();
  const int port = FreeUdpPort();
  constexpr int Lines = 200;
  {
    TMySocket sock(nullptr, port);
    sock.Listen();
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = Loopback(port);
    auto send = [&](const std::string& text) {
      ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    };
    send("13:05:09:123\tonly\tthree");
    for (int i = 0; i < Lines; ++i) {
      send(kLine);
      if (i % 20 == 0) QCoreApplication::processEvents();
    }
    send("13:05:09:123\tcut");
    ::close(fd);
    QElapsedTimer t;
    t.start();
    while (PacketQueue().QuePending() < Lines && t.elapsed() < 10000)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    sock.CloseFeed();
  }
  int got = 0;
  while (PacketQueue().Take(line)) got += line == kLine;
  EXPECT_EQ(got, Lines);
  EXPECT_EQ(PacketQueue().NotLines() - before, 2);
  QCoreApplication::processEvents();
  const QStringList told = log.toPlainText().split('\n').filter("Feed piece not 11 fields");
  EXPECT_EQ(told.join('|').toStdString(),
            "Feed piece not 11 fields (3): 13:05:09:123\tonly\tthree|"
            "Feed piece not 11 fields (2): 13:05:09:123\tcut");
  const std::vector<std::string> report = PacketQueue().CloseReport();
  const std::string counted = ", " + std::to_string(before + 2) + " pieces not 11 fields";
  ASSERT_FALSE(report.empty());
  EXPECT_TRUE(report.back().size() > counted.size() &&
              report.back().compare(report.back().size() - counted.size(), counted.size(), counted) == 0)
      << report.back();
  SetPktDataMemo(nullptr);
}

// A sender whose every datagram is a bad piece: of one second's pieces only a
// few are logged and then how many more, and every one is counted.
TEST(ListenerTest, ASendersBadPiecesAreBoundedInTheLogAndAllCounted) {
  QPlainTextEdit log;
  SetPktDataMemo(&log);
  int64_t now = 7 * TLogLimiter::Second;
  ResetLogLimits([&now] { return now; });
  const int64_t before = PacketQueue().NotLines();
  TMySocket sock(nullptr, FreeUdpPort());
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(sock.Assembler().Feed("bad\t" + std::to_string(i) + "\n").empty());
  FlushLogCounts();
  const QStringList told = log.toPlainText().split('\n').filter("Feed piece not 11 fields");
  ASSERT_EQ(told.size(), LineErrorsPerSecond + 1);
  EXPECT_EQ(told[0].toStdString(), "Feed piece not 11 fields (2): bad\t0");
  EXPECT_EQ(told.back().toStdString(),
            "Feed piece not 11 fields (2): bad\t49 (" + std::to_string(50 - LineErrorsPerSecond) + " more times)");
  EXPECT_EQ(PacketQueue().NotLines() - before, 50);
  ResetLogLimits();
  SetPktDataMemo(nullptr);
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
    sockaddr_in to = Loopback(port);
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
  sockaddr_in to = Loopback(port);
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
