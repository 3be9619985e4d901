// Loading material-library streams. Names: records whose names collide are renamed to the next
// free "<name><n>", so the cost of finding free names and first holders decides how the load time
// grows with the record count, for each pattern of collisions. Pictures: records carrying small
// run-length BMP files that claim large sizes; the peak resident size of the process is reported
// (run one picture benchmark per process to read it).
#include "Source/Materials/GLMaterial.h"
#include "Source/Base/PersistentClasses.h"
#include "rtl/Streaming.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <string>
#include <vector>

namespace {

enum TNamePattern : int {
  npAllSame,         // every record "stone"
  npDefault,         // every record "LibMaterial", the name new materials get
  npHalfThenOne,     // m0 .. m(n/2-1), then n/2 more named like the last of them
  npEveryNameTwice,  // m0 .. m(n/2-1), then the same names again
  npDistinct,        // m0 .. m(n-1): no renames, the floor for the others
};

const char* PatternName(int p) {
  static const char* const names[] = {"all the same", "all LibMaterial", "half distinct then one", "every name twice",
                                      "all distinct"};
  return names[p];
}

std::vector<std::string> RecordNames(int n, int pattern) {
  std::vector<std::string> names;
  names.reserve(size_t(n));
  const int half = n / 2;
  for (int i = 0; i < n; ++i) {
    switch (pattern) {
      case npAllSame: names.push_back("stone"); break;
      case npDefault: names.push_back("LibMaterial"); break;
      case npHalfThenOne: names.push_back("m" + std::to_string(i < half ? i : half - 1)); break;
      case npEveryNameTwice: names.push_back("m" + std::to_string(i < half ? i : i - half)); break;
      default: names.push_back("m" + std::to_string(i)); break;
    }
  }
  return names;
}

// A version-0 stream (a picture and the front colours per record); no picture when `bmp` is empty.
std::string Records(const std::vector<std::string>& names, const std::string& bmp = {}) {
  TStringStream s(std::string{});
  TBinaryWriter w(&s);
  w.WriteInteger(0);
  w.WriteInteger(int(names.size()));
  const float colours[13] = {0.2f, 0.2f, 0.2f, 0.8f, 0.8f, 0.8f, 1, 0, 0, 0, 0, 0, 0};
  for (const std::string& name : names) {
    w.WriteString(name);
    w.WriteBoolean(!bmp.empty());
    if (!bmp.empty()) w.WriteString(bmp);
    w.Write(colours, sizeof colours);
  }
  return s.DataString();
}

void BM_LoadNames(benchmark::State& state) {
  const int n = int(state.range(0));
  const std::string bytes = Records(RecordNames(n, int(state.range(1))));
  for (auto _ : state) {
    TGLMaterialLibrary lib(nullptr);
    TStringStream s(bytes);
    lib.LoadFromStream(&s);
    benchmark::DoNotOptimize(lib.Materials()->Count());
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.SetLabel(std::string(PatternName(int(state.range(1)))) + ", " + std::to_string(bytes.size() / 1024) + " KB");
}

void Put16(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 2; ++i) b[at + i] = char(uint8_t(v >> (8 * i)));
}
void Put32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = char(uint8_t(v >> (8 * i)));
}

// A run-length BMP claiming side x side pixels: RLE8 with a full palette and four bytes of codes
// (end of line, end of bitmap: 1,082 bytes), or RLE4 with 16 colours and about 1 KB of codes
// (one run per row, then end of line).
std::string RunLengthBmp(int side, bool rle8) {
  const size_t palette = rle8 ? 256 * 4 : 16 * 4;
  std::string codes;
  if (rle8) {
    codes = std::string("\0\0\0\1", 4);
  } else {
    for (int row = 0; row < 224; ++row) codes += std::string("\xFF\x12\0\0", 4);
    codes += std::string("\0\1", 2);
  }
  std::string b(14 + 40 + palette, '\0');
  b[0] = 'B', b[1] = 'M';
  Put32(b, 10, uint32_t(b.size()));
  Put32(b, 14, 40);
  Put32(b, 18, uint32_t(side));
  Put32(b, 22, uint32_t(side));
  Put16(b, 26, 1);
  Put16(b, 28, rle8 ? 8 : 4);
  Put32(b, 30, rle8 ? 1 : 2);
  Put32(b, 34, uint32_t(codes.size()));
  for (size_t i = 0; i < palette / 4; ++i) b[54 + 4 * i + 1] = char(i * 16);
  b += codes;
  Put32(b, 2, uint32_t(b.size()));
  return b;
}

double PeakRssMB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_maxrss) / 1024.0;
}

// Records (as many as the third argument), each with a small run-length picture claiming side x
// side pixels. A refused load counts as done; the label says which.
void BM_LoadRunLengthPictures(benchmark::State& state) {
  const int side = int(state.range(0));
  const bool rle8 = state.range(1) != 0;
  const int records = int(state.range(2));
  const std::string bmp = RunLengthBmp(side, rle8);
  const std::string bytes = Records(std::vector<std::string>(size_t(records), "picture"), bmp);
  std::string outcome = "loaded";
  for (auto _ : state) {
    TGLMaterialLibrary lib(nullptr);
    TStringStream s(bytes);
    try {
      lib.LoadFromStream(&s);
    } catch (const Exception& e) {
      outcome = "refused: " + e.Message();
    }
    benchmark::DoNotOptimize(lib.Materials()->Count());
  }
  state.counters["peak_rss_MB"] = PeakRssMB();
  state.SetLabel(std::to_string(records) + " x " + std::to_string(bmp.size()) + "-byte " + (rle8 ? "RLE8" : "RLE4") +
                 " pictures, " + outcome);
}

BENCHMARK(BM_LoadNames)
    ->ArgsProduct({{4000, 40000}, {npAllSame, npDefault, npHalfThenOne, npEveryNameTwice, npDistinct}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadRunLengthPictures)
    ->Args({5600, 1, 10})
    ->Args({1900, 0, 10})
    ->Args({1900, 0, 20})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
