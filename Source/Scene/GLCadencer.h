// The frame clock: at each tick it reads a time source, works out the step since the last tick
// (minimum, maximum and fixed step rules) and hands it to the scene's progress walk, to its
// subscribers and to OnProgress. Ticks come by hand (cmManual), as fast as the message loop
// allows (cmASAP: a hidden window posts itself a registered message; while every such clock
// waits for its minimum or fixed step, a timer brings the tick when the first is due) or when
// the application is idle (cmApplicationIdle). GUI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "Source/Base/ListWalk.h"
#include "Source/Scene/GLMisc.h"
#include "Source/Scene/GLRenderContextInfo.h"

class TGLSceneGraph;

enum TGLCadencerMode : uint8_t { cmManual, cmASAP, cmApplicationIdle };
enum TGLCadencerTimeReference : uint8_t { cmRTC, cmPerformanceCounter, cmExternal };

class TGLCadencer : public TComponent {
  RTL_CLASS(TGLCadencer, TComponent)
 public:
  explicit TGLCadencer(TComponent* AOwner);
  ~TGLCadencer() override;
  void Loaded() override;
  void Notification(TComponent* AComponent, TOperation Operation) override;

  // One tick.
  void Progress();
  // Seconds from the time reference. cmRTC is the UTC date-time and never runs backwards: a wall
  // clock set back re-bases it where it stood.
  double GetRawReferenceTime();
  double GetCurrentTime();
  void AddSubscriber(TGLCadenceAbleComponent* aComponent);
  void RemoveSubscriber(TGLCadenceAbleComponent* aComponent);
  int SubscriberCount() const noexcept { return int(subscribers_.size()); }
  // True while a tick is in progress.
  bool IsBusy() const noexcept { return progressing_ != 0; }
  // Forgets the time elapsed so far: the next tick measures from now.
  void Reset();

  TGLSceneGraph* Scene() const noexcept { return scene_; }
  void SetScene(TGLSceneGraph* v);
  double TimeMultiplier() const noexcept { return timeMultiplier_; }
  void SetTimeMultiplier(double v);
  bool Enabled() const noexcept { return enabled_; }
  void SetEnabled(bool v);
  int SleepLength() const noexcept { return sleepLength_; }
  void SetSleepLength(int v) noexcept { sleepLength_ = v; }
  TGLCadencerMode Mode() const noexcept { return mode_; }
  void SetMode(TGLCadencerMode v);
  TGLCadencerTimeReference TimeReference() const noexcept { return timeReference_; }
  void SetTimeReference(TGLCadencerTimeReference v);
  double CurrentTime() const noexcept { return currentTime_; }
  // The input time of cmExternal (seconds).
  void SetCurrentTime(double v) noexcept { externalTime_ = v; }
  double MaxDeltaTime() const noexcept { return maxDeltaTime_; }
  void SetMaxDeltaTime(double v) noexcept { maxDeltaTime_ = v; }
  double MinDeltaTime() const noexcept { return minDeltaTime_; }
  void SetMinDeltaTime(double v) noexcept { minDeltaTime_ = v; }
  double FixedDeltaTime() const noexcept { return fixedDeltaTime_; }
  void SetFixedDeltaTime(double v) noexcept { fixedDeltaTime_ = v; }

  TGLProgressEvent OnProgress;

  // Without a MaxDeltaTime, one tick runs at most this many fixed steps; the rest of a longer
  // stall is dropped from the clock as MaxDeltaTime drops it.
  static constexpr int MaxCatchUpSteps = 1000;

 private:
  friend class TASAPHandler;
  // Milliseconds (whole, rounded up; at most a second) until the step the minimum or fixed step
  // lets through is due; 0 when it is, or when no such step is set.
  uint32_t StepWaitMs();
  void UpdateRegistration();
  void Register();
  void Unregister();

  std::vector<TGLCadenceAbleComponent*> subscribers_;
  TListWalkers<TGLCadenceAbleComponent*> subscriberWalks_;
  TGLSceneGraph* scene_ = nullptr;
  double timeMultiplier_ = 1.0;
  double lastTime_ = 0;
  double downTime_ = 0;
  double lastMultiplier_ = 1.0;
  bool enabled_ = false;
  int sleepLength_ = -1;
  TGLCadencerMode mode_ = cmManual;
  TGLCadencerTimeReference timeReference_ = cmPerformanceCounter;
  double currentTime_ = 0;
  double externalTime_ = 0;
  double originTime_ = 0;
  double maxDeltaTime_ = 0, minDeltaTime_ = 0, fixedDeltaTime_ = 0;
  int progressing_ = 0;
  // cmRTC never runs backwards: a backward step of the wall clock adds to the shift instead.
  double rtcLast_ = 0, rtcShift_ = 0;
  bool rtcRead_ = false;
  // Cleared by the destructor, so a tick whose handler frees the clock stops touching it.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Raw time sources; tests replace them (seconds).
struct TGLCadencerTimeSource {
  std::function<double()> PerformanceCounter;  // nullptr: the platform counter
  std::function<double()> RealTimeClock;       // nullptr: the current UTC date-time in seconds
  std::function<bool()> Terminating;           // nullptr: the application is closing down
};
TGLCadencerTimeSource& GLCadencerTimeSource();

void RegisterGLCadencerClasses();
