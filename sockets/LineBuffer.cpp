// Line-mode receive buffer: appending, finding the line end, reading pieces and compaction.
#include "sockets/LineBuffer.h"

#include <algorithm>
#include <cstring>

void TLineBuffer::Compact() {
  if (FHead == FData.size()) {
    FData.clear();
    FHead = 0;
  } else if (FHead > 0 && FHead >= FData.size() / 2) {
    FData.erase(0, FHead);
    FHead = 0;
  }
}

int TLineBuffer::Append(const char* p, int n, int lineEndLength) {
  Compact();
  int start = std::max(0, Received() - lineEndLength);
  if (p && n > 0) FData.append(p, static_cast<size_t>(n));
  return start;
}

std::string TLineBuffer::Edit(int from, bool echo) {
  from = std::clamp(from, 0, Received());
  // Only the new bytes are rewritten; a backspace may remove kept bytes before
  // them, down to the line waiting to be read.
  size_t keep = FHead + static_cast<size_t>(from);
  const size_t floor = FHead + static_cast<size_t>(FLine);
  std::string tail;
  std::string echoed;
  for (size_t i = keep; i < FData.size(); ++i) {
    char c = FData[i];
    if (c == '\b') {
      if (!tail.empty()) {
        tail.pop_back();
      } else if (keep > floor) {
        --keep;
      } else {
        continue;
      }
      if (echo) echoed += "\b \b";
    } else if (c == '\t') {
      do {
        tail.push_back(' ');
        if (echo) echoed.push_back(' ');
      } while ((keep - FHead + tail.size()) % 8 != 0);
    } else {
      tail.push_back(c);
      if (echo) echoed.push_back(c);
    }
  }
  FData.resize(keep);
  FData += tail;
  return echoed;
}

bool TLineBuffer::FindLine(int start, const std::string& lineEnd) {
  if (lineEnd.empty()) return false;
  size_t pos = FData.find(lineEnd, FHead + static_cast<size_t>(std::max(0, start)));
  if (pos == std::string::npos) return false;
  FLine = static_cast<int>(pos - FHead + lineEnd.size());
  return true;
}

int TLineBuffer::Read(char* dst, int len, bool lineMode) {
  if (len <= 0) return 0;
  int avail = lineMode ? FLine : Received();
  int n = std::min(len, avail);
  if (n <= 0) return 0;
  std::memcpy(dst, FData.data() + FHead, static_cast<size_t>(n));
  FHead += static_cast<size_t>(n);
  FLine = std::max(0, FLine - n);
  if (FHead == FData.size()) Compact();
  return n;
}

void TLineBuffer::Clear() {
  FData.clear();
  FData.shrink_to_fit();
  FHead = 0;
  FLine = 0;
}
