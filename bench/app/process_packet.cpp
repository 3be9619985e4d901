// Packet processing of the traffic view without a window: lines for hosts and
// conversations that already have their cubes and pipes (the steady state of a
// busy view), and expiring a whole scene in one life check. Each host stands
// in a /24 block of its own, so each is a cube.
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneGraph.h"
#include "app/MyCylinder.h"
#include "app/SnifferObject.h"
#include "app/TrafficScene.h"
#include "app/Unit_Globals.h"
#include "platform/Paths.h"

#include <QApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

std::string HostIP(int i) { return "11." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".1"; }

std::string Line(int a, int b, int sport, int dport) {
  return "12:00:00:000 \t02-00-00-00-00-01\t02-00-00-00-00-02\t0800\t100\t" + HostIP(a) + "\t" + std::to_string(sport) +
         "\t" + HostIP(b) + "\t" + std::to_string(dport) + "\tTCP\tTCP-IP";
}

// Conversation k: neighbours 1, 2, 3, ... apart around the ring of hosts.
std::pair<int, int> Conversation(int k, int hosts) { return {k % hosts, (k % hosts + 1 + k / hosts) % hosts}; }

// A scene holding `hosts` cubes and `conns` pipes, made by processing one line each.
struct TTrafficFixture {
  QTemporaryDir dir;
  TGLSceneGraph scene{nullptr};
  TGLDummyCube *pcs, *groups, *connections;
  std::unique_ptr<TTrafficScene> traffic;
  int64_t now = 1'000'000'000;

  TTrafficFixture(int hosts, int conns) {
    SetProgramFolder(dir.path().toStdString());
    pcs = scene.Objects()->AddNewChild<TGLDummyCube>();
    groups = scene.Objects()->AddNewChild<TGLDummyCube>();
    connections = scene.Objects()->AddNewChild<TGLDummyCube>();
    traffic = std::make_unique<TTrafficScene>(pcs, groups, connections);
    traffic->Now = [this] { return now; };
    traffic->PerfFrequency = 1'000'000'000;
    for (int k = 0; k < conns; ++k) {
      const auto [a, b] = Conversation(k, hosts);
      traffic->ProcessLine(Line(a, b, 1024 + k % 60000, 80));
    }
  }
  ~TTrafficFixture() {
    traffic.reset();
    SetProgramFolder("");
  }
};

TTrafficFixture& Busy() {
  static TTrafficFixture f(10000, 30000);
  return f;
}

// Lines of the steady state: random conversations and directions, stable ports.
std::vector<PKTinfo> SteadyPackets(int hosts, int conns) {
  std::mt19937 rnd(7);
  std::vector<PKTinfo> packets(1 << 16);
  for (PKTinfo& p : packets) {
    const int k = int(rnd() % unsigned(conns));
    auto [a, b] = Conversation(k, hosts);
    int sport = 1024 + k % 60000, dport = 80;
    if (rnd() & 1) {
      std::swap(a, b);
      std::swap(sport, dport);
    }
    ParsePacketLine(Line(a, b, sport, dport), p);
  }
  return packets;
}

void BM_ProcessPacket(benchmark::State& state) {
  TTrafficFixture& f = Busy();
  const std::vector<PKTinfo> packets = SteadyPackets(10000, 30000);
  size_t i = 0;
  for (auto _ : state) {
    f.traffic->ProcessPacket(packets[i]);
    i = (i + 1) & (packets.size() - 1);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["cubes"] = f.pcs->Count();
  state.counters["pipes"] = f.connections->Count();
}
BENCHMARK(BM_ProcessPacket);

// The same with the parsing the queue does first.
void BM_ProcessLine(benchmark::State& state) {
  TTrafficFixture& f = Busy();
  std::vector<std::string> lines;
  for (const PKTinfo& p : SteadyPackets(10000, 30000)) lines.push_back(p.Line);
  size_t i = 0;
  for (auto _ : state) {
    f.traffic->ProcessLine(lines[i]);
    i = (i + 1) & (lines.size() - 1);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProcessLine);

// Building a scene from one line per conversation: each line that is the
// first of its conversation makes a pipe (and up to two cubes). The time per
// line stays flat as the scene grows when adding a child costs the same
// however many siblings it has.
void BM_CreateScene(benchmark::State& state) {
  const int hosts = int(state.range(0));
  for (auto _ : state) {
    auto f = std::make_unique<TTrafficFixture>(hosts, 3 * hosts);
    state.PauseTiming();
    f.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * hosts * 3);
}
BENCHMARK(BM_CreateScene)->Arg(2500)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(1);

// One life check in which every cube and pipe of the scene has expired:
// the time per object stays flat as the scene grows when removal is linear.
void BM_ExpireAll(benchmark::State& state) {
  const int hosts = int(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    auto f = std::make_unique<TTrafficFixture>(hosts, 3 * hosts);
    f->now += int64_t(3600) * 1'000'000'000;
    state.ResumeTiming();
    f->traffic->Timer_ChkLifeTimer();
    state.PauseTiming();
    if (f->pcs->Count() || f->connections->Count()) state.SkipWithError("objects left after expiry");
    f.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * hosts * 4);
}
BENCHMARK(BM_ExpireAll)->Arg(2500)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
