// Tests of the upload budget: time per frame, the share of a short frame, at least one upload
// per frame, oldest request first, and a flood spread over frames.
#include "Source/Scene/GLUploadBudget.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A budget on a hand-driven clock: 1 tick = 1 ms.
struct TBudgetFixture {
  int64_t now = 0;
  TGLUploadBudget budget;
  TBudgetFixture(double limitMs) {
    budget.SetClock([this] { return now; }, 1000);
    budget.SetLimitMs(limitMs);
  }
  // One upload that takes `ms`, if granted.
  bool Upload(uint64_t& mark, int64_t ms) {
    if (!budget.Admit(mark)) return false;
    TGLUploadTimer timer(&budget);
    now += ms;
    return true;
  }
};

TEST(UploadBudget, WithoutALimitEveryUploadGoesAtOnce) {
  TBudgetFixture f(0);
  f.budget.StartFrame();
  uint64_t mark = 0;
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(f.Upload(mark, 10));
  EXPECT_EQ(mark, 0u);
}

TEST(UploadBudget, AFrameSpendsItsTimeAndAtLeastOneUpload) {
  TBudgetFixture f(4);
  f.budget.StartFrame();
  std::vector<uint64_t> marks(10, 0);
  int granted = 0;
  for (uint64_t& m : marks) granted += f.Upload(m, 1);
  EXPECT_EQ(granted, 4);  // 1 ms each against 4 ms
  f.budget.StartFrame();
  uint64_t big = 0;
  EXPECT_TRUE(f.Upload(big, 50));  // the first of a frame goes whatever it costs
  uint64_t next = 0;
  EXPECT_FALSE(f.Upload(next, 1));
  EXPECT_NE(next, 0u);  // it waits, with the frame of its request
}

TEST(UploadBudget, AShortFrameGetsItsShareOnly) {
  TBudgetFixture f(4);
  f.budget.SetShareOfFrame(0.2);
  std::vector<uint64_t> marks(20, 0);
  auto frame = [&](int64_t ms) {  // a frame of `ms` before this one starts
    f.now += ms;
    f.budget.StartFrame();
    int granted = 0;
    for (uint64_t& m : marks) granted += f.Upload(m, 1);
    return granted;
  };
  EXPECT_EQ(frame(0), 4);    // no frame measured yet: the limit
  EXPECT_EQ(frame(10), 2);   // a fifth of 10 ms
  EXPECT_EQ(frame(100), 4);  // a fifth of 100 ms is above the limit
  EXPECT_EQ(frame(1), 1);    // one a frame whatever
}

TEST(UploadBudget, WaitingRequestsAreServedOldestFirstSoNoneStarves) {
  // 12 pictures that change in every frame (a port change on every packet):
  // each asks every frame, in the same order, and 3 fit in a frame.
  TBudgetFixture f(3);
  std::vector<uint64_t> marks(12, 0);
  std::vector<int> uploads(12, 0);
  for (int frame = 0; frame < 40; ++frame) {
    f.budget.StartFrame();
    for (size_t i = 0; i < marks.size(); ++i) uploads[i] += f.Upload(marks[i], 1);
  }
  for (size_t i = 0; i < uploads.size(); ++i) {
    EXPECT_GE(uploads[i], 6) << "picture " << i;  // 120 uploads shared out, none left behind
    EXPECT_LE(uploads[i], 14) << "picture " << i;
  }
}

TEST(UploadBudget, AFloodOfNewPicturesIsUploadedWithinAFewFramesPerBudget) {
  TBudgetFixture f(5);
  std::vector<uint64_t> marks(50, 0);
  std::vector<bool> done(50, false);
  int frames = 0;
  for (; frames < 100; ++frames) {
    f.budget.StartFrame();
    bool all = true;
    for (size_t i = 0; i < marks.size(); ++i) {
      if (!done[i]) done[i] = f.Upload(marks[i], 1);
      all = all && done[i];
    }
    if (all) break;
  }
  EXPECT_LE(frames + 1, 12);  // 50 uploads at 5 a frame, with a little slack for the order
}

}  // namespace
