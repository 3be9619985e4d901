// Loading one large uncompressed BMP file held in memory: the time to decode it and the peak
// resident size of the process (run one size per process to read it), for 24- and 32-bit files up
// to the largest a picture may be (8,192 x 8,192).
#include "platform/Graphics.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstring>
#include <vector>

namespace {

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// A grey side x side picture of the given bit count.
std::vector<uint8_t> GreyBmp(int side, int bits) {
  const size_t row = (size_t(side) * size_t(bits) / 8 + 3) / 4 * 4;
  std::vector<uint8_t> f(54 + row * size_t(side), 0x40);
  std::memset(f.data(), 0, 54);
  f[0] = 'B', f[1] = 'M';
  Put32(&f[2], uint32_t(f.size()));
  Put32(&f[10], 54);
  Put32(&f[14], 40);
  Put32(&f[18], uint32_t(side));
  Put32(&f[22], uint32_t(side));
  f[26] = 1;
  f[28] = uint8_t(bits);
  return f;
}

double PeakRssMB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_maxrss) / 1024.0;
}

void BM_LoadBmp(benchmark::State& state) {
  const std::vector<uint8_t> file = GreyBmp(int(state.range(0)), int(state.range(1)));
  for (auto _ : state) {
    TBitmap b;
    b.LoadFromBytes(file.data(), file.size());
    benchmark::DoNotOptimize(b.Image().constBits());
  }
  state.counters["file_MB"] = double(file.size()) / (1 << 20);
  state.counters["peak_rss_MB"] = PeakRssMB();
}

}  // namespace

BENCHMARK(BM_LoadBmp)
    ->ArgsProduct({{1024, 4096, 8192}, {24, 32}})
    ->ArgNames({"side", "bits"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

BENCHMARK_MAIN();
