// The frame clock: tick timing and step rules, the manual, ASAP and idle tick modes, subscribers.
#include "Source/Scene/GLCadencer.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <unordered_map>

#include "Source/Scene/GLSceneGraph.h"
#include "platform/Messages.h"
#include "platform/Timing.h"
#include "rtl/Streaming.h"

TGLCadencerTimeSource& GLCadencerTimeSource() {
  static TGLCadencerTimeSource source;
  return source;
}

namespace {

bool ApplicationTerminating() {
  const auto& src = GLCadencerTimeSource();
  if (src.Terminating) return src.Terminating();
  return QCoreApplication::closingDown();
}

// Seconds since the date-time epoch (1899-12-30), in UTC.
double UtcDateTimeSeconds() {
  constexpr double kEpochFromUnix = 25569.0 * 86400.0;
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return kEpochFromUnix + std::chrono::duration<double>(since).count();
}

void ReportTickError(const char* what) { std::fprintf(stderr, "Frame clock: %s\n", what); }

// Runs a tick and reports what escapes it, so one failing frame never stops the clock.
void SafeProgress(TGLCadencer* c) {
  try {
    c->Progress();
  } catch (const std::exception& e) {
    ReportTickError(e.what());
  } catch (...) {
    ReportTickError("unknown exception");
  }
}

}  // namespace

// ============================================================================================
// The ASAP machinery: a hidden window posts itself a registered message; each one ticks every
// registered clock. After 5001 messages handled within one tick of the millisecond clock, a 1 ms
// timer takes over for one round so the rest of the queue gets through.

class TASAPHandler {
 public:
  TASAPHandler();
  ~TASAPHandler();
  TASAPHandler(const TASAPHandler&) = delete;
  TASAPHandler& operator=(const TASAPHandler&) = delete;

  // Starts the ticks again after the list ran empty.
  void Kick();

 private:
  void WndProc(TMessage& msg);
  bool ticking_ = true;
  HWND wnd_ = 0;
  int32_t messageCount_ = 0;
  std::uintptr_t timer_ = 0;
};

namespace {
UINT vWMTickCadencer = 0;
std::unique_ptr<std::vector<TGLCadencer*>> vASAPCadencerList;
std::unique_ptr<TASAPHandler> vHandler;
bool vHandlerBusy = false;

UINT TickMessage() {
  if (!vWMTickCadencer) vWMTickCadencer = RegisterWindowMessage("TickGLCadencer");
  return vWMTickCadencer;
}

// The application's idle event of each clock in cmApplicationIdle mode.
std::unordered_map<TGLCadencer*, std::unique_ptr<QTimer>>& IdleTimers() {
  static std::unordered_map<TGLCadencer*, std::unique_ptr<QTimer>> timers;
  return timers;
}
}  // namespace

TASAPHandler::TASAPHandler() {
  wnd_ = AllocateHWnd([this](TMessage& m) { WndProc(m); });
  PostMessage(wnd_, TickMessage(), 0, 0);
}

TASAPHandler::~TASAPHandler() {
  // At program exit the message layer may already be gone with the application object.
  if (!QCoreApplication::instance()) return;
  if (timer_) KillTimer(wnd_, timer_);
  DeallocateHWnd(wnd_);
}

void TASAPHandler::WndProc(TMessage& msg) {
  msg.Result = 0;
  if (msg.Msg == WM_TIMER) {
    KillTimer(wnd_, timer_);
    timer_ = 0;
    messageCount_ = 0;
  } else if (GetMessageTime() == GetTickCount()) {
    if (++messageCount_ >= 5001) {
      if (!timer_) timer_ = SetTimer(wnd_, 1, 1);
      messageCount_ = 0;
    }
  } else {
    messageCount_ = 0;
  }
  if (timer_ || vHandlerBusy) return;
  if (msg.Msg != TickMessage() && msg.Msg != WM_TIMER) return;
  vHandlerBusy = true;
  TScopeExit clearBusy([] { vHandlerBusy = false; });
  if (vASAPCadencerList) {
    // A clock may unregister (even be freed) while another one ticks: entries become nullptr.
    for (size_t i = vASAPCadencerList->size(); i-- > 0;) {
      if (!vASAPCadencerList || i >= vASAPCadencerList->size()) break;
      TGLCadencer* c = (*vASAPCadencerList)[i];
      if (!c || c->Mode() != cmASAP || !c->Enabled() || c->IsBusy()) continue;
      if (ApplicationTerminating())
        c->SetEnabled(false);
      else
        SafeProgress(c);
    }
  }
  if (vASAPCadencerList) {
    auto& list = *vASAPCadencerList;
    list.erase(std::remove(list.begin(), list.end(), nullptr), list.end());
  }
  if (vASAPCadencerList && !vASAPCadencerList->empty()) {
    // While every clock waits for its minimum (or fixed) step, the next tick comes when the
    // first one is due: ticks that could only find the step too short would keep a core busy.
    uint32_t wait = UINT32_MAX;
    for (TGLCadencer* c : *vASAPCadencerList)
      if (c && c->Mode() == cmASAP && c->Enabled()) wait = std::min(wait, c->StepWaitMs());
    if (wait == UINT32_MAX || wait == 0 || !(timer_ = SetTimer(wnd_, 1, wait))) PostMessage(wnd_, TickMessage(), 0, 0);
  } else {
    // Nothing left to tick: the window goes quiet until a clock registers again.
    vASAPCadencerList.reset();
    ticking_ = false;
  }
}

void TASAPHandler::Kick() {
  if (ticking_) return;
  ticking_ = true;
  PostMessage(wnd_, TickMessage(), 0, 0);
}

// ============================================================================================
// TGLCadencer

TGLCadencer::TGLCadencer(TComponent* AOwner) : TComponent(AOwner) {
  downTime_ = GetRawReferenceTime();
  originTime_ = downTime_;
  SetMode(cmASAP);
  SetEnabled(true);
}

TGLCadencer::~TGLCadencer() {
  // Freed from inside its own tick: the tick sees this and stops touching the clock.
  *alive_ = false;
  Unregister();
  for (TGLCadenceAbleComponent* s : subscribers_) s->RemoveFreeNotification(this);
  subscribers_.clear();
  if (scene_) scene_->RemoveFreeNotification(this);
}

void TGLCadencer::Loaded() {
  inherited::Loaded();
  UpdateRegistration();
}

void TGLCadencer::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove) {
    if (AComponent == scene_) {
      scene_ = nullptr;
      UpdateRegistration();
    }
    auto it = std::find(subscribers_.begin(), subscribers_.end(), AComponent);
    if (it != subscribers_.end()) {
      TGLCadenceAbleComponent* gone = *it;
      subscribers_.erase(it);
      subscriberWalks_.Left(gone);
    }
  }
  inherited::Notification(AComponent, Operation);
}

double TGLCadencer::GetRawReferenceTime() {
  const auto& src = GLCadencerTimeSource();
  switch (timeReference_) {
    case cmRTC: {
      // UTC, so daylight saving never steps it; a wall clock set back (by hand or by a time
      // sync) re-bases the clock where it stood instead of stalling every tick until the wall
      // clock catches up again.
      const double wall = src.RealTimeClock ? src.RealTimeClock() : UtcDateTimeSeconds();
      double t = wall + rtcShift_;
      if (rtcRead_ && t < rtcLast_) {
        rtcShift_ += rtcLast_ - t;
        t = rtcLast_;
      }
      rtcRead_ = true;
      rtcLast_ = t;
      return t;
    }
    case cmPerformanceCounter: {
      if (src.PerformanceCounter) return src.PerformanceCounter();
      int64_t count = 0, freq = 1;
      QueryPerformanceCounter(count);
      QueryPerformanceFrequency(freq);
      return double(count) / double(freq);
    }
    case cmExternal: return externalTime_;
  }
  RTL_ASSERT(false, "Unknown time reference");
  return 0;
}

double TGLCadencer::GetCurrentTime() {
  currentTime_ = (GetRawReferenceTime() - originTime_) * timeMultiplier_;
  return currentTime_;
}

void TGLCadencer::Reset() {
  lastTime_ = 0;
  downTime_ = GetRawReferenceTime();
  originTime_ = downTime_;
}

void TGLCadencer::Progress() {
  if (progressing_ < 0) return;
  if (enabled_ && sleepLength_ >= 0) Sleep(uint32_t(sleepLength_));
  const std::shared_ptr<bool> alive = alive_;
  ++progressing_;
  TScopeExit done([&alive, &p = progressing_] {
    if (*alive) p = (p < 0 ? -p : p) - 1;
  });
  if (!enabled_) return;
  double newTime = GetCurrentTime();
  double deltaTime = newTime - lastTime_;
  if (deltaTime < minDeltaTime_ || deltaTime < fixedDeltaTime_) return;
  // A fixed step without a maximum still catches up a bounded number of steps: replaying a
  // stall of hours step by step would freeze the program for a while again.
  double maxDelta = maxDeltaTime_;
  if (maxDelta <= 0 && fixedDeltaTime_ > 0) maxDelta = fixedDeltaTime_ * MaxCatchUpSteps;
  if (maxDelta > 0 && deltaTime > maxDelta) {
    // The excess of a stall is dropped from the clock.
    if (timeMultiplier_ != 0) originTime_ += (deltaTime - maxDelta) / timeMultiplier_;
    deltaTime = maxDelta;
    newTime = lastTime_ + deltaTime;
  }
  const double step = fixedDeltaTime_ > 0 ? fixedDeltaTime_ : deltaTime;
  double remaining = deltaTime;
  while (remaining >= step) {
    lastTime_ += step;
    if (scene_ && step != 0) {
      progressing_ = -progressing_;
      TScopeExit restore([&alive, &p = progressing_] {
        if (*alive && p < 0) p = -p;
      });
      scene_->Progress(step, lastTime_);
    }
    if (!*alive) return;
    {
      // A subscriber may unsubscribe or free others (or subscribe new ones) in its step.
      TListWalk<TGLCadenceAbleComponent*> walk(subscriberWalks_, subscribers_.begin(), subscribers_.end());
      while (TGLCadenceAbleComponent* s = walk.Next()) {
        s->DoProgress(TProgressTimes{step, lastTime_});
        if (!*alive) return;
      }
    }
    if (OnProgress && !ComponentState().Contains(csDesigning)) {
      // A copy: the handler may replace itself or free the clock.
      const TGLProgressEvent handler = OnProgress;
      handler(this, step, newTime);
      if (!*alive) return;
    }
    if (step <= 0) break;
    remaining -= step;
  }
}

uint32_t TGLCadencer::StepWaitMs() {
  const double need = std::max(minDeltaTime_, fixedDeltaTime_);
  // An external time moves only when it is set: no wait finds it further on.
  if (need <= 0 || timeReference_ == cmExternal || timeMultiplier_ <= 0) return 0;
  const double left = (lastTime_ + need) / timeMultiplier_ - (GetRawReferenceTime() - originTime_);
  return left <= 0 ? 0 : uint32_t(std::min(std::ceil(left * 1000), 1000.0));
}

void TGLCadencer::AddSubscriber(TGLCadenceAbleComponent* aComponent) {
  if (!aComponent) return;
  if (std::find(subscribers_.begin(), subscribers_.end(), aComponent) != subscribers_.end()) return;
  subscribers_.push_back(aComponent);
  aComponent->FreeNotification(this);
}

void TGLCadencer::RemoveSubscriber(TGLCadenceAbleComponent* aComponent) {
  auto it = std::find(subscribers_.begin(), subscribers_.end(), aComponent);
  if (it == subscribers_.end()) return;
  subscribers_.erase(it);
  subscriberWalks_.Left(aComponent);
  aComponent->RemoveFreeNotification(this);
}

void TGLCadencer::SetScene(TGLSceneGraph* v) {
  if (scene_ == v) return;
  if (scene_) scene_->RemoveFreeNotification(this);
  scene_ = v;
  if (scene_) scene_->FreeNotification(this);
  UpdateRegistration();
}

void TGLCadencer::SetTimeMultiplier(double v) {
  if (v == timeMultiplier_) return;
  if (v == 0) {
    lastMultiplier_ = timeMultiplier_;
    SetEnabled(false);
  } else {
    const double now = GetRawReferenceTime();
    double t;
    if (timeMultiplier_ == 0) {
      SetEnabled(true);
      t = (now - originTime_) * lastMultiplier_;
    } else {
      t = (now - originTime_) * timeMultiplier_;
    }
    originTime_ = now - t / v;
  }
  timeMultiplier_ = v;
}

void TGLCadencer::SetEnabled(bool v) {
  if (enabled_ == v) return;
  enabled_ = v;
  if (!ComponentState().Contains(csDesigning)) {
    if (enabled_)
      originTime_ = GetRawReferenceTime() + originTime_ - downTime_;
    else
      downTime_ = GetRawReferenceTime();
    UpdateRegistration();
  }
}

void TGLCadencer::SetMode(TGLCadencerMode v) {
  if (mode_ == v) return;
  if (mode_ != cmManual) Unregister();
  mode_ = v;
  UpdateRegistration();
}

void TGLCadencer::SetTimeReference(TGLCadencerTimeReference v) {
  if (timeReference_ == v) return;
  // The clock keeps its current time across a change of source.
  const double t = (GetRawReferenceTime() - originTime_);
  const double down = GetRawReferenceTime() - downTime_;
  timeReference_ = v;
  const double now = GetRawReferenceTime();
  originTime_ = now - t;
  downTime_ = now - down;
}

void TGLCadencer::UpdateRegistration() {
  if (ComponentState().Contains(csLoading)) return;
  if ((mode_ == cmASAP || mode_ == cmApplicationIdle) && !ComponentState().Contains(csDesigning) && scene_ && enabled_)
    Register();
  else
    Unregister();
}

void TGLCadencer::Register() {
  if (mode_ == cmASAP) {
    if (!vASAPCadencerList) vASAPCadencerList = std::make_unique<std::vector<TGLCadencer*>>();
    if (std::find(vASAPCadencerList->begin(), vASAPCadencerList->end(), this) == vASAPCadencerList->end()) {
      vASAPCadencerList->push_back(this);
      if (!vHandler)
        vHandler = std::make_unique<TASAPHandler>();
      else
        vHandler->Kick();
    }
  } else if (mode_ == cmApplicationIdle) {
    auto& timers = IdleTimers();
    if (timers.count(this)) return;
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(0);
    QObject::connect(timer.get(), &QTimer::timeout, [this] { SafeProgress(this); });
    timer->start();
    timers.emplace(this, std::move(timer));
  }
}

void TGLCadencer::Unregister() {
  if (vASAPCadencerList)
    std::replace(vASAPCadencerList->begin(), vASAPCadencerList->end(), this, (TGLCadencer*)nullptr);
  auto& timers = IdleTimers();
  auto it = timers.find(this);
  if (it != timers.end()) {
    it->second->stop();
    // Freeing a QTimer from inside its own timeout is allowed only through deleteLater.
    it->second.release()->deleteLater();
    timers.erase(it);
  }
}

void RegisterGLCadencerClasses() {
  TPublished<TGLCadencer>()
      .Component("Scene", &TGLCadencer::Scene, &TGLCadencer::SetScene)
      .Float("MaxDeltaTime", &TGLCadencer::MaxDeltaTime, &TGLCadencer::SetMaxDeltaTime, 0.0)
      .Float("MinDeltaTime", &TGLCadencer::MinDeltaTime, &TGLCadencer::SetMinDeltaTime, 0.0)
      .Float("FixedDeltaTime", &TGLCadencer::FixedDeltaTime, &TGLCadencer::SetFixedDeltaTime, 0.0)
      .Enum("Mode", &TGLCadencer::Mode, &TGLCadencer::SetMode, {"cmManual", "cmASAP", "cmApplicationIdle"}, cmASAP)
      .Integer("SleepLength", &TGLCadencer::SleepLength, &TGLCadencer::SetSleepLength, -1)
      .Boolean("Enabled", &TGLCadencer::Enabled, &TGLCadencer::SetEnabled, true)
      .Enum("TimeReference", &TGLCadencer::TimeReference, &TGLCadencer::SetTimeReference,
            {"cmRTC", "cmPerformanceCounter", "cmExternal"}, cmPerformanceCounter)
      .Float("TimeMultiplier", &TGLCadencer::TimeMultiplier, &TGLCadencer::SetTimeMultiplier, 1.0);
  RegisterClass(TGLCadencer::StaticClass());
}
