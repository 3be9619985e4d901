// How long StopMonitor takes on an idle adapter (the fake driver, whose reads
// wait for the 100 ms read time-out), against a plain thread that polls a
// descriptor with the same time-out and is stopped the same way. Each stop
// comes 30 ms into a read.
#include <benchmark/benchmark.h>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "FakeDriver.h"
#include "capture/monpcap.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kIntoTheRead = std::chrono::milliseconds(30);

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

void BM_MonitorStop(benchmark::State& state) {
  InstallFakeDriver();
  const std::string names("fake0\0\0Fake adapter\0\0", 21);
  Fake().NameBuffer.assign(names.begin(), names.end());
  {
    TMonitorPcap mon(nullptr);
    for (auto _ : state) {
      mon.StartMonitor();
      if (!mon.Connected()) {
        state.SkipWithError(mon.LastError().c_str());
        break;
      }
      std::this_thread::sleep_for(kIntoTheRead);
      const Clock::time_point t0 = Clock::now();
      mon.StopMonitor();
      state.SetIterationTime(Seconds(t0));
    }
  }
  RemoveFakeDriver();
}

void BM_PlainPollThreadStop(benchmark::State& state) {
  int fds[2];
  if (pipe(fds) != 0) {
    state.SkipWithError("pipe");
    return;
  }
  for (auto _ : state) {
    std::atomic<bool> stop{false};
    std::thread reader([&] {
      while (!stop) {
        pollfd p{fds[0], POLLIN, 0};
        poll(&p, 1, 100);
      }
    });
    std::this_thread::sleep_for(kIntoTheRead);
    const Clock::time_point t0 = Clock::now();
    stop = true;
    reader.join();
    state.SetIterationTime(Seconds(t0));
  }
  close(fds[0]);
  close(fds[1]);
}

BENCHMARK(BM_MonitorStop)->UseManualTime()->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainPollThreadStop)->UseManualTime()->Iterations(30)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
