// "Clear" and the feed: datagrams received before the click that still wait at
// the socket are older traffic, told to the view as they are queued, whatever
// the computer's clock does meanwhile.
#include "app/PacketQueue.h"
#include "app/Unit3_Wsocket.h"
#include "app/Unit_Globals.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "../common/Loopback.h"

// The program's reads of the wall clock, stepped by the tests (the test
// program is linked with clock_gettime wrapped).
namespace {
std::atomic<int64_t> WallClockStep{0};  // ns added to CLOCK_REALTIME
}  // namespace
extern "C" int __real_clock_gettime(clockid_t id, timespec* t);
extern "C" int __wrap_clock_gettime(clockid_t id, timespec* t) {
  const int r = __real_clock_gettime(id, t);
  const int64_t step = WallClockStep.load();
  if (r == 0 && id == CLOCK_REALTIME && step != 0) {
    const int64_t ns = int64_t(t->tv_sec) * 1000000000 + t->tv_nsec + step;
    t->tv_sec = ns / 1000000000;
    t->tv_nsec = ns % 1000000000;
  }
  return r;
}

namespace {
const std::string kLine =
    "10:00:00:000\t00-11-22-33-44-55\t66-77-88-99-aa-bb\t0800\t60\t10.1.2.3\t1025\t10.1.2.4\t80\tTCP\tTCP-IP\n";

struct TClearFeed {
  QPlainTextEdit log;
  int port = FreeUdpPort();
  TMySocket sock{nullptr, port};
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to = Loopback(port);
  std::vector<int64_t> older;  // the queue's last line at each call
  TClearFeed() {
    SetPktDataMemo(&log);
    std::string drop;
    while (PacketQueue().Take(drop)) {
    }
    sock.OnQueuedBeforeClear = [this] { older.push_back(PacketQueue().LastQueued()); };
    sock.Listen();
  }
  ~TClearFeed() {
    ::close(fd);
    sock.Close();
    std::string drop;
    while (PacketQueue().Take(drop)) {
    }
    SetPktDataMemo(nullptr);
  }
  void Send(int n) {
    for (int i = 0; i < n; ++i)
      ::sendto(fd, kLine.data(), kLine.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  void ReadUntil(int64_t lines) {
    QElapsedTimer t;
    t.start();
    while (PacketQueue().LastQueued() - PacketQueue().Taken() < lines && t.elapsed() < 10000)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QCoreApplication::processEvents();
  }
};
}  // namespace

TEST(ClearFeed, DatagramsReceivedBeforeAClearAreToldAsOlder) {
  TClearFeed feed;
  const int64_t notLines = PacketQueue().NotLines();
  const int64_t start = PacketQueue().Taken();
  // Before any Clear nothing is told.
  feed.Send(2);
  feed.ReadUntil(2);
  EXPECT_TRUE(feed.older.empty());
  // Three arrive, the click comes before they are read, then two more arrive.
  feed.Send(3);
  feed.sock.MarkClear();
  feed.Send(2);
  feed.ReadUntil(7);
  EXPECT_EQ(feed.older, (std::vector<int64_t>{start + 3, start + 4, start + 5}));
  // Later datagrams are not told, until the next Clear; the mark is no feed datagram.
  feed.Send(1);
  feed.ReadUntil(8);
  EXPECT_EQ(feed.older.size(), 3u);
  EXPECT_EQ(PacketQueue().NotLines(), notLines);
  EXPECT_FALSE(feed.log.toPlainText().contains("Feed piece"));
}

// The clock stepped back after the click (a time correction: the click's
// reading is then later than every arrival for an hour), or forward (the
// arrivals before the click read as later than it): the same three are told.
TEST(ClearFeed, AClearKeepsItsMeaningWhenTheClockSteps) {
  for (const int64_t step : {int64_t(3600) * 1000000000, -int64_t(3600) * 1000000000}) {
    SCOPED_TRACE(step > 0 ? "stepped back after the click" : "stepped forward after the click");
    TClearFeed feed;
    const int64_t start = PacketQueue().Taken();
    feed.Send(3);
    WallClockStep = step;  // the clock as it read at the click
    feed.sock.MarkClear();
    WallClockStep = 0;  // and as it reads after the step
    feed.Send(2);
    feed.ReadUntil(5);
    EXPECT_EQ(feed.older, (std::vector<int64_t>{start + 1, start + 2, start + 3}));
  }
}

// A mark the kernel drops (the receive buffer full) ends the telling once
// nothing more waits, and says so.
TEST(ClearFeed, ALostMarkEndsTheTellingWhenTheSocketIsEmpty) {
  TClearFeed feed;
  feed.Send(2);
  feed.sock.MarkClear();
  // The mark read away before the listener sees it: as if the kernel dropped it.
  char buffer[64];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  std::vector<std::string> waiting;
  for (ssize_t n; (n = ::recvfrom(feed.sock.HSocket(), buffer, sizeof buffer, MSG_DONTWAIT,
                                  reinterpret_cast<sockaddr*>(&from), &len)) > 0;)
    waiting.emplace_back(buffer, size_t(n));
  ASSERT_EQ(waiting.size(), 3u);
  feed.Send(2);
  feed.ReadUntil(2);
  feed.Send(1);
  feed.ReadUntil(3);
  EXPECT_EQ(feed.older.size(), 2u);
  EXPECT_TRUE(feed.log.toPlainText().contains("Clear: the mark sent to the feed socket was dropped"));
}
