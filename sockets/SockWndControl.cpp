// The pool of hidden socket windows and their message blocks, and the window-owning base
// component: message dispatch, thread attachment and pumping.
#include "sockets/SockWndControl.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace {

struct Pool {
  std::mutex lock;       // pool lock (taken first)
  std::mutex classLock;  // window class and window count
  std::vector<std::unique_ptr<TSockWndHandlerList>> lists;
  int windowCount = 0;
  bool classRegistered = false;
};

Pool& ThePool() {
  static Pool* pool = new Pool;  // outlives every static socket
  return *pool;
}

std::atomic<UINT> gMsgLow{0};
std::atomic<uint32_t> gGeneration{0};

uint32_t NextGeneration() {
  uint32_t g;
  do {
    g = ++gGeneration;
  } while (g == 0);
  return g;
}

// Under the pool lock.
TSockWndHandler* GetHandler(int count, DWORD threadId) {
  Pool& p = ThePool();
  TSockWndHandlerList* list = nullptr;
  for (auto it = p.lists.rbegin(); it != p.lists.rend(); ++it)
    if ((*it)->ThreadID == threadId) {
      list = it->get();
      break;
    }
  if (!list) {
    p.lists.push_back(std::make_unique<TSockWndHandlerList>(threadId));
    list = p.lists.back().get();
  }
  for (TSockWndHandler* h : list->Handlers)
    if (h->FreeCount() >= count) return h;
  auto* h = new TSockWndHandler(list, GetGlobalMsgLow());
  list->Handlers.push_back(h);
  return h;
}

// Under the pool lock: frees a handler that holds no number, and its list when empty.
void FreeHandler(TSockWndHandler* h) {
  Pool& p = ThePool();
  TSockWndHandlerList* list = h->OwnerList();
  delete h;
  if (!list) return;
  list->Handlers.erase(std::remove(list->Handlers.begin(), list->Handlers.end(), h), list->Handlers.end());
  if (list->Handlers.empty())
    p.lists.erase(std::remove_if(p.lists.begin(), p.lists.end(),
                                 [list](const std::unique_ptr<TSockWndHandlerList>& l) { return l.get() == list; }),
                  p.lists.end());
}

}  // namespace

UINT GetGlobalMsgLow() {
  UINT v = gMsgLow.load();
  if (v > 1024 && v < 65435) return v;
  gMsgLow.store(WM_USER + 1);
  return WM_USER + 1;
}

void SetGlobalMsgLow(UINT v) { gMsgLow.store(v); }

int SockWndWindowCount() {
  std::lock_guard<std::mutex> g(ThePool().classLock);
  return ThePool().windowCount;
}

bool SockWndClassRegistered() {
  std::lock_guard<std::mutex> g(ThePool().classLock);
  return ThePool().classRegistered;
}

int SockWndHandlerCount(DWORD threadId) {
  std::lock_guard<std::mutex> g(ThePool().lock);
  for (auto& l : ThePool().lists)
    if (l->ThreadID == threadId) return static_cast<int>(l->Handlers.size());
  return 0;
}

// ---------------------------------------------------------------------------
// TSockWndHandler

TSockWndHandler::TSockWndHandler(TSockWndHandlerList* ownerList, UINT msgLow)
    : FMsgLow(msgLow), FOwnerList(ownerList), FAlive(std::make_shared<bool>(true)) {}

TSockWndHandler::~TSockWndHandler() {
  *FAlive = false;
  DeallocateHWnd();
}

uint32_t TSockWndHandler::Generation(UINT msg) const {
  if (msg < FMsgLow || msg > FMsgLow + kSlots - 1) return 0;
  return FSlots[msg - FMsgLow] ? FGens[msg - FMsgLow] : 0;
}

UINT TSockWndHandler::AllocateMsgHandler(TSockWndControl* control) {
  if (FMsgLow < 1024) throw ESockException("MsgLow not defined");
  if (FUsed >= kSlots) throw ESockException("No more free message");
  for (int i = 0; i < kSlots; ++i) {
    if (FSlots[i]) continue;
    if (!FHandle) AllocateHWnd();
    FSlots[i] = control;
    FGens[i] = NextGeneration();
    ++FUsed;
    return FMsgLow + static_cast<UINT>(i);
  }
  throw ESockException("No more free message");
}

void TSockWndHandler::FreeMsgHandler(UINT& msg) {
  if (msg == 0) return;
  if (FMsgLow < 1024) throw ESockException("MsgLow not defined");
  if (msg < FMsgLow || msg > FMsgLow + kSlots - 1) throw ESockException("Msg value out of bound");
  const UINT i = msg - FMsgLow;
  if (!FSlots[i]) throw ESockException("Msg not registered");
  FSlots[i] = nullptr;
  FGens[i] = 0;
  --FUsed;
  msg = 0;
  if (FUsed == 0) DeallocateHWnd();
}

void TSockWndHandler::ReleaseControl(TSockWndControl* control) {
  for (int i = 0; i < kSlots; ++i) {
    if (FSlots[i] != control) continue;
    UINT msg = FMsgLow + static_cast<UINT>(i);
    FreeMsgHandler(msg);
    if (!FHandle) return;  // that was the last number
  }
}

void TSockWndHandler::AllocateHWnd() {
  if (FHandle) return;
  Pool& p = ThePool();
  std::lock_guard<std::mutex> g(p.classLock);
  p.classRegistered = true;
  std::weak_ptr<bool> alive = FAlive;
  FHandle = ::AllocateHWnd([this, alive](TMessage& m) {
    auto a = alive.lock();
    if (a && *a) WndProc(m);
  });
  if (!FHandle) {
    if (p.windowCount < 1) p.classRegistered = false;
    throw ESockException("Unable to create TSockWndControl hidden window.  Error #0.");
  }
  ++p.windowCount;
}

void TSockWndHandler::DeallocateHWnd() {
  if (!FHandle) return;
  std::fill(std::begin(FSlots), std::end(FSlots), nullptr);
  std::fill(std::begin(FGens), std::end(FGens), 0u);
  HWND h = FHandle;
  FHandle = 0;
  ::DeallocateHWnd(h);
  Pool& p = ThePool();
  std::lock_guard<std::mutex> g(p.classLock);
  --p.windowCount;
  if (p.windowCount < 1) p.classRegistered = false;
}

void TSockWndHandler::WndProc(TMessage& msg) {
  if (msg.Msg < FMsgLow || msg.Msg > FMsgLow + kSlots - 1) return;
  const UINT i = msg.Msg - FMsgLow;
  TSockWndControl* ctl = FSlots[i];
  const uint32_t gen = static_cast<uint32_t>(static_cast<uint64_t>(msg.LParam) >> 32);
  if (!ctl || gen != FGens[i]) return;  // stale: the number has been released or reused
  msg.LParam = static_cast<LPARAM>(static_cast<uint32_t>(msg.LParam));
  std::shared_ptr<bool> alive = FAlive;
  // The handler (and the component) may be gone after any call: look again before touching either.
  auto stillThere = [&] { return *alive && FSlots[i] == ctl && FGens[i] == gen; };
  CatchIntoBackground([&] { ctl->HandleWindowMessage(msg); },
                      [&](Exception& e) {
                        if (stillThere()) ctl->HandleBackgroundException(e);
                      });
  if (stillThere() && ctl->FReleaseRequested) FreeObject(ctl);
}

// ---------------------------------------------------------------------------
// TSockWndControl

TSockWndControl::TSockWndControl(TComponent* AOwner) : TComponent(AOwner) {}

TSockWndControl::~TSockWndControl() {
  try {
    ReleaseWindowOnce();
  } catch (...) {
  }
}

HWND TSockWndControl::Handle() {
  if (!FHandle) AllocateWindow();
  return FHandle;
}

void TSockWndControl::ReleaseWindowOnce() {
  if (FWindowReleased) return;
  FWindowReleased = true;
  TSockWndControl::DeallocateWindow();
}

void TSockWndControl::HandleWindowMessage(TMessage& msg) {
  RunHandlingExceptions([&] {
    if (msg.Msg == FMsgRelease && FMsgRelease != 0)
      HandleReleaseMessage();
    else
      msg.Result = DefWindowProc(FHandle, msg.Msg, msg.WParam, msg.LParam);
  });
}

void TSockWndControl::HandleBackgroundException(Exception& E) {
  bool canClose = true;
  try {
    if (OnBgException) TriggerBackgroundException(E, canClose);
  } catch (...) {
    // a failing exception handler changes nothing: the component is still aborted
  }
  if (canClose) {
    try {
      AbortComponent();
    } catch (...) {
    }
  }
}

void TSockWndControl::TriggerBackgroundException(Exception& E, bool& CanClose) {
  if (OnBgException) OnBgException(this, E, CanClose);
}

void TSockWndControl::HandleReleaseMessage() { FReleaseRequested = true; }

void TSockWndControl::AllocateWindow() {
  if (FHandle) return;
  FThreadId = GetCurrentThreadId();
  Pool& p = ThePool();
  std::lock_guard<std::mutex> g(p.lock);
  if (!FHandler) FHandler = GetHandler(MessagesNeeded(), FThreadId);
  try {
    FHandler->AllocateHWnd();
    FHandle = FHandler->Handle();
    ClaimMessages();
  } catch (...) {
    ReturnMessages();
    if (FHandler->UsedCount() == 0) FreeHandler(FHandler);
    FHandler = nullptr;
    FHandle = 0;
    FThreadId = 0;
    throw;
  }
}

void TSockWndControl::DeallocateWindow() {
  if (!FHandle) return;
  Pool& p = ThePool();
  std::lock_guard<std::mutex> g(p.lock);
  try {
    ReturnMessages();
  } catch (...) {
  }
  // Numbers a descendant could not return any more (its part is already destroyed).
  if (FHandler) FHandler->ReleaseControl(this);
  if (FHandler && FHandler->UsedCount() == 0) FreeHandler(FHandler);
  FHandle = 0;
  FHandler = nullptr;
  FThreadId = 0;
}

int TSockWndControl::MessagesNeeded() { return 1; }

void TSockWndControl::ClaimMessages() { FMsgRelease = AllocateMsg(); }

void TSockWndControl::ReturnMessages() { FreeMsg(FMsgRelease); }

UINT TSockWndControl::AllocateMsg() { return FHandler ? FHandler->AllocateMsgHandler(this) : 0; }

void TSockWndControl::FreeMsg(UINT& msg) {
  if (FHandler)
    FHandler->FreeMsgHandler(msg);
  else
    msg = 0;
}

void TSockWndControl::AbortComponent() {}

void TSockWndControl::ReleaseLater() { PostMsg(FMsgRelease, 0, 0); }

void TSockWndControl::AttachToThread() {
  if (FHandle) throw ESockException("Cannot attach when not detached");
  AllocateWindow();
}

void TSockWndControl::DetachFromThread() {
  if (GetCurrentThreadId() != FThreadId) throw ESockException("Cannot detach from another thread");
  DeallocateWindow();
}

void TSockWndControl::RunMessageLoop() {
  ::RunMessageLoop();
  FLoopEnded = true;
}

bool TSockWndControl::ProcessOneMessage() {
  // The message layer drains what is pending in one call; a quit ends the loop.
  if (!ProcessMessages()) FLoopEnded = true;
  return false;
}

void TSockWndControl::ProcessPendingMessages() {
  while (ProcessOneMessage()) {
  }
}

void TSockWndControl::PumpMessages() {
  if (FMultiThreaded) {
    ProcessPendingMessages();
  } else if (!ProcessMessages()) {
    FLoopEnded = true;
  }
}

bool TSockWndControl::PostMsg(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (!FHandle || msg == 0) return false;
  return PostMessage(FHandle, msg, wParam, TaggedLParam(msg, static_cast<uint32_t>(lParam)));
}

LPARAM TSockWndControl::TaggedLParam(UINT msg, uint32_t lParam) const {
  uint64_t gen = FHandler ? FHandler->Generation(msg) : 0;
  return static_cast<LPARAM>((gen << 32) | lParam);
}
