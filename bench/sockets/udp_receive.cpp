// UDP datagrams received per second: through the socket's event path (readiness
// -> posted FD_READ -> OnDataAvailable -> ReceiveAsString) against a plain loop
// of blocking recvfrom calls on the same datagrams. Each iteration first queues
// a batch in the receiver's buffer, then times only the receiving.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <memory>
#include <string>

#include "BenchLoopback.h"
#include "platform/Messages.h"
#include "sockets/WSocket.h"

namespace {

constexpr int kBatch = 256;
constexpr int kSize = 100;

void EnsureApp() {
  static int argc = 1;
  static char name[] = "bench_udp_receive";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
  (void)app;
}

void BigReceiveBuffer(int fd) {
  int size = 8 << 20;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

void SendBatch(int sender, int port) {
  const sockaddr_in to = Loopback(port);
  const std::string payload(kSize, 'p');
  for (int i = 0; i < kBatch; ++i)
    ::sendto(sender, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void BM_UdpPlainRecvfrom(benchmark::State& state) {
  int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
  int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
  BigReceiveBuffer(rx);
  sockaddr_in a = Loopback(0);
  ::bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(rx, reinterpret_cast<sockaddr*>(&a), &len);
  const int port = ntohs(a.sin_port);
  char buf[2048];
  int64_t received = 0;
  for (auto _ : state) {
    SendBatch(tx, port);
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) {
      sockaddr_in from{};
      socklen_t fl = sizeof from;
      received += ::recvfrom(rx, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl) > 0;
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  state.SetItemsProcessed(received);
  ::close(rx);
  ::close(tx);
}

void BM_UdpEventPath(benchmark::State& state) {
  EnsureApp();
  int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
  int64_t received = 0;
  {
    TWSocket s(nullptr);
    s.SetProto("udp");
    s.SetAddr("127.0.0.1");
    s.SetPort("0");
    s.OnDataAvailable = [&](TObject*, uint16_t) {
      if (!s.ReceiveAsString().empty()) ++received;
    };
    s.Listen();
    BigReceiveBuffer(s.HSocket());
    const int port = std::stoi(s.GetBoundPort());
    for (auto _ : state) {
      const int64_t target = received + kBatch;
      SendBatch(tx, port);
      const auto t0 = std::chrono::steady_clock::now();
      while (received < target) ProcessMessages();
      state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
  }
  state.SetItemsProcessed(received);
  ::close(tx);
}

}  // namespace

BENCHMARK(BM_UdpPlainRecvfrom)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_UdpEventPath)->UseManualTime()->MinTime(1.0);

BENCHMARK_MAIN();
