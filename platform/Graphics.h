// Pictures, bitmaps and a canvas in place of the desktop toolkit's graphics.
//
// TBitmap keeps its pixels in a QImage whose bytes are laid out as the engine
// expects a toolkit bitmap to be: rows top first, 24-bit pixels as B, G, R and
// 32-bit pixels as B, G, R, A. BMP files go through QImage after our own
// header checks; JPEG goes through libjpeg (platform/Jpeg.h). Every loader
// refuses a truncated or hostile file with EInvalidGraphic and leaves the
// target as it was; that includes a compressed file claiming far more pixels
// than its bytes can code, refused before the picture is allocated.
//
// Text needs a QGuiApplication (fonts); without one, text operations raise
// EInvalidGraphic instead of touching the font database.
//
// Not thread-safe: pictures belong to the thread that uses them (the GUI thread).
#pragma once

#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

#include <QImage>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QFont;
class QColor;
class QPainter;

// A Windows colour value: low byte red, then green, then blue. The high byte
// is kept but ignored when drawing.
using TColor = uint32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor RGBColor(uint8_t r, uint8_t g, uint8_t b) { return TColor(r) | TColor(g) << 8 | TColor(b) << 16; }
constexpr uint8_t GetRValue(TColor c) { return uint8_t(c); }
constexpr uint8_t GetGValue(TColor c) { return uint8_t(c >> 8); }
constexpr uint8_t GetBValue(TColor c) { return uint8_t(c >> 16); }

struct TPoint {
  int X = 0, Y = 0;
};
struct TRect {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
};
inline TRect Rect(int left, int top, int right, int bottom) { return TRect{left, top, right, bottom}; }
struct TSize {
  int cx = 0, cy = 0;
};

RTL_DECLARE_EXCEPTION(EInvalidGraphic, Exception);

// The most a loaded picture may take once decoded, at 4 bytes a pixel: 256 MB, 8,192 x 8,192.
// Larger files are refused with EInvalidGraphic before anything is allocated.
inline constexpr uint64_t MaxPictureBytes = uint64_t(256) << 20;

using TNotifyEvent = std::function<void(TObject* sender)>;

enum TFontStyle : uint8_t { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using TFontStyles = uint8_t;

// A font description: family name, size in points at 96 dots per inch, colour
// and style. Sizes are turned into pixel heights at 96 dpi whatever the
// screen says, so text layouts are the same on every display.
class TFont : public TPersistent {
  RTL_CLASS(TFont, TPersistent)

 public:
  TFont();
  const std::string& Name() const { return FName; }
  void SetName(const std::string& v);
  int Size() const { return FSize; }
  void SetSize(int v);
  // Negative: character height in pixels; positive: cell height.
  int Height() const;
  void SetHeight(int v);
  TColor Color() const { return FColor; }
  void SetColor(TColor v);
  TFontStyles Style() const { return FStyle; }
  void SetStyle(TFontStyles v);
  void Assign(TPersistent* source) override;
  QFont ToQFont() const;
  TNotifyEvent OnChange;

 private:
  void Changed();
  std::string FName = "Arial";
  int FSize = 8;
  TColor FColor = clBlack;
  TFontStyles FStyle = 0;
};

enum TPenStyle : uint8_t { psSolid, psClear };
class TPen : public TPersistent {
  RTL_CLASS(TPen, TPersistent)

 public:
  TColor Color() const { return FColor; }
  void SetColor(TColor v) { FColor = v; }
  int Width() const { return FWidth; }
  void SetWidth(int v) { FWidth = v < 1 ? 1 : v; }
  TPenStyle Style() const { return FStyle; }
  void SetStyle(TPenStyle v) { FStyle = v; }
  void Assign(TPersistent* source) override;

 private:
  TColor FColor = clBlack;
  int FWidth = 1;
  TPenStyle FStyle = psSolid;
};

enum TBrushStyle : uint8_t { bsSolid, bsClear };
class TBrush : public TPersistent {
  RTL_CLASS(TBrush, TPersistent)

 public:
  TColor Color() const { return FColor; }
  void SetColor(TColor v) { FColor = v; }
  TBrushStyle Style() const { return FStyle; }
  void SetStyle(TBrushStyle v) { FStyle = v; }
  void Assign(TPersistent* source) override;

 private:
  TColor FColor = clWhite;
  TBrushStyle FStyle = bsSolid;
};

class TGraphic;
class TBitmap;

// Drawing surface of a bitmap. Coordinates are pixels from the top-left
// corner; rectangles exclude their right and bottom edges.
class TCanvas {
 public:
  explicit TCanvas(TBitmap& owner) : FOwner(owner) {}
  TFont& Font() { return FFont; }
  TPen& Pen() { return FPen; }
  TBrush& Brush() { return FBrush; }

  // With the brush; a clear brush paints nothing.
  void FillRect(const TRect& r);
  // Filled with the brush (unless clear) and framed with the pen (unless clear).
  void Rectangle(int x1, int y1, int x2, int y2);
  void MoveTo(int x, int y) { FPenPos = {x, y}; }
  void LineTo(int x, int y);
  // Text with its cell's top-left corner at (x, y), in the font's colour; the
  // cell is first filled with the brush unless the brush is clear.
  void TextOut(int x, int y, const std::string& text);
  // The same, clipped to the rectangle, which is filled first (unless the
  // brush is clear) instead of the text's cell.
  void TextRect(const TRect& r, int x, int y, const std::string& text);
  int TextWidth(const std::string& text);
  int TextHeight(const std::string& text);
  // Copies the graphic's pixels (alpha is not blended) at (x, y) or stretched
  // over the rectangle.
  void Draw(int x, int y, const TGraphic& graphic);
  void StretchDraw(const TRect& r, const TGraphic& graphic);
  TColor Pixel(int x, int y) const;
  void SetPixel(int x, int y, TColor c);

 private:
  void RequireFonts() const;
  void Painted();
  TBitmap& FOwner;
  TFont FFont;
  TPen FPen;
  TBrush FBrush;
  TPoint FPenPos;
};

// Abstract picture data: a size, file and stream I/O and a way to draw.
class TGraphic : public TPersistent {
  RTL_CLASS(TGraphic, TPersistent)

 public:
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  bool Empty() const { return Width() <= 0 || Height() <= 0; }
  // Reads one picture from the stream's position; the stream is left after it.
  virtual void LoadFromStream(TStream& stream) = 0;
  virtual void SaveToStream(TStream& stream) const = 0;
  // File names may use "\\" and differ in case from the file and folders on
  // disk (as found by FindFileCaseInsensitive).
  void LoadFromFile(const std::string& fileName);
  // In the format the file's extension names (a bitmap saved as "x.jpg" is written as JPEG). A name
  // without a registered picture extension, or an empty graphic, raises EInvalidGraphic and writes
  // nothing. Saved through SaveFile (platform/FileSave.h): a link keeps pointing at the file it
  // names, and a failed save keeps the old file.
  void SaveToFile(const std::string& fileName) const;
  // The pixels as an image (top row first); empty for an empty graphic.
  virtual QImage ToImage() const = 0;
  TNotifyEvent OnChange;

 protected:
  void Changed();
};

enum TPixelFormat : uint8_t { pfDevice, pf24bit, pf32bit };

class TBitmap : public TGraphic {
  RTL_CLASS(TBitmap, TGraphic)

 public:
  TBitmap();
  TBitmap(int width, int height, TPixelFormat format = pfDevice);
  ~TBitmap() override;
  int Width() const override { return FImage.width(); }
  int Height() const override { return FImage.height(); }
  // Resizing keeps the pixels that still fit; new ones are white.
  void SetWidth(int w) { SetSize(w, Height()); }
  void SetHeight(int h) { SetSize(Width(), h); }
  void SetSize(int w, int h);
  TPixelFormat PixelFormat() const { return FFormat; }
  void SetPixelFormat(TPixelFormat f);
  // Row y (0 = top): 24-bit pixels as B, G, R; 32-bit (and device) as B, G, R, A.
  uint8_t* ScanLine(int y);
  const uint8_t* ScanLine(int y) const;
  TCanvas& Canvas();
  // BMP: 1/4/8/16/24/32 bits per pixel, RGB, bit fields or run-length coded, at most
  // MaxPictureBytes decoded. 32-bit pixels keep their alpha (opaque when every alpha byte is 0).
  void LoadFromStream(TStream& stream) override;
  // BMP, 24 bits per pixel (32 for pf32bit), bottom-up rows.
  void SaveToStream(TStream& stream) const override;
  void LoadFromBytes(const uint8_t* data, size_t size);
  // The size a BMP file claims, after the checks LoadFromBytes makes before decoding (raising the
  // same EInvalidGraphic); nothing is decoded, so a caller can count a picture before paying.
  static TSize CheckedSize(const uint8_t* data, size_t size);
  std::vector<uint8_t> SaveToBytes() const;
  QImage ToImage() const override { return FImage; }
  const QImage& Image() const { return FImage; }
  QImage& Image() { return FImage; }
  void Assign(TPersistent* source) override;

 private:
  friend class TCanvas;
  QImage FImage;
  TPixelFormat FFormat = pfDevice;
  std::unique_ptr<TCanvas> FCanvas;
};

class TJPEGImage : public TGraphic {
  RTL_CLASS(TJPEGImage, TGraphic)

 public:
  int Width() const override { return FImage.width(); }
  int Height() const override { return FImage.height(); }
  int CompressionQuality() const { return FQuality; }
  void SetCompressionQuality(int q) { FQuality = q; }
  // Reads the rest of the stream as one JPEG file.
  void LoadFromStream(TStream& stream) override;
  void SaveToStream(TStream& stream) const override;
  void LoadFromBytes(const uint8_t* data, size_t size);
  QImage ToImage() const override { return FImage; }
  // From a bitmap or another JPEG image.
  void Assign(TPersistent* source) override;

 private:
  QImage FImage;
  std::vector<uint8_t> FData;  // the compressed stream, written back as is
  int FQuality = 90;
};

// A class of graphic (TBitmap::StaticClass(), TJPEGImage::StaticClass()).
using TGraphicClass = TClass;
// A new, empty graphic of the class; nullptr for a class that is no graphic.
std::unique_ptr<TGraphic> NewGraphic(TGraphicClass cls);

struct TPictureFormat {
  std::string Extension;  // without the dot, lower case
  std::string Description;
  TGraphicClass GraphicClass;
};
// The registered picture formats: "bmp", "jpg", "jpeg", in that order.
const std::vector<TPictureFormat>& RegisteredPictureFormats();
// Case-insensitive; the extension may carry a leading dot. nullptr when unknown.
TGraphicClass GraphicClassForExtension(const std::string& extension);

// Holds one graphic of any class. Changes of the graphic fire OnChange.
class TPicture : public TPersistent {
  RTL_CLASS(TPicture, TPersistent)

 public:
  TPicture();
  ~TPicture() override;
  TGraphic* Graphic() const { return FGraphic.get(); }
  // Stores a copy of the graphic (nullptr empties the picture).
  void SetGraphic(const TGraphic* graphic);
  // Takes ownership of the graphic.
  void TakeGraphic(std::unique_ptr<TGraphic> graphic);
  // The graphic as a bitmap; a picture holding something else is emptied
  // and given a new bitmap first.
  TBitmap& Bitmap();
  int Width() const { return FGraphic ? FGraphic->Width() : 0; }
  int Height() const { return FGraphic ? FGraphic->Height() : 0; }
  // The graphic class is chosen by the file's extension.
  void LoadFromFile(const std::string& fileName);
  // As TGraphic::SaveToFile; an empty picture raises EInvalidGraphic.
  void SaveToFile(const std::string& fileName) const;
  void Assign(TPersistent* source) override;
  TNotifyEvent OnChange;

 protected:
  // Into a graphic of the held graphic's class (or a parent of it).
  void AssignTo(TPersistent* dest) override;

 private:
  void Attach();
  void Changed();
  std::unique_ptr<TGraphic> FGraphic;
};

// Draws a graphic into a new image of the given size and format (stretched
// when the sizes differ), pixels copied without blending.
QImage RenderGraphic(const TGraphic& graphic, int width, int height, QImage::Format format);

// Turns a colour value into a Qt colour (opaque; the high byte is ignored).
QColor ColorToQColor(TColor c);
