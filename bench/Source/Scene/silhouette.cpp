// The silhouette of a closed mesh of 20,000 faces seen from a point, as a shadow volume finds it
// every frame: with face normals found each time (a moving mesh) and precomputed.
#include "Source/Scene/GLSilhouette.h"

#include <benchmark/benchmark.h>

#include <cmath>

namespace {

void BM_Silhouette(benchmark::State& state) {
  const bool precompute = state.range(0) != 0;
  TConnectivity c(precompute);
  const int n = 100;  // a sphere of 100 x 100 quads
  auto P = [&](int i, int j) {
    const float a = 6.2831853f * float(i) / n, b = 3.1415926f * float(j) / n;
    return TAffineVector{{std::cos(a) * std::sin(b), std::sin(a) * std::sin(b), std::cos(b)}};
  };
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) c.AddQuad(P(i, j), P(i + 1, j), P(i + 1, j + 1), P(i, j + 1));
  TGLSilhouetteParameters p;
  p.SeenFrom = TAffineVector{{3, 4, 5}};
  std::unique_ptr<TGLSilhouette> sil;
  for (auto _ : state) c.CreateSilhouette(p, sil, false);
}
BENCHMARK(BM_Silhouette)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
