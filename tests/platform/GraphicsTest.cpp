// Tests of pictures, bitmaps and the canvas: BMP round trips and damaged files, resizing, shapes,
// drawing, loading by extension, and text.
#include "platform/Graphics.h"
#include "platform/Jpeg.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QTemporaryDir>

#include <cstring>
#include <fstream>

namespace {

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

// A 24-bit 3x2 bitmap: top row red, green, blue; bottom row white, black, grey.
std::unique_ptr<TBitmap> SampleBitmap() {
  auto p = std::make_unique<TBitmap>(3, 2, pf24bit);
  TBitmap& b = *p;
  const uint8_t top[] = {0, 0, 255, 0, 255, 0, 255, 0, 0};
  const uint8_t bottom[] = {255, 255, 255, 0, 0, 0, 128, 128, 128};
  std::memcpy(b.ScanLine(0), top, 9);
  std::memcpy(b.ScanLine(1), bottom, 9);
  return p;
}

std::string WriteFile(const QTemporaryDir& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
  const std::string path = dir.filePath(QString::fromStdString(name)).toStdString();
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
  return path;
}

// A run-length BMP (RLE8, or RLE4 when `bits` is 4) claiming width x height pixels, with a
// two-colour palette (black, red) and the given codes.
std::vector<uint8_t> RunLengthBmp(int width, int height, const std::vector<uint8_t>& codes, int bits = 8) {
  std::vector<uint8_t> f(14 + 40 + 8, 0);
  f[0] = 'B', f[1] = 'M';
  Put32(f, 10, uint32_t(f.size()));
  Put32(f, 14, 40);
  Put32(f, 18, uint32_t(width));
  Put32(f, 22, uint32_t(height));
  f[26] = 1, f[28] = uint8_t(bits);
  Put32(f, 30, bits == 8 ? 1 : 2);
  Put32(f, 34, uint32_t(codes.size()));
  Put32(f, 46, 2);
  f[54 + 4 + 2] = 255;  // palette entry 1: red (B, G, R, 0)
  f.resize(f.size() + codes.size());
  std::copy(codes.begin(), codes.end(), f.end() - std::ptrdiff_t(codes.size()));
  Put32(f, 2, uint32_t(f.size()));
  return f;
}

// n end-of-line codes, then end of bitmap: rows left undefined, as an encoder may write them.
std::vector<uint8_t> EmptyRows(int n) {
  std::vector<uint8_t> codes;
  for (int i = 0; i < n; ++i) codes.insert(codes.end(), {0, 0});
  codes.insert(codes.end(), {0, 1});
  return codes;
}

}  // namespace

TEST(GraphicsBmp, RoundTripKeepsPixelsAndWritesBottomRowFirst) {
  auto p = SampleBitmap();
  TBitmap& b = *p;
  const std::vector<uint8_t> bytes = b.SaveToBytes();
  // 3 pixels * 3 bytes padded to 12 per row, bottom row first in the file.
  ASSERT_EQ(bytes.size(), 54u + 24u);
  EXPECT_EQ(bytes[54], 255);           // white, first pixel of the bottom row
  EXPECT_EQ(bytes[54 + 12 + 2], 255);  // red of the top row's first pixel (B, G, R)

  TBitmap c;
  c.LoadFromBytes(bytes.data(), bytes.size());
  EXPECT_EQ(c.PixelFormat(), pf24bit);
  ASSERT_EQ(c.Width(), 3);
  ASSERT_EQ(c.Height(), 2);
  EXPECT_EQ(0, std::memcmp(c.ScanLine(0), b.ScanLine(0), 9));
  EXPECT_EQ(0, std::memcmp(c.ScanLine(1), b.ScanLine(1), 9));

  TBitmap a(2, 1, pf32bit);
  const uint8_t px[] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::memcpy(a.ScanLine(0), px, 8);
  const std::vector<uint8_t> abytes = a.SaveToBytes();
  TBitmap d;
  d.LoadFromBytes(abytes.data(), abytes.size());
  EXPECT_EQ(d.PixelFormat(), pf32bit);
  EXPECT_EQ(0, std::memcmp(d.ScanLine(0), px, 8));  // B, G, R and the alpha byte of each pixel
}

// 32-bit files keep their alpha bytes, bottom-up or top-down; a file whose alpha bytes are all 0
// (written by a program that leaves them unused) reads as opaque.
TEST(GraphicsBmp, ThirtyTwoBitFilesKeepTheirAlpha) {
  TBitmap a(2, 2, pf32bit);
  const uint8_t top[] = {10, 20, 30, 77, 11, 21, 31, 0};
  const uint8_t bottom[] = {12, 22, 32, 255, 13, 23, 33, 128};
  std::memcpy(a.ScanLine(0), top, 8);
  std::memcpy(a.ScanLine(1), bottom, 8);
  std::vector<uint8_t> bytes = a.SaveToBytes();
  TBitmap b;
  b.LoadFromBytes(bytes.data(), bytes.size());
  EXPECT_EQ(0, std::memcmp(b.ScanLine(0), top, 8));
  EXPECT_EQ(0, std::memcmp(b.ScanLine(1), bottom, 8));

  // The same pixels top-down: rows in file order, a negative height.
  std::vector<uint8_t> topDown = bytes;
  Put32(topDown, 22, uint32_t(-2));
  std::memcpy(&topDown[54], top, 8);
  std::memcpy(&topDown[62], bottom, 8);
  TBitmap c;
  c.LoadFromBytes(topDown.data(), topDown.size());
  EXPECT_EQ(0, std::memcmp(c.ScanLine(0), top, 8));
  EXPECT_EQ(0, std::memcmp(c.ScanLine(1), bottom, 8));

  for (size_t i = 54 + 3; i < bytes.size(); i += 4) bytes[i] = 0;
  TBitmap unused;
  unused.LoadFromBytes(bytes.data(), bytes.size());
  EXPECT_EQ(unused.PixelFormat(), pf32bit);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 2; ++x) EXPECT_EQ(unused.ScanLine(y)[x * 4 + 3], 255) << x << ", " << y;
  EXPECT_EQ(unused.ScanLine(0)[0], 10);
}

// A picture within MaxPictureBytes loads whatever QImage's own allocation limit says (a lower
// limit stands here for its default of 128 MB against an 8,192 x 8,192 picture's 256 MB); one
// past it is refused before anything is allocated, with a message that says why.
TEST(GraphicsBmp, PicturesWithinTheBoundLoadAndLargerOnesAreRefusedSaying) {
  const int before = QImageReader::allocationLimit();
  QImageReader::setAllocationLimit(1);
  TBitmap big(1024, 512, pf24bit);
  big.Canvas().SetPixel(1000, 500, clRed);
  const std::vector<uint8_t> bytes = big.SaveToBytes();
  TBitmap b;
  EXPECT_NO_THROW(b.LoadFromBytes(bytes.data(), bytes.size()));
  QImageReader::setAllocationLimit(before);
  ASSERT_EQ(b.Width(), 1024);
  EXPECT_EQ(b.Canvas().Pixel(1000, 500), clRed);

  for (const auto& [w, h] : {std::pair{8193, 8192}, std::pair{32768, 2049}}) {
    // Run-length codes leaving every row undefined: small files claiming that many pixels.
    const std::vector<uint8_t> header = RunLengthBmp(w, h, EmptyRows(int(int64_t(w) * h / 8192)));
    const std::string why = "Bitmap image is not valid: " + std::to_string(w) + " x " + std::to_string(h) +
                            " pixels take more than the 256 MB a picture may take";
    try {
      TBitmap::CheckedSize(header.data(), header.size());
      ADD_FAILURE() << w << " x " << h;
    } catch (const EInvalidGraphic& e) {
      EXPECT_EQ(e.Message(), why);
    }
    EXPECT_THROW(b.LoadFromBytes(header.data(), header.size()), EInvalidGraphic);
    EXPECT_EQ(b.Width(), 1024);
  }
  const std::vector<uint8_t> atTheBound = RunLengthBmp(8192, 8192, EmptyRows(8192));
  EXPECT_EQ(TBitmap::CheckedSize(atTheBound.data(), atTheBound.size()).cx, 8192);
}

TEST(GraphicsBmp, ReadsTopDownAndPalettedFiles) {
  // 2x2, 8 bits per pixel with a two-entry palette, top-down (negative height).
  std::vector<uint8_t> f(14 + 40 + 8 + 8, 0);
  f[0] = 'B', f[1] = 'M';
  Put32(f, 2, uint32_t(f.size()));
  Put32(f, 10, 14 + 40 + 8);
  Put32(f, 14, 40);
  Put32(f, 18, 2);
  Put32(f, 22, uint32_t(-2));
  f[26] = 1, f[28] = 8;
  Put32(f, 46, 2);
  const uint8_t palette[] = {0, 0, 255, 0, 255, 255, 255, 0};  // red, white (B, G, R, 0)
  std::memcpy(&f[54], palette, 8);
  const uint8_t rows[] = {0, 1, 0, 0, 1, 1, 0, 0};  // top row red, white; bottom row white, white
  std::memcpy(&f[62], rows, 8);
  TBitmap b;
  b.LoadFromBytes(f.data(), f.size());
  ASSERT_EQ(b.Height(), 2);
  EXPECT_EQ(b.PixelFormat(), pf24bit);
  EXPECT_EQ(b.Canvas().Pixel(0, 0), clRed);
  EXPECT_EQ(b.Canvas().Pixel(1, 0), clWhite);
  EXPECT_EQ(b.Canvas().Pixel(0, 1), clWhite);
}

TEST(GraphicsBmp, RefusesDamagedFilesAndKeepsThePicture) {
  const std::vector<uint8_t> good = SampleBitmap()->SaveToBytes();
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
  };
  const Case cases[] = {
      {"empty", [](auto& b) { b.clear(); }},
      {"not BM", [](auto& b) { b[0] = 'X'; }},
      {"truncated pixels", [](auto& b) { b.resize(b.size() - 5); }},
      {"header only", [](auto& b) { b.resize(30); }},
      {"zero width", [](auto& b) { Put32(b, 18, 0); }},
      {"huge width", [](auto& b) { Put32(b, 18, 0x7FFFFFFF); }},
      {"huge negative height", [](auto& b) { Put32(b, 22, 0x80000000u); }},
      {"unknown header size", [](auto& b) { Put32(b, 14, 41); }},
      {"pixel offset past the end", [](auto& b) { Put32(b, 10, 0xFFFFFF00u); }},
      {"pixel offset inside the header", [](auto& b) { Put32(b, 10, 20); }},
      {"unknown compression", [](auto& b) { Put32(b, 30, 9); }},
      {"bit count 7", [](auto& b) { b[28] = 7; }},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = good;
    c.damage(bytes);
    auto p = SampleBitmap();
    TBitmap& target = *p;
    EXPECT_THROW(target.LoadFromBytes(bytes.data(), bytes.size()), EInvalidGraphic) << c.what;
    EXPECT_EQ(target.Width(), 3) << c.what;
    EXPECT_EQ(target.Canvas().Pixel(0, 0), clRed) << c.what;
  }
}

// Run-length codes make at most 255 pixels per two bytes, and an end-of-line code leaves the rest
// of a row undefined: a file may claim at most 4,096 pixels per byte of codes, so that rows of up
// to 8,192 pixels ended by a code always pass, and a small file claiming a huge picture is refused
// before the picture is allocated.
TEST(GraphicsBmp, RunLengthFilesClaimingMorePixelsThanTheirCodesCanMakeAreRefused) {
  // Bottom row: 3 red then 1 black; top row: 4 black. Every pixel coded.
  const std::vector<uint8_t> coded = RunLengthBmp(4, 2, {3, 1, 1, 0, 0, 0, 4, 0, 0, 1});
  TBitmap b;
  b.LoadFromBytes(coded.data(), coded.size());
  ASSERT_EQ(b.Width(), 4);
  EXPECT_EQ(b.Canvas().Pixel(0, 1), clRed);
  EXPECT_EQ(b.Canvas().Pixel(3, 1), clBlack);
  EXPECT_EQ(b.Canvas().Pixel(0, 0), clBlack);

  // 17 rows of 8,192 from 34 bytes of codes: exactly 4,096 pixels a byte, accepted.
  const std::vector<uint8_t> sparse = RunLengthBmp(8192, 17, EmptyRows(16));
  const TSize claimed = TBitmap::CheckedSize(sparse.data(), sparse.size());
  EXPECT_EQ(claimed.cx, 8192);
  EXPECT_EQ(claimed.cy, 17);
  b.LoadFromBytes(sparse.data(), sparse.size());
  EXPECT_EQ(b.Height(), 17);

  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    const char* message;
  };
  const Case refused[] = {
      {"one row more than its codes allow", RunLengthBmp(8192, 18, EmptyRows(16)),
       "34 bytes of run-length codes cannot make 8192 x 18 pixels"},
      {"1 KB claiming 5,600 x 5,600", RunLengthBmp(5600, 5600, {0, 0, 0, 1}),
       "4 bytes of run-length codes cannot make 5600 x 5600 pixels"},
      {"4-bit codes claiming 32,768 x 32,768", RunLengthBmp(32768, 32768, std::vector<uint8_t>(1000, 0x11), 4),
       "1000 bytes of run-length codes cannot make 32768 x 32768 pixels"},
  };
  for (const Case& c : refused) {
    auto p = SampleBitmap();
    try {
      p->LoadFromBytes(c.file.data(), c.file.size());
      ADD_FAILURE() << c.what << ": loaded";
    } catch (const EInvalidGraphic& e) {
      EXPECT_EQ(e.Message(), std::string("Bitmap image is not valid: ") + c.message) << c.what;
    }
    EXPECT_THROW(TBitmap::CheckedSize(c.file.data(), c.file.size()), EInvalidGraphic) << c.what;
    EXPECT_EQ(p->Width(), 3) << c.what;
    EXPECT_EQ(p->Canvas().Pixel(0, 0), clRed) << c.what;
  }
}

TEST(GraphicsBmp, StreamHoldsSeveralPicturesInARow) {
  TMemoryStream s;
  SampleBitmap()->SaveToStream(s);
  TBitmap(5, 4, pf32bit).SaveToStream(s);
  s.SetPosition(0);
  TBitmap a, b;
  a.LoadFromStream(s);
  b.LoadFromStream(s);
  EXPECT_EQ(a.Width(), 3);
  EXPECT_EQ(b.Width(), 5);
  EXPECT_EQ(b.PixelFormat(), pf32bit);
  EXPECT_EQ(s.Position(), s.Size());
  TBitmap c;
  EXPECT_THROW(c.LoadFromStream(s), EInvalidGraphic);
}

TEST(GraphicsBitmap, ResizeKeepsPixelsAndWhitensNewOnes) {
  auto p = SampleBitmap();
  TBitmap& b = *p;
  b.SetWidth(5);
  EXPECT_EQ(b.Canvas().Pixel(0, 0), clRed);
  EXPECT_EQ(b.Canvas().Pixel(4, 1), clWhite);
  b.SetHeight(0);
  EXPECT_TRUE(b.Empty());
  EXPECT_THROW(b.ScanLine(0), EInvalidGraphic);
}

TEST(GraphicsCanvas, ShapesUseBrushAndPen) {
  TBitmap b(10, 10, pf24bit);
  TCanvas& c = b.Canvas();
  c.Brush().SetColor(clBlue);
  c.FillRect(Rect(0, 0, 10, 10));
  EXPECT_EQ(c.Pixel(9, 9), clBlue);
  c.Brush().SetColor(clLime);
  c.Pen().SetColor(clRed);
  c.Rectangle(2, 2, 8, 8);
  EXPECT_EQ(c.Pixel(2, 2), clRed);   // frame
  EXPECT_EQ(c.Pixel(7, 5), clRed);   // right edge is x2 - 1
  EXPECT_EQ(c.Pixel(5, 5), clLime);  // inside
  EXPECT_EQ(c.Pixel(8, 5), clBlue);  // outside
  c.Brush().SetStyle(bsClear);
  c.Pen().SetColor(clWhite);
  c.Rectangle(0, 0, 10, 10);
  EXPECT_EQ(c.Pixel(5, 5), clLime);  // a clear brush leaves the inside alone
  c.FillRect(Rect(0, 0, 10, 10));
  EXPECT_EQ(c.Pixel(5, 5), clLime);

  int changes = 0;
  b.OnChange = [&](TObject*) { ++changes; };
  c.SetPixel(1, 1, clBlack);
  EXPECT_EQ(changes, 1);
}

TEST(GraphicsCanvas, DrawCopiesAndStretchesWithoutBlending) {
  TBitmap src(2, 1, pf32bit);
  const uint8_t px[] = {0, 0, 255, 0, 255, 0, 0, 0};  // red and blue, both fully transparent
  std::memcpy(src.ScanLine(0), px, 8);
  TBitmap dst(4, 2, pf24bit);
  dst.Canvas().Draw(1, 1, src);
  EXPECT_EQ(dst.Canvas().Pixel(1, 1), clRed);
  EXPECT_EQ(dst.Canvas().Pixel(2, 1), clBlue);
  EXPECT_EQ(dst.Canvas().Pixel(0, 0), clWhite);
  dst.Canvas().StretchDraw(Rect(0, 0, 4, 2), src);
  EXPECT_EQ(dst.Canvas().Pixel(1, 1), clRed);
  EXPECT_EQ(dst.Canvas().Pixel(2, 0), clBlue);
}

TEST(GraphicsPicture, LoadsByExtensionAndKeepsItsGraphicOnFailure) {
  QTemporaryDir dir;
  const std::string bmp = WriteFile(dir, "label.BMP", SampleBitmap()->SaveToBytes());
  const std::string bad = WriteFile(dir, "broken.bmp", {'B', 'M', 1, 2, 3});
  TPicture pic;
  int changes = 0;
  pic.OnChange = [&](TObject*) { ++changes; };
  pic.LoadFromFile(bmp);
  ASSERT_NE(pic.Graphic(), nullptr);
  EXPECT_EQ(pic.Graphic()->ClassName(), "TBitmap");
  EXPECT_EQ(pic.Width(), 3);
  EXPECT_EQ(changes, 1);

  EXPECT_THROW(pic.LoadFromFile(bad), EInvalidGraphic);
  EXPECT_THROW(pic.LoadFromFile(dir.filePath("missing.bmp").toStdString()), EFOpenError);
  try {
    pic.LoadFromFile(dir.filePath("notes.txt").toStdString());
    FAIL() << "no error for an unknown extension";
  } catch (const EInvalidGraphic& e) {
    EXPECT_EQ(e.Message(), "Unknown picture file extension (.txt)");
  }
  EXPECT_EQ(pic.Width(), 3);
  EXPECT_EQ(changes, 1);

  // Drawing on the held bitmap reaches the picture's change event.
  pic.Bitmap().Canvas().SetPixel(0, 0, clBlack);
  EXPECT_EQ(changes, 2);

  TPicture copy;
  copy.Assign(&pic);
  EXPECT_EQ(copy.Width(), 3);
  EXPECT_NE(copy.Graphic(), pic.Graphic());
  copy.Assign(nullptr);
  EXPECT_EQ(copy.Graphic(), nullptr);
}

// A picture is written in the format its file's extension names, so that it loads again by that
// name; an empty one is refused and leaves what the file held.
TEST(GraphicsPicture, SavedInTheFormatItsExtensionNamesAndNeverEmpty) {
  QTemporaryDir dir;
  auto path = [&dir](const char* name) { return dir.filePath(name).toStdString(); };
  auto head = [](const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::string h(2, '\0');
    in.read(h.data(), 2);
    return h;
  };
  TPicture jpeg;
  {
    TJPEGImage j;
    j.Assign(SampleBitmap().get());
    jpeg.SetGraphic(&j);
  }
  jpeg.SaveToFile(path("x.bmp"));
  EXPECT_EQ(head(path("x.bmp")), "BM");
  TPicture back;
  back.LoadFromFile(path("x.bmp"));
  EXPECT_EQ(back.Graphic()->ClassName(), "TBitmap");
  EXPECT_EQ(back.Width(), 3);
  EXPECT_EQ(back.Height(), 2);

  SampleBitmap()->SaveToFile(path("y.JPEG"));
  EXPECT_EQ(head(path("y.JPEG")), "\xFF\xD8");
  back.LoadFromFile(path("y.JPEG"));
  EXPECT_EQ(back.Graphic()->ClassName(), "TJPEGImage");
  EXPECT_EQ(back.Width(), 3);

  // A name that no picture reads back (an extension that names no format, or none): refused with
  // the name, and nothing written.
  for (const char* name : {"z.dat", "shot.png", "shot"}) {
    try {
      SampleBitmap()->SaveToFile(path(name));
      ADD_FAILURE() << name << " saved";
    } catch (const EInvalidGraphic& e) {
      EXPECT_NE(e.Message().find(path(name)), std::string::npos) << e.Message();
    }
    EXPECT_THROW(jpeg.SaveToFile(path(name)), EInvalidGraphic) << name;
    EXPECT_FALSE(QFile::exists(dir.filePath(name))) << name;
  }

  TPicture empty;
  try {
    empty.SaveToFile(path("x.bmp"));
    ADD_FAILURE() << "an empty picture saved";
  } catch (const EInvalidGraphic& e) {
    EXPECT_EQ(e.Message(), "Cannot save an empty picture as " + path("x.bmp"));
  }
  empty.Bitmap();  // a graphic of no size
  EXPECT_THROW(empty.SaveToFile(path("x.bmp")), EInvalidGraphic);
  EXPECT_THROW(TJPEGImage().SaveToFile(path("x.bmp")), EInvalidGraphic);
  back.LoadFromFile(path("x.bmp"));
  EXPECT_EQ(back.Width(), 3);
  EXPECT_FALSE(QFile::exists(dir.filePath("never.jpg")));
  EXPECT_THROW(TBitmap().SaveToFile(path("never.jpg")), EInvalidGraphic);
  EXPECT_FALSE(QFile::exists(dir.filePath("never.jpg")));
}

TEST(GraphicsPicture, FileNamesMayDifferInCaseAndUseBackslashes) {
  // Stored names spell the pictures folder "Images" or "images" and use "\\".
  QTemporaryDir dir;
  ASSERT_TRUE(QDir(dir.path()).mkdir("Images"));
  const std::string root = dir.path().toStdString();
  SampleBitmap()->SaveToFile(root + "\\images\\John Smith.bmp");
  EXPECT_TRUE(QFile::exists(dir.filePath("Images/John Smith.bmp")));
  TPicture pic;
  pic.LoadFromFile(root + "/IMAGES/john smith.BMP");
  EXPECT_EQ(pic.Width(), 3);

  std::vector<uint8_t> jpeg;
  std::string error;
  QImage green(8, 8, QImage::Format_RGB888);
  green.fill(qRgb(0, 255, 0));
  ASSERT_TRUE(jpeg::EncodeJpeg(green, 90, jpeg, error)) << error;
  WriteFile(dir, "Images/Asphalt3.jpg", jpeg);
  pic.LoadFromFile(root + "\\images\\Asphalt3.jpg");
  ASSERT_NE(pic.Graphic(), nullptr);
  EXPECT_EQ(pic.Graphic()->ClassName(), "TJPEGImage");

  // A picture hands its graphic to a graphic of the same class.
  TJPEGImage copy;
  copy.Assign(&pic);
  EXPECT_EQ(copy.Width(), 8);
  TPicture other;
  other.Assign(&pic);
  EXPECT_EQ(other.Graphic()->ClassName(), "TJPEGImage");
}

TEST(GraphicsCanvas, TextNeedsAGuiApplication) {
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) GTEST_SKIP() << "GUI application present";
  TBitmap b(8, 8, pf24bit);
  EXPECT_THROW(b.Canvas().TextWidth("x"), EInvalidGraphic);
  EXPECT_THROW(b.Canvas().TextOut(0, 0, "x"), EInvalidGraphic);
}

TEST(GL_GraphicsCanvas, TextIsMeasuredAndDrawnInTheFontColour) {
  TBitmap b(120, 40, pf24bit);
  TCanvas& c = b.Canvas();
  c.Font().SetName("Arial");
  c.Font().SetSize(21);
  c.Font().SetColor(clWhite);
  c.Brush().SetColor(clBlack);
  c.FillRect(Rect(0, 0, 120, 40));
  const int w = c.TextWidth("8080"), h = c.TextHeight("8080");
  // 21 points at 96 dpi are 28 pixels; the cell is somewhat taller.
  EXPECT_GE(h, 28);
  EXPECT_LT(h, 40);
  EXPECT_GT(w, 30);
  EXPECT_LT(c.TextWidth("80"), w);
  c.Brush().SetColor(clRed);
  c.TextOut(4, 2, "8080");
  int white = 0;
  for (int y = 2; y < 2 + h; ++y)
    for (int x = 4; x < 4 + w; ++x) white += c.Pixel(x, y) == clWhite;
  EXPECT_GT(white, 20);
  EXPECT_EQ(c.Pixel(4, 2), clRed);            // the cell is filled with the brush
  EXPECT_EQ(c.Pixel(4 + w + 2, 2), clBlack);  // and nothing beyond it

  // Clipped: a glyph cell wider than its rectangle draws nothing outside.
  c.Brush().SetColor(clBlack);
  c.FillRect(Rect(0, 0, 120, 40));
  c.TextRect(Rect(10, 0, 20, 40), 0, 0, "WWWW");
  int outside = 0, inside = 0;
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 120; ++x) (x >= 10 && x < 20 ? inside : outside) += c.Pixel(x, y) != clBlack;
  EXPECT_EQ(outside, 0);
  EXPECT_GT(inside, 0);

  // Bytes that are not UTF-8 are single Latin-1 characters, as glyph ranges
  // up to 255 and texts of older files have them.
  EXPECT_EQ(c.TextWidth("\xE9"), c.TextWidth("\xC3\xA9"));  // e acute
  EXPECT_EQ(c.TextWidth("caf\xE9"), c.TextWidth("caf\xC3\xA9"));
}
