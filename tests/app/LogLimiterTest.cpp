// Tests of the per-kind bound on repeated log lines: what one kind may write in a second, the
// count line after it, kinds kept apart, lines that go together, and counts written at close.
#include "app/LogLimiter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int64_t Second = TLogLimiter::Second;

struct Written {
  std::vector<std::string> Lines;
  TLogLimiter::TWrite Sink() {
    return [this](const std::string& l) { Lines.push_back(l); };
  }
};

std::string BadName(int i) { return "QueUnload 'IP10_5_0_+" + std::to_string(i) + "' is not a valid component name"; }

}  // namespace

TEST(LogLimiterTest, KindsIgnoreQuotedNamesAndNumbersOnly) {
  EXPECT_EQ(TLogLimiter::KindOf(BadName(1)), TLogLimiter::KindOf(BadName(254)));
  EXPECT_EQ(TLogLimiter::KindOf("Read 12 of 345 \"a b\" 'c'"), "Read 0 of 0 \"\" ''");
  EXPECT_NE(TLogLimiter::KindOf("QueUnload '6x' is not a valid integer value"), TLogLimiter::KindOf(BadName(1)));
  EXPECT_NE(TLogLimiter::KindOf("QueUnload Range check error"), TLogLimiter::KindOf("QueUnload Arithmetic overflow"));
  // An unclosed quote hides the rest of the line, as for a name cut short.
  EXPECT_EQ(TLogLimiter::KindOf("x 'unclosed 12"), "x '");
}

// 2,000 failing lines of one kind in a second: three are written, then one
// line with the count of the rest; another kind in the same second is not
// held back by them.
TEST(LogLimiterTest, OneKindWritesAFewLinesASecondThenItsCount) {
  Written w;
  TLogLimiter limit(3, w.Sink());
  const int64_t t0 = 7 * Second;
  for (int i = 0; i < 2000; ++i) {
    limit.Log(BadName(i), t0 + i * 100000);  // 0.2 s in all
    if (i == 1000) limit.Log("QueUnload '6x' is not a valid integer value", t0 + i * 100000);
  }
  EXPECT_EQ(w.Lines, (std::vector<std::string>{BadName(0), BadName(1), BadName(2),
                                               "QueUnload '6x' is not a valid integer value"}));
  EXPECT_EQ(limit.Flush(t0 + Second - 1), t0 + Second);  // the count is due when the second is over
  EXPECT_EQ(w.Lines.size(), 4u);
  EXPECT_EQ(limit.Flush(t0 + Second), 0);
  ASSERT_EQ(w.Lines.size(), 5u);
  EXPECT_EQ(w.Lines[4], BadName(1999) + " (1997 more times)");

  // The next second starts with the next line, again three and a count; the
  // count comes before the line that follows its second.
  w.Lines.clear();
  for (int i = 0; i < 10; ++i) limit.Log(BadName(i), t0 + 2 * Second);
  limit.Log(BadName(77), t0 + 3 * Second);
  EXPECT_EQ(w.Lines, (std::vector<std::string>{BadName(0), BadName(1), BadName(2), BadName(9) + " (7 more times)",
                                               BadName(77)}));
}

TEST(LogLimiterTest, LinesOfOneFailureGoTogetherAndCloseWritesHeldCounts) {
  Written w;
  TLogLimiter limit(1, w.Sink());
  for (const char* ip : {"1.2.x.4", "1.2.y.4", "1.2.z.4"})
    limit.Log({"*ERR Add-DST-Objects'x' is not a valid integer value", ip}, Second, "dst");
  EXPECT_EQ(w.Lines, (std::vector<std::string>{"*ERR Add-DST-Objects'x' is not a valid integer value", "1.2.x.4"}));
  limit.Flush(Second + 1, true);  // at close, whatever the time
  EXPECT_EQ(w.Lines.back(), "*ERR Add-DST-Objects'x' is not a valid integer value (2 more times)");
  EXPECT_EQ(limit.Flush(Second + 2, true), 0);
  EXPECT_EQ(w.Lines.size(), 3u);  // told once
}

// A sender cannot get past the bound with lines of ever new kinds: beyond
// MaxKinds in a second they share one bound and one count.
TEST(LogLimiterTest, KindsBeyondTheBoundShareOneCount) {
  Written w;
  TLogLimiter limit(2, w.Sink());
  const int kinds = int(TLogLimiter::MaxKinds) + 100;
  for (int i = 0; i < kinds; ++i)
    for (int j = 0; j < 3; ++j) limit.Log("kind " + std::string(size_t(i % 26 + 1), char('a' + i / 26)), Second);
  // The known kinds two lines each, the others two lines together.
  EXPECT_EQ(w.Lines.size(), TLogLimiter::MaxKinds * 2 + 2);
  limit.Flush(2 * Second);
  const size_t counts = w.Lines.size() - (TLogLimiter::MaxKinds * 2 + 2);
  EXPECT_EQ(counts, TLogLimiter::MaxKinds + 1);
  EXPECT_EQ(w.Lines.back().substr(w.Lines.back().rfind(" (")), " (298 more lines of other kinds)");
  // The second is over: every kind is known afresh.
  w.Lines.clear();
  limit.Log("kind z", 2 * Second);
  EXPECT_EQ(w.Lines, std::vector<std::string>{"kind z"});
}
