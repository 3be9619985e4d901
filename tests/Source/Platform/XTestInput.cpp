#include "XTestInput.h"

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

bool FakeServerKey(unsigned long keysym, bool down) {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  Display* display = x11 ? x11->display() : nullptr;
  int event = 0, error = 0, major = 0, minor = 0;
  if (!display || !XTestQueryExtension(display, &event, &error, &major, &minor)) return false;
  const KeyCode code = XKeysymToKeycode(display, keysym);
  if (code == 0) return false;
  XTestFakeKeyEvent(display, code, down ? True : False, CurrentTime);
  XSync(display, False);
  return true;
}
