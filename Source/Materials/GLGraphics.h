// 32-bit RGBA bitmaps, the images every texture is uploaded from.
//
// Pixels are bytes R, G, B, A; rows are stored bottom row first (the OpenGL
// order); the width is always a multiple of 4. Storage is zero-filled, so a
// bitmap that was only sized uploads black, never stale memory.
//
// Conversion from pictures (platform/Graphics.h), alpha derivation, brightness,
// gamma, normal maps, and the upload with power-of-two sizing and mipmaps.
// Uploads need a current context; everything else is plain memory.
#pragma once

#include "platform/Graphics.h"
#include "rtl/Classes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Source/Scene/GLUtils.h"

// True for the 16- and 32-bit float RGBA internal formats.
bool IsFloatTextureFormat(int internalFormat);

// Largest side a bitmap may have (memory stays well inside 32-bit sizes).
constexpr int MaxBitmap32Side = 32768;

class TGLBitmap32 : public TPersistent {
  RTL_CLASS(TGLBitmap32, TPersistent)

 public:
  TGLBitmap32() = default;

  int Width() const { return FWidth; }
  // Rounded up to a multiple of 4; storage resized, content not rearranged.
  void SetWidth(int w);
  int Height() const { return FHeight; }
  void SetHeight(int h);
  int DataSize() const { return FWidth * FHeight * 4; }
  bool IsEmpty() const { return FWidth == 0 || FHeight == 0; }
  uint8_t* Data() { return FData.empty() ? nullptr : FData.data(); }
  const uint8_t* Data() const { return FData.empty() ? nullptr : FData.data(); }
  // Row y, 0 = bottom.
  uint8_t* RowAddress(int y) { return Data() + size_t(y) * size_t(FWidth) * 4; }
  bool BottomUpOnAssign() const { return FBottomUpOnAssign; }
  void SetBottomUpOnAssign(bool v) { FBottomUpOnAssign = v; }

  // nullptr, another TGLBitmap32, a bitmap or any other graphic.
  void Assign(TPersistent* source) override;
  // A new 32-bit bitmap holding the pixels, top row first.
  std::unique_ptr<TBitmap> ToWinBitmap() const;

  void AlphaFromGrey();
  void AlphaFromGreySqrt();
  // The colour value's high byte is ignored.
  void AlphaKeyFromColor(TColor color);
  void AlphaKeyFromPixel(uint8_t r, uint8_t g, uint8_t b);
  // Key compared with the pixel's bytes R, G, B as a little-endian 24-bit value.
  void AlphaKeyFromPackedRGB(uint32_t key);
  void FillAlpha(uint8_t value);
  void NegateAlpha();
  void ScaleBrightness(float factor);
  void ApplyGamma(float gamma);
  void NormalMapFromGreen(float scale, bool wrapX, bool wrapY);

  // Uploads to the bound texture of `target`, resized to powers of two (capped
  // at the maximum texture size); the sizes used are returned.
  void UploadAsTextureSized(unsigned target, TGLMinFilter minFilter, int& texWidth, int& texHeight, int internalFormat);
  void UploadAsTexture(unsigned target, TGLMinFilter minFilter, int internalFormat);

 private:
  void Resize(int w, int h);
  void AssignImage(const QImage& source, bool thirtyTwo);
  std::vector<uint8_t> FData;
  int FWidth = 0, FHeight = 0;
  bool FBottomUpOnAssign = false;
};

// The registered picture formats as lines "extension=description", each line's
// object the format's graphic class (a TClass stored as the object pointer).
void FillRegisteredPictureFormats(TStrings& lines);
// The graphic class for an extension (with or without its dot, any case);
// nullptr when unknown.
TGraphicClass PictureClassForExtension(const std::string& extension);

// The smallest power of two >= n; 1 for n <= 1.
int NextPowerOfTwoSide(int n);
