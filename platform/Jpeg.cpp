// JPEG decoding and encoding over libjpeg, with an error manager that turns failures into results.
#include "platform/Jpeg.h"

// jpeglib.h needs size_t and FILE declared first.
#include <cstdio>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

namespace jpeg {

namespace {

// libjpeg reports fatal errors through error_exit, which must not return.
// Ours jumps back to the call's setjmp with the message kept, so neither an
// abort nor a C++ exception ever crosses libjpeg's C frames.
struct ErrorManager {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void OnErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  longjmp(err->jump, 1);
}

// Warnings are silent, except running out of data: that picture is truncated
// and must not pass for a complete one.
void OnEmitMessage(j_common_ptr cinfo, int level) {
  if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF) OnErrorExit(cinfo);
}

void OnOutputMessage(j_common_ptr) {}

void InstallErrorManager(ErrorManager& err) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = OnErrorExit;
  err.pub.emit_message = OnEmitMessage;
  err.pub.output_message = OnOutputMessage;
  err.message[0] = '\0';
}

// The decompression part that may longjmp. It creates no C++ object with a
// destructor after its setjmp, so jumping back skips nothing that needs
// cleaning up; the rows are written into an image allocated by the caller's
// frame.
bool DecodeInto(jpeg_decompress_struct& cinfo, ErrorManager& err, const uint8_t* data, size_t size, QImage& image,
                std::string& error) {
  if (setjmp(err.jump)) {
    error = err.message;
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, const_cast<unsigned char*>(data), static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  if (cinfo.image_width == 0 || cinfo.image_height == 0 || cinfo.image_width > unsigned(JpegMaxSide) ||
      cinfo.image_height > unsigned(JpegMaxSide) || int64_t(cinfo.image_width) * cinfo.image_height > JpegMaxPixels) {
    std::snprintf(err.message, sizeof err.message, "JPEG picture too large: %ux%u", cinfo.image_width,
                  cinfo.image_height);
    error = err.message;
    return false;
  }
  // A complete Huffman-coded picture spends at least one bit on every 8x8 block of its
  // full-resolution component. A header claiming more blocks than the data has bits asks for a
  // picture the data cannot code, which libjpeg would allocate and fill with grey.
  const uint64_t blocks = (uint64_t(cinfo.image_width) + 7) / 8 * ((uint64_t(cinfo.image_height) + 7) / 8);
  if (blocks > uint64_t(size) * 8) {
    std::snprintf(err.message, sizeof err.message, "JPEG data of %zu bytes cannot code %ux%u pixels", size,
                  cinfo.image_width, cinfo.image_height);
    error = err.message;
    return false;
  }
  const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
  cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
  // Bound libjpeg's own working memory as well (progressive coefficient buffers).
  cinfo.mem->max_memory_to_use = 512l * 1024 * 1024;
  jpeg_start_decompress(&cinfo);
  const int comps = cinfo.output_components;
  if ((cmyk && comps != 4) || (!cmyk && comps != 3)) {
    std::snprintf(err.message, sizeof err.message, "Unsupported JPEG colour layout");
    error = err.message;
    return false;
  }
  image = QImage(int(cinfo.output_width), int(cinfo.output_height), QImage::Format_RGB888);
  if (image.isNull()) {
    std::snprintf(err.message, sizeof err.message, "Out of memory for JPEG picture");
    error = err.message;
    return false;
  }
  // A CMYK row needs a wider scratch row; the image's own rows are 3 bytes per pixel.
  JSAMPARRAY scratch =
      cmyk ? (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, cinfo.output_width * 4, 1)
           : nullptr;
  // Adobe writes CMYK inverted; the marker tells.
  const bool inverted = cmyk && cinfo.saw_Adobe_marker;
  while (cinfo.output_scanline < cinfo.output_height) {
    uint8_t* row = image.scanLine(int(cinfo.output_scanline));
    if (!cmyk) {
      JSAMPROW rows[1] = {row};
      jpeg_read_scanlines(&cinfo, rows, 1);
      continue;
    }
    jpeg_read_scanlines(&cinfo, scratch, 1);
    const uint8_t* src = scratch[0];
    for (unsigned x = 0; x < cinfo.output_width; ++x, src += 4) {
      int c = src[0], m = src[1], y = src[2], k = src[3];
      if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
      row[3 * x + 0] = uint8_t(c * k / 255);
      row[3 * x + 1] = uint8_t(m * k / 255);
      row[3 * x + 2] = uint8_t(y * k / 255);
    }
  }
  jpeg_finish_decompress(&cinfo);
  return true;
}

bool EncodeFrom(jpeg_compress_struct& cinfo, ErrorManager& err, const QImage& rgb, int quality, unsigned char** buffer,
                unsigned long* length, std::string& error) {
  if (setjmp(err.jump)) {
    error = err.message;
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, buffer, length);
  cinfo.image_width = JDIMENSION(rgb.width());
  cinfo.image_height = JDIMENSION(rgb.height());
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW rows[1] = {const_cast<uint8_t*>(rgb.constScanLine(int(cinfo.next_scanline)))};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  return true;
}

}  // namespace

bool DecodeJpeg(const uint8_t* data, size_t size, QImage& out, std::string& error) {
  if (data == nullptr || size < 4 || data[0] != 0xFF || data[1] != 0xD8) {
    error = "Not a JPEG stream";
    return false;
  }
  jpeg_decompress_struct cinfo;
  std::memset(&cinfo, 0, sizeof cinfo);
  ErrorManager err;
  InstallErrorManager(err);
  cinfo.err = &err.pub;
  QImage image;
  const bool ok = DecodeInto(cinfo, err, data, size, image, error);
  jpeg_destroy_decompress(&cinfo);
  if (!ok) return false;
  out = std::move(image);
  return true;
}

bool EncodeJpeg(const QImage& image, int quality, std::vector<uint8_t>& out, std::string& error) {
  if (image.isNull() || image.width() <= 0 || image.height() <= 0) {
    error = "Cannot encode an empty picture";
    return false;
  }
  const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
  jpeg_compress_struct cinfo;
  std::memset(&cinfo, 0, sizeof cinfo);
  ErrorManager err;
  InstallErrorManager(err);
  cinfo.err = &err.pub;
  unsigned char* buffer = nullptr;
  unsigned long length = 0;
  const bool ok = EncodeFrom(cinfo, err, rgb, quality < 1 ? 1 : quality > 100 ? 100 : quality, &buffer, &length, error);
  jpeg_destroy_compress(&cinfo);
  if (ok) out.assign(buffer, buffer + length);
  std::free(buffer);
  return ok;
}

}  // namespace jpeg
