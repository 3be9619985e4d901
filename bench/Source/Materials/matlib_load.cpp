// Loading a material-library stream whose records all carry the same name: every record after
// the first is renamed to the next free "<name><n>", so the cost of finding free names decides
// how the load time grows with the record count.
#include "Source/Materials/GLMaterial.h"
#include "Source/Base/PersistentClasses.h"
#include "rtl/Streaming.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

// A version-0 stream of n records named `name` (no picture, the front colours only).
std::string SameNamedRecords(int n, const std::string& name) {
  TStringStream s(std::string{});
  TBinaryWriter w(&s);
  w.WriteInteger(0);
  w.WriteInteger(n);
  const float colours[13] = {0.2f, 0.2f, 0.2f, 0.8f, 0.8f, 0.8f, 1, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < n; ++i) {
    w.WriteString(name);
    w.WriteBoolean(false);
    w.Write(colours, sizeof colours);
  }
  return s.DataString();
}

void Load(benchmark::State& state, const std::string& name) {
  const int n = int(state.range(0));
  const std::string bytes = SameNamedRecords(n, name);
  for (auto _ : state) {
    TGLMaterialLibrary lib(nullptr);
    TStringStream s(bytes);
    lib.LoadFromStream(&s);
    benchmark::DoNotOptimize(lib.Materials()->Count());
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.SetLabel(std::to_string(bytes.size() / 1024) + " KB");
}

// Records named like the materials a library creates itself ("LibMaterial", "LibMaterial1", ...).
void BM_LoadSameNamed(benchmark::State& state) { Load(state, "stone"); }
void BM_LoadDefaultNamed(benchmark::State& state) { Load(state, "LibMaterial"); }

BENCHMARK(BM_LoadSameNamed)->Arg(1000)->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadDefaultNamed)->Arg(1000)->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
