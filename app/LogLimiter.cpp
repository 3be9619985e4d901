// Log lines of one kind bounded per second, the rest counted and told once the second is over.
#include "app/LogLimiter.h"

#include <utility>

TLogLimiter::TLogLimiter(int perSecond, TWrite write) : FPerSecond(perSecond), FWrite(std::move(write)) {}

std::string TLogLimiter::KindOf(const std::string& text) {
  std::string kind;
  kind.reserve(text.size());
  char quote = 0;
  bool inDigits = false;
  for (const char c : text) {
    if (quote) {
      if (c == quote) {
        kind += c;
        quote = 0;
      }
      continue;
    }
    const bool digit = c >= '0' && c <= '9';
    if (digit && inDigits) continue;
    inDigits = digit;
    if (c == '\'' || c == '"') quote = c;
    kind += digit ? '0' : c;
  }
  return kind;
}

void TLogLimiter::Log(const std::vector<std::string>& lines, int64_t nowNs, const std::string& kind) {
  if (lines.empty()) return;
  Flush(nowNs);  // counts that are due come before newer lines
  const std::string key = kind.empty() ? KindOf(lines[0]) : kind;
  TKind* k = nullptr;
  if (auto found = FKinds.find(key); found != FKinds.end())
    k = &found->second;
  else if (FKinds.size() < MaxKinds)
    k = &FKinds.emplace(key, Started(nowNs)).first->second;
  else {
    if (!FOthersOpen) FOthers = Started(nowNs);
    FOthersOpen = true;
    k = &FOthers;
  }
  if (k->Written < FPerSecond) {
    ++k->Written;
    for (const std::string& line : lines) FWrite(line);
  } else {
    ++k->Left;
    k->Last = lines[0];
  }
}

void TLogLimiter::WriteCount(const std::string& suffix, const TKind& k) {
  if (k.Left > 0) FWrite(k.Last + " (" + std::to_string(k.Left) + suffix + ")");
}

int64_t TLogLimiter::Flush(int64_t nowNs, bool all) {
  int64_t next = 0;
  auto due = [&](const TKind& k) {
    if (all || nowNs - k.Start >= Second) return true;
    if (k.Left > 0 && (next == 0 || k.Start + Second < next)) next = k.Start + Second;
    return false;
  };
  for (auto it = FKinds.begin(); it != FKinds.end();) {
    if (due(it->second)) {
      WriteCount(" more times", it->second);
      it = FKinds.erase(it);
    } else
      ++it;
  }
  if (FOthersOpen && due(FOthers)) {
    WriteCount(" more lines of other kinds", FOthers);
    FOthersOpen = false;
  }
  return next;
}
