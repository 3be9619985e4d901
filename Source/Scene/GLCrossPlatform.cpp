// Colour values and system colours, rectangles, message boxes, OS errors, the high-resolution
// clock and bitmap rows, over the platform layer.
#include "Source/Scene/GLCrossPlatform.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <cerrno>
#include <cstdio>

#include "platform/Timing.h"
#include "rtl/SysUtils.h"

TVector4f SystemColorVectors[cSystemColorCount];

namespace {

// The classic desktop scheme, as colour values.
constexpr TColor kSysColors[cSystemColorCount] = {
    0xC8D0D4,  // COLOR_SCROLLBAR
    0xA56E3A,  // COLOR_BACKGROUND
    0x6A240A,  // COLOR_ACTIVECAPTION
    0x808080,  // COLOR_INACTIVECAPTION
    0xC8D0D4,  // COLOR_MENU
    0xFFFFFF,  // COLOR_WINDOW
    0x000000,  // COLOR_WINDOWFRAME
    0x000000,  // COLOR_MENUTEXT
    0x000000,  // COLOR_WINDOWTEXT
    0xFFFFFF,  // COLOR_CAPTIONTEXT
    0xC8D0D4,  // COLOR_ACTIVEBORDER
    0xC8D0D4,  // COLOR_INACTIVEBORDER
    0x808080,  // COLOR_APPWORKSPACE
    0x6A240A,  // COLOR_HIGHLIGHT
    0xFFFFFF,  // COLOR_HIGHLIGHTTEXT
    0xC8D0D4,  // COLOR_BTNFACE
    0x808080,  // COLOR_BTNSHADOW
    0x808080,  // COLOR_GRAYTEXT
    0x000000,  // COLOR_BTNTEXT
    0xC8D0D4,  // COLOR_INACTIVECAPTIONTEXT
    0xFFFFFF,  // COLOR_BTNHIGHLIGHT
    0x404040,  // COLOR_3DDKSHADOW
    0xC8D0D4,  // COLOR_3DLIGHT
    0x000000,  // COLOR_INFOTEXT
    0xE1FFFF,  // COLOR_INFOBK
};

}  // namespace

TColor MakeRGBColor(uint8_t r, uint8_t g, uint8_t b) { return TColor(r) | TColor(g) << 8 | TColor(b) << 16; }

TColor GetSysColor(int index) { return index >= 0 && index < cSystemColorCount ? kSysColors[index] : 0; }

TColor ResolveSystemColor(TColor color) { return int32_t(color) < 0 ? GetSysColor(int(color & 0xFF)) : color; }

TVector4f ColorValueToVector(TColor color) {
  const TColor c = ResolveSystemColor(color);
  return {GetRedValue(c) / 255.0f, GetGreenValue(c) / 255.0f, GetBlueValue(c) / 255.0f, 1.0f};
}

void InitSystemColorVectors() {
  for (int n = 0; n < cSystemColorCount; ++n) SystemColorVectors[n] = ColorValueToVector(0xFF000000u + TColor(n));
}

TGLRect MakeGLRect(int32_t left, int32_t top, int32_t right, int32_t bottom) { return {left, top, right, bottom}; }

void GrowRectClamped(TGLRect& rect, int32_t dx, int32_t dy) {
  rect.Left -= dx;
  rect.Right += dx;
  if (rect.Right < rect.Left) rect.Right = rect.Left;
  rect.Top -= dy;
  rect.Bottom += dy;
  if (rect.Bottom < rect.Top) rect.Bottom = rect.Top;
}

void ClipRectToRect(TGLRect& rect, const TGLRect& other) {
  if (rect.Left <= other.Right && rect.Right >= other.Left && rect.Top <= other.Bottom && rect.Bottom >= other.Top) {
    if (rect.Left < other.Left) rect.Left = other.Left;
    if (rect.Right > other.Right) rect.Right = other.Right;
    if (rect.Top < other.Top) rect.Top = other.Top;
    if (rect.Bottom > other.Bottom) rect.Bottom = other.Bottom;
  } else {
    rect = {0, 0, 0, 0};
  }
}

void ShowInformationMessage(const std::string& text) {
  // A message box needs a widget application on the GUI thread; elsewhere the text is not lost.
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) &&
      QThread::currentThread() == QCoreApplication::instance()->thread()) {
    QMessageBox::information(nullptr, QCoreApplication::applicationName(), QString::fromStdString(text));
  } else {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
}

void RaiseOSErrorMessage() {
  const int code = errno;
  throw EOSError("OS Error : " + SysErrorMessage(code), code);
}

void ReadPerformanceCounter(int64_t& value) { QueryPerformanceCounter(value); }

bool ReadPerformanceFrequency(int64_t& value) { return QueryPerformanceFrequency(value); }

uint8_t* WinBitmapRow(TBitmap& bitmap, int row) { return bitmap.ScanLine(row); }
