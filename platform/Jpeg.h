// JPEG decoding and encoding over libjpeg.
//
// Both calls are self-contained and never throw or abort: libjpeg's fatal
// errors are caught by the error manager and reported through the result.
// A truncated stream (libjpeg's "premature end" warning) is an error too, so a
// half picture is never taken for a whole one. Decoding refuses pictures over
// JpegMaxSide pixels on a side, so a hostile header cannot make us allocate
// gigabytes, and pictures of more 8x8 blocks than their data has bits (a
// small file claiming a large size).
#pragma once

#include <QImage>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace jpeg {

constexpr int JpegMaxSide = 16384;
// Product of the two sides accepted by DecodeJpeg (64 Mpixel, 192 MB as RGB).
constexpr int64_t JpegMaxPixels = 64ll * 1024 * 1024;

// Decodes a JPEG stream into a QImage of Format_RGB888. Grey and CMYK pictures
// are converted to RGB. Returns false with a message in error on any failure.
bool DecodeJpeg(const uint8_t* data, size_t size, QImage& out, std::string& error);

// Encodes an image (any QImage format; alpha is dropped) as a baseline JPEG of
// the given quality (1..100). Returns false with a message on failure.
bool EncodeJpeg(const QImage& image, int quality, std::vector<uint8_t>& out, std::string& error);

}  // namespace jpeg
