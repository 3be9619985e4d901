#include "sockets/LineBuffer.h"

#include <algorithm>
#include <cstring>

int TLineBuffer::Append(const char* p, int n, int lineEndLength) {
  int start = std::max(0, Received() - lineEndLength);
  if (p && n > 0) FData.append(p, static_cast<size_t>(n));
  return start;
}

std::string TLineBuffer::Edit(int from, bool echo) {
  from = std::clamp(from, 0, Received());
  std::string out = FData.substr(0, static_cast<size_t>(from));
  std::string echoed;
  for (size_t i = static_cast<size_t>(from); i < FData.size(); ++i) {
    char c = FData[i];
    if (c == '\b') {
      if (static_cast<int>(out.size()) > FLine) {  // never into a line waiting to be read
        out.pop_back();
        if (echo) echoed += "\b \b";
      }
    } else if (c == '\t') {
      do {
        out.push_back(' ');
        if (echo) echoed.push_back(' ');
      } while (out.size() % 8 != 0);
    } else {
      out.push_back(c);
      if (echo) echoed.push_back(c);
    }
  }
  FData.swap(out);
  return echoed;
}

bool TLineBuffer::FindLine(int start, const std::string& lineEnd) {
  if (lineEnd.empty()) return false;
  size_t pos = FData.find(lineEnd, static_cast<size_t>(std::max(0, start)));
  if (pos == std::string::npos) return false;
  FLine = static_cast<int>(pos + lineEnd.size());
  return true;
}

int TLineBuffer::Read(char* dst, int len, bool lineMode) {
  if (len <= 0) return 0;
  int avail = lineMode ? FLine : Received();
  int n = std::min(len, avail);
  if (n <= 0) return 0;
  std::memcpy(dst, FData.data(), static_cast<size_t>(n));
  FData.erase(0, static_cast<size_t>(n));
  FLine = std::max(0, FLine - n);
  return n;
}

void TLineBuffer::Clear() {
  FData.clear();
  FData.shrink_to_fit();
  FLine = 0;
}
