// Frame times of the 3D view for the load diagnostic: the time between two
// finished frames, from the frame clock's tick where the clock waited for it (a
// view at rest draws no oftener than the screen shows: what a frame costs is
// what counts), summed up per report (count, longest, median).
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
  // The frame clock waited until `counter` for the next frame's tick.
  void Resumed(int64_t counter) { FResumed = counter; }
  // The frames since the previous call. The time since the last finished
  // frame, waits and all, counts towards the longest too: a view that stopped
  // drawing shows.
  TSummary Take(int64_t counter, int64_t frequency);

 private:
  std::vector<double> FTimesMs;
  int64_t FLast = 0;
  int64_t FResumed = 0;
  bool FStarted = false;
};

// The view's frame times (main thread only).
TFrameTimes& ViewFrameTimes();
