// Helpers shared by the socket tests: pumping the calling thread's messages
// until a condition holds (bounded, so a broken test fails instead of hanging).
#pragma once

#include <chrono>
#include <functional>
#include <thread>

#include "platform/Messages.h"

inline bool PumpUntil(const std::function<bool()>& done, int maxMs = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    ProcessMessages();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// Pumps for a while so that anything queued is delivered.
inline void PumpFor(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}
