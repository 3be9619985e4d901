// Clocks and time-zone information.
//
// The performance counter is std::chrono::steady_clock in nanoseconds, so the
// frequency is always 1e9 and both calls always succeed. All functions are
// thread-safe.
#pragma once

#include <cstdint>

// Monotonic counter in ticks of 1 / QueryPerformanceFrequency seconds.
bool QueryPerformanceCounter(std::int64_t& count);
// Ticks per second of the counter: 1'000'000'000.
bool QueryPerformanceFrequency(std::int64_t& frequency);

// Milliseconds since an arbitrary start, from the same monotonic clock;
// wraps around after about 49.7 days like the 32-bit original.
std::uint32_t GetTickCount();

// Minutes to add to local time to get UTC at this moment (-tm_gmtoff / 60);
// for example -60 in Central European winter time.
int LocalZoneBias();

// Blocks the calling thread; 0 just yields.
void Sleep(std::uint32_t ms);
