// The X server's key state as a frame reads it: once per turn of the event loop.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

// Xlib's Time type would clash with the date-time function Time() of the run-time library.
#define Time XlibTime
#include <X11/Xlib.h>
#undef Time

#include "Source/Scene/Keyboard.h"
#include "XTestInput.h"
#include "platform/KeyState.h"
#include "rtl/SysUtils.h"

namespace {

Display* XDisplay() {
  auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
  auto* x11 = app ? app->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->display() : nullptr;
}

}  // namespace

TEST(GL_ServerKeyState, AFrameThatPollsSeveralKeysAsksTheServerOnceAndTheNextFrameAnew) {
  Display* display = XDisplay();
  if (!display) GTEST_SKIP() << "not an X11 display";
  ClearKeyStates();
  // Key codes are looked up once per connection: not counted.
  IsKeyDown(VK_CONTROL);
  QCoreApplication::processEvents();
  // Every request Xlib sends counts, Qt's own ones up to here included in the base.
  XNoOp(display);
  const unsigned long before = XNextRequest(display);
  for (int vk : {VK_CONTROL, VK_LSHIFT, VK_CONTROL, VK_LSHIFT, VK_A}) IsKeyDown(vk);
  EXPECT_EQ(XNextRequest(display) - before, 1u);  // the keymap
  IsKeyDown(VK_LBUTTON);
  IsKeyDown(VK_RBUTTON);
  EXPECT_EQ(XNextRequest(display) - before, 2u);  // and the pointer

  // A key pressed on the server is seen from the next turn on.
  constexpr unsigned long kShiftL = 0xFFE1;
  TScopeExit release([] { FakeServerKey(kShiftL, false); });
  if (!FakeServerKey(kShiftL, true)) GTEST_SKIP() << "the display has no XTest extension";
  EXPECT_TRUE(IsKeyDown(VK_LSHIFT));
  FakeServerKey(kShiftL, false);
  EXPECT_FALSE(IsKeyDown(VK_LSHIFT));
}
