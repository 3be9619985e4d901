// Fonts, pens, brushes, the canvas, and bitmaps with their checked BMP and JPEG loading and saving.
#include "platform/Graphics.h"

#include "platform/FileSave.h"

#include "platform/Jpeg.h"
#include "platform/Paths.h"

#include <QColor>
#include <QCoreApplication>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImageReader>
#include <QPainter>

#include <algorithm>
#include <cstring>

namespace {

constexpr int PixelsPerInch = 96;
// Larger pictures are refused by the loaders (and by QImage's own limit).
constexpr int MaxPictureSide = 32768;
// Run-length codes make at most 255 pixels per two bytes. An end-of-line code leaves the rest of
// its row undefined for two bytes, a delta skips up to 255 rows for four, and end-of-bitmap leaves
// all the rest: so a file whose codes make its pixels, or that ends each row with a code, claims
// at most width / 2 pixels per byte of codes. One claiming more than this many is mostly pixels
// no code makes and is refused before its picture is allocated (a 1 KB file claiming 5,600 x
// 5,600 pixels would take 94 MB). Files up to 8,192 pixels wide pass whatever they leave undefined.
constexpr uint64_t MaxRunLengthPixelsPerByte = 4096;

int MulDiv(int a, int b, int c) {
  const int64_t p = int64_t(a) * b;
  return int((p >= 0 ? p + c / 2 : p - c / 2) / c);
}

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void Put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v), p[1] = uint8_t(v >> 8); }
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

[[noreturn]] void InvalidBitmap(const std::string& why) { throw EInvalidGraphic("Bitmap image is not valid: " + why); }

struct BmpHeader {
  int width = 0, height = 0, bits = 0;
  uint32_t compression = 0, offBits = 0;
  bool topDown = false;
};

// Checks a whole BMP file held in memory before QImage sees it: a known header,
// sane sizes, and for uncompressed pixels that every row is present.
BmpHeader CheckBmp(const uint8_t* d, size_t n) {
  if (n < 14 + 12 || d[0] != 'B' || d[1] != 'M') InvalidBitmap("no BMP header");
  const uint32_t offBits = Get32(d + 10);
  const uint32_t infoSize = Get32(d + 14);
  BmpHeader h;
  uint32_t& compression = h.compression;
  int64_t height = 0;
  if (infoSize == 12) {
    h.width = Get16(d + 18);
    height = Get16(d + 20);
    h.bits = Get16(d + 24);
  } else if (infoSize == 40 || infoSize == 52 || infoSize == 56 || infoSize == 64 || infoSize == 108 ||
             infoSize == 124) {
    if (n < 14 + size_t(infoSize)) InvalidBitmap("truncated header");
    h.width = int32_t(Get32(d + 18));
    height = int32_t(Get32(d + 22));
    h.bits = Get16(d + 28);
    compression = Get32(d + 30);
  } else {
    InvalidBitmap("unknown header size " + std::to_string(infoSize));
  }
  h.topDown = height < 0;
  if (height < 0) height = -height;
  if (h.width <= 0 || height <= 0 || h.width > MaxPictureSide || height > MaxPictureSide) InvalidBitmap("bad size");
  h.height = int(height);
  const bool rle = (compression == 1 && h.bits == 8) || (compression == 2 && h.bits == 4);
  const bool plain = compression == 0 || (compression == 3 && (h.bits == 16 || h.bits == 32));
  if (!rle && !plain) InvalidBitmap("unsupported compression");
  if (plain && h.bits != 1 && h.bits != 4 && h.bits != 8 && h.bits != 16 && h.bits != 24 && h.bits != 32)
    InvalidBitmap("unsupported bit count");
  if (offBits < 14 + infoSize || offBits >= n) InvalidBitmap("bad pixel offset");
  h.offBits = offBits;
  if (rle && uint64_t(h.width) * uint64_t(h.height) > (n - offBits) * MaxRunLengthPixelsPerByte)
    InvalidBitmap(std::to_string(n - offBits) + " bytes of run-length codes cannot make " + std::to_string(h.width) +
                  " x " + std::to_string(h.height) + " pixels");
  if (plain) {
    const uint64_t rowBytes = (uint64_t(h.width) * h.bits + 31) / 32 * 4;
    if (offBits + rowBytes * uint64_t(h.height) > n) InvalidBitmap("truncated pixel data");
  }
  if (uint64_t(h.width) * uint64_t(h.height) * 4 > MaxPictureBytes)
    InvalidBitmap(std::to_string(h.width) + " x " + std::to_string(h.height) + " pixels take more than the " +
                  std::to_string(MaxPictureBytes >> 20) + " MB a picture may take");
  return h;
}

// QImage reads uncompressed 32-bit pixels as opaque; their fourth byte is the alpha our writer
// stores. A file whose alpha bytes are all 0 comes from a writer that leaves them unused and
// stays opaque, as other readers take it.
void TakeAlpha(QImage& image, const uint8_t* d, const BmpHeader& h) {
  const size_t rowBytes = size_t(h.width) * 4;
  const uint8_t* pixels = d + h.offBits;
  bool any = false;
  for (size_t i = 3; i < rowBytes * size_t(h.height) && !any; i += 4) any = pixels[i] != 0;
  if (!any) return;
  for (int y = 0; y < h.height; ++y) {
    const uint8_t* from = pixels + rowBytes * size_t(h.topDown ? y : h.height - 1 - y);
    uint8_t* to = image.scanLine(y);
    for (int x = 0; x < h.width; ++x) to[x * 4 + 3] = from[x * 4 + 3];
  }
}

// The extension of a file name (without the dot), empty when it has none.
std::string FileExtension(const std::string& fileName) {
  const std::string native = ToNativePath(fileName);
  const size_t dot = native.find_last_of('.');
  const size_t slash = native.find_last_of('/');
  return dot == std::string::npos || (slash != std::string::npos && dot < slash) ? "" : native.substr(dot + 1);
}

// Nothing written is better than a file no loader takes.
[[noreturn]] void RefuseEmptySave(const std::string& fileName) {
  throw EInvalidGraphic("Cannot save an empty picture as " + fileName);
}

// Whole stream remainder as bytes.
std::vector<uint8_t> ReadRest(TStream& stream) {
  const int64_t left = stream.Size() - stream.Position();
  std::vector<uint8_t> bytes(size_t(left > 0 ? left : 0));
  if (!bytes.empty()) stream.ReadBuffer(bytes.data(), int64_t(bytes.size()));
  return bytes;
}

QImage::Format QtFormat(TPixelFormat f) {
  switch (f) {
    case pf24bit: return QImage::Format_BGR888;
    case pf32bit: return QImage::Format_ARGB32;
    default: return QImage::Format_RGB32;
  }
}

// Pixels are copied, never blended: a 32-bit bitmap's alpha does not take
// part in drawing.
QImage Opaque(const QImage& image) {
  if (!image.hasAlphaChannel()) return image;
  QImage rgb(image.constBits(), image.width(), image.height(), image.bytesPerLine(), QImage::Format_RGB32);
  if (image.format() == QImage::Format_ARGB32) return rgb.copy();
  return image.convertToFormat(QImage::Format_ARGB32).convertToFormat(QImage::Format_RGB32);
}

void CopyPixels(QImage& target, int x, int y, const QImage& source) {
  QPainter p(&target);
  p.setCompositionMode(QPainter::CompositionMode_Source);
  p.drawImage(x, y, Opaque(source));
}

// Texts are UTF-8; bytes that are not valid UTF-8 (single characters 128 to
// 255 of a glyph range, names from older files) are read as Latin-1, the
// same code points the glyph ranges give those bytes.
QString ToQText(const std::string& text) {
  const QString utf8 = QString::fromUtf8(text.data(), qsizetype(text.size()));
  if (!utf8.contains(QChar::ReplacementCharacter) || text.find("\xEF\xBF\xBD") != std::string::npos) return utf8;
  return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

}  // namespace

QColor ColorToQColor(TColor c) { return QColor(GetRValue(c), GetGValue(c), GetBValue(c)); }

// ---------------------------------------------------------------- TFont, TPen, TBrush

TFont::TFont() = default;

void TFont::Changed() {
  if (OnChange) OnChange(this);
}
void TFont::SetName(const std::string& v) {
  if (v != FName) FName = v, Changed();
}
void TFont::SetSize(int v) {
  if (v != FSize) FSize = v, Changed();
}
int TFont::Height() const { return -MulDiv(FSize, PixelsPerInch, 72); }
void TFont::SetHeight(int v) { SetSize(-MulDiv(v, 72, PixelsPerInch)); }
void TFont::SetColor(TColor v) {
  if (v != FColor) FColor = v, Changed();
}
void TFont::SetStyle(TFontStyles v) {
  if (v != FStyle) FStyle = v, Changed();
}

void TFont::Assign(TPersistent* source) {
  if (auto* f = dynamic_cast<TFont*>(source)) {
    FName = f->FName, FSize = f->FSize, FColor = f->FColor, FStyle = f->FStyle;
    Changed();
    return;
  }
  TPersistent::Assign(source);
}

QFont TFont::ToQFont() const {
  QFont f(QString::fromStdString(FName));
  f.setPixelSize(std::max(1, std::abs(Height())));
  f.setBold(FStyle & fsBold);
  f.setItalic(FStyle & fsItalic);
  f.setUnderline(FStyle & fsUnderline);
  f.setStrikeOut(FStyle & fsStrikeOut);
  // Grey antialiasing only: glyph pictures become alpha channels.
  f.setStyleStrategy(QFont::NoSubpixelAntialias);
  return f;
}

void TPen::Assign(TPersistent* source) {
  if (auto* p = dynamic_cast<TPen*>(source)) {
    FColor = p->FColor, FWidth = p->FWidth, FStyle = p->FStyle;
    return;
  }
  TPersistent::Assign(source);
}

void TBrush::Assign(TPersistent* source) {
  if (auto* b = dynamic_cast<TBrush*>(source)) {
    FColor = b->FColor, FStyle = b->FStyle;
    return;
  }
  TPersistent::Assign(source);
}

// ---------------------------------------------------------------- TCanvas

void TCanvas::RequireFonts() const {
  if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
    throw EInvalidGraphic("Text drawing needs a GUI application");
}

void TCanvas::Painted() { FOwner.Changed(); }

void TCanvas::FillRect(const TRect& r) {
  // A clear brush paints nothing.
  if (FOwner.FImage.isNull() || FBrush.Style() == bsClear) return;
  QPainter p(&FOwner.FImage);
  p.fillRect(QRect(r.Left, r.Top, r.Width(), r.Height()), ColorToQColor(FBrush.Color()));
  p.end();
  Painted();
}

void TCanvas::Rectangle(int x1, int y1, int x2, int y2) {
  if (FOwner.FImage.isNull()) return;
  if (x2 < x1) std::swap(x1, x2);
  if (y2 < y1) std::swap(y1, y2);
  QPainter p(&FOwner.FImage);
  if (FBrush.Style() != bsClear) p.fillRect(QRect(x1, y1, x2 - x1, y2 - y1), ColorToQColor(FBrush.Color()));
  if (FPen.Style() != psClear) {
    // The frame straddles the rectangle's border, as wide as the pen.
    const int w = FPen.Width(), o = w / 2;
    const QColor c = ColorToQColor(FPen.Color());
    const int left = x1 - o, right = x2 - 1 - o, top = y1 - o, bottom = y2 - 1 - o;
    const int fullW = right - left + w, fullH = bottom - top + w;
    p.fillRect(QRect(left, top, fullW, w), c);
    p.fillRect(QRect(left, bottom, fullW, w), c);
    p.fillRect(QRect(left, top, w, fullH), c);
    p.fillRect(QRect(right, top, w, fullH), c);
  }
  p.end();
  Painted();
}

void TCanvas::LineTo(int x, int y) {
  if (!FOwner.FImage.isNull() && FPen.Style() != psClear) {
    QPainter p(&FOwner.FImage);
    p.setPen(QPen(ColorToQColor(FPen.Color()), FPen.Width()));
    p.drawLine(FPenPos.X, FPenPos.Y, x, y);
    p.end();
    Painted();
  }
  FPenPos = {x, y};
}

void TCanvas::TextOut(int x, int y, const std::string& text) {
  RequireFonts();
  if (FOwner.FImage.isNull() || text.empty()) return;
  const QFont font = FFont.ToQFont();
  const QFontMetrics fm(font);
  const QString s = ToQText(text);
  QPainter p(&FOwner.FImage);
  if (FBrush.Style() != bsClear)
    p.fillRect(QRect(x, y, fm.horizontalAdvance(s), fm.height()), ColorToQColor(FBrush.Color()));
  p.setFont(font);
  p.setPen(ColorToQColor(FFont.Color()));
  p.drawText(x, y + fm.ascent(), s);
  p.end();
  Painted();
}

void TCanvas::TextRect(const TRect& r, int x, int y, const std::string& text) {
  RequireFonts();
  if (FOwner.FImage.isNull()) return;
  const QFont font = FFont.ToQFont();
  const QRect clip(r.Left, r.Top, r.Width(), r.Height());
  QPainter p(&FOwner.FImage);
  if (FBrush.Style() != bsClear) p.fillRect(clip, ColorToQColor(FBrush.Color()));
  p.setClipRect(clip);
  p.setFont(font);
  p.setPen(ColorToQColor(FFont.Color()));
  p.drawText(x, y + QFontMetrics(font).ascent(), ToQText(text));
  p.end();
  Painted();
}

int TCanvas::TextWidth(const std::string& text) {
  RequireFonts();
  return QFontMetrics(FFont.ToQFont()).horizontalAdvance(ToQText(text));
}

int TCanvas::TextHeight(const std::string& text) {
  RequireFonts();
  return QFontMetrics(FFont.ToQFont()).height();
}

void TCanvas::Draw(int x, int y, const TGraphic& graphic) {
  if (FOwner.FImage.isNull() || graphic.Empty()) return;
  CopyPixels(FOwner.FImage, x, y, graphic.ToImage());
  Painted();
}

void TCanvas::StretchDraw(const TRect& r, const TGraphic& graphic) {
  if (FOwner.FImage.isNull() || graphic.Empty()) return;
  QPainter p(&FOwner.FImage);
  p.setCompositionMode(QPainter::CompositionMode_Source);
  p.drawImage(QRect(r.Left, r.Top, r.Width(), r.Height()), Opaque(graphic.ToImage()));
  p.end();
  Painted();
}

TColor TCanvas::Pixel(int x, int y) const {
  const QImage& img = FOwner.FImage;
  if (x < 0 || y < 0 || x >= img.width() || y >= img.height()) return clBlack;
  const QRgb c = img.pixel(x, y);
  return RGBColor(uint8_t(qRed(c)), uint8_t(qGreen(c)), uint8_t(qBlue(c)));
}

void TCanvas::SetPixel(int x, int y, TColor c) {
  QImage& img = FOwner.FImage;
  if (x < 0 || y < 0 || x >= img.width() || y >= img.height()) return;
  img.setPixel(x, y, qRgb(GetRValue(c), GetGValue(c), GetBValue(c)));
  Painted();
}

// ---------------------------------------------------------------- TGraphic

void TGraphic::Changed() {
  if (OnChange) OnChange(this);
}

void TGraphic::LoadFromFile(const std::string& fileName) {
  TFileStream stream(FindFileCaseInsensitive(fileName), fmOpenRead | fmShareDenyNone);
  LoadFromStream(stream);
}

void TGraphic::SaveToFile(const std::string& fileName) const {
  if (Empty()) RefuseEmptySave(fileName);
  // The file is written in the format its extension names, so that it loads again by that name. A
  // name whose extension names no format would be a file that no picture reads back: refused.
  const std::string ext = FileExtension(fileName);
  const TGraphicClass cls = GraphicClassForExtension(ext);
  if (!cls)
    throw EInvalidGraphic("Cannot save picture " + fileName +
                          (ext.empty() ? ": the name has no picture file extension (.bmp, .jpg)"
                                       : ": unknown picture file extension (." + ext + ")"));
  if (!InheritsFrom(cls)) {
    const std::unique_ptr<TGraphic> converted = NewGraphic(cls);
    converted->Assign(const_cast<TGraphic*>(this));
    converted->SaveToFile(fileName);
    return;
  }
  // An existing folder is found whatever the case it is spelled in; a failed save keeps the old file.
  SaveFile(
      FindFileCaseInsensitive(fileName), [this](TStream* stream) { SaveToStream(*stream); }, fileName);
}

// ---------------------------------------------------------------- TBitmap

TBitmap::TBitmap() = default;
TBitmap::TBitmap(int width, int height, TPixelFormat format) : FFormat(format) { SetSize(width, height); }
TBitmap::~TBitmap() = default;

void TBitmap::SetSize(int w, int h) {
  w = std::max(0, w), h = std::max(0, h);
  if (w == Width() && h == Height() && !FImage.isNull()) return;
  if (w == 0 || h == 0) {
    FImage = QImage();
    Changed();
    return;
  }
  if (w > MaxPictureSide || h > MaxPictureSide) throw EInvalidGraphic("Bitmap too large");
  QImage img(w, h, QtFormat(FFormat));
  if (img.isNull()) throw EInvalidGraphic("Out of memory for bitmap");
  img.fill(Qt::white);
  if (!FImage.isNull()) CopyPixels(img, 0, 0, FImage);
  FImage = std::move(img);
  Changed();
}

void TBitmap::SetPixelFormat(TPixelFormat f) {
  if (f == FFormat) return;
  FFormat = f;
  if (!FImage.isNull()) FImage = FImage.convertToFormat(QtFormat(f));
  Changed();
}

uint8_t* TBitmap::ScanLine(int y) {
  if (y < 0 || y >= Height()) throw EInvalidGraphic("Scan line index out of range");
  return FImage.scanLine(y);
}

const uint8_t* TBitmap::ScanLine(int y) const {
  if (y < 0 || y >= Height()) throw EInvalidGraphic("Scan line index out of range");
  return FImage.constScanLine(y);
}

TCanvas& TBitmap::Canvas() {
  if (!FCanvas) FCanvas = std::make_unique<TCanvas>(*this);
  return *FCanvas;
}

TSize TBitmap::CheckedSize(const uint8_t* data, size_t size) {
  const BmpHeader h = CheckBmp(data, size);
  return TSize{h.width, h.height};
}

void TBitmap::LoadFromBytes(const uint8_t* data, size_t size) {
  const BmpHeader h = CheckBmp(data, size);
  // QImage's own allocation limit (128 MB by default) would refuse pictures within ours as
  // undecodable; ours is checked above.
  constexpr int limitMB = int(MaxPictureBytes >> 20);
  if (QImageReader::allocationLimit() != 0 && QImageReader::allocationLimit() < limitMB)
    QImageReader::setAllocationLimit(limitMB);
  QImage img;
  if (!img.loadFromData(data, int(std::min<size_t>(size, INT32_MAX)), "BMP") || img.width() != h.width ||
      img.height() != h.height)
    InvalidBitmap("cannot decode");
  const TPixelFormat f = h.bits == 32 ? pf32bit : pf24bit;
  img = std::move(img).convertToFormat(QtFormat(f));
  if (img.isNull()) InvalidBitmap("out of memory");
  if (h.bits == 32 && h.compression == 0) TakeAlpha(img, data, h);
  FFormat = f;
  FImage = std::move(img);
  Changed();
}

void TBitmap::LoadFromStream(TStream& stream) {
  // One BMP file from here: its length is the header's file size when that
  // is plausible, else the rest of the stream.
  const int64_t start = stream.Position();
  const int64_t left = stream.Size() - start;
  uint8_t head[14];
  if (left < 14 || stream.Read(head, 14) != 14) InvalidBitmap("truncated header");
  int64_t length = Get32(head + 2);
  if (length < 26 || length > left) length = left;
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  std::memcpy(bytes.data(), head, 14);
  if (stream.Read(bytes.data() + 14, length - 14) != length - 14) InvalidBitmap("truncated pixel data");
  LoadFromBytes(bytes.data(), bytes.size());
}

std::vector<uint8_t> TBitmap::SaveToBytes() const {
  const int w = Width(), h = Height();
  const bool alpha = FFormat == pf32bit;
  const int bpp = alpha ? 4 : 3;
  const size_t rowBytes = (size_t(w) * bpp + 3) / 4 * 4;
  const size_t pixels = rowBytes * size_t(h);
  std::vector<uint8_t> out(54 + pixels, 0);
  uint8_t* d = out.data();
  d[0] = 'B', d[1] = 'M';
  Put32(d + 2, uint32_t(out.size()));
  Put32(d + 10, 54);
  Put32(d + 14, 40);
  Put32(d + 18, uint32_t(w));
  Put32(d + 22, uint32_t(h));
  Put16(d + 26, 1);
  Put16(d + 28, uint16_t(bpp * 8));
  Put32(d + 34, uint32_t(pixels));
  Put32(d + 38, 3780);  // 96 dpi
  Put32(d + 42, 3780);
  if (w == 0 || h == 0) return out;
  const QImage img = FImage.convertToFormat(alpha ? QImage::Format_ARGB32 : QImage::Format_BGR888);
  for (int y = 0; y < h; ++y) std::memcpy(d + 54 + size_t(h - 1 - y) * rowBytes, img.constScanLine(y), size_t(w) * bpp);
  return out;
}

void TBitmap::SaveToStream(TStream& stream) const {
  const std::vector<uint8_t> bytes = SaveToBytes();
  stream.WriteBuffer(bytes.data(), int64_t(bytes.size()));
}

void TBitmap::Assign(TPersistent* source) {
  if (source == nullptr) {
    FImage = QImage();
    Changed();
    return;
  }
  if (auto* b = dynamic_cast<TBitmap*>(source)) {
    if (b == this) return;
    FFormat = b->FFormat;
    FImage = b->FImage;
    Changed();
    return;
  }
  if (auto* pic = dynamic_cast<TPicture*>(source)) {
    Assign(pic->Graphic());
    return;
  }
  if (auto* g = dynamic_cast<TGraphic*>(source)) {
    FFormat = pf24bit;
    FImage = g->Empty() ? QImage() : g->ToImage().convertToFormat(QImage::Format_BGR888);
    Changed();
    return;
  }
  TPersistent::Assign(source);
}

// ---------------------------------------------------------------- TJPEGImage

void TJPEGImage::LoadFromBytes(const uint8_t* data, size_t size) {
  QImage img;
  std::string error;
  if (!jpeg::DecodeJpeg(data, size, img, error)) throw EInvalidGraphic("JPEG error: " + error);
  FData.assign(data, data + size);
  FImage = std::move(img);
  Changed();
}

void TJPEGImage::LoadFromStream(TStream& stream) {
  const std::vector<uint8_t> bytes = ReadRest(stream);
  LoadFromBytes(bytes.data(), bytes.size());
}

void TJPEGImage::SaveToStream(TStream& stream) const {
  if (!FData.empty()) stream.WriteBuffer(FData.data(), int64_t(FData.size()));
}

void TJPEGImage::Assign(TPersistent* source) {
  if (auto* j = dynamic_cast<TJPEGImage*>(source)) {
    if (j == this) return;
    FImage = j->FImage, FData = j->FData, FQuality = j->FQuality;
    Changed();
    return;
  }
  if (auto* g = dynamic_cast<TGraphic*>(source)) {
    QImage img = g->ToImage();
    std::vector<uint8_t> data;
    std::string error;
    if (!img.isNull() && !jpeg::EncodeJpeg(img, FQuality, data, error)) throw EInvalidGraphic("JPEG error: " + error);
    FImage = img.isNull() ? QImage() : img.convertToFormat(QImage::Format_RGB888);
    FData = std::move(data);
    Changed();
    return;
  }
  TPersistent::Assign(source);
}

// ---------------------------------------------------------------- registry

namespace {
std::unique_ptr<TGraphic> NewBitmap() { return std::make_unique<TBitmap>(); }
std::unique_ptr<TGraphic> NewJpeg() { return std::make_unique<TJPEGImage>(); }

std::string LowerExtension(const std::string& ext) {
  std::string e = !ext.empty() && ext[0] == '.' ? ext.substr(1) : ext;
  for (char& c : e) c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return e;
}

std::unique_ptr<TGraphic> NewGraphicLike(const TGraphic& g) {
  std::unique_ptr<TGraphic> copy = NewGraphic(g.ClassType());
  return copy ? std::move(copy) : NewBitmap();
}
}  // namespace

std::unique_ptr<TGraphic> NewGraphic(TGraphicClass cls) {
  if (cls == TBitmap::StaticClass()) return NewBitmap();
  if (cls == TJPEGImage::StaticClass()) return NewJpeg();
  if (!cls || !cls->InheritsFrom(TGraphic::StaticClass())) return nullptr;
  return std::unique_ptr<TGraphic>(static_cast<TGraphic*>(cls->Create()));
}

const std::vector<TPictureFormat>& RegisteredPictureFormats() {
  static const std::vector<TPictureFormat> formats{
      {"bmp", "Bitmaps", TBitmap::StaticClass()},
      {"jpg", "JPEG Image File", TJPEGImage::StaticClass()},
      {"jpeg", "JPEG Image File", TJPEGImage::StaticClass()},
  };
  return formats;
}

TGraphicClass GraphicClassForExtension(const std::string& extension) {
  const std::string e = LowerExtension(extension);
  for (const TPictureFormat& f : RegisteredPictureFormats())
    if (f.Extension == e) return f.GraphicClass;
  return nullptr;
}

// ---------------------------------------------------------------- TPicture

TPicture::TPicture() = default;
TPicture::~TPicture() = default;

void TPicture::Changed() {
  if (OnChange) OnChange(this);
}

void TPicture::Attach() {
  if (FGraphic) FGraphic->OnChange = [this](TObject*) { Changed(); };
}

void TPicture::TakeGraphic(std::unique_ptr<TGraphic> graphic) {
  FGraphic = std::move(graphic);
  Attach();
  Changed();
}

void TPicture::SetGraphic(const TGraphic* graphic) {
  if (graphic == FGraphic.get() && graphic) return;
  std::unique_ptr<TGraphic> copy;
  if (graphic) {
    copy = NewGraphicLike(*graphic);
    copy->Assign(const_cast<TGraphic*>(graphic));
  }
  TakeGraphic(std::move(copy));
}

TBitmap& TPicture::Bitmap() {
  if (!dynamic_cast<TBitmap*>(FGraphic.get())) TakeGraphic(std::make_unique<TBitmap>());
  return static_cast<TBitmap&>(*FGraphic);
}

void TPicture::LoadFromFile(const std::string& fileName) {
  const std::string ext = FileExtension(fileName);
  const TGraphicClass cls = GraphicClassForExtension(ext);
  if (!cls) throw EInvalidGraphic("Unknown picture file extension (." + ext + ")");
  std::unique_ptr<TGraphic> g = NewGraphic(cls);
  g->LoadFromFile(fileName);
  TakeGraphic(std::move(g));
}

void TPicture::SaveToFile(const std::string& fileName) const {
  if (!FGraphic) RefuseEmptySave(fileName);
  FGraphic->SaveToFile(fileName);
}

void TPicture::Assign(TPersistent* source) {
  if (source == nullptr) {
    SetGraphic(nullptr);
    return;
  }
  if (auto* p = dynamic_cast<TPicture*>(source)) {
    if (p != this) SetGraphic(p->Graphic());
    return;
  }
  if (auto* g = dynamic_cast<TGraphic*>(source)) {
    SetGraphic(g);
    return;
  }
  TPersistent::Assign(source);
}

void TPicture::AssignTo(TPersistent* dest) {
  if (FGraphic && dest && FGraphic->InheritsFrom(dest->ClassType())) {
    dest->Assign(FGraphic.get());
    return;
  }
  TPersistent::AssignTo(dest);
}

QImage RenderGraphic(const TGraphic& graphic, int width, int height, QImage::Format format) {
  QImage out(width, height, format);
  if (out.isNull()) return out;
  out.fill(Qt::black);
  if (graphic.Empty()) return out;
  QPainter p(&out);
  p.setCompositionMode(QPainter::CompositionMode_Source);
  p.drawImage(QRect(0, 0, width, height), Opaque(graphic.ToImage()));
  return out;
}
