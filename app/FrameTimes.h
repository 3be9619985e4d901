// Frame times of the 3D view for the load diagnostic: the time between two
// finished frames, summed up per report (count, longest, median).
#pragma once

#include <cstdint>
#include <vector>

class TFrameTimes {
 public:
  struct TSummary {
    int Frames = 0;
    double LongestMs = 0;
    double MedianMs = 0;
  };

  // A frame finished at `counter` (performance counter ticks).
  void FrameDone(int64_t counter, int64_t frequency);
  // The frames since the previous call. The time since the last finished
  // frame counts towards the longest too: a view that stopped drawing shows.
  TSummary Take(int64_t counter, int64_t frequency);

 private:
  std::vector<double> FTimesMs;
  int64_t FLast = 0;
  bool FStarted = false;
};

// The view's frame times (main thread only).
TFrameTimes& ViewFrameTimes();
