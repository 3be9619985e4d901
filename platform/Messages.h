// Hidden windows and window messages over the Qt Core event loop.
//
// A hidden window is a handle that routes messages to a handler function on the
// thread that allocated it. Messages are posted (queued, from any thread), sent
// (called synchronously on the owner thread) or raised by per-window timers.
// Each thread that owns windows must pump its messages: ProcessMessages() drains
// what is pending, RunMessageLoop() blocks until a quit message; on the main
// thread any Qt event loop (QCoreApplication::exec) pumps them as well.
//
// Handles carry a generation: once a window is freed its handle never becomes
// valid again, even when the slot is reused, and messages still queued for it
// are dropped instead of reaching a newer window.
//
// Thread safety: every function may be called from any thread unless noted.
// Handlers, hooks and timers always run on the owner thread. Exceptions thrown
// by a handler or hook are caught at the dispatch point and reported on stderr;
// they never cross the event loop.
//
// Requirements: a QCoreApplication must exist (the functions that need a
// message queue raise EInvalidOperation otherwise). Every thread, std::thread
// included, gets its Qt event dispatcher on first use.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Handle of a hidden window; 0 means none.
using HWND = std::uintptr_t;
using UINT = std::uint32_t;
using DWORD = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

struct TMessage {
  UINT Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  LRESULT Result = 0;
};

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_SIZE = 0x0005;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_ERASEBKGND = 0x0014;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;
// First and last number handed out by RegisterWindowMessage.
constexpr UINT WM_REGISTERED_FIRST = 0xC000;
constexpr UINT WM_REGISTERED_LAST = 0xFFFF;

using TWndMethod = std::function<void(TMessage&)>;

// Creates a hidden window owned by the calling thread. The handler receives
// every message of the window on that thread; it may free the window (even
// its own) while it runs. Never returns 0.
HWND AllocateHWnd(TWndMethod handler);

// Frees a window: its timers stop, messages still queued for it are dropped,
// and the thread's hooks see WM_DESTROY for it (the handler does not). A freed
// or 0 handle is ignored. May be called from any thread; the handler is not
// called any more once this returns, unless it is running on another thread
// at that moment (then that one call completes).
void DeallocateHWnd(HWND wnd);

// True while the window exists.
bool IsWindow(HWND wnd);

// Prepares the calling thread for messages, timers and descriptor watches
// (gives a plain std::thread its Qt event dispatcher) without pumping
// anything. The other functions do this themselves when they need it.
void EnsureMessageQueue();

// Identifier of the calling thread, unique within the process (never 0).
DWORD GetCurrentThreadId();

// Owner thread of a window, 0 for an invalid handle.
DWORD GetWindowThreadId(HWND wnd);

// The same name (compared without regard to ASCII case) gives the same number
// in every thread, in WM_REGISTERED_FIRST..WM_REGISTERED_LAST. 0 for an empty
// name or when the range is exhausted.
UINT RegisterWindowMessage(const std::string& name);

// Queues a message for the window's owner thread; messages from one thread to
// one window arrive in the order posted. WM_QUIT posted to a window ends the
// owner thread's message loop instead of reaching the handler. False when the
// window does not exist (or its thread has ended).
bool PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Queues a message for a thread rather than a window: WM_QUIT ends the thread's
// message loop; any other message is shown to the thread's hooks (with window
// 0) and then dropped. False when no such thread is pumping messages.
bool PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);

// Queues WM_QUIT for the calling thread: RunMessageLoop returns exitCode, a
// ProcessMessages call that meets it returns false. On the main thread with no
// RunMessageLoop active, the Qt application's loop is told to exit instead.
void PostQuitMessage(int exitCode = 0);

// Calls the handler and returns the message's Result. On the owner thread the
// call is direct (the hooks see it first). From another thread the call waits
// until the owner thread has handled it, meanwhile serving messages sent to the
// calling thread, so two threads sending to each other do not deadlock.
// Returns 0 when the window does not exist or is freed before it is handled.
LRESULT SendMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

// What a handler does with messages it does not handle: nothing, result 0.
LRESULT DefWindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Starts (or restarts, for an id already running) a timer that delivers
// WM_TIMER with wParam = id to the window every `ms` milliseconds (at least
// 1 ms, at most 0x7FFFFFFF) while the owner thread pumps. Only on the owner thread; returns id,
// or 0 for another thread, an invalid window or id 0.
std::uintptr_t SetTimer(HWND wnd, std::uintptr_t id, UINT ms);
// Stops a timer; false when there was none.
bool KillTimer(HWND wnd, std::uintptr_t id);

// Handles the calling thread's pending messages (posted, sent, timers that are
// due, and any other Qt events of the thread) and returns without waiting.
// Returns false when a quit message was met.
bool ProcessMessages();

// Handles the calling thread's messages, waiting for more, until a quit message
// for this thread; returns its exit code. May be nested.
int RunMessageLoop();

// How WaitMessages ended.
enum class TWaitEnd { Done, TimedOut, Quit };

// Handles the calling thread's messages, sleeping while there are none, until
// done() holds (asked at the start, after each message and before sleeping),
// ms milliseconds have passed (ms < 0: no limit) or a quit is requested: a quit
// message for this thread (it still ends the thread's message loop as usual)
// or the application's quit or exit on the main thread. May be nested.
TWaitEnd WaitMessages(const std::function<bool()>& done, int ms);

// Tick count (GetTickCount) at which the message being dispatched on this
// thread was posted; the current tick count outside dispatch.
DWORD GetMessageTime();

// Per-thread hooks, called on the owner thread before a window's message
// reaches its handler (posted, sent and timer messages; WM_DESTROY when a
// window is freed; thread messages with window 0). The hook installed last runs
// first; a hook returning true swallows the message (except WM_DESTROY, whose
// return value is ignored). Installing and removing act on the calling thread.
using TMessageHook = std::function<bool(HWND wnd, TMessage& msg)>;
using THookHandle = std::uint32_t;
THookHandle SetMessageHook(TMessageHook hook);
// False when the hook is not installed on the calling thread.
bool RemoveMessageHook(THookHandle hook);
