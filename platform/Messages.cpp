// Hidden windows and their message delivery: posting, sending, timers, message loops and hooks.
#include "platform/Messages.h"

#include "platform/Timing.h"
#include "rtl/SysUtils.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <QTimerEvent>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

// Design: a process-wide registry maps handles to windows. A handle is
// (generation << 32) | (slot + 1); freeing a window bumps its slot's
// generation, so a stale handle (and every message addressed with it) no
// longer resolves, even after the slot has been given to a new window.
// Each thread that owns windows has a ThreadState with a receiver QObject that
// lives on that thread: posted messages are Qt posted events to it, timers are
// its Qt timers. Messages sent from other threads go through the thread's
// inbox, a locked queue that the owner drains whenever it pumps, and that a
// waiting sender drains for its own thread meanwhile.

static_assert(sizeof(std::uintptr_t) >= 8, "handles hold a 32-bit generation and a 32-bit slot");

namespace {

struct ThreadState;
struct Inbox;

struct SentMessage {
  HWND wnd = 0;
  TMessage msg;
  std::shared_ptr<Inbox> replyTo;  // done is guarded by replyTo->mutex
  bool done = false;
};

// Messages sent to a thread from other threads, and the wake-up of a thread
// that waits for the answer to a message it sent.
struct Inbox {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<std::shared_ptr<SentMessage>> queue;
  bool ended = false;
};

void Complete(SentMessage& sent, LRESULT result) {
  std::lock_guard<std::mutex> lock(sent.replyTo->mutex);
  sent.msg.Result = result;
  sent.done = true;
  sent.replyTo->cv.notify_all();
}

struct Window {
  HWND handle = 0;
  TWndMethod handler;
  ThreadState* owner = nullptr;  // valid while the window is in the registry
  DWORD ownerId = 0;
  std::atomic<bool> alive{true};
  std::map<std::uintptr_t, int> timers;  // owner thread only: id -> Qt timer id
};

struct Slot {
  std::uint32_t generation = 1;
  std::shared_ptr<Window> window;
};

class Receiver;

struct ThreadState {
  DWORD id = 0;
  std::unique_ptr<QEventLoop> pump;  // its creation gives the thread a Qt event dispatcher
  Receiver* receiver = nullptr;      // cleared under the registry lock before deletion
  std::shared_ptr<Inbox> inbox = std::make_shared<Inbox>();
  std::vector<QEventLoop*> loops;  // running RunMessageLoop calls, innermost last
  std::vector<std::pair<THookHandle, TMessageHook>> hooks;
  std::unordered_map<int, std::pair<HWND, std::uintptr_t>> timers;  // Qt timer id -> window, id
  std::uint64_t quitCount = 0;
  const std::function<void()>* waitCheck = nullptr;  // of the innermost WaitMessages
  bool dispatching = false;
  DWORD messageTime = 0;
};

struct Registry {
  std::mutex mutex;
  std::vector<Slot> entries;
  std::vector<std::uint32_t> freeSlots;
  std::unordered_map<DWORD, ThreadState*> threads;
  std::map<std::string, UINT> registered;  // key is the upper-cased name
  UINT nextRegistered = WM_REGISTERED_FIRST;
};

// Never destroyed: windows may be freed by static destructors of other units.
Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

std::shared_ptr<Window> FindLocked(Registry& reg, HWND wnd) {
  const std::uint64_t index = (wnd & 0xFFFFFFFFu);
  const std::uint32_t generation = static_cast<std::uint32_t>(static_cast<std::uint64_t>(wnd) >> 32);
  if (index == 0 || index > reg.entries.size()) return nullptr;
  Slot& slot = reg.entries[index - 1];
  if (slot.generation != generation || !slot.window) return nullptr;
  return slot.window;
}

std::shared_ptr<Window> Find(HWND wnd) {
  Registry& reg = TheRegistry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  return FindLocked(reg, wnd);
}

// Removes the window from the registry; returns it, or null when it was gone.
std::shared_ptr<Window> UnregisterWindow(HWND wnd) {
  Registry& reg = TheRegistry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  std::shared_ptr<Window> w = FindLocked(reg, wnd);
  if (!w) return nullptr;
  const std::uint32_t index = static_cast<std::uint32_t>(wnd & 0xFFFFFFFFu) - 1;
  Slot& slot = reg.entries[index];
  slot.window.reset();
  if (++slot.generation == 0) slot.generation = 1;
  reg.freeSlots.push_back(index);
  w->alive = false;
  return w;
}

QEvent::Type EventType(int which) {
  static const QEvent::Type types[4] = {
      static_cast<QEvent::Type>(QEvent::registerEventType()), static_cast<QEvent::Type>(QEvent::registerEventType()),
      static_cast<QEvent::Type>(QEvent::registerEventType()), static_cast<QEvent::Type>(QEvent::registerEventType())};
  return types[which];
}
QEvent::Type PostedType() { return EventType(0); }
QEvent::Type ThreadType() { return EventType(1); }
QEvent::Type WakeType() { return EventType(2); }
QEvent::Type DestroyedType() { return EventType(3); }

class MessageEvent : public QEvent {
 public:
  MessageEvent(QEvent::Type type, HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
      : QEvent(type), wnd(wnd), time(GetTickCount()) {
    message.Msg = msg;
    message.WParam = wParam;
    message.LParam = lParam;
  }
  HWND wnd;
  TMessage message;
  DWORD time;
};

void ReportException(const char* where, const std::exception* e) {
  std::fprintf(stderr, "Unhandled exception in %s: %s\n", where, e ? e->what() : "unknown exception");
}

ThreadState* CurrentOrNull();
ThreadState& Current();
void DrainInbox(ThreadState& st);

// Runs the hooks, last installed first; true when one swallowed the message.
bool RunHooks(ThreadState& st, HWND wnd, TMessage& msg) {
  if (st.hooks.empty()) return false;
  auto hooks = st.hooks;  // a hook may install or remove hooks
  for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) {
    try {
      if (it->second(wnd, msg)) return true;
    } catch (const std::exception& e) {
      ReportException("message hook", &e);
    } catch (...) {
      ReportException("message hook", nullptr);
    }
  }
  return false;
}

// Hooks, then the handler, on the owner thread. The shared_ptr keeps the
// handler alive when it frees its own window.
void Deliver(ThreadState& st, const std::shared_ptr<Window>& w, TMessage& msg, DWORD time) {
  if (!w->alive) return;
  if (RunHooks(st, w->handle, msg)) return;
  if (!w->alive) return;
  const bool wasDispatching = st.dispatching;
  const DWORD oldTime = st.messageTime;
  st.dispatching = true;
  st.messageTime = time;
  try {
    w->handler(msg);
  } catch (const std::exception& e) {
    ReportException("message handler", &e);
  } catch (...) {
    ReportException("message handler", nullptr);
  }
  st.dispatching = wasDispatching;
  st.messageTime = oldTime;
  if (st.waitCheck) (*st.waitCheck)();
}

void HandleQuit(ThreadState& st, int exitCode) {
  ++st.quitCount;
  if (st.waitCheck) (*st.waitCheck)();
  if (!st.loops.empty()) {
    st.loops.back()->exit(exitCode);
  } else if (QCoreApplication* app = QCoreApplication::instance(); app && app->thread() == QThread::currentThread()) {
    QCoreApplication::exit(exitCode);
  }
}

class Receiver : public QObject {
 public:
  explicit Receiver(ThreadState& st) : st_(st) {}

  bool event(QEvent* e) override {
    const QEvent::Type type = e->type();
    if (type == PostedType()) {
      auto* me = static_cast<MessageEvent*>(e);
      std::shared_ptr<Window> w = Find(me->wnd);
      if (w && w->owner == &st_) Deliver(st_, w, me->message, me->time);
      return true;
    }
    if (type == ThreadType()) {
      auto* me = static_cast<MessageEvent*>(e);
      if (me->message.Msg == WM_QUIT)
        HandleQuit(st_, static_cast<int>(me->message.WParam));
      else
        RunHooks(st_, 0, me->message);
      return true;
    }
    if (type == WakeType()) {
      DrainInbox(st_);
      return true;
    }
    if (type == DestroyedType()) {
      auto* me = static_cast<MessageEvent*>(e);
      RunHooks(st_, me->wnd, me->message);
      return true;
    }
    return QObject::event(e);
  }

 protected:
  void timerEvent(QTimerEvent* e) override {
    const int qtId = e->timerId();
    auto it = st_.timers.find(qtId);
    if (it == st_.timers.end()) {
      killTimer(qtId);
      return;
    }
    const auto [wnd, id] = it->second;
    std::shared_ptr<Window> w = Find(wnd);
    if (!w) {  // freed from another thread: stop the timer here
      killTimer(qtId);
      st_.timers.erase(it);
      return;
    }
    TMessage msg;
    msg.Msg = WM_TIMER;
    msg.WParam = id;
    Deliver(st_, w, msg, GetTickCount());
  }

 private:
  ThreadState& st_;
};

void Serve(ThreadState& st, SentMessage& sent) {
  std::shared_ptr<Window> w = Find(sent.wnd);
  TMessage msg = sent.msg;
  if (w && w->owner == &st) Deliver(st, w, msg, GetTickCount());
  Complete(sent, (w && w->owner == &st) ? msg.Result : 0);
}

void DrainInbox(ThreadState& st) {
  for (;;) {
    std::shared_ptr<SentMessage> sent;
    {
      std::lock_guard<std::mutex> lock(st.inbox->mutex);
      if (st.inbox->queue.empty()) return;
      sent = std::move(st.inbox->queue.front());
      st.inbox->queue.pop_front();
    }
    Serve(st, *sent);
  }
}

DWORD NewThreadId() {
  static std::atomic<DWORD> next{1};
  return next.fetch_add(1);
}

// Frees the thread's windows and Qt objects when the thread ends. An owner, not a scope guard:
// the state is made on the thread's first call and lives as long as the thread.
struct StateHolder {
  std::unique_ptr<ThreadState> state;
  ~StateHolder() {
    if (!state) return;
    ThreadState& st = *state;
    Registry& reg = TheRegistry();
    std::vector<HWND> windows;
    {
      std::lock_guard<std::mutex> lock(reg.mutex);
      reg.threads.erase(st.id);
      for (const Slot& slot : reg.entries)
        if (slot.window && slot.window->owner == &st) windows.push_back(slot.window->handle);
    }
    for (HWND wnd : windows) UnregisterWindow(wnd);
    Receiver* receiver = nullptr;
    {
      std::lock_guard<std::mutex> lock(reg.mutex);
      receiver = st.receiver;
      st.receiver = nullptr;
    }
    std::deque<std::shared_ptr<SentMessage>> pending;
    {
      std::lock_guard<std::mutex> lock(st.inbox->mutex);
      st.inbox->ended = true;
      pending.swap(st.inbox->queue);
    }
    for (auto& sent : pending) Complete(*sent, 0);
    delete receiver;
    st.pump.reset();
  }
};

thread_local StateHolder tlsState;
thread_local DWORD tlsThreadId = 0;

ThreadState* CurrentOrNull() { return tlsState.state.get(); }

ThreadState& Current() {
  if (tlsState.state) return *tlsState.state;
  if (!QCoreApplication::instance()) throw EInvalidOperation("The message layer needs a QCoreApplication");
  auto st = std::make_unique<ThreadState>();
  st->id = GetCurrentThreadId();
  st->pump = std::make_unique<QEventLoop>();
  st->receiver = new Receiver(*st);
  {
    Registry& reg = TheRegistry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.threads[st->id] = st.get();
  }
  tlsState.state = std::move(st);
  return *tlsState.state;
}

bool PostToThreadLocked(ThreadState* st, QEvent* e) {
  if (!st || !st->receiver) {
    delete e;
    return false;
  }
  QCoreApplication::postEvent(st->receiver, e);
  return true;
}

}  // namespace

void EnsureMessageQueue() { Current(); }

DWORD GetCurrentThreadId() {
  if (tlsThreadId == 0) tlsThreadId = NewThreadId();
  return tlsThreadId;
}

HWND AllocateHWnd(TWndMethod handler) {
  ThreadState& st = Current();
  auto w = std::make_shared<Window>();
  w->handler = std::move(handler);
  w->owner = &st;
  w->ownerId = st.id;
  Registry& reg = TheRegistry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  std::uint32_t index;
  if (!reg.freeSlots.empty()) {
    index = reg.freeSlots.back();
    reg.freeSlots.pop_back();
  } else {
    if (reg.entries.size() >= 0xFFFFFFFEu) throw EOutOfMemory("Too many hidden windows");
    index = static_cast<std::uint32_t>(reg.entries.size());
    reg.entries.emplace_back();
  }
  Slot& slot = reg.entries[index];
  w->handle = (static_cast<HWND>(slot.generation) << 32) | (static_cast<HWND>(index) + 1);
  slot.window = w;
  return w->handle;
}

void DeallocateHWnd(HWND wnd) {
  std::shared_ptr<Window> w = UnregisterWindow(wnd);
  if (!w) return;
  ThreadState* st = CurrentOrNull();
  if (st == w->owner) {
    for (const auto& [id, qtId] : w->timers) {
      st->receiver->killTimer(qtId);
      st->timers.erase(qtId);
    }
    w->timers.clear();
    TMessage msg;
    msg.Msg = WM_DESTROY;
    RunHooks(*st, wnd, msg);
    return;
  }
  // Another thread: the owner stops the timers when they next fire, and its
  // hooks learn of the destruction through a queued notice.
  Registry& reg = TheRegistry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  auto it = reg.threads.find(w->ownerId);
  if (it != reg.threads.end()) PostToThreadLocked(it->second, new MessageEvent(DestroyedType(), wnd, WM_DESTROY, 0, 0));
}

bool IsWindow(HWND wnd) { return wnd != 0 && Find(wnd) != nullptr; }

DWORD GetWindowThreadId(HWND wnd) {
  std::shared_ptr<Window> w = Find(wnd);
  return w ? w->ownerId : 0;
}

UINT RegisterWindowMessage(const std::string& name) {
  if (name.empty()) return 0;
  std::string key = name;
  for (char& c : key)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  Registry& reg = TheRegistry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  auto it = reg.registered.find(key);
  if (it != reg.registered.end()) return it->second;
  if (reg.nextRegistered > WM_REGISTERED_LAST || reg.nextRegistered < WM_REGISTERED_FIRST) return 0;
  const UINT number = reg.nextRegistered++;
  reg.registered.emplace(std::move(key), number);
  return number;
}

bool PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Registry& reg = TheRegistry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  std::shared_ptr<Window> w = FindLocked(reg, wnd);
  if (!w) return false;
  if (msg == WM_QUIT) return PostToThreadLocked(w->owner, new MessageEvent(ThreadType(), 0, msg, wParam, lParam));
  return PostToThreadLocked(w->owner, new MessageEvent(PostedType(), wnd, msg, wParam, lParam));
}

bool PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  Registry& reg = TheRegistry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  auto it = reg.threads.find(threadId);
  if (it == reg.threads.end()) return false;
  return PostToThreadLocked(it->second, new MessageEvent(ThreadType(), 0, msg, wParam, lParam));
}

void PostQuitMessage(int exitCode) {
  ThreadState& st = Current();
  Registry& reg = TheRegistry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  PostToThreadLocked(&st, new MessageEvent(ThreadType(), 0, WM_QUIT, static_cast<WPARAM>(exitCode), 0));
}

LRESULT SendMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  ThreadState* self = CurrentOrNull();
  std::shared_ptr<SentMessage> sent;
  {
    Registry& reg = TheRegistry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    std::shared_ptr<Window> w = FindLocked(reg, wnd);
    if (!w) return 0;
    if (w->owner != self) {
      sent = std::make_shared<SentMessage>();
      sent->wnd = wnd;
      sent->msg.Msg = msg;
      sent->msg.WParam = wParam;
      sent->msg.LParam = lParam;
      sent->replyTo = self ? self->inbox : std::make_shared<Inbox>();
      ThreadState* owner = w->owner;
      {
        std::lock_guard<std::mutex> inboxLock(owner->inbox->mutex);
        if (owner->inbox->ended || !owner->receiver) return 0;
        owner->inbox->queue.push_back(sent);
        owner->inbox->cv.notify_all();
      }
      QCoreApplication::postEvent(owner->receiver, new QEvent(WakeType()));
    }
  }
  if (!sent) {  // owner thread: a direct call
    std::shared_ptr<Window> w = Find(wnd);
    if (!w) return 0;
    TMessage m;
    m.Msg = msg;
    m.WParam = wParam;
    m.LParam = lParam;
    Deliver(*self, w, m, GetTickCount());
    return m.Result;
  }
  // Wait for the answer, serving what other threads send to this one.
  Inbox& mine = *sent->replyTo;
  std::unique_lock<std::mutex> lock(mine.mutex);
  while (!sent->done) {
    if (self && !mine.queue.empty()) {
      std::shared_ptr<SentMessage> incoming = std::move(mine.queue.front());
      mine.queue.pop_front();
      lock.unlock();
      Serve(*self, *incoming);
      lock.lock();
      continue;
    }
    mine.cv.wait(lock);
  }
  return sent->msg.Result;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

std::uintptr_t SetTimer(HWND wnd, std::uintptr_t id, UINT ms) {
  ThreadState* st = CurrentOrNull();
  if (!st || id == 0) return 0;
  std::shared_ptr<Window> w = Find(wnd);
  if (!w || w->owner != st) return 0;
  auto it = w->timers.find(id);
  if (it != w->timers.end()) {
    st->receiver->killTimer(it->second);
    st->timers.erase(it->second);
    w->timers.erase(it);
  }
  // Qt takes a signed interval: longer ones are clamped rather than refused.
  const int interval = static_cast<int>(std::clamp<UINT>(ms, 1, std::numeric_limits<int>::max()));
  const int qtId = st->receiver->startTimer(interval, Qt::PreciseTimer);
  if (qtId == 0) return 0;
  w->timers[id] = qtId;
  st->timers[qtId] = {wnd, id};
  return id;
}

bool KillTimer(HWND wnd, std::uintptr_t id) {
  ThreadState* st = CurrentOrNull();
  if (!st) return false;
  std::shared_ptr<Window> w = Find(wnd);
  if (!w || w->owner != st) return false;
  auto it = w->timers.find(id);
  if (it == w->timers.end()) return false;
  st->receiver->killTimer(it->second);
  st->timers.erase(it->second);
  w->timers.erase(it);
  return true;
}

bool ProcessMessages() {
  ThreadState& st = Current();
  const std::uint64_t quits = st.quitCount;
  DrainInbox(st);
  st.pump->processEvents(QEventLoop::AllEvents);
  DrainInbox(st);
  return st.quitCount == quits;
}

// A loop started inside a handler must still deliver what was queued before
// that handler ran: Qt's dispatcher would sleep on them until something new
// is posted, so something is.
static void WakeNestedLoop(ThreadState& st) { QCoreApplication::postEvent(st.receiver, new QEvent(WakeType())); }

int RunMessageLoop() {
  ThreadState& st = Current();
  QEventLoop loop;
  st.loops.push_back(&loop);
  TScopeExit popLoop([&st] { st.loops.pop_back(); });
  DrainInbox(st);
  WakeNestedLoop(st);
  return loop.exec();
}

TWaitEnd WaitMessages(const std::function<bool()>& done, int ms) {
  ThreadState& st = Current();
  DrainInbox(st);
  if (done && done()) return TWaitEnd::Done;
  const std::uint64_t quits = st.quitCount;
  // A nested Qt loop sleeps in the event dispatcher and is ended by the
  // application's quit or exit as well as by the checks below.
  QEventLoop loop;
  TWaitEnd end = TWaitEnd::Quit;
  const std::function<void()> check = [&] {
    if (done && done()) {
      end = TWaitEnd::Done;
      loop.exit();
    } else if (st.quitCount != quits) {
      end = TWaitEnd::Quit;
      loop.exit();
    }
  };
  TRestore outerCheck(st.waitCheck, &check);
  QTimer deadline;
  deadline.setSingleShot(true);
  deadline.setTimerType(Qt::PreciseTimer);
  QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
    end = TWaitEnd::TimedOut;
    loop.exit();
  });
  if (ms >= 0) deadline.start(ms);
  // Flags set by anything but a message (a descriptor watch, another thread)
  // are seen before the thread sleeps.
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &loop, [&] { check(); });
  WakeNestedLoop(st);
  loop.exec();
  return end;
}

DWORD GetMessageTime() {
  ThreadState* st = CurrentOrNull();
  return (st && st->dispatching) ? st->messageTime : GetTickCount();
}

THookHandle SetMessageHook(TMessageHook hook) {
  static std::atomic<THookHandle> next{1};
  ThreadState& st = Current();
  const THookHandle handle = next.fetch_add(1);
  st.hooks.emplace_back(handle, std::move(hook));
  return handle;
}

bool RemoveMessageHook(THookHandle hook) {
  ThreadState* st = CurrentOrNull();
  if (!st) return false;
  auto it = std::find_if(st->hooks.begin(), st->hooks.end(), [&](const auto& h) { return h.first == hook; });
  if (it == st->hooks.end()) return false;
  st->hooks.erase(it);
  return true;
}
