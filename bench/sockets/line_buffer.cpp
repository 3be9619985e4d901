// Line mode: one 64 KB arrival of 10-byte lines, each line found and read out
// of the socket's line buffer, against a plain loop that finds each line end
// with memchr and copies the line out of the same 64 KB.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "sockets/LineBuffer.h"

namespace {

constexpr int kArrival = 64 * 1024;
constexpr int kLine = 10;

const std::string& Arrival() {
  static const std::string data = [] {
    std::string s;
    while (static_cast<int>(s.size()) + kLine <= kArrival) s += "12345678\r\n";
    return s;
  }();
  return data;
}

void BM_LineBufferRead(benchmark::State& state) {
  const std::string& in = Arrival();
  char line[64];
  for (auto _ : state) {
    TLineBuffer b;
    int start = b.Append(in.data(), static_cast<int>(in.size()), 2);
    int lines = 0;
    while (b.FindLine(start, "\r\n")) {
      lines += b.Read(line, sizeof line, true) == kLine;
      start = 0;
    }
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(in.size()));
}

void BM_PlainLineLoop(benchmark::State& state) {
  const std::string& in = Arrival();
  char line[64];
  for (auto _ : state) {
    std::string buf(in);
    const char* p = buf.data();
    const char* end = p + buf.size();
    int lines = 0;
    while (const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))) {
      const size_t n = static_cast<size_t>(nl + 1 - p);
      std::memcpy(line, p, n);
      lines += n == kLine;
      p = nl + 1;
    }
    benchmark::DoNotOptimize(lines);
    benchmark::DoNotOptimize(line);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(in.size()));
}

BENCHMARK(BM_LineBufferRead);
BENCHMARK(BM_PlainLineLoop);

}  // namespace

BENCHMARK_MAIN();
