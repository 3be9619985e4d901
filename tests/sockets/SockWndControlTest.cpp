// Tests of the hidden-window pool: message-number blocks, bookkeeping errors, released numbers,
// deferred release, and thread binding.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "SocketTestUtil.h"
#include "sockets/SockWndControl.h"
#include "sockets/WSocket.h"

namespace {

// A control that records the messages of a second number it borrows.
class TProbe : public TSockWndControl {
 public:
  explicit TProbe(TComponent* owner, bool* destroyed = nullptr) : TSockWndControl(owner), FDestroyed(destroyed) {}
  ~TProbe() override {
    if (FDestroyed) *FDestroyed = true;
  }
  int MessagesNeeded() override { return 2; }
  void ClaimMessages() override {
    TSockWndControl::ClaimMessages();
    Extra = AllocateMsg();
  }
  void ReturnMessages() override {
    FreeMsg(Extra);
    TSockWndControl::ReturnMessages();
  }
  void HandleWindowMessage(TMessage& msg) override {
    if (msg.Msg == Extra) {
      Received.push_back(static_cast<int>(msg.WParam));
      if (Throw) throw Exception("boom");
      return;
    }
    TSockWndControl::HandleWindowMessage(msg);
  }
  void AbortComponent() override { ++Aborts; }
  UINT Extra = 0;
  std::vector<int> Received;
  bool Throw = false;
  int Aborts = 0;

 private:
  bool* FDestroyed;
};

}  // namespace

TEST(SockWndPool, FifteenSocketsNeedASecondWindowButASmallControlStillFits) {
  const DWORD me = GetCurrentThreadId();
  ASSERT_EQ(SockWndHandlerCount(me), 0);
  std::vector<std::unique_ptr<TWSocket>> socks;
  for (int i = 0; i < 14; ++i) socks.push_back(std::make_unique<TWSocket>(nullptr));
  EXPECT_EQ(SockWndHandlerCount(me), 1);
  TSockWndHandler* first = socks[0]->MsgHandler();
  EXPECT_EQ(first->UsedCount(), 98);
  for (auto& s : socks) EXPECT_EQ(s->Handle(), first->Handle());  // one shared window
  socks.push_back(std::make_unique<TWSocket>(nullptr));
  EXPECT_EQ(SockWndHandlerCount(me), 2);
  EXPECT_NE(socks.back()->Handle(), first->Handle());
  EXPECT_EQ(socks.back()->MsgHandler()->MsgLow(), first->MsgLow());  // same numbers, other window
  TSockWndControl small(nullptr);
  EXPECT_EQ(small.Handle(), first->Handle());
  EXPECT_EQ(first->UsedCount(), 99);
  small.DeallocateWindow();
  const int windows = SockWndWindowCount();
  socks.pop_back();  // the second window had only this socket
  EXPECT_EQ(SockWndWindowCount(), windows - 1);
  EXPECT_EQ(SockWndHandlerCount(me), 1);
  socks.clear();
  EXPECT_EQ(SockWndHandlerCount(me), 0);
  EXPECT_EQ(SockWndWindowCount(), 0);
  EXPECT_FALSE(SockWndClassRegistered());
}

TEST(SockWndPool, NumberBookkeepingErrors) {
  SetGlobalMsgLow(1024);
  EXPECT_EQ(GetGlobalMsgLow(), 1025u);
  SetGlobalMsgLow(65435);
  EXPECT_EQ(GetGlobalMsgLow(), 1025u);
  SetGlobalMsgLow(2000);
  EXPECT_EQ(GetGlobalMsgLow(), 2000u);
  SetGlobalMsgLow(0);

  TSockWndHandler h(nullptr, 1025);
  TSockWndControl owner(nullptr);
  std::vector<UINT> nums;
  for (int i = 0; i < 100; ++i) nums.push_back(h.AllocateMsgHandler(&owner));
  EXPECT_EQ(nums.front(), 1025u);
  EXPECT_EQ(nums.back(), 1124u);
  EXPECT_THROW(h.AllocateMsgHandler(&owner), ESockException);
  UINT out = 2000;
  try {
    h.FreeMsgHandler(out);
    FAIL();
  } catch (ESockException& e) {
    EXPECT_EQ(e.Message(), "Msg value out of bound");
  }
  UINT n = 1030;
  h.FreeMsgHandler(n);
  EXPECT_EQ(n, 0u);
  n = 1030;
  try {
    h.FreeMsgHandler(n);
    FAIL();
  } catch (ESockException& e) {
    EXPECT_EQ(e.Message(), "Msg not registered");
  }
  EXPECT_EQ(h.AllocateMsgHandler(&owner), 1030u);  // the lowest free one again
  TSockWndHandler undefined(nullptr, 100);
  try {
    undefined.AllocateMsgHandler(&owner);
    FAIL();
  } catch (ESockException& e) {
    EXPECT_EQ(e.Message(), "MsgLow not defined");
  }
  for (UINT& m : nums) h.FreeMsgHandler(m);
  EXPECT_EQ(h.Handle(), 0u);  // the last number took the window with it
}

TEST(SockWndPool, MessagesForAReleasedNumberNeverReachItsNextHolder) {
  auto a = std::make_unique<TProbe>(nullptr);
  const HWND wnd = a->Handle();
  const UINT num = a->Extra;
  ASSERT_TRUE(a->PostMsg(num, 1, 0));
  TProbe keep(nullptr);  // keeps the shared window alive
  keep.Handle();
  a.reset();
  TProbe b(nullptr);
  ASSERT_EQ(b.Handle(), wnd);
  ASSERT_EQ(b.Extra, num);  // same window, same number, new holder
  b.PostMsg(num, 2, 0);
  PostMessage(wnd, num, 3, 0);  // untagged: not addressed to anyone
  PumpFor(50);
  EXPECT_EQ(b.Received, std::vector<int>{2});
}

TEST(SockWndPool, ReleaseLaterFreesFromTheQueueAndExceptionsAbort) {
  bool destroyed = false;
  auto* p = new TProbe(nullptr, &destroyed);
  p->Handle();
  p->Throw = true;
  p->PostMsg(p->Extra, 7, 0);
  PumpFor(20);
  EXPECT_EQ(p->Aborts, 1);  // no OnBgException: the component is aborted
  bool canCloseSeen = false;
  p->OnBgException = [&](TObject*, Exception& e, bool& canClose) {
    canCloseSeen = canClose && e.Message() == "boom";
    canClose = false;
  };
  p->PostMsg(p->Extra, 8, 0);
  PumpFor(20);
  EXPECT_TRUE(canCloseSeen);
  EXPECT_EQ(p->Aborts, 1);
  p->ReleaseLater();
  EXPECT_FALSE(destroyed);
  ASSERT_TRUE(PumpUntil([&] { return destroyed; }));
}

TEST(SockWndPool, ThreadBinding) {
  TSockWndControl c(nullptr);
  c.Handle();
  try {
    c.AttachToThread();
    FAIL();
  } catch (ESockException& e) {
    EXPECT_EQ(e.Message(), "Cannot attach when not detached");
  }
  std::string error;
  std::thread([&] {
    try {
      c.DetachFromThread();
    } catch (ESockException& e) {
      error = e.Message();
    }
  }).join();
  EXPECT_EQ(error, "Cannot detach from another thread");
  EXPECT_TRUE(c.HasHandle());
  c.DetachFromThread();
  EXPECT_FALSE(c.HasHandle());
  c.AttachToThread();
  EXPECT_TRUE(c.HasHandle());
}
