// A bound on log lines that can repeat with every packet line: of one kind at
// most a few lines a second are written, the rest are counted and told in one
// line when the second is over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

class TLogLimiter {
 public:
  using TWrite = std::function<void(const std::string&)>;
  static constexpr int64_t Second = 1000000000;  // ns
  // Kinds seen within one second that are told apart; lines of kinds beyond
  // them share one count.
  static constexpr size_t MaxKinds = 256;

  TLogLimiter(int perSecond, TWrite write);

  // The kind of a log text: its quoted parts ('...' and "...") left empty and
  // every run of digits made one "0", so lines that differ only in the names
  // and numbers they carry are one kind, and different failures stay apart.
  static std::string KindOf(const std::string& text);

  // Writes `lines` (one event: all written or all counted) unless `kind` (the
  // kind of the first line when empty) has had its lines in the second that
  // began with its first written line; then counts them. A count is told as
  // "<first line of the last event> (N more times)".
  void Log(const std::vector<std::string>& lines, int64_t nowNs, const std::string& kind = std::string());
  void Log(const std::string& line, int64_t nowNs) { Log(std::vector<std::string>{line}, nowNs); }

  // Writes the counts of the kinds whose second is over (of every kind with
  // `all`, as at close) and forgets those kinds. Returns when the next count
  // is due, or 0 when none is held.
  int64_t Flush(int64_t nowNs, bool all = false);
  // Forgets everything held, writing nothing.
  void Clear() {
    FKinds.clear();
    FOthersOpen = false;
  }

 private:
  struct TKind {
    int64_t Start = 0;  // its second began here
    int Written = 0;
    int64_t Left = 0;  // events counted, not written
    std::string Last;  // the first line of the last event counted
  };
  static TKind Started(int64_t nowNs) {
    TKind k;
    k.Start = nowNs;
    return k;
  }
  void WriteCount(const std::string& suffix, const TKind& k);

  int FPerSecond;
  TWrite FWrite;
  std::map<std::string, TKind> FKinds;
  TKind FOthers;  // kinds beyond MaxKinds, counted together
  bool FOthersOpen = false;
};
