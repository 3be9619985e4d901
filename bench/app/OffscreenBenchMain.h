// The main of a benchmark of the program's classes that needs a Qt application but no screen.
#pragma once

#include <QApplication>
#include <benchmark/benchmark.h>

#include <cstdlib>

inline int RunOffscreenBenchmarks(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
