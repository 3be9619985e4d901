// Lifetime and bandwidth arithmetic: counter seconds, average bits per second, idle expiry,
// thousands formatting and the chart ring.
#include "app/Bandwidth.h"

#include <cmath>
#include <cstdio>

double SecondsBetween(int64_t from, int64_t to, int64_t frequency) {
  if (frequency <= 0) return 0.0;
  return static_cast<double>(to - from) / static_cast<double>(frequency);
}

double AverageBps(int64_t byteTotal, int64_t firstSeen, int64_t now, int64_t frequency) {
  const double age = SecondsBetween(firstSeen, now, frequency);
  if (!(age > 0.0)) return 0.0;
  return static_cast<double>(byteTotal) * 8.0 / age;
}

std::string FormatThousands(double value) {
  if (!std::isfinite(value)) return "0";
  char digits[64];
  std::snprintf(digits, sizeof digits, "%.0f", std::fabs(value));
  std::string s(digits);
  std::string out;
  const int n = static_cast<int>(s.size());
  for (int i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) out += ',';
    out += s[i];
  }
  if (value < 0 && out != "0") out.insert(out.begin(), '-');
  return out;
}

bool IdleExpired(int64_t lastSeen, int64_t now, int64_t frequency, double ttl) {
  return SecondsBetween(lastSeen, now, frequency) > ttl;
}

bool PipeStalled(int64_t lastSeen, int64_t now, int64_t frequency, int stallSeconds, int packetCount, int& stallCount) {
  if (!(SecondsBetween(lastSeen, now, frequency) > stallSeconds)) return false;
  if (packetCount != stallCount) {
    stallCount = packetCount;
    return false;
  }
  return true;
}

int TChartRing::Next() {
  const int i = FIndex;
  FIndex = FIndex + 1 > Points - 1 ? 0 : FIndex + 1;
  return i;
}
