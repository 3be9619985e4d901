// Small engine utilities: power-of-two rounding, whole-file strings, the square-root table and
// enumerations shared by texture and text units.
#pragma once

#include <cstdint>
#include <string>

// Vertical placement of text.
enum TGLTextLayout : uint8_t { tlTop, tlCenter, tlBottom };

// Texture filters.
enum TGLMinFilter : uint8_t {
  miNearest,
  miLinear,
  miNearestMipmapNearest,
  miLinearMipmapNearest,
  miNearestMipmapLinear,
  miLinearMipmapLinear
};
enum TGLMagFilter : uint8_t { maNearest, maLinear };

// Smallest power of two >= n; 1 for n <= 1. Above 2^30 no power of two fits an int: ERangeError.
int NextPowerOfTwo(int n);

// Creates (or truncates) the file and writes the text's bytes.
void WriteStringFile(const std::string& fileName, const std::string& text);
// The whole file; empty when the file does not exist.
std::string ReadStringFile(const std::string& fileName);
// 0 when the file does not exist.
int64_t FileSize64(const std::string& fileName);

// Entry i = trunc(sqrt(i / 255) * 255); filled on first use, thread-safe.
const uint8_t* Sqrt255Table();
