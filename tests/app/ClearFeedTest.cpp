// "Clear" and the feed: datagrams received before the click that still wait at
// the socket are older traffic, told to the view as they are queued.
#include "app/PacketQueue.h"
#include "app/Unit3_Wsocket.h"
#include "app/Unit_Globals.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <gtest/gtest.h>

#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "../common/Loopback.h"

namespace {
int64_t Ns(const timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }

// The kernel turns its arrival stamps on a moment after a socket first asks
// for them (and off after the last one closed): waits until a datagram read
// later than it arrived shows its arrival. The socket returned keeps them on.
int KernelStampsOn() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at = Loopback(0);
  socklen_t len = sizeof at;
  ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len);
  timespec stamp{};
  ::ioctl(fd, SIOCGSTAMPNS, &stamp);
  for (int i = 0; i < 200; ++i) {
    char c = 0;
    timespec sent{};
    clock_gettime(CLOCK_REALTIME, &sent);
    ::sendto(fd, &c, 1, 0, reinterpret_cast<sockaddr*>(&at), sizeof at);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (::recv(fd, &c, 1, 0) == 1 && ::ioctl(fd, SIOCGSTAMPNS, &stamp) == 0 && Ns(stamp) < Ns(sent) + 10000000) break;
  }
  return fd;
}

const std::string kLine =
    "10:00:00:000\t00-11-22-33-44-55\t66-77-88-99-aa-bb\t0800\t60\t10.1.2.3\t1025\t10.1.2.4\t80\tTCP\tTCP-IP\n";
}  // namespace

TEST(ClearFeed, DatagramsReceivedBeforeAClearAreToldAsOlder) {
  QPlainTextEdit log;
  SetPktDataMemo(&log);
  std::string drop;
  while (PacketQueue().Take(drop)) {
  }
  const int stamps = KernelStampsOn();
  const int port = FreeUdpPort();
  TMySocket sock(nullptr, port);
  std::vector<int64_t> older;  // the queue's last line at each call
  sock.OnQueuedBeforeClear = [&] { older.push_back(PacketQueue().LastQueued()); };
  sock.Listen();
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to = Loopback(port);
  auto send = [&](int n) {
    for (int i = 0; i < n; ++i)
      ::sendto(fd, kLine.data(), kLine.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  };
  auto readUntil = [&](int64_t lines) {
    QElapsedTimer t;
    t.start();
    while (PacketQueue().LastQueued() - PacketQueue().Taken() < lines && t.elapsed() < 10000)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  };
  const int64_t start = PacketQueue().Taken();
  // Before any Clear nothing is told.
  send(2);
  readUntil(2);
  EXPECT_TRUE(older.empty());
  // Three arrive, the click comes before they are read, then two more arrive.
  send(3);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  sock.MarkClear();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  send(2);
  readUntil(7);
  EXPECT_EQ(older, (std::vector<int64_t>{start + 3, start + 4, start + 5}));
  // Later datagrams are not told, until the next Clear.
  send(1);
  readUntil(8);
  EXPECT_EQ(older.size(), 3u);
  ::close(fd);
  ::close(stamps);
  sock.Close();
  while (PacketQueue().Take(drop)) {
  }
  SetPktDataMemo(nullptr);
}
