// Key polling over the platform key-state table, with the mouse-wheel pseudo-keys.
#include "Source/Scene/Keyboard.h"

#include <cstdint>

#include "platform/KeyState.h"

namespace {

constexpr int kWheelUp = 134;
constexpr int kWheelDown = 135;

// Wheel movement since the last query; nothing feeds it yet, so the two wheel
// codes answer false.
std::int32_t MouseWheelCount = 0;

}  // namespace

bool IsKeyDown(int key) {
  if (key == kWheelUp || key == kWheelDown) {
    const bool moved = key == kWheelUp ? MouseWheelCount > 0 : MouseWheelCount < 0;
    if (moved) MouseWheelCount = 0;
    return moved;
  }
  // Only the "held now" bit counts, not "pressed since the last call".
  return (GetAsyncKeyState(key) & 0x8000) != 0;
}
