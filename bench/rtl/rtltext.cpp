// Text formatting and string-list costs on the paths that run per packet or per log line.
#include "rtl/Classes.h"

#include <benchmark/benchmark.h>

#include <string>

static void BM_FormatAddress(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Format("%d.%d.%d.%d", 192, 168, i & 255, (i >> 8) & 255));
    ++i;
  }
}
BENCHMARK(BM_FormatAddress);

static void BM_FormatFixed(benchmark::State& state) {
  double v = 0.1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Format("%.4f; %.4f; %.4f", v, v * 2, v * 3));
    v += 0.37;
  }
}
BENCHMARK(BM_FormatFixed);

static void BM_FloatToStr(benchmark::State& state) {
  double v = 1.0 / 3.0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(FloatToStr(v));
    v *= 1.0001;
  }
}
BENCHMARK(BM_FloatToStr);

static void BM_StrToFloat(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(StrToFloat("1234.5678"));
}
BENCHMARK(BM_StrToFloat);

static void BM_TimeStamp(benchmark::State& state) {
  TDateTime t = EncodeDate(2024, 3, 7) + EncodeTime(9, 5, 3, 7);
  for (auto _ : state) benchmark::DoNotOptimize(FormatDateTime("hh:nn:ss:zzz", t));
}
BENCHMARK(BM_TimeStamp);

// Sorted insertion of N host-like names, then lookups of each.
static void BM_SortedStringList(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<std::string> names;
  for (int i = 0; i < n; ++i) names.push_back(Format("IP10_%d_%d_%d", (i * 7919) % 256, (i / 256) % 256, i % 97));
  for (auto _ : state) {
    TStringList list;
    list.SetSorted(true);
    for (const auto& s : names) list.Add(s);
    int found = 0;
    for (const auto& s : names) found += list.IndexOf(s) >= 0;
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_SortedStringList)->Arg(1000)->Arg(10000);

BENCHMARK_MAIN();
