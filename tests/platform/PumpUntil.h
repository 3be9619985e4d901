// Pumps the calling thread's messages until a condition holds. Gives up after
// a generous bound, so that a lost message fails the test instead of hanging it.
#pragma once

#include "platform/Messages.h"
#include "platform/Timing.h"

#include <functional>

inline bool PumpUntil(const std::function<bool()>& done) {
  const std::uint32_t start = GetTickCount();
  while (!done()) {
    ProcessMessages();
    if (GetTickCount() - start > 10000) return false;
    Sleep(1);
  }
  return true;
}
