// The keyboard and pointer-button state as the X server holds it. A unit of
// its own: the X11 headers define macros and types that clash with other code.
#include "platform/KeyState.h"

#include <QGuiApplication>
#include <QMetaObject>
#include <QThread>
#include <QtGui/qguiapplication_platform.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace {

// The X key symbols that stand for a virtual key (none for a mouse button):
// `single`, or both keys of a side-less modifier.
void SymbolsOf(int vk, KeySym& single, KeySym& other) {
  single = other = NoSymbol;
  switch (vk) {
    case VK_SHIFT: single = XK_Shift_L, other = XK_Shift_R; return;
    case VK_CONTROL: single = XK_Control_L, other = XK_Control_R; return;
    case VK_MENU: single = XK_Alt_L, other = XK_Alt_R; return;
    case VK_RETURN: single = XK_Return, other = XK_KP_Enter; return;
    default: break;
  }
  if (vk >= VK_0 && vk <= VK_0 + 9)
    single = XK_0 + KeySym(vk - VK_0);
  else if (vk >= VK_A && vk <= VK_A + 25)
    single = XK_a + KeySym(vk - VK_A);
  else if (vk >= VK_NUMPAD0 && vk <= VK_NUMPAD0 + 9)
    single = XK_KP_0 + KeySym(vk - VK_NUMPAD0);
  else if (vk >= VK_F1 && vk <= VK_F1 + 23)
    single = XK_F1 + KeySym(vk - VK_F1);
  else
    switch (vk) {
      case VK_BACK: single = XK_BackSpace; break;
      case VK_TAB: single = XK_Tab; break;
      case VK_PAUSE: single = XK_Pause; break;
      case VK_CAPITAL: single = XK_Caps_Lock; break;
      case VK_ESCAPE: single = XK_Escape; break;
      case VK_SPACE: single = XK_space; break;
      case VK_PRIOR: single = XK_Prior; break;
      case VK_NEXT: single = XK_Next; break;
      case VK_END: single = XK_End; break;
      case VK_HOME: single = XK_Home; break;
      case VK_LEFT: single = XK_Left; break;
      case VK_UP: single = XK_Up; break;
      case VK_RIGHT: single = XK_Right; break;
      case VK_DOWN: single = XK_Down; break;
      case VK_INSERT: single = XK_Insert; break;
      case VK_DELETE: single = XK_Delete; break;
      case VK_MULTIPLY: single = XK_KP_Multiply; break;
      case VK_ADD: single = XK_KP_Add; break;
      case VK_SUBTRACT: single = XK_KP_Subtract; break;
      case VK_DECIMAL: single = XK_KP_Decimal; break;
      case VK_DIVIDE: single = XK_KP_Divide; break;
      case VK_NUMLOCK: single = XK_Num_Lock; break;
      case VK_SCROLL: single = XK_Scroll_Lock; break;
      case VK_LSHIFT: single = XK_Shift_L; break;
      case VK_RSHIFT: single = XK_Shift_R; break;
      case VK_LCONTROL: single = XK_Control_L; break;
      case VK_RCONTROL: single = XK_Control_R; break;
      case VK_LMENU: single = XK_Alt_L; break;
      case VK_RMENU: single = XK_Alt_R; break;
      default: break;
    }
}

unsigned ButtonMaskOf(int vk) {
  switch (vk) {
    case VK_LBUTTON: return Button1Mask;
    case VK_MBUTTON: return Button2Mask;
    case VK_RBUTTON: return Button3Mask;
    default: return 0;
  }
}

// The server's keyboard and pointer state, read at most once per turn of the
// event loop: a frame asks for several keys in one turn, and each question
// used to be a round trip to the server. The first question of a turn reads
// the state; a call queued to the next turn forgets it. GUI thread only.
struct TServerSnapshot {
  bool keysRead = false, pointerRead = false, forgetQueued = false;
  char keys[32] = {};
  unsigned pointer = 0;
};

TServerSnapshot& Snapshot() {
  static TServerSnapshot snapshot;
  return snapshot;
}

void ForgetAtNextTurn(QGuiApplication* app) {
  TServerSnapshot& s = Snapshot();
  if (s.forgetQueued) return;
  s.forgetQueued = true;
  QMetaObject::invokeMethod(
      app, [] { Snapshot() = TServerSnapshot{}; }, Qt::QueuedConnection);
}

}  // namespace

int ServerKeyState(int vk) {
  // Xlib's connection belongs to the GUI thread.
  auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
  if (!app || QThread::currentThread() != app->thread()) return -1;
  auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
  Display* display = x11 ? x11->display() : nullptr;
  if (!display) return -1;
  TServerSnapshot& s = Snapshot();
  if (const unsigned mask = ButtonMaskOf(vk)) {
    if (!s.pointerRead) {
      Window root = 0, child = 0;
      int rootX = 0, rootY = 0, x = 0, y = 0;
      XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &x, &y, &s.pointer);
      s.pointerRead = true;
      ForgetAtNextTurn(app);
    }
    return (s.pointer & mask) != 0;
  }
  KeySym symbols[2];
  SymbolsOf(vk, symbols[0], symbols[1]);
  if (symbols[0] == NoSymbol) return 0;
  if (!s.keysRead) {
    XQueryKeymap(display, s.keys);
    s.keysRead = true;
    ForgetAtNextTurn(app);
  }
  for (const KeySym symbol : symbols) {
    const KeyCode code = symbol == NoSymbol ? 0 : XKeysymToKeycode(display, symbol);
    if (code != 0 && (s.keys[code / 8] & (1 << (code % 8))) != 0) return 1;
  }
  return 0;
}
