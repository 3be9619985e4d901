// Tests of the frame-time summary: median and longest since the last report, and a view that
// stopped drawing showing as one long frame.
#include "app/FrameTimes.h"

#include <gtest/gtest.h>

TEST(FrameTimesTest, MedianAndLongestOfTheFramesSinceTheLastReport) {
  TFrameTimes t;
  const int64_t f = 1000;             // ticks are milliseconds
  EXPECT_EQ(t.Take(0, f).Frames, 0);  // nothing drawn yet: no frame, no stall
  EXPECT_EQ(t.Take(0, f).LongestMs, 0);
  for (int64_t at : {100, 110, 150, 160, 170})  // the first only starts the clock
    t.FrameDone(at, f);
  TFrameTimes::TSummary s = t.Take(175, f);
  EXPECT_EQ(s.Frames, 4);  // 10, 40, 10, 10
  EXPECT_DOUBLE_EQ(s.MedianMs, 10);
  EXPECT_DOUBLE_EQ(s.LongestMs, 40);
  // An even count takes the mean of the two middle times; the report starts afresh.
  t.FrameDone(190, f);  // 20
  t.FrameDone(220, f);  // 30
  s = t.Take(225, f);
  EXPECT_EQ(s.Frames, 2);
  EXPECT_DOUBLE_EQ(s.MedianMs, 25);
  EXPECT_DOUBLE_EQ(s.LongestMs, 30);
  // A frame the clock waited for counts from the end of the wait.
  t.FrameDone(236, f);  // 16
  t.Resumed(244);
  t.FrameDone(252, f);  // 16, of which 8 waited: 8
  s = t.Take(252, f);
  EXPECT_EQ(s.Frames, 2);
  EXPECT_DOUBLE_EQ(s.MedianMs, 12);
  EXPECT_DOUBLE_EQ(s.LongestMs, 16);
}

TEST(FrameTimesTest, AViewThatStoppedDrawingShowsAsALongFrame) {
  TFrameTimes t;
  const int64_t f = 1000;
  t.FrameDone(0, f);
  t.FrameDone(20, f);
  const TFrameTimes::TSummary s = t.Take(900, f);
  EXPECT_EQ(s.Frames, 1);
  EXPECT_DOUBLE_EQ(s.MedianMs, 20);
  EXPECT_DOUBLE_EQ(s.LongestMs, 880);
  EXPECT_DOUBLE_EQ(t.Take(1900, f).LongestMs, 1880);  // still none drawn
}
