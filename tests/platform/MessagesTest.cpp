// Tests of hidden windows and messages: order across threads, freed windows, timers, send, hooks,
// quit, waits, exceptions in handlers, and message times.
#include "platform/Messages.h"
#include "platform/Timing.h"

#include <gtest/gtest.h>

#include "platform/PumpUntil.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace {

// A window on its own thread running RunMessageLoop until WM_QUIT.
class LoopThread {
 public:
  explicit LoopThread(TWndMethod handler) {
    std::promise<HWND> ready;
    auto future = ready.get_future();
    thread_ = std::thread([this, &ready, handler = std::move(handler)]() mutable {
      threadId_ = GetCurrentThreadId();
      HWND wnd = AllocateHWnd(std::move(handler));
      ready.set_value(wnd);
      exitCode_ = RunMessageLoop();
    });
    wnd_ = future.get();
  }
  ~LoopThread() { Stop(); }
  int Stop() {
    if (thread_.joinable()) {
      PostMessage(wnd_, WM_QUIT, 7, 0);
      thread_.join();
    }
    return exitCode_;
  }
  HWND Wnd() const { return wnd_; }
  DWORD ThreadId() const { return threadId_; }

 private:
  std::thread thread_;
  HWND wnd_ = 0;
  std::atomic<DWORD> threadId_{0};
  int exitCode_ = -1;
};

TEST(Messages, PostedFromAnotherThreadArriveInOrderOnTheOwnerThread) {
  static constexpr UINT kData = WM_USER + 1, kDone = WM_USER + 2;
  std::vector<WPARAM> received;
  std::set<DWORD> threads;
  bool done = false;
  HWND wnd = AllocateHWnd([&](TMessage& m) {
    threads.insert(GetCurrentThreadId());
    if (m.Msg == kData) received.push_back(m.WParam);
    if (m.Msg == kDone) done = true;
  });
  std::thread poster([wnd] {
    for (WPARAM i = 0; i < 2000; ++i) ASSERT_TRUE(PostMessage(wnd, kData, i, 0));
    PostMessage(wnd, kDone, 0, 0);
  });
  ASSERT_TRUE(PumpUntil([&] { return done; }));
  poster.join();
  ASSERT_EQ(received.size(), 2000u);
  for (WPARAM i = 0; i < received.size(); ++i) ASSERT_EQ(received[i], i);
  EXPECT_EQ(threads, std::set<DWORD>{GetCurrentThreadId()});
  DeallocateHWnd(wnd);
}

TEST(Messages, MessagesToFreedOrReusedWindowsAreDropped) {
  int oldCalls = 0, newCalls = 0;
  HWND old = AllocateHWnd([&](TMessage&) { ++oldCalls; });
  ASSERT_NE(old, 0u);
  EXPECT_TRUE(IsWindow(old));
  EXPECT_TRUE(PostMessage(old, WM_USER, 1, 0));  // queued before the window goes
  DeallocateHWnd(old);
  EXPECT_FALSE(IsWindow(old));

  // The freed slot is taken by the next window; the old handle must not reach it.
  HWND fresh = AllocateHWnd([&](TMessage&) { ++newCalls; });
  EXPECT_NE(fresh, old);
  EXPECT_FALSE(PostMessage(old, WM_USER, 2, 0));
  EXPECT_EQ(SendMessage(old, WM_USER, 3, 0), 0);
  EXPECT_EQ(SetTimer(old, 1, 1), 0u);
  DeallocateHWnd(old);  // a second free of a stale handle is harmless
  EXPECT_TRUE(IsWindow(fresh));

  EXPECT_TRUE(PostMessage(fresh, WM_USER, 4, 0));
  ASSERT_TRUE(PumpUntil([&] { return newCalls == 1; }));
  ProcessMessages();
  EXPECT_EQ(oldCalls, 0);
  EXPECT_EQ(newCalls, 1);
  DeallocateHWnd(fresh);
  EXPECT_FALSE(PostMessage(0, WM_USER, 0, 0));
  EXPECT_FALSE(IsWindow(0));
}

TEST(Messages, TimerFiresWhileProcessMessagesPumpsAndStopsWhenKilled) {
  std::vector<WPARAM> ids;
  HWND wnd = AllocateHWnd([&](TMessage& m) {
    if (m.Msg == WM_TIMER) ids.push_back(m.WParam);
  });
  ASSERT_EQ(SetTimer(wnd, 42, 2), 42u);
  ASSERT_TRUE(PumpUntil([&] { return ids.size() >= 3; }));
  for (WPARAM id : ids) EXPECT_EQ(id, 42u);

  // Restarting an id replaces the timer rather than adding a second one.
  ASSERT_EQ(SetTimer(wnd, 42, 1), 42u);
  EXPECT_TRUE(KillTimer(wnd, 42));
  EXPECT_FALSE(KillTimer(wnd, 42));
  const std::size_t seen = ids.size();
  Sleep(20);
  ProcessMessages();
  EXPECT_EQ(ids.size(), seen);

  // An interval beyond the signed range is clamped, not refused.
  EXPECT_EQ(SetTimer(wnd, 77, 0xFFFFFFFFu), 77u);
  EXPECT_TRUE(KillTimer(wnd, 77));

  // Timers are set by the owner thread only, and die with their window.
  std::uintptr_t fromOther = 1;
  std::thread([&] { fromOther = SetTimer(wnd, 5, 1); }).join();
  EXPECT_EQ(fromOther, 0u);
  ASSERT_EQ(SetTimer(wnd, 9, 1), 9u);
  DeallocateHWnd(wnd);
  Sleep(10);
  ProcessMessages();
  EXPECT_EQ(ids.size(), seen);
}

TEST(Messages, HandlerMayFreeItsOwnWindow) {
  auto log = std::make_shared<std::vector<std::string>>();
  HWND wnd = 0;
  wnd = AllocateHWnd([log, &wnd](TMessage& m) {
    DeallocateHWnd(wnd);
    // The handler object (and what it captured) must survive to the end of this call.
    log->push_back("handled " + std::to_string(m.WParam));
  });
  PostMessage(wnd, WM_USER, 1, 0);
  PostMessage(wnd, WM_USER, 2, 0);
  ASSERT_TRUE(PumpUntil([&] { return !log->empty(); }));
  ProcessMessages();
  EXPECT_EQ(*log, std::vector<std::string>{"handled 1"});
  EXPECT_FALSE(IsWindow(wnd));

  // The same from a timer: the timer dies with the window.
  int ticks = 0;
  HWND timed = 0;
  timed = AllocateHWnd([&](TMessage&) {
    ++ticks;
    DeallocateHWnd(timed);
  });
  SetTimer(timed, 1, 1);
  ASSERT_TRUE(PumpUntil([&] { return ticks == 1; }));
  Sleep(10);
  ProcessMessages();
  EXPECT_EQ(ticks, 1);
}

TEST(Messages, PostsFromOtherThreadsWhileWindowsAreFreedAndReusedReachOnlyTheirTarget) {
  // Posters aim at handles that the owner keeps freeing and replacing (the
  // slots are reused at once) and at windows of a thread that ends meanwhile.
  // Every message carries its target's handle: a handler must only ever see
  // its own, and nothing may crash or hang.
  constexpr int kWindows = 8;
  std::atomic<HWND> slots[kWindows];
  std::atomic<int> misdelivered{0}, delivered{0};
  auto make = [&] {
    auto self = std::make_shared<HWND>(0);
    HWND wnd = AllocateHWnd([self, &misdelivered, &delivered](TMessage& m) {
      if (static_cast<HWND>(m.LParam) != *self) ++misdelivered;
      ++delivered;
    });
    *self = wnd;
    return wnd;
  };
  for (auto& slot : slots) slot = make();

  std::promise<std::vector<HWND>> workerReady;
  std::promise<void> workerGo;
  std::thread shortLived([&] {
    std::vector<HWND> own;
    for (int i = 0; i < 4; ++i) own.push_back(AllocateHWnd([](TMessage&) {}));
    workerReady.set_value(own);
    workerGo.get_future().wait();
    ProcessMessages();  // then the thread ends, its windows with it
  });
  const std::vector<HWND> doomed = workerReady.get_future().get();

  std::atomic<bool> stop{false};
  std::atomic<int> postersDone{0};
  std::vector<std::thread> posters;
  for (int p = 0; p < 3; ++p)
    posters.emplace_back([&, p] {
      std::uint32_t r = 12345u + static_cast<std::uint32_t>(p);
      while (!stop) {
        r = r * 1103515245u + 12345u;
        const HWND target = slots[(r >> 8) % kWindows].load();
        PostMessage(target, WM_USER, 0, static_cast<LPARAM>(target));
        PostMessage(doomed[(r >> 4) % doomed.size()], WM_USER, 0, 0);
        if ((r & 0xFF) == 0) SendMessage(target, WM_USER, 0, static_cast<LPARAM>(target));
        Sleep(0);
      }
      ++postersDone;
    });
  // One more thread frees windows it does not own.
  std::thread foreignFree([&] {
    for (int i = 0; i < 200; ++i) {
      DeallocateHWnd(slots[i % kWindows].load());
      Sleep(0);
    }
  });
  workerGo.set_value();
  // Churn until the posters have had their say (bounded, so a lost message
  // fails the test instead of hanging it).
  const DWORD start = GetTickCount();
  for (int round = 0; (round < 1000 || delivered < 500) && GetTickCount() - start < 10000; ++round) {
    const HWND old = slots[round % kWindows].exchange(make());
    DeallocateHWnd(old);
    ProcessMessages();
  }
  foreignFree.join();
  shortLived.join();
  for (const HWND wnd : doomed) EXPECT_FALSE(PostMessage(wnd, WM_USER, 0, 0));
  stop = true;
  // A poster may be waiting in SendMessage for this thread: keep pumping.
  ASSERT_TRUE(PumpUntil([&] { return postersDone == 3; }));
  for (auto& t : posters) t.join();
  ProcessMessages();
  EXPECT_GE(delivered.load(), 500);
  EXPECT_EQ(misdelivered.load(), 0);
  for (auto& slot : slots) DeallocateHWnd(slot.load());
}

TEST(Messages, WindowOnASecondThreadRunsItsOwnLoop) {
  std::atomic<DWORD> handledOn{0};
  std::atomic<int> count{0};
  const DWORD mainThread = GetCurrentThreadId();
  HWND reply = AllocateHWnd([](TMessage&) {});
  int replies = 0;
  HWND replyCounter = AllocateHWnd([&](TMessage&) { ++replies; });
  LoopThread worker([&](TMessage& m) {
    handledOn = GetCurrentThreadId();
    ++count;
    PostMessage(static_cast<HWND>(m.LParam), WM_USER, 0, 0);
  });
  EXPECT_EQ(GetWindowThreadId(worker.Wnd()), worker.ThreadId());
  for (int i = 0; i < 5; ++i) PostMessage(worker.Wnd(), WM_USER, 0, static_cast<LPARAM>(replyCounter));
  ASSERT_TRUE(PumpUntil([&] { return replies == 5; }));
  EXPECT_EQ(count, 5);
  EXPECT_EQ(handledOn.load(), worker.ThreadId());
  EXPECT_NE(handledOn.load(), mainThread);

  const HWND workerWnd = worker.Wnd();
  EXPECT_EQ(worker.Stop(), 7);  // WM_QUIT's wParam is the loop's exit code
  // A thread's windows end with it.
  EXPECT_FALSE(IsWindow(workerWnd));
  EXPECT_FALSE(PostMessage(workerWnd, WM_USER, 0, 0));
  DeallocateHWnd(reply);
  DeallocateHWnd(replyCounter);
}

TEST(Messages, RegisteredMessagesAreTheSameInEveryThread) {
  const UINT tick = RegisterWindowMessage("TickGLCadencer");
  EXPECT_GE(tick, WM_REGISTERED_FIRST);
  EXPECT_LE(tick, WM_REGISTERED_LAST);
  EXPECT_EQ(RegisterWindowMessage("tickglcadencer"), tick);
  EXPECT_NE(RegisterWindowMessage("SomethingElse"), tick);
  EXPECT_EQ(RegisterWindowMessage(""), 0u);

  std::vector<std::thread> threads;
  std::vector<UINT> seen(8), fresh(8);
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&, i] {
      seen[i] = RegisterWindowMessage("TickGLCadencer");
      fresh[i] = RegisterWindowMessage("RaceName");
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(seen[i], tick);
    EXPECT_EQ(fresh[i], fresh[0]);
  }
}

TEST(Messages, SendMessageCallsOnTheOwnerThreadAndReturnsTheResult) {
  HWND local = AllocateHWnd([](TMessage& m) { m.Result = static_cast<LRESULT>(m.WParam * 2); });
  EXPECT_EQ(SendMessage(local, WM_USER, 21, 0), 42);

  // Across threads: the worker answers; while the main thread waits, the
  // worker sends back to it, which must not deadlock.
  std::atomic<DWORD> answeredOn{0};
  int nestedOnMain = 0;
  HWND mainWnd = AllocateHWnd([&](TMessage& m) {
    ++nestedOnMain;
    m.Result = 1000;
  });
  LoopThread worker([&](TMessage& m) {
    answeredOn = GetCurrentThreadId();
    const LRESULT back = SendMessage(mainWnd, WM_USER, 0, 0);
    m.Result = back + static_cast<LRESULT>(m.WParam);
  });
  EXPECT_EQ(SendMessage(worker.Wnd(), WM_USER, 5, 0), 1005);
  EXPECT_EQ(answeredOn.load(), worker.ThreadId());
  EXPECT_EQ(nestedOnMain, 1);
  worker.Stop();
  DeallocateHWnd(local);
  DeallocateHWnd(mainWnd);
}

TEST(Messages, SendMessageToAThreadThatEndsWithoutPumpingReturnsZero) {
  std::promise<HWND> ready;
  std::promise<void> sendStarted;
  std::thread owner([&] {
    ready.set_value(AllocateHWnd([](TMessage& m) { m.Result = 1; }));
    sendStarted.get_future().wait();
    Sleep(20);  // let the message be queued; the thread then ends without pumping
  });
  const HWND wnd = ready.get_future().get();
  LRESULT result = -1;
  std::thread sender([&] {
    sendStarted.set_value();
    result = SendMessage(wnd, WM_USER, 0, 0);
  });
  sender.join();
  owner.join();
  EXPECT_EQ(result, 0);
}

TEST(Messages, HooksSeeMessagesFirstAndMaySwallowThem) {
  std::vector<std::string> events;
  HWND wnd = AllocateHWnd([&](TMessage& m) { events.push_back("handler " + std::to_string(m.WParam)); });
  const THookHandle first = SetMessageHook([&](HWND h, TMessage& m) {
    events.push_back("first " + std::to_string(m.WParam));
    EXPECT_EQ(h, wnd);
    return false;
  });
  const THookHandle swallow = SetMessageHook([&](HWND, TMessage& m) {
    events.push_back("second " + std::to_string(m.WParam));
    return m.WParam == 2;
  });
  PostMessage(wnd, WM_USER, 1, 0);
  PostMessage(wnd, WM_USER, 2, 0);
  ASSERT_TRUE(PumpUntil([&] { return events.size() >= 4; }));
  ProcessMessages();
  EXPECT_EQ(events, (std::vector<std::string>{"second 1", "first 1", "handler 1", "second 2"}));

  // Another thread's hooks never see this thread's messages.
  std::thread([&] {
    SetMessageHook([&](HWND, TMessage&) {
      ADD_FAILURE() << "hook of another thread called";
      return true;
    });
    ProcessMessages();
  }).join();

  EXPECT_TRUE(RemoveMessageHook(swallow));
  EXPECT_FALSE(RemoveMessageHook(swallow));
  events.clear();
  EXPECT_EQ(SendMessage(wnd, WM_USER, 3, 0), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"first 3", "handler 3"}));

  // Freeing a window is announced to the hooks, not to the handler.
  events.clear();
  UINT destroyed = 0;
  const THookHandle watch = SetMessageHook([&](HWND h, TMessage& m) {
    if (h == wnd) destroyed = m.Msg;
    return false;
  });
  DeallocateHWnd(wnd);
  EXPECT_EQ(destroyed, WM_DESTROY);
  EXPECT_EQ(events, std::vector<std::string>{"first 0"});
  RemoveMessageHook(first);
  RemoveMessageHook(watch);
}

TEST(Messages, QuitEndsTheLoopAndIsReportedByProcessMessages) {
  // A handler that quits its own thread's loop, nested loops included.
  std::thread t([] {
    int depth = 0;
    HWND wnd = 0;
    wnd = AllocateHWnd([&](TMessage& m) {
      if (m.Msg == WM_USER && depth == 0) {
        ++depth;
        PostMessage(wnd, WM_USER + 1, 0, 0);
        EXPECT_EQ(RunMessageLoop(), 3);  // the inner loop ends first
        PostQuitMessage(4);
      } else if (m.Msg == WM_USER + 1) {
        PostQuitMessage(3);
      }
    });
    PostMessage(wnd, WM_USER, 0, 0);
    EXPECT_EQ(RunMessageLoop(), 4);

    PostQuitMessage(0);
    EXPECT_FALSE(ProcessMessages());
    EXPECT_TRUE(ProcessMessages());
    DeallocateHWnd(wnd);
  });
  t.join();

  // A thread message other than quit goes to the hooks only.
  std::promise<DWORD> id;
  std::promise<void> posted;
  std::atomic<UINT> hooked{0};
  std::thread u([&] {
    SetMessageHook([&](HWND h, TMessage& m) {
      if (h == 0) hooked = m.Msg;
      return false;
    });
    id.set_value(GetCurrentThreadId());
    EXPECT_EQ(RunMessageLoop(), 9);
  });
  const DWORD uid = id.get_future().get();
  EXPECT_TRUE(PostThreadMessage(uid, WM_USER + 5, 0, 0));
  EXPECT_TRUE(PostThreadMessage(uid, WM_QUIT, 9, 0));
  u.join();
  EXPECT_EQ(hooked.load(), WM_USER + 5);
  EXPECT_FALSE(PostThreadMessage(uid, WM_QUIT, 0, 0));
}

TEST(Messages, WaitMessagesEndsWhenDoneAtTheDeadlineOrOnAQuit) {
  std::promise<HWND> window;
  std::atomic<int> phase{0};
  std::vector<TWaitEnd> ends;
  bool nestedLoopEnded = false;
  std::thread t([&] {
    bool done = false;
    const HWND wnd = AllocateHWnd([&](TMessage& m) {
      if (m.Msg == WM_USER) done = true;
      if (m.Msg == WM_USER + 1) {  // a wait inside a message loop: the quit ends both
        ends.push_back(WaitMessages([] { return false; }, -1));
        phase = 3;
      }
    });
    window.set_value(wnd);
    ends.push_back(WaitMessages([&] { return done; }, -1));
    ends.push_back(WaitMessages([] { return false; }, 20));
    phase = 2;
    RunMessageLoop();
    nestedLoopEnded = true;
    DeallocateHWnd(wnd);
  });
  const HWND wnd = window.get_future().get();
  PostMessage(wnd, WM_USER, 0, 0);
  while (phase != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  PostMessage(wnd, WM_USER + 1, 0, 0);
  PostMessage(wnd, WM_QUIT, 0, 0);
  t.join();
  EXPECT_EQ(ends, (std::vector<TWaitEnd>{TWaitEnd::Done, TWaitEnd::TimedOut, TWaitEnd::Quit}));
  EXPECT_EQ(phase.load(), 3);
  EXPECT_TRUE(nestedLoopEnded);
}

TEST(Messages, ExceptionsFromHandlersStayInsideTheLoop) {
  int calls = 0;
  HWND wnd = AllocateHWnd([&](TMessage& m) {
    ++calls;
    if (m.WParam == 1) throw std::runtime_error("handler failure");
    if (m.WParam == 2) throw 5;
  });
  PostMessage(wnd, WM_USER, 1, 0);
  PostMessage(wnd, WM_USER, 2, 0);
  PostMessage(wnd, WM_USER, 3, 0);
  EXPECT_NO_THROW(ASSERT_TRUE(PumpUntil([&] { return calls == 3; })));
  EXPECT_NO_THROW(SendMessage(wnd, WM_USER, 1, 0));
  DeallocateHWnd(wnd);
}

TEST(Messages, MessageTimeIsThePostingTime) {
  DWORD stamped = 0, tickBefore = GetTickCount();
  HWND wnd = AllocateHWnd([&](TMessage&) { stamped = GetMessageTime(); });
  PostMessage(wnd, WM_USER, 0, 0);
  const DWORD tickAfter = GetTickCount();
  ASSERT_TRUE(PumpUntil([&] { return stamped != 0; }));
  EXPECT_GE(stamped, tickBefore);
  EXPECT_LE(stamped, tickAfter);
  DeallocateHWnd(wnd);
}

}  // namespace
