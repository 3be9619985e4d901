// Lifetime and bandwidth arithmetic of cubes and pipes, on performance-counter
// times, and the 20-point chart ring.
#pragma once

#include <cstdint>
#include <string>

// Seconds between two counter readings.
double SecondsBetween(int64_t from, int64_t to, int64_t frequency);

// Bits per second averaged over an object's life; 0 when the life has no length.
double AverageBps(int64_t byteTotal, int64_t firstSeen, int64_t now, int64_t frequency);

// "%.0n": no decimals, "," between thousands ("4,000", "-1,234", "0").
std::string FormatThousands(double value);

// Idle longer than `ttl` seconds (exactly `ttl` is not yet expired).
bool IdleExpired(int64_t lastSeen, int64_t now, int64_t frequency, double ttl);

// The stall rule of a pipe: once idle for more than `stallSeconds`, a pipe
// that got packets since the last check has its stall count caught up and
// lives on; otherwise it is due. Returns true when the pipe is due.
bool PipeStalled(int64_t lastSeen, int64_t now, int64_t frequency, int stallSeconds, int packetCount, int& stallCount);

// The chart's ring of 20 points: each value goes to the next point, wrapping.
class TChartRing {
 public:
  static constexpr int Points = 20;
  // The point the next value goes to, advancing the ring.
  int Next();
  int ChartIndex() const { return FIndex; }

 private:
  int FIndex = 0;
};
