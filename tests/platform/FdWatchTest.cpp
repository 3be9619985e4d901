// Tests of descriptor watches: read and write interest, destruction from a callback, the owning
// thread's loop, exceptions kept in the loop.
#include "platform/FdWatch.h"
#include "platform/Messages.h"
#include "platform/Timing.h"
#include "rtl/SysUtils.h"

#include <gtest/gtest.h>

#include "platform/PumpUntil.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() {
    if (::pipe2(fd, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  }
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  int ReadEnd() const { return fd[0]; }
  int WriteEnd() const { return fd[1]; }
  void Put(char c) const { ASSERT_EQ(::write(fd[1], &c, 1), 1); }
};

TEST(FdWatch, ReadAndWriteInterestSwitchIndependently) {
  Pipe p;
  TFdWatch reader(p.ReadEnd());
  TFdWatch writer(p.WriteEnd());
  int readable = 0, writable = 0;
  std::string got;
  reader.OnReadable = [&] {
    ++readable;
    char c;
    while (::read(p.ReadEnd(), &c, 1) == 1) got += c;
  };
  writer.OnWritable = [&] {
    ++writable;
    writer.SetWriteEnabled(false);  // one notice is enough
  };
  EXPECT_FALSE(reader.ReadEnabled());
  EXPECT_FALSE(writer.WriteEnabled());

  // Nothing is reported while interest is off, even with data waiting.
  p.Put('a');
  for (int i = 0; i < 5; ++i) ProcessMessages();
  EXPECT_EQ(readable, 0);

  reader.SetReadEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return got == "a"; }));
  writer.SetWriteEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return writable == 1; }));
  EXPECT_FALSE(writer.WriteEnabled());
  EXPECT_TRUE(reader.ReadEnabled());

  reader.SetReadEnabled(false);
  const int before = readable;
  p.Put('b');
  for (int i = 0; i < 5; ++i) ProcessMessages();
  EXPECT_EQ(readable, before);
  reader.SetReadEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return got == "ab"; }));
}

TEST(FdWatch, ACallbackMayDestroyItsWatchAndNoCallFollowsDestruction) {
  Pipe p;
  auto watch = std::make_unique<TFdWatch>(p.ReadEnd());
  int calls = 0;
  watch->OnReadable = [&] {
    ++calls;
    watch.reset();  // the socket closes itself on an event
  };
  watch->SetReadEnabled(true);
  p.Put('x');
  ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
  for (int i = 0; i < 5; ++i) ProcessMessages();
  EXPECT_EQ(calls, 1);  // the byte is still unread, yet no further call

  auto other = std::make_unique<TFdWatch>(p.ReadEnd());
  other->OnReadable = [&] { ++calls; };
  other->SetReadEnabled(true);
  other.reset();
  for (int i = 0; i < 5; ++i) ProcessMessages();
  EXPECT_EQ(calls, 1);
}

TEST(FdWatch, CallbacksRunOnTheCreatingThreadsOwnLoop) {
  Pipe p;
  std::promise<HWND> ready;
  std::atomic<DWORD> calledOn{0}, threadId{0};
  std::thread t([&] {
    threadId = GetCurrentThreadId();
    TFdWatch watch(p.ReadEnd());
    watch.OnReadable = [&] {
      calledOn = GetCurrentThreadId();
      PostQuitMessage(0);
      watch.SetReadEnabled(false);
    };
    watch.SetReadEnabled(true);
    ready.set_value(AllocateHWnd([](TMessage&) {}));
    RunMessageLoop();
  });
  ready.get_future().get();
  p.Put('z');
  t.join();
  EXPECT_EQ(calledOn.load(), threadId.load());
  EXPECT_NE(calledOn.load(), GetCurrentThreadId());
}

TEST(FdWatch, ExceptionsFromCallbacksStayInsideTheLoop) {
  Pipe p;
  TFdWatch watch(p.ReadEnd());
  int calls = 0;
  watch.OnReadable = [&] {
    ++calls;
    watch.SetReadEnabled(false);
    throw std::runtime_error("callback failure");
  };
  watch.SetReadEnabled(true);
  p.Put('e');
  EXPECT_NO_THROW(ASSERT_TRUE(PumpUntil([&] { return calls == 1; })));
  EXPECT_THROW(TFdWatch(-1), EInvalidOperation);
}

}  // namespace
