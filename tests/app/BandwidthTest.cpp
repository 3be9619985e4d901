// Tests of lifetime and bandwidth arithmetic: the average and its text, strict idle expiry, stalled
// pipes, and the chart ring.
#include "app/Bandwidth.h"

#include <gtest/gtest.h>

#include <limits>

TEST(BandwidthTest, AverageOverLifeAndItsText) {
  const int64_t f = 1000;
  EXPECT_DOUBLE_EQ(AverageBps(1000, 0, 2000, f), 4000.0);
  EXPECT_EQ(FormatThousands(AverageBps(1000, 0, 2000, f)), "4,000");
  EXPECT_EQ(AverageBps(1000, 5, 5, f), 0.0);  // no life yet: no infinity
  EXPECT_EQ(FormatThousands(0), "0");
  EXPECT_EQ(FormatThousands(999.6), "1,000");
  EXPECT_EQ(FormatThousands(1234567), "1,234,567");
  EXPECT_EQ(FormatThousands(-1234), "-1,234");
  EXPECT_EQ(FormatThousands(std::numeric_limits<double>::quiet_NaN()), "0");
}

TEST(BandwidthTest, IdleExpiryIsStrict) {
  const int64_t f = 1000;
  EXPECT_FALSE(IdleExpired(0, 15000, f, 15));
  EXPECT_TRUE(IdleExpired(0, 15200, f, 15));
}

TEST(BandwidthTest, StalledPipeGetsOneMoreCheckWhenItHadPackets) {
  const int64_t f = 1000;
  int stall = 0;
  EXPECT_FALSE(PipeStalled(0, 4000, f, 5, 7, stall));  // not idle long enough
  EXPECT_EQ(stall, 0);
  EXPECT_FALSE(PipeStalled(0, 6000, f, 5, 7, stall));  // packets since the last check
  EXPECT_EQ(stall, 7);
  EXPECT_TRUE(PipeStalled(0, 6500, f, 5, 7, stall));
  int fresh = 0;
  EXPECT_TRUE(PipeStalled(0, 6000, f, 5, 0, fresh));  // no packets at all
}

TEST(BandwidthTest, ChartRingWraps) {
  TChartRing ring;
  for (int i = 0; i < 20; ++i) EXPECT_EQ(ring.Next(), i);
  EXPECT_EQ(ring.Next(), 0);  // the 21st value
  EXPECT_EQ(ring.ChartIndex(), 1);
}
