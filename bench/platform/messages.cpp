// Cost of a posted message from PostMessage to its handler on the same thread
// (the frame clock ticks this way), of a cross-thread post, of an ini write
// that reaches the disk, and of a whole-file save in a folder of many files
// (each save looks for files left by killed saves of that file).
#include "platform/FileSave.h"
#include "platform/IniFiles.h"
#include "platform/Messages.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

static void BM_PostAndDispatch(benchmark::State& state) {
  const int batch = static_cast<int>(state.range(0));
  long handled = 0;
  HWND wnd = AllocateHWnd([&](TMessage&) { ++handled; });
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i) PostMessage(wnd, WM_USER, static_cast<WPARAM>(i), 0);
    ProcessMessages();
  }
  DeallocateHWnd(wnd);
  state.SetItemsProcessed(handled);
}
BENCHMARK(BM_PostAndDispatch)->Arg(1)->Arg(100);

static void BM_PostFromAnotherThread(benchmark::State& state) {
  std::atomic<long> handled{0};
  HWND wnd = AllocateHWnd([&](TMessage&) { ++handled; });
  long posted = 0;
  for (auto _ : state) {
    std::thread poster([wnd] {
      for (int i = 0; i < 1000; ++i) PostMessage(wnd, WM_USER, 0, 0);
    });
    poster.join();
    posted += 1000;
    while (handled < posted) ProcessMessages();
  }
  DeallocateHWnd(wnd);
  state.SetItemsProcessed(posted);
}
BENCHMARK(BM_PostFromAnotherThread);

static void BM_IniWrite(benchmark::State& state) {
  const std::string file = "/tmp/tamrivel-bench-" + std::to_string(getpid()) + ".ini";
  TIniFile ini(file);
  int i = 0;
  for (auto _ : state) ini.WriteInteger("Form1", "TrackBar1", i++);
  std::remove(file.c_str());
}
BENCHMARK(BM_IniWrite);

// A picture-sized save into a folder that holds range(0) other files (the
// pictures folder after a flood of new hosts): one file saved again and again
// (range(1) 0), or a new file each time (1).
static void BM_SaveFileAmong(benchmark::State& state) {
  char dir[] = "/tmp/tamrivel-bench-save-XXXXXX";
  if (!::mkdtemp(dir)) {
    state.SkipWithError("no folder");
    return;
  }
  const std::string folder = dir;
  for (long i = 0; i < state.range(0); ++i) {
    FILE* f = std::fopen((folder + "/host-" + std::to_string(i) + ".bmp").c_str(), "wb");
    if (f) std::fclose(f);
  }
  const std::string bytes(12342, 'x');
  long n = 0;
  for (auto _ : state)
    SaveFileBytes(folder + "/label" + (state.range(1) ? std::to_string(n++) : std::string()) + ".bmp", bytes);
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_SaveFileAmong)->ArgsProduct({{0, 10000}, {0, 1}})->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
