// The key-state table, merged with the X server state on the GUI thread, and virtual-key codes
// from Qt keys and mouse buttons.
#include "platform/KeyState.h"

#include <Qt>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

std::array<std::atomic<bool>, 256>& Table() {
  static std::array<std::atomic<bool>, 256> table{};
  return table;
}

bool Held(int vk) { return Table()[static_cast<std::size_t>(vk)].load(std::memory_order_relaxed); }

// X11 key symbols of the sided modifiers.
constexpr std::uint32_t XK_Shift_L = 0xFFE1, XK_Shift_R = 0xFFE2;
constexpr std::uint32_t XK_Control_L = 0xFFE3, XK_Control_R = 0xFFE4;
constexpr std::uint32_t XK_Alt_L = 0xFFE9, XK_Alt_R = 0xFFEA;

}  // namespace

std::int16_t GetAsyncKeyState(int vk) {
  if (vk < 0 || vk > 255) return 0;
  bool down = Held(vk);
  switch (vk) {
    case VK_SHIFT: down = down || Held(VK_LSHIFT) || Held(VK_RSHIFT); break;
    case VK_CONTROL: down = down || Held(VK_LCONTROL) || Held(VK_RCONTROL); break;
    case VK_MENU: down = down || Held(VK_LMENU) || Held(VK_RMENU); break;
    default: break;
  }
  down = down || ServerKeyState(vk) == 1;
  return down ? static_cast<std::int16_t>(0x8000) : 0;
}

void SetKeyState(int vk, bool down) {
  if (vk < 1 || vk > 255) return;
  Table()[static_cast<std::size_t>(vk)].store(down, std::memory_order_relaxed);
}

void ClearKeyStates() {
  for (auto& key : Table()) key.store(false, std::memory_order_relaxed);
}

int VirtualKeyFromQtKey(int qtKey) {
  if ((qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) || (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z)) return qtKey;
  if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24) return VK_F1 + (qtKey - Qt::Key_F1);
  switch (qtKey) {
    case Qt::Key_Space: return VK_SPACE;
    case Qt::Key_Escape: return VK_ESCAPE;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return VK_TAB;
    case Qt::Key_Backspace: return VK_BACK;
    case Qt::Key_Return:
    case Qt::Key_Enter: return VK_RETURN;
    case Qt::Key_Insert: return VK_INSERT;
    case Qt::Key_Delete: return VK_DELETE;
    case Qt::Key_Pause: return VK_PAUSE;
    case Qt::Key_Home: return VK_HOME;
    case Qt::Key_End: return VK_END;
    case Qt::Key_Left: return VK_LEFT;
    case Qt::Key_Up: return VK_UP;
    case Qt::Key_Right: return VK_RIGHT;
    case Qt::Key_Down: return VK_DOWN;
    case Qt::Key_PageUp: return VK_PRIOR;
    case Qt::Key_PageDown: return VK_NEXT;
    case Qt::Key_Shift: return VK_SHIFT;
    case Qt::Key_Control: return VK_CONTROL;
    case Qt::Key_Alt:
    case Qt::Key_AltGr: return VK_MENU;
    case Qt::Key_CapsLock: return VK_CAPITAL;
    case Qt::Key_NumLock: return VK_NUMLOCK;
    case Qt::Key_ScrollLock: return VK_SCROLL;
    case Qt::Key_Asterisk: return VK_MULTIPLY;
    case Qt::Key_Plus: return VK_ADD;
    case Qt::Key_Minus: return VK_SUBTRACT;
    case Qt::Key_Slash: return VK_DIVIDE;
    default: return 0;
  }
}

int SideVirtualKey(int vk, std::uint32_t nativeVirtualKey) {
  switch (nativeVirtualKey) {
    case XK_Shift_L: return vk == VK_SHIFT ? VK_LSHIFT : vk;
    case XK_Shift_R: return vk == VK_SHIFT ? VK_RSHIFT : vk;
    case XK_Control_L: return vk == VK_CONTROL ? VK_LCONTROL : vk;
    case XK_Control_R: return vk == VK_CONTROL ? VK_RCONTROL : vk;
    case XK_Alt_L: return vk == VK_MENU ? VK_LMENU : vk;
    case XK_Alt_R: return vk == VK_MENU ? VK_RMENU : vk;
    default: return vk;
  }
}

int VirtualKeyFromQtMouseButton(int qtButton) {
  switch (qtButton) {
    case Qt::LeftButton: return VK_LBUTTON;
    case Qt::RightButton: return VK_RBUTTON;
    case Qt::MiddleButton: return VK_MBUTTON;
    default: return 0;
  }
}

void SetKeyStateFromQt(int qtKey, std::uint32_t nativeVirtualKey, bool down) {
  const int vk = VirtualKeyFromQtKey(qtKey);
  if (vk == 0) return;
  // A sided modifier is recorded by its side only, so that releasing one Shift
  // key keeps VK_SHIFT held while the other one is still down.
  SetKeyState(SideVirtualKey(vk, nativeVirtualKey), down);
}

bool PreferX11Platform(int argc, char** argv) {
  const auto set = [](const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
  };
  if (set("QT_QPA_PLATFORM")) return false;
  for (int i = 1; i < argc; ++i)
    if (argv[i] && (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)) return false;
  if (!set("WAYLAND_DISPLAY") || !set("DISPLAY")) return false;
  return ::setenv("QT_QPA_PLATFORM", "xcb", 1) == 0;
}
