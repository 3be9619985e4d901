// The performance counter and tick count over the steady clock, the local time-zone bias and sleep.
#include "platform/Timing.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace {
std::int64_t SteadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

bool QueryPerformanceCounter(std::int64_t& count) {
  count = SteadyNanoseconds();
  return true;
}

bool QueryPerformanceFrequency(std::int64_t& frequency) {
  frequency = 1'000'000'000;
  return true;
}

std::uint32_t GetTickCount() { return static_cast<std::uint32_t>(SteadyNanoseconds() / 1'000'000); }

int LocalZoneBias() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (!localtime_r(&now, &local)) return 0;
  return static_cast<int>(-local.tm_gmtoff / 60);
}

void Sleep(std::uint32_t ms) {
  if (ms == 0)
    std::this_thread::yield();
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
