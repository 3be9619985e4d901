// Hidden-window message pool and the base component of the event-driven sockets.
//
// Hidden windows are shared: each one belongs to one thread and owns a block of
// 100 consecutive message numbers (MsgLow .. MsgLow + 99); a component borrows as
// many numbers as it needs (MessagesNeeded) from a window of the thread that
// allocates it, and every message it receives then runs on that thread. Numbers
// and windows are reused, so every number handed out carries a generation: a
// message posted through PostMsg is delivered only while the same component
// still holds the same number, and a message queued for a released number is
// dropped instead of reaching its next holder.
//
// Thread safety: allocation and release of windows and numbers run under the
// pool lock and may happen on any thread; everything else of a component runs
// on its owner thread. Exceptions raised while a message is handled go to
// HandleBackgroundException and never leave the message loop.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Messages.h"
#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

RTL_DECLARE_EXCEPTION(ESockException, Exception);

class TSockWndControl;
class TSockWndHandlerList;

using TBgExceptionEvent = std::function<void(TObject* Sender, Exception& E, bool& CanClose)>;

// One shared hidden window with its 100 message numbers.
class TSockWndHandler : public TObject {
  RTL_CLASS(TSockWndHandler, TObject)
 public:
  static constexpr int kSlots = 100;

  TSockWndHandler(TSockWndHandlerList* ownerList, UINT msgLow);
  ~TSockWndHandler() override;
  TSockWndHandler(const TSockWndHandler&) = delete;
  TSockWndHandler& operator=(const TSockWndHandler&) = delete;

  HWND Handle() const { return FHandle; }
  UINT MsgLow() const { return FMsgLow; }
  int UsedCount() const { return FUsed; }
  int FreeCount() const { return kSlots - FUsed; }
  TSockWndHandlerList* OwnerList() const { return FOwnerList; }
  // Generation of a number held now (0 for a free or foreign number).
  uint32_t Generation(UINT msg) const;

  // Takes the lowest free number for `control`; creates the window when there
  // is none. Raises "MsgLow not defined" / "No more free message".
  UINT AllocateMsgHandler(TSockWndControl* control);
  // Releases a number and sets it to 0 (0 itself is ignored); destroys the
  // window with the last one. Raises "MsgLow not defined", "Msg value out of
  // bound", "Msg not registered".
  void FreeMsgHandler(UINT& msg);
  // Releases every number still held by `control`.
  void ReleaseControl(TSockWndControl* control);
  void AllocateHWnd();
  void DeallocateHWnd();

 private:
  void WndProc(TMessage& msg);

  HWND FHandle = 0;
  TSockWndControl* FSlots[kSlots] = {};
  uint32_t FGens[kSlots] = {};
  UINT FMsgLow = 0;
  int FUsed = 0;
  TSockWndHandlerList* FOwnerList = nullptr;
  std::shared_ptr<bool> FAlive;
};

// The handlers of one thread.
class TSockWndHandlerList {
 public:
  explicit TSockWndHandlerList(DWORD threadId) : ThreadID(threadId) {}
  DWORD ThreadID;
  std::vector<TSockWndHandler*> Handlers;
};

// The process-wide message number base handed to new handlers: the current
// value when 1024 < value < 65435, otherwise it is set to 1025 first.
UINT GetGlobalMsgLow();
void SetGlobalMsgLow(UINT v);
// Live hidden windows of the pool, whether the window class is registered, and
// the handlers of the calling thread (for diagnostics and tests).
int SockWndWindowCount();
bool SockWndClassRegistered();
int SockWndHandlerCount(DWORD threadId);

// Runs f and hands what it raises to report as the run-time's Exception (any other exception
// wrapped with its text), so that nothing leaves a message handler.
template <class F, class R>
void CatchIntoBackground(F&& f, R&& report) {
  try {
    f();
  } catch (Exception& e) {
    report(e);
  } catch (std::exception& e) {
    Exception wrapped(e.what());
    report(wrapped);
  } catch (...) {
    Exception wrapped("Unknown exception");
    report(wrapped);
  }
}

class TSockWndControl : public TComponent {
  RTL_CLASS(TSockWndControl, TComponent)
 public:
  explicit TSockWndControl(TComponent* AOwner);
  ~TSockWndControl() override;

  // The window, allocated first when there is none.
  HWND Handle();
  bool HasHandle() const { return FHandle != 0; }
  DWORD OwnerThreadId() const { return FThreadId; }
  TSockWndHandler* MsgHandler() const { return FHandler; }
  UINT ReleaseMsg() const { return FMsgRelease; }
  bool LoopEnded() const { return FLoopEnded; }
  void SetLoopEnded(bool v) { FLoopEnded = v; }
  bool MultiThreadedPump() const { return FMultiThreaded; }
  void SetMultiThreadedPump(bool v) { FMultiThreaded = v; }

  TBgExceptionEvent OnBgException;

  virtual void ReleaseWindowOnce();
  virtual void HandleWindowMessage(TMessage& msg);
  virtual void HandleBackgroundException(Exception& E);
  // Runs f; what it raises goes to HandleBackgroundException.
  template <class F>
  void RunHandlingExceptions(F&& f) {
    CatchIntoBackground(std::forward<F>(f), [this](Exception& e) { HandleBackgroundException(e); });
  }
  virtual void TriggerBackgroundException(Exception& E, bool& CanClose);
  virtual void HandleReleaseMessage();
  virtual void AllocateWindow();
  virtual void DeallocateWindow();
  virtual int MessagesNeeded();
  virtual void ClaimMessages();
  virtual void ReturnMessages();
  virtual void AbortComponent();
  // Frees the component later, from its own message queue.
  virtual void ReleaseLater();
  virtual void AttachToThread();
  virtual void DetachFromThread();
  virtual void RunMessageLoop();
  virtual bool ProcessOneMessage();
  virtual void ProcessPendingMessages();
  virtual void PumpMessages();

  // Posts one of this component's own messages to its window, tagged with the
  // number's generation. False when there is no window or number.
  bool PostMsg(UINT msg, WPARAM wParam, LPARAM lParam);
  // The lParam to post for `msg` from another thread (PostMessage(Handle, msg,
  // wParam, TaggedLParam(msg, lParam)) reaches only this holder of the number).
  LPARAM TaggedLParam(UINT msg, uint32_t lParam) const;

 protected:
  // Borrows one more number from the handler (for ClaimMessages overrides).
  UINT AllocateMsg();
  void FreeMsg(UINT& msg);
  // Set by HandleReleaseMessage: the window procedure frees the component once
  // the message has been handled.
  bool FReleaseRequested = false;

 private:
  friend class TSockWndHandler;
  bool FWindowReleased = false;
  HWND FHandle = 0;
  DWORD FThreadId = 0;
  bool FLoopEnded = false;
  bool FMultiThreaded = false;
  TSockWndHandler* FHandler = nullptr;
  UINT FMsgRelease = 0;
};
