// Tests of JPEG coding: round trips, grey and CMYK pictures, damaged streams, and the JPEG image.
#include "platform/Graphics.h"
#include "platform/Jpeg.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>

#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

QImage Quadrants() {
  // 32x32: red, green / blue, white quadrants (flat areas survive compression).
  QImage img(32, 32, QImage::Format_RGB888);
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x)
      img.setPixel(
          x, y,
          y < 16 ? (x < 16 ? qRgb(255, 0, 0) : qRgb(0, 255, 0)) : (x < 16 ? qRgb(0, 0, 255) : qRgb(255, 255, 255)));
  return img;
}

std::vector<uint8_t> Encoded(const QImage& img, int quality = 95) {
  std::vector<uint8_t> out;
  std::string error;
  EXPECT_TRUE(jpeg::EncodeJpeg(img, quality, out, error)) << error;
  return out;
}

bool Near(QRgb a, QRgb b, int tol = 24) {
  return std::abs(qRed(a) - qRed(b)) <= tol && std::abs(qGreen(a) - qGreen(b)) <= tol &&
         std::abs(qBlue(a) - qBlue(b)) <= tol;
}

}  // namespace

TEST(Jpeg, EncodeDecodeKeepsColoursAndSize) {
  const std::vector<uint8_t> data = Encoded(Quadrants());
  QImage img;
  std::string error;
  ASSERT_TRUE(jpeg::DecodeJpeg(data.data(), data.size(), img, error)) << error;
  EXPECT_EQ(img.size(), QSize(32, 32));
  EXPECT_EQ(img.format(), QImage::Format_RGB888);
  EXPECT_TRUE(Near(img.pixel(4, 4), qRgb(255, 0, 0)));
  EXPECT_TRUE(Near(img.pixel(27, 4), qRgb(0, 255, 0)));
  EXPECT_TRUE(Near(img.pixel(4, 27), qRgb(0, 0, 255)));
  EXPECT_TRUE(Near(img.pixel(27, 27), qRgb(255, 255, 255)));
}

TEST(Jpeg, GreyPicturesComeOutAsRgb) {
  QImage grey(16, 8, QImage::Format_Grayscale8);
  grey.fill(200);
  QBuffer buf;
  buf.open(QIODevice::WriteOnly);
  ASSERT_TRUE(grey.save(&buf, "JPG"));
  const QByteArray& bytes = buf.data();
  QImage img;
  std::string error;
  ASSERT_TRUE(jpeg::DecodeJpeg(reinterpret_cast<const uint8_t*>(bytes.data()), size_t(bytes.size()), img, error))
      << error;
  EXPECT_TRUE(Near(img.pixel(3, 3), qRgb(200, 200, 200), 3));
}

TEST(Jpeg, AdobeCmykPicturesComeOutAsRgb) {
  // 16x16 red as Adobe writes CMYK: inverted ink values, with its marker.
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long length = 0;
  jpeg_mem_dest(&cinfo, &buffer, &length);
  cinfo.image_width = 16, cinfo.image_height = 16, cinfo.input_components = 4, cinfo.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 95, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  uint8_t row[16 * 4];
  for (int x = 0; x < 16; ++x) row[4 * x] = 255, row[4 * x + 1] = 0, row[4 * x + 2] = 0, row[4 * x + 3] = 255;
  while (cinfo.next_scanline < 16) {
    JSAMPROW rows[1] = {row};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  QImage img;
  std::string error;
  const bool ok = jpeg::DecodeJpeg(buffer, length, img, error);
  std::free(buffer);
  ASSERT_TRUE(ok) << error;
  EXPECT_TRUE(Near(img.pixel(8, 8), qRgb(255, 0, 0), 8)) << std::hex << img.pixel(8, 8);
}

TEST(Jpeg, DamagedStreamsAreErrorsNotCrashes) {
  const std::vector<uint8_t> good = Encoded(Quadrants());
  QImage img;
  std::string error;
  // Truncated anywhere after the header: libjpeg would pad with grey; we refuse.
  for (size_t cut : {good.size() / 2, good.size() - 4, size_t(200), size_t(20), size_t(3)}) {
    error.clear();
    EXPECT_FALSE(jpeg::DecodeJpeg(good.data(), cut, img, error)) << cut;
    EXPECT_FALSE(error.empty());
  }
  std::vector<uint8_t> garbage(good.begin(), good.begin() + 2);
  garbage.resize(500, 0x5A);
  EXPECT_FALSE(jpeg::DecodeJpeg(garbage.data(), garbage.size(), img, error));
  EXPECT_FALSE(jpeg::DecodeJpeg(nullptr, 0, img, error));

  // A frame header claiming 60000 x 60000 pixels.
  std::vector<uint8_t> huge = good;
  for (size_t i = 0; i + 8 < huge.size(); ++i)
    if (huge[i] == 0xFF && (huge[i + 1] == 0xC0 || huge[i + 1] == 0xC2)) {
      huge[i + 5] = 0xEA, huge[i + 6] = 0x60, huge[i + 7] = 0xEA, huge[i + 8] = 0x60;
      break;
    }
  error.clear();
  EXPECT_FALSE(jpeg::DecodeJpeg(huge.data(), huge.size(), img, error));
  EXPECT_NE(error.find("too large"), std::string::npos) << error;
  EXPECT_TRUE(img.isNull());
}

// A complete picture spends at least a bit on every 8x8 block; a header claiming more blocks
// than the data has bits is refused before libjpeg allocates the picture (it would fill the
// blocks the data lacks with grey). The cheapest pictures the encoder makes still pass.
TEST(Jpeg, HeadersClaimingMoreBlocksThanTheDataHasBitsAreRefused) {
  QImage img;
  std::string error;
  QImage flat(2048, 1024, QImage::Format_RGB888);
  flat.fill(qRgb(90, 90, 90));
  const std::vector<uint8_t> cheap = Encoded(flat, 1);
  // About 8 bits a block: within a small factor of the bound.
  ASSERT_LT(cheap.size() * 8, size_t(256 * 128) * 16) << "no longer a cheap picture";
  ASSERT_TRUE(jpeg::DecodeJpeg(cheap.data(), cheap.size(), img, error)) << error;
  EXPECT_EQ(img.size(), QSize(2048, 1024));

  // The 32 x 32 picture's data under a header claiming 4,000 x 4,000 pixels (250,000 blocks).
  std::vector<uint8_t> claim = Encoded(Quadrants());
  ASSERT_LT(claim.size() * 8, 250000u);
  bool patched = false;
  for (size_t i = 0; i + 8 < claim.size() && !patched; ++i)
    if (claim[i] == 0xFF && claim[i + 1] == 0xC0) {
      claim[i + 5] = 0x0F, claim[i + 6] = 0xA0, claim[i + 7] = 0x0F, claim[i + 8] = 0xA0;
      patched = true;
    }
  ASSERT_TRUE(patched);
  img = QImage();
  EXPECT_FALSE(jpeg::DecodeJpeg(claim.data(), claim.size(), img, error));
  EXPECT_EQ(error, "JPEG data of " + std::to_string(claim.size()) + " bytes cannot code 4000x4000 pixels");
  EXPECT_TRUE(img.isNull());
  TJPEGImage jpg;
  EXPECT_THROW(jpg.LoadFromBytes(claim.data(), claim.size()), EInvalidGraphic);
  EXPECT_TRUE(jpg.Empty());
}

TEST(Jpeg, ImageKeepsItsStreamAndDrawsIntoBitmaps) {
  const std::vector<uint8_t> data = Encoded(Quadrants());
  TJPEGImage jpg;
  jpg.LoadFromBytes(data.data(), data.size());
  EXPECT_EQ(jpg.Width(), 32);
  TMemoryStream out;
  jpg.SaveToStream(out);
  ASSERT_EQ(out.Size(), int64_t(data.size()));
  EXPECT_EQ(0, std::memcmp(out.Memory(), data.data(), data.size()));

  TBitmap bmp;
  bmp.Assign(&jpg);
  EXPECT_EQ(bmp.PixelFormat(), pf24bit);
  EXPECT_EQ(bmp.Width(), 32);
  const uint8_t* row = bmp.ScanLine(4);
  EXPECT_GT(row[4 * 3 + 2], 220);  // B, G, R: red
  EXPECT_LT(row[4 * 3 + 0], 40);

  TJPEGImage target;
  target.LoadFromBytes(data.data(), data.size());
  std::vector<uint8_t> cut(data.begin(), data.begin() + long(data.size() / 2));
  EXPECT_THROW(target.LoadFromBytes(cut.data(), cut.size()), EInvalidGraphic);
  EXPECT_EQ(target.Width(), 32);
}
