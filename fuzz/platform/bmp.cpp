// BMP loader: any input gives a bitmap or an EInvalidGraphic, never a crash.
#include "platform/Graphics.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TMemoryStream stream;
  if (size > 0) stream.WriteBuffer(data, int64_t(size));
  stream.SetPosition(0);
  TBitmap bitmap;
  try {
    bitmap.LoadFromStream(stream);
    // Touch every row and write the picture back.
    unsigned sum = 0;
    for (int y = 0; y < bitmap.Height(); ++y) sum += bitmap.ScanLine(y)[0];
    (void)sum;
    (void)bitmap.SaveToBytes();
  } catch (const Exception&) {
  }
  return 0;
}
