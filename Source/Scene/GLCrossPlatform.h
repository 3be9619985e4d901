// Platform services of the engine: colour values and system colours, integer rectangles,
// operating-system errors, the high-resolution clock, bitmap rows and a plain message box.
#pragma once

#include <cstdint>
#include <string>

#include "Source/Base/VectorTypes.h"
#include "platform/Graphics.h"

// Colour values (TColor): red in bits 0-7, green 8-15, blue 16-23. A value with bit 31 set (a
// negative 32-bit value) names a system colour by its low byte.
TColor MakeRGBColor(uint8_t r, uint8_t g, uint8_t b);
// The system colour for a negative value (black beyond the 25 known indices), else the value.
TColor ResolveSystemColor(TColor color);
inline uint8_t GetRedValue(TColor color) { return uint8_t(color); }
inline uint8_t GetGreenValue(TColor color) { return uint8_t(color >> 8); }
inline uint8_t GetBlueValue(TColor color) { return uint8_t(color >> 16); }
// Fixed classic values stand in for the desktop's colour scheme, so output is reproducible.
TColor GetSysColor(int index);

// Windows system colour indices.
enum : int {
  COLOR_SCROLLBAR,
  COLOR_BACKGROUND,
  COLOR_ACTIVECAPTION,
  COLOR_INACTIVECAPTION,
  COLOR_MENU,
  COLOR_WINDOW,
  COLOR_WINDOWFRAME,
  COLOR_MENUTEXT,
  COLOR_WINDOWTEXT,
  COLOR_CAPTIONTEXT,
  COLOR_ACTIVEBORDER,
  COLOR_INACTIVEBORDER,
  COLOR_APPWORKSPACE,
  COLOR_HIGHLIGHT,
  COLOR_HIGHLIGHTTEXT,
  COLOR_BTNFACE,
  COLOR_BTNSHADOW,
  COLOR_GRAYTEXT,
  COLOR_BTNTEXT,
  COLOR_INACTIVECAPTIONTEXT,
  COLOR_BTNHIGHLIGHT,
  COLOR_3DDKSHADOW,
  COLOR_3DLIGHT,
  COLOR_INFOTEXT,
  COLOR_INFOBK
};
inline constexpr int cSystemColorCount = 25;

// The system colours as RGBA vectors, index 0 to 24; all zero until InitSystemColorVectors.
// Written once at start-up, read-only afterwards.
extern TVector4f SystemColorVectors[cSystemColorCount];
void InitSystemColorVectors();
// Colour value to RGBA: the system colour resolved, bytes / 255, alpha 1.
TVector4f ColorValueToVector(TColor color);

// Integer rectangle.
struct TGLRect {
  int32_t Left, Top, Right, Bottom;
  bool operator==(const TGLRect&) const = default;
};
TGLRect MakeGLRect(int32_t left, int32_t top, int32_t right, int32_t bottom);
// Grows by dx, dy on every side; a rectangle shrunk past zero size collapses at its new
// left / top edge.
void GrowRectClamped(TGLRect& rect, int32_t dx, int32_t dy);
// Clamps rect into other when they overlap (touching edges count); otherwise all zero.
void ClipRectToRect(TGLRect& rect, const TGLRect& other);

// A plain information box; without a widget application the text goes to standard error.
void ShowInformationMessage(const std::string& text);
// Raises EOSError "OS Error : <system message for errno>".
[[noreturn]] void RaiseOSErrorMessage();

void ReadPerformanceCounter(int64_t& value);
bool ReadPerformanceFrequency(int64_t& value);

// The address of a bitmap's row (0 = top).
uint8_t* WinBitmapRow(TBitmap& bitmap, int row);
