// RGBA bitmaps: sizing, conversion from pictures, pixel operations and texture upload with mipmaps.
#include "Source/Materials/GLGraphics.h"

#include "Source/Base/OpenGL1x.h"
#include "Source/Scene/GLContext.h"

#include <QImage>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

constexpr GLenum kTextureRectangleNV = 0x84F5;

uint8_t Clamp255(double v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

// One input row or column that a box of the rescale covers, and how much of it.
struct TBoxTap {
  int index;
  float percent;
};

// The input rows (or columns) under each output row when `in` grows to `out`,
// stepped and weighted exactly as the GLU box filter does (single precision,
// wrapping at the edges), so that the picture comes out the same.
void EnlargeTaps(int in, int out, std::vector<int>& first, std::vector<TBoxTap>& taps) {
  const float conv = float(in) / float(out);
  first.assign(size_t(out) + 1, 0);
  taps.clear();
  for (int i = 0; i < out; ++i) {
    first[size_t(i)] = int(taps.size());
    const float centre = float(conv * (i + 0.5));
    const float high = float(centre + 0.5), low = float(centre - 0.5);
    float y = low;
    int yint = int(std::floor(y));
    while (y < high) {
      const float percent = high < float(yint + 1) ? high - y : float(yint + 1) - y;
      taps.push_back({(yint + in) % in, percent});
      ++yint;
      y = float(yint);
    }
  }
  first[size_t(out)] = int(taps.size());
}

// Whether every input pixel under one output pixel holds the same value. Such a
// pixel comes out as that value: the weighted sum is the value times the area
// within a few float roundings (|error| < 0.1 of 65535), and the area of an
// enlargement's box is about 1, so the rounding of the mean never reaches the
// next step of 256. Labels and other flat pictures are mostly such pixels.
bool UniformUnder(const uint8_t* in, int wi, const TBoxTap* rows, int nRows, const TBoxTap* cols, int nCols,
                  uint32_t& value) {
  std::memcpy(&value, in + (size_t(rows[0].index) * size_t(wi) + size_t(cols[0].index)) * 4, 4);
  if (nRows == 2 && nCols == 2) {  // nearly every box of an enlargement by less than 2
    const uint8_t* line0 = in + size_t(rows[0].index) * size_t(wi) * 4;
    const uint8_t* line1 = in + size_t(rows[1].index) * size_t(wi) * 4;
    uint32_t b, c, d;
    std::memcpy(&b, line0 + size_t(cols[1].index) * 4, 4);
    std::memcpy(&c, line1 + size_t(cols[0].index) * 4, 4);
    std::memcpy(&d, line1 + size_t(cols[1].index) * 4, 4);
    return ((value ^ b) | (value ^ c) | (value ^ d)) == 0;
  }
  for (int ry = 0; ry < nRows; ++ry) {
    const uint8_t* line = in + size_t(rows[ry].index) * size_t(wi) * 4;
    for (int cx = 0; cx < nCols; ++cx) {
      uint32_t v;
      std::memcpy(&v, line + size_t(cols[cx].index) * 4, 4);
      if (v != value) return false;
    }
  }
  return true;
}

// gluScaleImage(GL_RGBA, ..., GL_UNSIGNED_BYTE) for an enlargement, without its
// per-sample conversions: the same sums in the same order over 16-bit values.
void EnlargeRGBA(const uint8_t* in, int wi, int hi, uint8_t* out, int wo, int ho) {
  std::vector<int> rowFirst, colFirst;
  std::vector<TBoxTap> rows, cols;
  EnlargeTaps(hi, ho, rowFirst, rows);
  EnlargeTaps(wi, wo, colFirst, cols);
  for (int i = 0; i < ho; ++i) {
    const TBoxTap* rowTaps = rows.data() + rowFirst[size_t(i)];
    const int nRows = rowFirst[size_t(i) + 1] - rowFirst[size_t(i)];
    uint8_t* o = out + size_t(i) * size_t(wo) * 4;
    for (int j = 0; j < wo; ++j, o += 4) {
      const TBoxTap* colTaps = cols.data() + colFirst[size_t(j)];
      const int nCols = colFirst[size_t(j) + 1] - colFirst[size_t(j)];
      uint32_t same;
      if (UniformUnder(in, wi, rowTaps, nRows, colTaps, nCols, same)) {
        std::memcpy(o, &same, 4);
        continue;
      }
      float t0 = 0, t1 = 0, t2 = 0, t3 = 0, area = 0;
      for (int ry = 0; ry < nRows; ++ry) {
        const TBoxTap ty = rowTaps[ry];
        const uint8_t* line = in + size_t(ty.index) * size_t(wi) * 4;
        for (int cx = 0; cx < nCols; ++cx) {
          const TBoxTap tx = colTaps[cx];
          const float percent = tx.percent * ty.percent;
          area += percent;
          const uint8_t* p = line + size_t(tx.index) * 4;
          t0 += float(p[0] * 257) * percent;
          t1 += float(p[1] * 257) * percent;
          t2 += float(p[2] * 257) * percent;
          t3 += float(p[3] * 257) * percent;
        }
      }
      auto byte = [area](float total) {
        const double v = (double(total) + 0.5) / double(area);
        return uint8_t(unsigned(std::min(v, 65535.0)) >> 8);
      };
      o[0] = byte(t0), o[1] = byte(t1), o[2] = byte(t2), o[3] = byte(t3);
    }
  }
}

// Working buffers of the upload kept from one texture to the next: labels are
// redrawn many times a second, and a fresh buffer of their size is a mapping of
// its own, zeroed, faulted in and unmapped again each time.
std::vector<uint8_t>& ScratchBuffer(int which) {
  static thread_local std::vector<uint8_t> buffers[3];
  return buffers[which];
}

// Lets go of working buffers grown for a large picture.
void TrimScratchBuffers() {
  for (int i = 0; i < 3; ++i)
    if (ScratchBuffer(i).capacity() > (size_t(1) << 20)) std::vector<uint8_t>().swap(ScratchBuffer(i));
}

// Levels 1 and down of a mipmap chain from level 0, each texel the rounded
// mean of the 2 x 2 texels above it (of the pair, once a side is 1). A driver
// that generates the chain itself renders it, which on a software rasteriser
// costs a flush and far more than the texture's own upload.
void UploadMipmapChain(GLenum target, int internalFormat, int w, int h, const uint8_t* level0) {
  std::vector<uint8_t>& prev = ScratchBuffer(1);
  std::vector<uint8_t>& next = ScratchBuffer(2);
  const uint8_t* above = level0;
  for (int level = 1; w > 1 || h > 1; ++level) {
    const int nw = std::max(1, w / 2), nh = std::max(1, h / 2);
    next.resize(size_t(nw) * size_t(nh) * 4);
    for (int y = 0; y < nh; ++y) {
      const uint8_t* row0 = above + size_t(std::min(2 * y, h - 1)) * size_t(w) * 4;
      const uint8_t* row1 = above + size_t(std::min(2 * y + 1, h - 1)) * size_t(w) * 4;
      uint8_t* out = &next[size_t(y) * size_t(nw) * 4];
      for (int x = 0; x < nw; ++x) {
        const size_t a = size_t(std::min(2 * x, w - 1)) * 4, b = size_t(std::min(2 * x + 1, w - 1)) * 4;
        for (int c = 0; c < 4; ++c)
          out[size_t(x) * 4 + size_t(c)] = uint8_t((row0[a + c] + row0[b + c] + row1[a + c] + row1[b + c] + 2) / 4);
      }
    }
    GL.glTexImage2D(target, level, internalFormat, nw, nh, 0, GL_RGBA, GL_UNSIGNED_BYTE, next.data());
    prev.swap(next);
    above = prev.data();
    w = nw, h = nh;
  }
}

}  // namespace

bool IsFloatTextureFormat(int internalFormat) {
  return internalFormat == 0x888A || internalFormat == 0x888B || internalFormat == 0x881A || internalFormat == 0x8814;
}

int NextPowerOfTwoSide(int n) {
  int p = 1;
  while (p < n && p < (1 << 30)) p <<= 1;
  return p;
}

// ---------------------------------------------------------------- size

void TGLBitmap32::Resize(int w, int h) {
  if (w > MaxBitmap32Side || h > MaxBitmap32Side || int64_t(w) * h * 4 > INT_MAX)
    throw EOutOfMemory(Format("Bitmap of %d x %d pixels is too large", w, h));
  FWidth = w, FHeight = h;
  FData.resize(size_t(w) * size_t(h) * 4, 0);
  if (FData.empty()) FData.shrink_to_fit();
}

void TGLBitmap32::SetWidth(int w) {
  RTL_ASSERT(w >= 0);
  w = (w + 3) & ~3;
  if (w != FWidth) Resize(w, FHeight);
}

void TGLBitmap32::SetHeight(int h) {
  RTL_ASSERT(h >= 0);
  if (h != FHeight) Resize(FWidth, h);
}

// ---------------------------------------------------------------- conversion

void TGLBitmap32::AssignImage(const QImage& source, bool thirtyTwo) {
  // Byte layouts as read below (no copy when the image already has them).
  const QImage image = source.convertToFormat(thirtyTwo ? QImage::Format_ARGB32 : QImage::Format_BGR888);
  const int w = image.width(), h = image.height();
  FData.clear();
  Resize(w, h);
  for (int k = 0; k < h; ++k) {
    const uint8_t* src = image.constScanLine(FBottomUpOnAssign ? h - 1 - k : k);
    uint8_t* dst = RowAddress(h - 1 - k);
    if (thirtyTwo) {
      for (int x = 0; x < w; ++x, src += 4, dst += 4)
        dst[0] = src[2], dst[1] = src[1], dst[2] = src[0], dst[3] = src[3];
    } else {
      for (int x = 0; x < w; ++x, src += 3, dst += 4) dst[0] = src[2], dst[1] = src[1], dst[2] = src[0], dst[3] = 255;
    }
  }
}

void TGLBitmap32::Assign(TPersistent* source) {
  if (source == nullptr) {
    FWidth = FHeight = 0;
    FData.clear();
    FData.shrink_to_fit();
    return;
  }
  if (auto* other = dynamic_cast<TGLBitmap32*>(source)) {
    if (other == this) return;
    FWidth = other->FWidth, FHeight = other->FHeight;
    FData = other->FData;
    return;
  }
  auto* bitmap = dynamic_cast<TBitmap*>(source);
  if (bitmap && (bitmap->PixelFormat() == pf24bit || bitmap->PixelFormat() == pf32bit) && bitmap->Width() % 4 == 0) {
    AssignImage(bitmap->Image(), bitmap->PixelFormat() == pf32bit);
    return;
  }
  if (bitmap && bitmap->PixelFormat() == pf32bit && !bitmap->Empty()) {
    // Stretched to a multiple of 4 like any other picture, but with its alpha: each texel is the
    // nearest pixel's, as the drawing below takes it.
    const int w = (bitmap->Width() + 3) & ~3, h = bitmap->Height();
    if (w > MaxBitmap32Side || h > MaxBitmap32Side)
      throw EOutOfMemory(Format("Bitmap of %d x %d pixels is too large", w, h));
    const QImage img = bitmap->Image()
                           .convertToFormat(QImage::Format_ARGB32)
                           .scaled(w, h, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    if (img.isNull()) throw EOutOfMemory("Out of memory converting a picture");
    AssignImage(img, true);
    return;
  }
  if (auto* graphic = dynamic_cast<TGraphic*>(source)) {
    // Drawn into a 24-bit picture whose width is a multiple of 4 (stretched
    // when the graphic's own width is not).
    const int w = (graphic->Width() + 3) & ~3, h = graphic->Height();
    if (w <= 0 || h <= 0) {
      Assign(nullptr);
      return;
    }
    if (w > MaxBitmap32Side || h > MaxBitmap32Side)
      throw EOutOfMemory(Format("Bitmap of %d x %d pixels is too large", w, h));
    const QImage img = RenderGraphic(*graphic, w, h, QImage::Format_BGR888);
    if (img.isNull()) throw EOutOfMemory("Out of memory converting a picture");
    AssignImage(img, false);
    return;
  }
  inherited::Assign(source);
}

std::unique_ptr<TBitmap> TGLBitmap32::ToWinBitmap() const {
  auto bmp = std::make_unique<TBitmap>(FWidth, FHeight, pf32bit);
  for (int k = 0; k < FHeight; ++k) {
    const uint8_t* src = Data() + size_t(FHeight - 1 - k) * size_t(FWidth) * 4;
    uint8_t* dst = bmp->ScanLine(k);
    for (int x = 0; x < FWidth; ++x, src += 4, dst += 4)
      dst[0] = src[2], dst[1] = src[1], dst[2] = src[0], dst[3] = src[3];
  }
  return bmp;
}

// ---------------------------------------------------------------- pixel operations

void TGLBitmap32::AlphaFromGrey() {
  for (size_t i = 0; i < FData.size(); i += 4) FData[i + 3] = uint8_t((FData[i] + FData[i + 1] + FData[i + 2]) / 3);
}

void TGLBitmap32::AlphaFromGreySqrt() {
  uint8_t table[256];
  for (int i = 0; i < 256; ++i) table[i] = uint8_t(std::trunc(std::sqrt(i / 255.0) * 255.0));
  for (size_t i = 0; i < FData.size(); i += 4) FData[i + 3] = table[(FData[i] + FData[i + 1] + FData[i + 2]) / 3];
}

void TGLBitmap32::AlphaKeyFromColor(TColor color) {
  AlphaKeyFromPixel(GetRValue(color), GetGValue(color), GetBValue(color));
}

void TGLBitmap32::AlphaKeyFromPixel(uint8_t r, uint8_t g, uint8_t b) {
  for (size_t i = 0; i < FData.size(); i += 4)
    FData[i + 3] = FData[i] == r && FData[i + 1] == g && FData[i + 2] == b ? 0 : 255;
}

void TGLBitmap32::AlphaKeyFromPackedRGB(uint32_t key) {
  AlphaKeyFromPixel(uint8_t(key), uint8_t(key >> 8), uint8_t(key >> 16));
}

void TGLBitmap32::FillAlpha(uint8_t value) {
  for (size_t i = 0; i < FData.size(); i += 4) FData[i + 3] = value;
}

void TGLBitmap32::NegateAlpha() {
  for (size_t i = 0; i < FData.size(); i += 4) FData[i + 3] = uint8_t(255 - FData[i + 3]);
}

void TGLBitmap32::ScaleBrightness(float factor) {
  RTL_ASSERT(factor >= 0);
  if (FData.empty()) return;
  uint8_t table[256];
  for (int i = 0; i < 256; ++i) table[i] = uint8_t(std::min(255.0, std::nearbyint(i * double(factor))));
  for (size_t i = 0; i < FData.size(); i += 4)
    FData[i] = table[FData[i]], FData[i + 1] = table[FData[i + 1]], FData[i + 2] = table[FData[i + 2]];
}

void TGLBitmap32::ApplyGamma(float gamma) {
  RTL_ASSERT(gamma >= 0);
  if (FData.empty()) return;
  const double e = gamma <= 0.1f ? 10.0 : 1.0 / double(gamma);
  uint8_t table[256];
  for (int i = 0; i < 256; ++i) table[i] = Clamp255(std::nearbyint(std::pow(i / 255.0, e) * 255.0));
  for (size_t i = 0; i < FData.size(); i += 4)
    FData[i] = table[FData[i]], FData[i + 1] = table[FData[i + 1]], FData[i + 2] = table[FData[i + 2]];
}

void TGLBitmap32::NormalMapFromGreen(float scale, bool wrapX, bool wrapY) {
  if (FData.empty()) return;
  const int w = FWidth, h = FHeight;
  // Wrapping by modulo: the same as masking for power-of-two sizes, and right for the others.
  auto col = [&](int x) { return wrapX ? (x + w) % w : std::clamp(x, 0, w - 1); };
  auto row = [&](int y) { return wrapY ? (y + h) % h : std::clamp(y, 0, h - 1); };
  auto green = [&](int x, int y) { return double(FData[(size_t(row(y)) * w + col(x)) * 4 + 1]); };
  std::vector<uint8_t> out(FData.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double dx = (green(x - 1, y) - green(x + 1, y)) * scale;
      const double dy = (green(x, y - 1) - green(x, y + 1)) * scale;
      const double n = 127.0 / std::sqrt(dx * dx + dy * dy + 1.0);
      uint8_t* p = &out[(size_t(y) * w + x) * 4];
      p[0] = uint8_t(std::nearbyint(std::clamp(dx * n, -128.0, 127.0) + 128.0));
      p[1] = uint8_t(std::nearbyint(std::clamp(dy * n, -128.0, 127.0) + 128.0));
      p[2] = uint8_t(std::nearbyint(std::clamp(n, -128.0, 127.0) + 128.0));
      p[3] = 255;
    }
  FData.swap(out);
}

// ---------------------------------------------------------------- upload

void TGLBitmap32::UploadAsTextureSized(unsigned target, TGLMinFilter minFilter, int& texWidth, int& texHeight,
                                       int internalFormat) {
  if (DataSize() == 0) return;
  GLint maxSize = 0;
  GL.glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
  if (maxSize <= 0) maxSize = 1 << 30;
  const int w2 = std::min(NextPowerOfTwoSide(FWidth), int(maxSize));
  const int h2 = std::min(NextPowerOfTwoSide(FHeight), int(maxSize));
  texWidth = w2, texHeight = h2;
  const bool isFloat = IsFloatTextureFormat(internalFormat);
  const void* pixels = FData.data();
  TScopeExit trim([] { TrimScratchBuffers(); });
  std::vector<uint8_t>& scaled = ScratchBuffer(0);
  if (!isFloat && (w2 != FWidth || h2 != FHeight)) {
    scaled.resize(size_t(w2) * size_t(h2) * 4);
    if (w2 >= FWidth && h2 >= FHeight) {
      EnlargeRGBA(FData.data(), FWidth, FHeight, scaled.data(), w2, h2);
    } else {
      const GLint err = GL.gluScaleImage(GL_RGBA, FWidth, FHeight, GL_UNSIGNED_BYTE, FData.data(), w2, h2,
                                         GL_UNSIGNED_BYTE, scaled.data());
      if (err != 0) {
        const GLubyte* text = GL.gluErrorString(GLenum(err));
        throw EOpenGLError(text ? reinterpret_cast<const char*>(text) : "gluScaleImage failed");
      }
    }
    pixels = scaled.data();
  }
  if (isFloat) {
    RTL_ASSERT(target == kTextureRectangleNV, "NV Float-type texture must use GL_TEXTURE_RECTANGLE_NV");
    GL.glTexImage2D(target, 0, internalFormat, w2, h2, 0, GL_RGBA, GL_FLOAT, nullptr);
  } else if (minFilter == miNearest || minFilter == miLinear) {
    GL.glTexImage2D(target, 0, internalFormat, w2, h2, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
  } else if (GLCaps.SGIS_generate_mipmap && target == GL_TEXTURE_2D) {
    GL.glTexImage2D(target, 0, internalFormat, w2, h2, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
    UploadMipmapChain(target, internalFormat, w2, h2, static_cast<const uint8_t*>(pixels));
  } else {
    GL.gluBuild2DMipmaps(target, internalFormat, w2, h2, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
  }
}

void TGLBitmap32::UploadAsTexture(unsigned target, TGLMinFilter minFilter, int internalFormat) {
  int w = 0, h = 0;
  UploadAsTextureSized(target, minFilter, w, h, internalFormat);
}

// ---------------------------------------------------------------- picture formats

void FillRegisteredPictureFormats(TStrings& lines) {
  for (const TPictureFormat& f : RegisteredPictureFormats())
    // The list's objects are object pointers; the class record travels as one.
    lines.AddObject(f.Extension + "=" + f.Description,
                    reinterpret_cast<TObject*>(const_cast<TClassInfo*>(f.GraphicClass)));
}

TGraphicClass PictureClassForExtension(const std::string& extension) {
  TStringList lines;
  FillRegisteredPictureFormats(lines);
  const std::string name = !extension.empty() && extension[0] == '.' ? extension.substr(1) : extension;
  if (name.empty()) return nullptr;
  const int i = lines.IndexOfName(name);
  return i < 0 ? nullptr : reinterpret_cast<TGraphicClass>(lines.GetObject(i));
}
