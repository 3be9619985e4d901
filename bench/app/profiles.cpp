// Loading a host profile file of many sections, with the packet-data log
// attached as in the program (each profile logs a line). The view's window
// waits for this at creation.
#include "app/HostProfiles.h"
#include "app/Unit_Globals.h"
#include "bench/app/OffscreenBenchMain.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

void BM_LoadProfiles(benchmark::State& state) {
  QTemporaryDir dir;
  const std::string file = dir.path().toStdString() + "/SnifferPCsInfo.ini";
  {
    std::ofstream f(file);
    for (int i = 0; i < state.range(0); ++i)
      f << "[Host" << i << "]\nIPmin=10." << i / 256 % 256 << "." << i % 256 << ".0\nIPmax=10." << i / 256 % 256 << "."
        << i % 256 << ".255\nX=" << i % 100 << "\nY=1.5\nNetType=fixed\nComputerName=h" << i << "\n";
  }
  QPlainTextEdit log;
  SetPktDataMemo(&log);
  THostProfiles profiles;
  for (auto _ : state) profiles.LoadPCinfoToArry(file);
  SetPktDataMemo(nullptr);
  state.counters["profiles"] = double(profiles.PCinfoArray().size());
}
BENCHMARK(BM_LoadProfiles)->Arg(1000)->Arg(5000)->Arg(20000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) { return RunOffscreenBenchmarks(argc, argv); }
