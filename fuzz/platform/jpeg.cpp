// JPEG loader: any input gives a picture or an EInvalidGraphic, never a crash.
#include "platform/Graphics.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TMemoryStream stream;
  if (size > 0) stream.WriteBuffer(data, int64_t(size));
  stream.SetPosition(0);
  TJPEGImage image;
  try {
    image.LoadFromStream(stream);
    TBitmap bitmap;
    bitmap.Assign(&image);
    unsigned sum = 0;
    for (int y = 0; y < bitmap.Height(); ++y) sum += bitmap.ScanLine(y)[0];
    (void)sum;
  } catch (const Exception&) {
  }
  return 0;
}
