// Tests of the packet queue: ring order and wrap, overflow counting, drop reports, failing
// processing, and a concurrent producer.
#include "app/PacketQueue.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

TEST(QueueTest, DrainCountFollowsBacklog) {
  EXPECT_EQ(TPacketQueue::DrainCount(0), 1);
  EXPECT_EQ(TPacketQueue::DrainCount(67), 1);
  EXPECT_EQ(TPacketQueue::DrainCount(68), 2);
  EXPECT_EQ(TPacketQueue::DrainCount(8191), 182);
  EXPECT_EQ(TPacketQueue::DrainCount(32000), 711);
}

TEST(QueueTest, EmptyRingAndEmptySlots) {
  TPacketQueue q;
  int processed = 0;
  auto process = [&](const std::string&) { ++processed; };
  q.QueUnload(process, nullptr);
  EXPECT_EQ(q.QueReadIndex(), 0);
  EXPECT_EQ(q.QuePending(), 0);
  q.QueLoad("");
  q.QueLoad("a");
  q.QueUnload(process, nullptr);  // the empty line is skipped but consumed
  EXPECT_EQ(processed, 0);
  EXPECT_EQ(q.QuePending(), 1);
  EXPECT_EQ(q.QueReadIndex(), 1);
  q.QueUnload(process, nullptr);
  EXPECT_EQ(processed, 1);
  EXPECT_EQ(q.QuePending(), 0);
}

TEST(QueueTest, IndexesWrapAndLinesStayInOrder) {
  TPacketQueue q;
  std::string got;
  for (int round = 0; round < 3; ++round)
    for (int i = 0; i < 5000; ++i) {
      q.QueLoad(std::to_string(i));
      ASSERT_TRUE(q.Take(got));
      ASSERT_EQ(got, std::to_string(i));
    }
  EXPECT_EQ(q.QueWriteIndex(), 15000 % 8192);
  EXPECT_EQ(q.QueReadIndex(), q.QueWriteIndex());
}

TEST(QueueTest, OverflowKeepsUnreadLinesAndCountsEverything) {
  TPacketQueue q;
  for (int i = 0; i < 8193; ++i) q.QueLoad("L" + std::to_string(i));
  EXPECT_EQ(q.QuePending(), 8193);
  EXPECT_GT(q.QuePending(), q.QueHigh());  // shows the BUFFER panel
  std::string got;
  int taken = 0;
  while (q.Take(got)) {
    ASSERT_EQ(got, "L" + std::to_string(taken));  // oldest first, none twice
    ++taken;
  }
  EXPECT_EQ(taken, 8191);
  EXPECT_EQ(q.QuePending(), 0);  // the dropped lines leave no phantom backlog
  EXPECT_EQ(q.Dropped(), 2);     // but stay counted

  for (int i = 0; i < 40000; ++i) q.QueLoad("x");
  EXPECT_EQ(q.QuePending(), 32000);
}

TEST(QueueTest, DroppedLinesAreReportedAtMostOnceASecond) {
  TPacketQueue q;
  constexpr int64_t second = TPacketQueue::DropReportInterval;
  EXPECT_EQ(q.DropReport(5 * second), "");  // nothing dropped
  for (int i = 0; i < 8200; ++i) q.QueLoad("x");
  std::string got;
  while (q.Take(got)) {
  }
  EXPECT_EQ(q.DropReport(5 * second), "Packet lines dropped, queue full: 9 (9 since start)");
  EXPECT_EQ(q.DropReport(5 * second), "");  // reported already
  for (int i = 0; i < 8195; ++i) q.QueLoad("x");
  EXPECT_EQ(q.DropReport(6 * second - 1), "");  // within the second: the count waits
  while (q.Take(got)) {
  }
  EXPECT_EQ(q.DropReport(6 * second), "Packet lines dropped, queue full: 4 (13 since start)");
}

TEST(QueueTest, FailingProcessingIsReportedAndTheQueueGoesOn) {
  TPacketQueue q;
  q.QueLoad("bad");
  q.QueLoad("good");
  std::string error, seen;
  auto process = [&](const std::string& l) {
    if (l == "bad") throw std::runtime_error("boom");
    seen = l;
  };
  auto onError = [&](const std::string& m) { error = m; };
  q.QueUnload(process, onError);
  q.QueUnload(process, onError);
  EXPECT_EQ(error, "boom");
  EXPECT_EQ(seen, "good");
}

TEST(QueueTest, ConcurrentProducerEveryLineOnceInOrder) {
  TPacketQueue q;
  const int total = 200000;
  std::thread producer([&] {
    for (int i = 0; i < total; ++i) {
      while (q.QuePending() > 4000) std::this_thread::yield();
      q.QueLoad(std::to_string(i));
    }
  });
  int next = 0;
  std::string got;
  while (next < total)
    if (q.Take(got)) {
      ASSERT_EQ(got, std::to_string(next));
      ++next;
    }
  producer.join();
  EXPECT_FALSE(q.Take(got));
}

// At close the drop report is written whatever its hold, the lines still in
// the ring are taken out and counted, and the totals add up; a second close
// counts only what came after the first.
TEST(QueueTest, CloseReportAccountsForEveryLineLoaded) {
  TPacketQueue q;
  constexpr int64_t second = TPacketQueue::DropReportInterval;
  for (int i = 0; i < 8200; ++i) q.QueLoad("x");
  EXPECT_EQ(q.DropReport(5 * second), "Packet lines dropped, queue full: 9 (9 since start)");
  std::string got;
  for (int i = 0; i < 100; ++i) q.Take(got);
  for (int i = 0; i < 150; ++i) q.QueLoad("y");  // 100 fit, 50 dropped
  EXPECT_EQ(q.DropReport(5 * second + 1), "");   // held back
  EXPECT_EQ(q.CloseReport(), (std::vector<std::string>{
                                 "Packet lines dropped, queue full: 50 (59 since start)",
                                 "Packet lines not processed at close: 8191 left in the queue",
                                 "Packet lines since start: 8350 received, 100 processed, 59 dropped (queue full), "
                                 "8191 not processed at close, 0 pieces not 11 fields"}));
  EXPECT_FALSE(q.Take(got));
  EXPECT_EQ(q.QuePending(), 0);
  q.QueLoad("z");
  q.CountNotLine();
  q.CountNotLine();
  EXPECT_EQ(q.NotLines(), 2);
  EXPECT_EQ(q.CloseReport(), (std::vector<std::string>{
                                 "Packet lines not processed at close: 1 left in the queue",
                                 "Packet lines since start: 8351 received, 100 processed, 59 dropped (queue full), "
                                 "8192 not processed at close, 2 pieces not 11 fields"}));
}
