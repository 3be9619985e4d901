// Line-mode receive buffer: appending, finding the line end, reading pieces and compaction.
#include "sockets/LineBuffer.h"

#include <algorithm>
#include <cstring>

void TLineBuffer::Compact() {
  if (FHead == FData.size()) {
    FData.clear();
    FEnds.clear();
    FHead = 0;
  } else if (FHead > 0 && FHead >= FData.size() / 2) {
    FData.erase(0, FHead);
    for (size_t& e : FEnds) e -= FHead;
    FHead = 0;
  }
}

void TLineBuffer::DropReadMessageEnds() {
  while (!FEnds.empty() && FEnds.front() <= FHead) FEnds.pop_front();
}

void TLineBuffer::MarkMessageEnd() {
  if (FData.size() > FHead && (FEnds.empty() || FEnds.back() < FData.size())) FEnds.push_back(FData.size());
}

int TLineBuffer::RawAvailable() const {
  const size_t end = NextMessageEnd();
  return end == std::string::npos ? Received() : static_cast<int>(end - FHead);
}

bool TLineBuffer::EndsWithLineEnd(const std::string& lineEnd) const {
  if (Received() == 0) return true;
  return !lineEnd.empty() && FData.size() - FHead >= lineEnd.size() &&
         FData.compare(FData.size() - lineEnd.size(), lineEnd.size(), lineEnd) == 0;
}

bool TLineBuffer::SkipPastLineEnd(const std::string& lineEnd) {
  FLine = 0;
  const size_t pos = lineEnd.empty() ? std::string::npos : FData.find(lineEnd, FHead);
  if (pos != std::string::npos) {
    FHead = pos + lineEnd.size();
    DropReadMessageEnds();
    Compact();
    return true;
  }
  const size_t keep = lineEnd.empty() ? 0 : lineEnd.size() - 1;
  if (FData.size() - FHead > keep) FHead = FData.size() - keep;
  DropReadMessageEnds();
  Compact();
  return false;
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
  // Nor beyond the start of the message being edited.
  const size_t floor = std::max(FHead + static_cast<size_t>(FLine), FEnds.empty() ? size_t{0} : FEnds.back());
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
  const size_t end = NextMessageEnd();
  const size_t pos = FData.find(lineEnd, FHead + static_cast<size_t>(std::max(0, start)));
  if (pos != std::string::npos && (end == std::string::npos || pos + lineEnd.size() <= end)) {
    FLine = static_cast<int>(pos - FHead + lineEnd.size());
    return true;
  }
  if (end == std::string::npos) return false;
  FLine = static_cast<int>(end - FHead);  // the message's unfinished end
  return true;
}

int TLineBuffer::Read(char* dst, int len, bool lineMode) {
  if (len <= 0) return 0;
  int avail = lineMode ? FLine : RawAvailable();
  int n = std::min(len, avail);
  if (n <= 0) return 0;
  std::memcpy(dst, FData.data() + FHead, static_cast<size_t>(n));
  FHead += static_cast<size_t>(n);
  FLine = std::max(0, FLine - n);
  DropReadMessageEnds();
  if (FHead == FData.size()) Compact();
  return n;
}

void TLineBuffer::Clear() {
  FData.clear();
  FData.shrink_to_fit();
  FEnds.clear();
  FHead = 0;
  FLine = 0;
}
