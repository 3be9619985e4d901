// A dragged cube's pipes brought to its new place, in a scene of N pipes
// (N / 100 of them at the dragged cube): BM_CubeMoved is a frame of the drag
// (the cube's pipes found before, then aligned again), BM_CubeMovedAfterChange
// a frame after the pipes changed (all pipes searched again first).
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneGraph.h"
#include "app/SnifferObject.h"
#include "app/TrafficScene.h"
#include "app/Unit_Globals.h"
#include "bench/app/OffscreenBenchMain.h"
#include "platform/Paths.h"

#include <QApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

std::string Line(const std::string& src, const std::string& dst) {
  return "t\tm1\tm2\t0800\t60\t" + src + "\t1025\t" + dst + "\t80\tTCP\tTCP-IP";
}
// A host of block `b` (each block is one cube).
std::string Host(int b) {
  return std::to_string(1 + b / 65536 % 200) + "." + std::to_string(b / 256 % 256) + "." + std::to_string(b % 256) +
         ".1";
}

struct TScene {
  QTemporaryDir dir;
  TGLSceneGraph scene{nullptr};
  TGLDummyCube* pcs = scene.Objects()->AddNewChild<TGLDummyCube>();
  std::unique_ptr<TTrafficScene> traffic;
  SnifferObject* dragged = nullptr;
  explicit TScene(int pipes) {
    SetProgramFolder(dir.path().toStdString());
    traffic = std::make_unique<TTrafficScene>(pcs, scene.Objects()->AddNewChild<TGLDummyCube>(),
                                              scene.Objects()->AddNewChild<TGLDummyCube>());
    // Blocks of 256 hosts: one cube per block, a pipe per pair of blocks.
    for (int i = 0; i < pipes; ++i) {
      const int a = i % 100 == 0 ? 0 : 1 + i;
      traffic->ProcessLine(Line(Host(a), Host(pipes + 1 + i)));
    }
    dragged = traffic->FindCubeForIP(Host(0));
  }
  ~TScene() {
    traffic.reset();
    SetProgramFolder("");
  }
};

void BM_CubeMoved(benchmark::State& state) {
  TScene s(int(state.range(0)));
  float x = 0;
  for (auto _ : state) {
    s.dragged->Position()->SetXYZAsPoint(x += 0.01f, 1, 5);
    s.traffic->CubeMoved(s.dragged);
  }
  state.counters["pipes"] = double(s.traffic->Connections()->Count());
}
BENCHMARK(BM_CubeMoved)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMicrosecond);

void BM_CubeMovedAfterChange(benchmark::State& state) {
  TScene s(int(state.range(0)));
  // Two cubes in turn: each call finds the cube's pipes anew, as after a
  // change of the pipes (made, given new ends, freed).
  SnifferObject* cubes[2] = {s.dragged, s.traffic->FindCubeForIP(Host(2))};
  float x = 0;
  int n = 0;
  for (auto _ : state) {
    SnifferObject* c = cubes[n++ & 1];
    c->Position()->SetXYZAsPoint(x += 0.01f, 1, 5);
    s.traffic->CubeMoved(c);
  }
}
BENCHMARK(BM_CubeMovedAfterChange)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) { return RunOffscreenBenchmarks(argc, argv); }
