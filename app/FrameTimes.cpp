// Frame-time records of the 3D view and their summary per diagnostic report.
#include "app/FrameTimes.h"

#include <algorithm>

namespace {
double Ms(int64_t ticks, int64_t frequency) { return frequency > 0 ? 1000.0 * double(ticks) / double(frequency) : 0; }
}  // namespace

void TFrameTimes::FrameDone(int64_t counter, int64_t frequency) {
  if (FStarted) FTimesMs.push_back(Ms(counter - std::max(FLast, FResumed), frequency));
  FStarted = true;
  FLast = counter;
}

TFrameTimes::TSummary TFrameTimes::Take(int64_t counter, int64_t frequency) {
  TSummary s;
  s.Frames = static_cast<int>(FTimesMs.size());
  if (!FTimesMs.empty()) {
    const auto mid = FTimesMs.begin() + static_cast<std::ptrdiff_t>(FTimesMs.size() / 2);
    std::nth_element(FTimesMs.begin(), mid, FTimesMs.end());
    s.MedianMs = *mid;
    if (FTimesMs.size() % 2 == 0)  // the mean of the two middle ones
      s.MedianMs = (s.MedianMs + *std::max_element(FTimesMs.begin(), mid)) / 2;
    s.LongestMs = *std::max_element(FTimesMs.begin(), FTimesMs.end());
  }
  if (FStarted) s.LongestMs = std::max(s.LongestMs, Ms(counter - FLast, frequency));
  FTimesMs.clear();
  return s;
}

TFrameTimes& ViewFrameTimes() {
  static TFrameTimes times;
  return times;
}
