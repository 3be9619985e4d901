// The feed listener against a sender of one line per datagram without line
// ends, over UDP on loopback: one piece that is not a line (kind 0: three
// fields; kind 1: a line whose suffix is empty), then 1,000 one-line datagrams
// at 2,000 a second. Counts the lines that reach the packet queue and the
// pieces the close report tells as not lines. Lines are made exactly `bytes`
// long (without a line end) by the width of their two MAC fields.
//
//   bench_feed_pieces [--benchmark_filter=...]
#include "app/PacketQueue.h"
#include "app/Unit3_Wsocket.h"
#include "app/Unit_Globals.h"
#include "tests/common/Loopback.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

constexpr int Lines = 1000;
constexpr double Rate = 2000;  // datagrams a second

// An eleven-field line of exactly `bytes` bytes (at least 60).
std::string LineOf(size_t bytes) {
  const std::string head = "13:05:09:123\t", tail = "\t0800\t60\t10.0.0.1\t1025\t10.0.0.2\t80\tUDP\tTCP-IP";
  const size_t room = bytes - head.size() - tail.size() - 1;  // the TAB between the MACs
  const std::string mac = "02-00-00-00-00-01-02-00-00-00-00-02-02-00-00-00-00-03";
  std::string a, b;
  for (size_t i = 0; i < room; ++i) (i % 2 ? b : a) += mac[i / 2 % mac.size()];
  return head + a + "\t" + b + tail;
}

void BM_BadPieceThenLinesWithoutLineEnds(benchmark::State& state) {
  const bool emptySuffix = state.range(0) == 1;
  const std::string line = LineOf(static_cast<size_t>(state.range(1)));
  const std::string bad = emptySuffix ? line.substr(0, line.rfind('\t') + 1) : "13:05:09:123\tonly\tthree";
  for (auto _ : state) {
    std::string taken;
    while (PacketQueue().Take(taken)) {
    }
    const int64_t notLinesBefore = PacketQueue().NotLines();
    const int port = FreeUdpPort();
    TMySocket sock(nullptr, port);
    sock.Listen();
    std::atomic<bool> done{false};
    std::thread sender([&] {
      const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in to = Loopback(port);
      auto send = [&](const std::string& text) {
        ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      };
      send(bad);
      const auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < Lines; ++i) {
        std::this_thread::sleep_until(start + std::chrono::duration<double>(i / Rate));
        send(line);
      }
      ::close(fd);
      done = true;
    });
    while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    sender.join();
    QElapsedTimer quiet;
    quiet.start();
    while (quiet.elapsed() < 200) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    sock.CloseFeed();
    int received = 0, whole = 0;
    while (PacketQueue().Take(taken)) {
      ++received;
      whole += taken == line;
    }
    const std::vector<std::string> report = PacketQueue().CloseReport();
    state.counters["sent"] = Lines;
    state.counters["received"] = received;
    state.counters["unchanged"] = whole;
    state.counters["not_lines"] = static_cast<double>(PacketQueue().NotLines() - notLinesBefore);
    std::printf("[%s, %zu-byte lines] %d of %d received; close report: %s\n",
                emptySuffix ? "10-field line with an empty suffix" : "3-field piece", line.size(), received, Lines,
                report.back().c_str());
  }
}

BENCHMARK(BM_BadPieceThenLinesWithoutLineEnds)
    ->ArgsProduct({{0, 1}, {60, 104}})
    ->ArgNames({"empty_suffix", "bytes"})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
