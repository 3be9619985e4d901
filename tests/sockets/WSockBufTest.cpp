// Tests of send buffers: block chains, partial and bad removals, and block resizing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sockets/WSockBuf.h"

namespace {
std::string Drain(TSockBufferHandler& h, std::vector<int>* sizes = nullptr) {
  std::string out;
  const char* p;
  int n;
  while ((n = h.Peek(p)) > 0) {
    if (sizes) sizes->push_back(n);
    out.append(p, static_cast<size_t>(n));
    h.Remove(n);
  }
  return out;
}
}  // namespace

TEST(WSockBuf, ChainFillsFixedBlocksAndKeepsOrder) {
  TSockBufferHandler h(nullptr);
  std::string data(4000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  h.Write(data.data(), 1000);
  h.Write(data.data() + 1000, 3000);
  EXPECT_EQ(h.InUseCount(), 3);
  std::vector<int> sizes;
  EXPECT_EQ(Drain(h, &sizes), data);
  EXPECT_EQ(sizes, (std::vector<int>{1460, 1460, 1080}));
  EXPECT_TRUE(h.IsEmpty());
  // Emptied blocks are reused instead of allocated again.
  EXPECT_EQ(h.FreeCount(), 3);
  h.Write(data.data(), 2000);
  EXPECT_EQ(h.FreeCount(), 1);
  h.ResetAll();
  EXPECT_TRUE(h.IsEmpty());
  EXPECT_EQ(h.FreeCount(), 3);
}

TEST(WSockBuf, PartialRemoveKeepsTheRest) {
  TSockBufferHandler h(nullptr);
  h.Write("abcdef", 6);
  h.Remove(2);
  EXPECT_EQ(Drain(h), "cdef");
}

TEST(WSockBuf, RemoveRejectsBadRequests) {
  TSockBufferHandler h(nullptr);
  try {
    h.Remove(-1);
    FAIL();
  } catch (Exception& e) {
    EXPECT_EQ(e.Message(), "TSockBufferHandler.Remove: Invalid Len -1");
  }
  try {
    h.Remove(1);
    FAIL();
  } catch (Exception& e) {
    EXPECT_EQ(e.Message(), "TSockBufferHandler.Remove: nothing to remove");
  }
}

TEST(WSockBuf, BlockResizeNeverCutsUnreadData) {
  TSockBuffer b(16);
  EXPECT_EQ(b.Write("0123456789", 0, 10), 10);
  EXPECT_EQ(b.Write("abcdefghij", 0, 10), 6);  // only what fits
  b.Remove(4);
  b.ResizeBlock(4);  // smaller than what was written
  const char* p;
  ASSERT_EQ(b.Peek(p), 12);
  EXPECT_EQ(std::string(p, 12), "456789abcdef");
  b.ResizeBlock(0);  // 0 means the default size
  EXPECT_EQ(b.BlockSize(), 1460);
  ASSERT_EQ(b.Peek(p), 12);
  EXPECT_EQ(std::string(p, 12), "456789abcdef");
  EXPECT_EQ(b.Remove(100), 12);
  EXPECT_EQ(b.UnreadLength(), 0);
}
