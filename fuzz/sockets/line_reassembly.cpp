// Line-mode reassembly: arbitrary bytes arriving in arbitrary pieces, read in
// arbitrary sizes. Every line read ends with the line end and holds no earlier
// one, and nothing is lost or repeated: lines plus the rest equal the input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sockets/LineBuffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const char* const ends[] = {"\r\n", "\n", "END", "\0\0"};
  const std::string lineEnd(ends[data[0] % 4],
                            data[0] % 4 == 3 ? 2 : std::char_traits<char>::length(ends[data[0] % 4]));
  const int readSize = 1 + data[1] % 9;
  TLineBuffer buf;
  std::string input, output;
  size_t i = 2;
  while (i < size) {
    const size_t piece = std::min<size_t>(1 + data[i] % 13, size - i - 1);
    ++i;
    const std::string chunk(reinterpret_cast<const char*>(data + i), piece);
    i += piece;
    input += chunk;
    int start = buf.Append(chunk.data(), static_cast<int>(chunk.size()), static_cast<int>(lineEnd.size()));
    while (buf.FindLine(start, lineEnd)) {
      std::string line;
      char tmp[16];
      int n;
      while ((n = buf.Read(tmp, readSize, true)) > 0) line.append(tmp, static_cast<size_t>(n));
      if (line.size() < lineEnd.size() || line.compare(line.size() - lineEnd.size(), lineEnd.size(), lineEnd) != 0)
        std::abort();
      if (line.find(lineEnd) != line.size() - lineEnd.size()) std::abort();
      output += line;
      start = 0;
    }
    if (buf.WaitingLine() != 0) std::abort();
  }
  if (output + buf.Data() != input) std::abort();
  // The editor on whatever is left must stay within bounds.
  std::string echo = buf.Edit(0, true);
  (void)echo;
  char rest[64];
  while (buf.Read(rest, sizeof rest, false) > 0) {
  }
  if (buf.Received() != 0) std::abort();
  return 0;
}
