// The shared pseudo-random source (a split-mix generator): random numbers, ranges and seeding.
#include "rtl/Math.h"

#include <chrono>
#include <mutex>

namespace {

// A 64-bit counter stepped by a fixed odd constant and mixed (the split-mix construction):
// small, fast and of good quality for graphics and test layouts.
struct RandomSource {
  std::mutex lock;
  std::uint64_t state = 0x2545F4914F6CDD1Dull;

  std::uint64_t Next() {
    std::lock_guard guard(lock);
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
};

RandomSource& Source() {
  static RandomSource source;
  return source;
}

}  // namespace

double Random() noexcept {
  // The top 53 bits give every double of [0, 1) on a 2^-53 grid; 1.0 is never reached.
  return static_cast<double>(Source().Next() >> 11) * 0x1.0p-53;
}

int Random(int range) noexcept {
  if (range <= 0) return 0;
  // Multiply-shift: the high half of a 64x32 product is below range.
  const std::uint64_t r = Source().Next() >> 32;
  return static_cast<int>((r * static_cast<std::uint64_t>(range)) >> 32);
}

int RandomRange(int from, int to) noexcept {
  const std::int64_t lo = Min(from, to), hi = Max(from, to);
  if (lo == hi) return static_cast<int>(lo);
  const std::uint64_t span = static_cast<std::uint64_t>(hi - lo);
  const std::uint64_t r = Source().Next() >> 32;
  return static_cast<int>(lo + static_cast<std::int64_t>((r * span) >> 32));
}

void Randomize() noexcept {
  const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  SetRandSeed(static_cast<std::uint64_t>(now));
}

void SetRandSeed(std::uint64_t seed) noexcept {
  RandomSource& source = Source();
  std::lock_guard guard(source.lock);
  source.state = seed;
}
