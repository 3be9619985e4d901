// What a synchronous wait returns, and after how long, when the socket cannot deliver what it waits for:
//   a peer that accepts and closes at once (time-out 3 s, and no time-out);
//   a connect to a loopback port nobody listens on (time-out 3 s);
//   a silent server that accepts and never answers (time-out 3 s).
// A wait without time-out is ended by a watchdog after 10 s (it then reports the watchdog).
// Everything runs on loopback. Usage: bench_sync_wait
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "BenchLoopback.h"
#include "sockets/WSocket.h"

namespace {

using Clock = std::chrono::steady_clock;

// Accepts one connection and closes it at once, or keeps it open without a word.
struct OneShotServer {
  LoopbackListener listener;
  std::thread t;
  explicit OneShotServer(bool closeAtOnce) {
    t = std::thread([this, closeAtOnce] {
      const int c = ::accept(listener.fd, nullptr, nullptr);
      if (c < 0) return;
      if (!closeAtOnce) std::this_thread::sleep_for(std::chrono::seconds(4));
      ::close(c);
    });
  }
  ~OneShotServer() {
    ::shutdown(listener.fd, SHUT_RDWR);
    t.join();
  }
};

// Connects with a 3 s or no time-out and waits for a reply line that never comes.
void Measure(const char* what, int port, uint32_t timeoutMs) {
  TWSocket c(nullptr);
  c.SetAddr("127.0.0.1");
  c.SetPort(std::to_string(port));
  c.SetTimeout(timeoutMs);
  c.SetLineMode(true);
  int connected = -1, closed = -1;
  bool replyReceived = false, watchdog = false;
  c.OnSessionConnected = [&](TObject*, uint16_t e) { connected = e; };
  c.OnSessionClosed = [&](TObject*, uint16_t e) { closed = e; };
  c.OnDataAvailable = [&](TObject*, uint16_t) { replyReceived = !c.ReceiveAsString().empty(); };
  QTimer guard;
  guard.setSingleShot(true);
  guard.setTimerType(Qt::PreciseTimer);
  QObject::connect(&guard, &QTimer::timeout, [&] {
    watchdog = true;
    replyReceived = true;
  });
  guard.start(10000);
  const auto start = Clock::now();
  const int r = c.Synchronize([&] { c.Connect(); }, replyReceived);
  const double s = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("  %-36s time-out %4u ms: returned %5d after %5.2f s%s (connected %d, closed %d)\n", what, timeoutMs, r,
              s, watchdog ? ", ended by the 10 s watchdog" : "", connected, closed);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::printf("Synchronous wait for a reply line:\n");
  {
    OneShotServer peer(true);
    Measure("peer that closes at once", peer.listener.port, 3000);
  }
  {
    OneShotServer peer(true);
    Measure("peer that closes at once", peer.listener.port, 0);
  }
  int freePort;
  {
    LoopbackListener gone;
    freePort = gone.port;
  }
  Measure("connect to a port without listener", freePort, 3000);
  {
    OneShotServer peer(false);
    Measure("silent server", peer.listener.port, 3000);
  }
  return 0;
}
