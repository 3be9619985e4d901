// Power-of-two rounding, whole-file string reads and writes, file sizes and the square-root table.
#include "Source/Scene/GLUtils.h"

#include <sys/stat.h>

#include <cmath>
#include <memory>

#include "Source/Base/ApplicationFileIO.h"
#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

int NextPowerOfTwo(int n) {
  constexpr int kLargest = 1 << 30;
  // 2^31 does not fit: a smaller power would be less than asked for.
  if (n > kLargest) throw ERangeError(Format("No power of two of at least %d fits an integer", n));
  int p = 1;
  while (p < n) p <<= 1;
  return p;
}

void WriteStringFile(const std::string& fileName, const std::string& text) {
  const std::unique_ptr<TStream> fs = CreateFileStream(fileName, fmCreate);
  if (!text.empty()) fs->WriteBuffer(text.data(), int64_t(text.size()));
}

std::string ReadStringFile(const std::string& fileName) {
  if (!FileStreamExists(fileName)) return {};
  const std::unique_ptr<TStream> fs = CreateFileStream(fileName, fmOpenRead + fmShareDenyNone);
  std::string text(size_t(fs->Size()), '\0');
  if (!text.empty()) fs->ReadBuffer(text.data(), int64_t(text.size()));
  return text;
}

int64_t FileSize64(const std::string& fileName) {
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0) return 0;
  return int64_t(st.st_size);
}

const uint8_t* Sqrt255Table() {
  struct Table {
    uint8_t v[256];
    Table() {
      for (int i = 0; i < 256; ++i) v[i] = uint8_t(std::trunc(std::sqrt(i / 255.0) * 255.0));
    }
  };
  static const Table table;
  return table.v;
}
