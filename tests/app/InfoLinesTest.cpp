// Tests of the info line rings: order, count and byte bounds through growth and
// wrap-around, and lines shared between rings released when no ring holds them.
#include "app/InfoLines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {
std::string Text(int i) { return "line " + std::to_string(i) + std::string(size_t(i % 7), 'x'); }
}  // namespace

// Two rings (count bounds 20 and 7) take the same lines, past growth and
// wrap-around; each holds its newest lines in order, and a line is shared by
// exactly the rings that still hold it.
TEST(InfoLines, RingsHoldTheirNewestLinesAndShareThem) {
  TInfoLines big(20, 100000), small(7, 100000);
  std::vector<TInfoLine> lines;
  for (int i = 0; i < 50; ++i) lines.emplace_back(Text(i));
  for (int i = 0; i < 50; ++i) {
    big.Add(lines[size_t(i)]);
    small.Add(lines[size_t(i)]);
    for (const TInfoLines* ring : {&big, &small}) {
      const int held = std::min<int>(i + 1, int(ring->MaxLines()));
      ASSERT_EQ(ring->Count(), held) << "after " << i;
      for (int k = 0; k < held; ++k) ASSERT_EQ(ring->Strings(k), Text(i + 1 - held + k)) << "after " << i;
    }
    for (int j = 0; j <= i; ++j)
      ASSERT_EQ(lines[size_t(j)].UseCount(), size_t(1 + (j > i - 20) + (j > i - 7))) << "line " << j << " after " << i;
  }
}

// The byte bound drops the oldest lines (the newest always stays); the slots
// they leave are filled again by later lines without losing or keeping any.
TEST(InfoLines, TheByteBoundDropsOldestLinesAndTheirSlotsAreReused) {
  TInfoLines ring(10, 40);
  std::vector<TInfoLine> lines;
  for (int i = 0; i < 40; ++i) lines.emplace_back(std::string(size_t(3 + (i * 7) % 30), char('a' + i % 26)));
  for (int i = 0; i < 40; ++i) {
    ring.Add(lines[size_t(i)]);
    size_t bytes = 0;
    int held = 0;
    for (int j = i; j >= 0 && held < 10; --j, ++held) {
      if (held > 0 && bytes + lines[size_t(j)].Size() > 40) break;
      bytes += lines[size_t(j)].Size();
    }
    ASSERT_EQ(ring.Count(), held) << "after " << i;
    ASSERT_EQ(ring.Bytes(), bytes) << "after " << i;
    for (int k = 0; k < held; ++k) ASSERT_EQ(ring.Strings(k), lines[size_t(i + 1 - held + k)].View());
    for (int j = 0; j <= i; ++j) ASSERT_EQ(lines[size_t(j)].UseCount(), size_t(1 + (j > i - held))) << "line " << j;
  }
}
