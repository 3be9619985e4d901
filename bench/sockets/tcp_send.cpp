// TCP loopback throughput of 1460-byte chunks: a socket sending through its
// buffer chain (Send, FD_WRITE when the network was full) against a plain loop
// of blocking send calls. The receiver is the same plain blocking recv loop on
// its own thread in both cases.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "BenchLoopback.h"
#include "platform/Messages.h"
#include "sockets/WSocket.h"

namespace {

constexpr int kChunk = 1460;
constexpr int kChunks = 2048;  // about 3 MB per iteration
constexpr int64_t kBytes = int64_t{kChunk} * kChunks;

void EnsureApp() {
  static int argc = 1;
  static char name[] = "bench_tcp_send";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
  (void)app;
}

// Reads `bytes` in chunks of 1460 with blocking recv.
void ReadAll(int fd, int64_t bytes) {
  char buf[kChunk];
  while (bytes > 0) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    bytes -= n;
  }
}

// What a sending thread does while the chain is long: wait until the network
// can take more, then let the socket's events run.
void WaitAndPump(TWSocket& s) {
  pollfd p{s.HSocket(), POLLOUT, 0};
  ::poll(&p, 1, 10);
  ProcessMessages();
}

void BM_TcpPlainSend(benchmark::State& state) {
  LoopbackListener l;
  int tx = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(l.port);
  ::connect(tx, reinterpret_cast<sockaddr*>(&a), sizeof a);
  int rx = ::accept(l.fd, nullptr, nullptr);
  const std::string chunk(kChunk, 'c');
  for (auto _ : state) {
    std::thread reader(ReadAll, rx, kBytes);
    for (int i = 0; i < kChunks; ++i) {
      size_t off = 0;
      while (off < chunk.size()) {
        ssize_t n = ::send(tx, chunk.data() + off, chunk.size() - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
      }
    }
    reader.join();
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
  ::close(tx);
  ::close(rx);
}

// state.range(0) = 1: a send handler is assigned, so every byte is copied into
// the chain and sent from there; 0: with nothing queued the bytes leave straight
// from the caller's buffer and only what the network refuses is queued.
void BM_TcpSendBufferChain(benchmark::State& state) {
  EnsureApp();
  LoopbackListener l;
  TWSocket s(nullptr);
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(l.port));
  s.SetLingerOnOff(wsLingerNoSet);
  bool connected = false;
  s.OnSessionConnected = [&](TObject*, uint16_t) { connected = true; };
  int64_t taken = 0;
  if (state.range(0)) s.OnSendData = [&](TObject*, int n) { taken += n; };
  s.Connect();
  int rx = ::accept(l.fd, nullptr, nullptr);
  while (!connected) ProcessMessages();
  const std::string chunk(kChunk, 'c');
  int64_t waits = 0;
  for (auto _ : state) {
    std::thread reader(ReadAll, rx, kBytes);
    for (int i = 0; i < kChunks; ++i) {
      s.Send(chunk.data(), kChunk);
      // When the network is full the chain holds the rest: let FD_WRITE drain it.
      if (s.BufferedByteCount() > 0) {
        ++waits;
        WaitAndPump(s);
      }
    }
    while (!s.AllSent()) WaitAndPump(s);
    reader.join();
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
  state.counters["waits"] = benchmark::Counter(static_cast<double>(waits), benchmark::Counter::kAvgIterations);
  if (state.range(0) && taken != state.iterations() * kBytes) state.SkipWithError("bytes lost");
  ::close(rx);
}

}  // namespace

BENCHMARK(BM_TcpPlainSend)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_TcpSendBufferChain)->Arg(1)->Arg(0)->MinTime(1.0)->UseRealTime();

BENCHMARK_MAIN();
