// Asynchronous key state: which keys and mouse buttons are held right now,
// whatever window has the focus, read with the Windows virtual-key codes.
// On the GUI thread of an X11 session the X server's keyboard and pointer
// state is read; besides it a table that widgets feed from their key and
// mouse events and tests set directly. All functions are thread-safe.
#pragma once

#include <cstdint>

constexpr int VK_LBUTTON = 0x01;
constexpr int VK_RBUTTON = 0x02;
constexpr int VK_CANCEL = 0x03;
constexpr int VK_MBUTTON = 0x04;
constexpr int VK_BACK = 0x08;
constexpr int VK_TAB = 0x09;
constexpr int VK_RETURN = 0x0D;
constexpr int VK_SHIFT = 0x10;
constexpr int VK_CONTROL = 0x11;
constexpr int VK_MENU = 0x12;  // Alt
constexpr int VK_PAUSE = 0x13;
constexpr int VK_CAPITAL = 0x14;
constexpr int VK_ESCAPE = 0x1B;
constexpr int VK_SPACE = 0x20;
constexpr int VK_PRIOR = 0x21;  // Page Up
constexpr int VK_NEXT = 0x22;   // Page Down
constexpr int VK_END = 0x23;
constexpr int VK_HOME = 0x24;
constexpr int VK_LEFT = 0x25;
constexpr int VK_UP = 0x26;
constexpr int VK_RIGHT = 0x27;
constexpr int VK_DOWN = 0x28;
constexpr int VK_INSERT = 0x2D;
constexpr int VK_DELETE = 0x2E;
// Digits '0'..'9' are 0x30..0x39 and letters 'A'..'Z' are 0x41..0x5A.
constexpr int VK_0 = 0x30;
constexpr int VK_A = 0x41;
constexpr int VK_NUMPAD0 = 0x60;
constexpr int VK_MULTIPLY = 0x6A;
constexpr int VK_ADD = 0x6B;
constexpr int VK_SUBTRACT = 0x6D;
constexpr int VK_DECIMAL = 0x6E;
constexpr int VK_DIVIDE = 0x6F;
constexpr int VK_F1 = 0x70;  // VK_F1 + n - 1 is Fn, up to F24
constexpr int VK_F2 = 0x71;
constexpr int VK_F3 = 0x72;
constexpr int VK_F4 = 0x73;
constexpr int VK_F5 = 0x74;
constexpr int VK_F6 = 0x75;
constexpr int VK_F7 = 0x76;
constexpr int VK_F8 = 0x77;
constexpr int VK_F9 = 0x78;
constexpr int VK_F10 = 0x79;
constexpr int VK_F11 = 0x7A;
constexpr int VK_F12 = 0x7B;
constexpr int VK_NUMLOCK = 0x90;
constexpr int VK_SCROLL = 0x91;
constexpr int VK_LSHIFT = 0xA0;
constexpr int VK_RSHIFT = 0xA1;
constexpr int VK_LCONTROL = 0xA2;
constexpr int VK_RCONTROL = 0xA3;
constexpr int VK_LMENU = 0xA4;
constexpr int VK_RMENU = 0xA5;

// High bit (0x8000, so the value is negative) while the key is held (by the
// X server or the table); 0 otherwise and for codes outside 0..255. VK_SHIFT, VK_CONTROL and VK_MENU are
// held while either side (or the side-less key itself) is held.
std::int16_t GetAsyncKeyState(int vk);

// 1 when the X server holds the key or button down, 0 when not, -1 when the
// server cannot be asked (no X11 display, or not the GUI thread). The server
// is asked once per turn of the GUI thread's event loop (a frame polls
// several keys in one turn): a change is seen from the next turn on.
int ServerKeyState(int vk);

// Called before the application object is made: on a Wayland session that
// also has an X server (DISPLAY set), selects Qt's X11 platform, so that the
// server's key state can be read; unless the user chose a platform
// (QT_QPA_PLATFORM, or -platform among the arguments). True when it did.
bool PreferX11Platform(int argc, char** argv);

// Records a key as held or released. Codes outside 1..255 are ignored.
void SetKeyState(int vk, bool down);

// Releases every key (for example when the program loses the keyboard).
void ClearKeyStates();

// Virtual key of a Qt key code (Qt::Key), 0 when there is none. Shift,
// Control and Alt give the side-less codes; see SideVirtualKey.
int VirtualKeyFromQtKey(int qtKey);

// Left/right variant of a modifier from the native key symbol that Qt reports
// for the event (QKeyEvent::nativeVirtualKey: X11 key symbols), or the given
// side-less code when the side cannot be told.
int SideVirtualKey(int vk, std::uint32_t nativeVirtualKey);

// Virtual key of a Qt mouse button (Qt::MouseButton), 0 when there is none.
int VirtualKeyFromQtMouseButton(int qtButton);

// What a widget calls from its key events: records the key (and, for a
// modifier, its side) as held or released.
void SetKeyStateFromQt(int qtKey, std::uint32_t nativeVirtualKey, bool down);
