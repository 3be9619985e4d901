// Throughput of the hot matrix routines against straightforward loop implementations, in the
// same run. Items are arrays of matrices and vectors so that every call sees fresh data.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "Source/Base/VectorGeometry.h"

namespace {

constexpr int kCount = 1024;

std::vector<TMatrix4f> RandomMatrices(unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-2, 2);
  std::vector<TMatrix4f> v(kCount);
  for (auto& m : v)
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) m[i][j] = dist(gen) + (i == j ? 3.0f : 0.0f);  // well conditioned
  return v;
}

std::vector<TVector4f> RandomVectors(unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-10, 10);
  std::vector<TVector4f> v(kCount);
  for (auto& x : v) x = {dist(gen), dist(gen), dist(gen), 1};
  return v;
}

// The reference: the textbook triple loop.
void NaiveMultiply(const TMatrix4f& a, const TMatrix4f& b, TMatrix4f& r) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      float s = 0;
      for (int k = 0; k < 4; ++k) s += a[i][k] * b[k][j];
      r[i][j] = s;
    }
}

void NaiveTransform(const TVector4f& v, const TMatrix4f& m, TVector4f& r) {
  for (int j = 0; j < 4; ++j) {
    float s = 0;
    for (int i = 0; i < 4; ++i) s += v[i] * m[i][j];
    r[j] = s;
  }
}

// Gauss-Jordan elimination with partial pivoting.
void NaiveInvert(TMatrix4f& m) {
  float a[4][8];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      a[i][j] = m[i][j];
      a[i][j + 4] = i == j ? 1.0f : 0.0f;
    }
  for (int c = 0; c < 4; ++c) {
    int p = c;
    for (int r = c + 1; r < 4; ++r)
      if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
    if (std::fabs(a[p][c]) < 1e-30f) {
      m = IdentityHmgMatrix;
      return;
    }
    if (p != c)
      for (int j = 0; j < 8; ++j) std::swap(a[p][j], a[c][j]);
    const float inv = 1.0f / a[c][c];
    for (int j = 0; j < 8; ++j) a[c][j] *= inv;
    for (int r = 0; r < 4; ++r) {
      if (r == c) continue;
      const float f = a[r][c];
      for (int j = 0; j < 8; ++j) a[r][j] -= f * a[c][j];
    }
  }
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) m[i][j] = a[i][j + 4];
}

void BM_MatrixMultiply(benchmark::State& state) {
  const auto a = RandomMatrices(1), b = RandomMatrices(2);
  std::vector<TMatrix4f> r(kCount);
  for (auto _ : state) {
    for (int i = 0; i < kCount; ++i) MatrixMultiply(a[i], b[i], r[i]);
    benchmark::DoNotOptimize(r.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}

void BM_NaiveMultiply(benchmark::State& state) {
  const auto a = RandomMatrices(1), b = RandomMatrices(2);
  std::vector<TMatrix4f> r(kCount);
  for (auto _ : state) {
    for (int i = 0; i < kCount; ++i) NaiveMultiply(a[i], b[i], r[i]);
    benchmark::DoNotOptimize(r.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}

void BM_VectorTransform(benchmark::State& state) {
  const auto m = RandomMatrices(3);
  const auto v = RandomVectors(4);
  std::vector<TVector4f> r(kCount);
  for (auto _ : state) {
    for (int i = 0; i < kCount; ++i) VectorTransform(v[i], m[i], r[i]);
    benchmark::DoNotOptimize(r.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}

void BM_NaiveTransform(benchmark::State& state) {
  const auto m = RandomMatrices(3);
  const auto v = RandomVectors(4);
  std::vector<TVector4f> r(kCount);
  for (auto _ : state) {
    for (int i = 0; i < kCount; ++i) NaiveTransform(v[i], m[i], r[i]);
    benchmark::DoNotOptimize(r.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}

void BM_MatrixInvert(benchmark::State& state) {
  const auto src = RandomMatrices(5);
  std::vector<TMatrix4f> r(kCount);
  for (auto _ : state) {
    r = src;
    for (auto& m : r) MatrixInvert(m);
    benchmark::DoNotOptimize(r.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}

void BM_NaiveInvert(benchmark::State& state) {
  const auto src = RandomMatrices(5);
  std::vector<TMatrix4f> r(kCount);
  for (auto _ : state) {
    r = src;
    for (auto& m : r) NaiveInvert(m);
    benchmark::DoNotOptimize(r.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}

}  // namespace

BENCHMARK(BM_MatrixMultiply);
BENCHMARK(BM_NaiveMultiply);
BENCHMARK(BM_VectorTransform);
BENCHMARK(BM_NaiveTransform);
BENCHMARK(BM_MatrixInvert);
BENCHMARK(BM_NaiveInvert);

BENCHMARK_MAIN();
