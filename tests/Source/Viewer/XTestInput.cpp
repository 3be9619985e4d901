// Key and pointer input made on the X server through the XTest extension.
#include "XTestInput.h"

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace {

Display* XTestDisplay() {
  auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
  auto* x11 = app ? app->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  Display* display = x11 ? x11->display() : nullptr;
  int event = 0, error = 0, major = 0, minor = 0;
  return display && XTestQueryExtension(display, &event, &error, &major, &minor) ? display : nullptr;
}

}  // namespace

bool FakeServerKey(unsigned long keysym, bool down) {
  Display* display = XTestDisplay();
  if (!display) return false;
  const KeyCode code = XKeysymToKeycode(display, keysym);
  if (code == 0) return false;
  XTestFakeKeyEvent(display, code, down ? True : False, CurrentTime);
  XSync(display, False);
  QCoreApplication::processEvents();
  return true;
}

bool FakeServerClick(int x, int y, unsigned button) {
  Display* display = XTestDisplay();
  if (!display) return false;
  XTestFakeMotionEvent(display, -1, x, y, CurrentTime);
  XTestFakeButtonEvent(display, button, True, CurrentTime);
  XTestFakeButtonEvent(display, button, False, CurrentTime);
  XSync(display, False);
  return true;
}

bool FakeServerMotion(int x, int y) {
  Display* display = XTestDisplay();
  if (!display) return false;
  XTestFakeMotionEvent(display, -1, x, y, CurrentTime);
  XSync(display, False);
  return true;
}

bool FakeServerButton(unsigned button, bool down) {
  Display* display = XTestDisplay();
  if (!display) return false;
  XTestFakeButtonEvent(display, button, down ? True : False, CurrentTime);
  XSync(display, False);
  return true;
}
