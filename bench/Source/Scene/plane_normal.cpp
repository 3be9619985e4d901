// The plane normal of a polygon's outline, as every rebuild of the polygon's list finds it: N
// nodes all in line (an outline without area) and N nodes around a circle.
#include "Source/Scene/GLNodes.h"

#include <benchmark/benchmark.h>

#include <cmath>

namespace {

void BM_PlaneNormal(benchmark::State& state) {
  const int n = int(state.range(0));
  const bool inLine = state.range(1) != 0;
  TGLNodes nodes(nullptr);
  nodes.BeginUpdate();
  for (int i = 0; i < n; ++i) {
    const float a = 6.2831853f * float(i) / float(n);
    if (inLine)
      nodes.AddNode(float(i), 2.0f * float(i), 0);
    else
      nodes.AddNode(std::cos(a), std::sin(a), 0);
  }
  nodes.EndUpdate();
  for (auto _ : state) benchmark::DoNotOptimize(nodes.PlaneNormal());
  state.SetLabel(inLine ? "in line" : "circle");
}
BENCHMARK(BM_PlaneNormal)
    ->Args({1000, 1})
    ->Args({16000, 1})
    ->Args({16000, 0})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.2);

}  // namespace

BENCHMARK_MAIN();
