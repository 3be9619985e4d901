// Tests of the frame clock: step limits and fixed steps, pause and multiplier, external time,
// re-entry and failures, ASAP ticking, and freeing from a handler.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <utility>
#include <stdexcept>
#include <string>
#include <vector>

#include "Source/Scene/GLCadencer.h"
#include "Source/Scene/GLSceneGraph.h"
#include "platform/Messages.h"
#include "platform/Timing.h"
#include "rtl/SysUtils.h"

namespace {

struct Step {
  double dt, t;
};

// A manual clock over an injected time source that starts at 0.
struct CadencerFixture : ::testing::Test {
  double now = 0;
  std::vector<Step> steps;
  std::unique_ptr<TGLCadencer> clock;

  void SetUp() override {
    GLCadencerTimeSource().PerformanceCounter = [this] { return now; };
    clock = std::make_unique<TGLCadencer>(nullptr);
    clock->SetMode(cmManual);
    clock->OnProgress = [this](TObject*, double dt, double t) { steps.push_back({dt, t}); };
  }
  void TearDown() override {
    clock.reset();
    GLCadencerTimeSource() = TGLCadencerTimeSource{};
  }
  void TickAt(double t) {
    now = t;
    clock->Progress();
  }
};

class TCountingSubscriber : public TGLCadenceAbleComponent {
  RTL_CLASS(TCountingSubscriber, TGLCadenceAbleComponent)
 public:
  using TGLCadenceAbleComponent::TGLCadenceAbleComponent;
  void DoProgress(const TProgressTimes& t) override {
    if (log) log->push_back("subscriber");
    last = t;
  }
  std::vector<std::string>* log = nullptr;
  TProgressTimes last{};
};

}  // namespace

TEST_F(CadencerFixture, MaxDeltaDropsTheRestOfAStall) {
  clock->SetMaxDeltaTime(0.03);
  TickAt(2.0);
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_DOUBLE_EQ(steps[0].dt, 0.03);
  EXPECT_DOUBLE_EQ(steps[0].t, 0.03);
  TickAt(2.01);
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_NEAR(steps[1].dt, 0.01, 1e-9);
}

TEST_F(CadencerFixture, FixedAndMinimumSteps) {
  clock->SetFixedDeltaTime(0.01);
  TickAt(0.035);
  ASSERT_EQ(steps.size(), 3u);
  for (const Step& s : steps) EXPECT_DOUBLE_EQ(s.dt, 0.01);
  EXPECT_DOUBLE_EQ(steps.back().t, 0.035);
  TickAt(0.045);
  EXPECT_EQ(steps.size(), 4u);  // the carried 0.005 plus 0.01 makes one more step

  steps.clear();
  clock->SetFixedDeltaTime(0);
  clock->SetMinDeltaTime(0.05);
  TickAt(0.06);  // 0.02 since the last step: too short
  TickAt(0.08);
  EXPECT_TRUE(steps.empty());
  TickAt(0.11);
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_NEAR(steps[0].dt, 0.07, 1e-9);
}

TEST_F(CadencerFixture, PauseAndMultiplier) {
  TickAt(1.0);
  clock->SetEnabled(false);
  TickAt(3.0);
  EXPECT_EQ(steps.size(), 1u);
  now = 5.0;
  clock->SetEnabled(true);
  TickAt(5.1);
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_NEAR(steps[1].t, 1.1, 1e-9);

  now = 6.0;
  const double before = clock->GetCurrentTime();
  clock->SetTimeMultiplier(0);
  EXPECT_FALSE(clock->Enabled());
  now = 8.0;
  clock->SetTimeMultiplier(2);
  EXPECT_TRUE(clock->Enabled());
  EXPECT_NEAR(clock->GetCurrentTime(), before, 1e-9);
  now = 9.0;
  EXPECT_NEAR(clock->GetCurrentTime(), before + 2, 1e-9);
}

TEST_F(CadencerFixture, ExternalTimeIsAnInputNotAFeedback) {
  clock->SetTimeReference(cmExternal);
  clock->SetCurrentTime(0);
  clock->Progress();
  const double base = clock->CurrentTime();
  clock->SetCurrentTime(1.0);
  clock->Progress();
  EXPECT_NEAR(clock->CurrentTime() - base, 1.0, 1e-9);
  clock->Progress();
  EXPECT_NEAR(clock->CurrentTime() - base, 1.0, 1e-9);
}

TEST_F(CadencerFixture, OrderReentryAndFailures) {
  TGLSceneGraph scene(nullptr);
  std::vector<std::string> log;
  auto* obj = scene.Objects()->AddNewChild<TGLSceneObject>();
  int nested = 0;
  obj->OnProgress = [&](TObject*, double, double) {
    log.push_back("scene");
    // A tick asked for from inside the scene's progress returns at once.
    const size_t before = steps.size();
    clock->Progress();
    nested += int(steps.size() - before);
  };
  TCountingSubscriber sub(nullptr);
  sub.log = &log;
  clock->AddSubscriber(&sub);
  clock->SetScene(&scene);
  clock->OnProgress = [&](TObject*, double, double) { log.push_back("clock"); };
  TickAt(0.5);
  EXPECT_EQ(log, (std::vector<std::string>{"scene", "subscriber", "clock"}));
  EXPECT_EQ(nested, 0);
  EXPECT_DOUBLE_EQ(sub.last.deltaTime, 0.5);

  // An exception out of a handler leaves the clock able to tick.
  clock->OnProgress = [](TObject*, double, double) { throw std::runtime_error("frame failed"); };
  now = 1.0;
  EXPECT_THROW(clock->Progress(), std::runtime_error);
  EXPECT_FALSE(clock->IsBusy());
  clock->OnProgress = nullptr;
  log.clear();
  TickAt(1.5);
  EXPECT_EQ(log.size(), 2u);

  // A freed scene and subscriber are forgotten.
  clock->SetScene(nullptr);
  {
    TCountingSubscriber gone(nullptr);
    clock->AddSubscriber(&gone);
    EXPECT_EQ(clock->SubscriberCount(), 2);
  }
  EXPECT_EQ(clock->SubscriberCount(), 1);
}

TEST(CadencerASAP, TicksFromTheMessageLoopUntilDisabled) {
  TGLSceneGraph scene(nullptr);
  TGLCadencer clock(nullptr);
  int ticks = 0;
  clock.OnProgress = [&](TObject*, double, double) { ++ticks; };
  // Without a scene the clock does not register.
  for (int i = 0; i < 20; ++i) ProcessMessages();
  EXPECT_EQ(ticks, 0);
  clock.SetScene(&scene);
  QElapsedTimer t;
  t.start();
  while (ticks < 5 && t.elapsed() < 5000) ProcessMessages();
  EXPECT_GE(ticks, 5);

  clock.SetEnabled(false);
  ProcessMessages();
  const int stopped = ticks;
  for (int i = 0; i < 20; ++i) ProcessMessages();
  EXPECT_EQ(ticks, stopped);

  // Re-enabled, it ticks again.
  clock.SetEnabled(true);
  t.restart();
  while (ticks < stopped + 3 && t.elapsed() < 5000) ProcessMessages();
  EXPECT_GE(ticks, stopped + 3);

  // Once the application is terminating, clocks are disabled instead of ticked.
  GLCadencerTimeSource().Terminating = [] { return true; };
  for (int i = 0; i < 5; ++i) ProcessMessages();
  EXPECT_FALSE(clock.Enabled());
  GLCadencerTimeSource() = TGLCadencerTimeSource{};
}

// While the clock waits for its minimum step, the next tick comes by a timer when the step is
// due: the message loop does not run ticks that could only find the step too short.
TEST(CadencerASAP, AClockWaitsForItsMinimumStepWithoutTicksInBetween) {
  double now = 0;
  GLCadencerTimeSource().PerformanceCounter = [&now] { return now; };
  TGLSceneGraph scene(nullptr);
  auto clock = std::make_unique<TGLCadencer>(nullptr);
  clock->SetMinDeltaTime(0.05);
  int steps = 0;
  clock->OnProgress = [&](TObject*, double, double) { ++steps; };
  const UINT tick = RegisterWindowMessage("TickGLCadencer");
  int handled = 0;  // tick and timer messages that reached the clocks' window
  const THookHandle hook = SetMessageHook([&](HWND, TMessage& m) {
    if (m.Msg == tick || m.Msg == WM_TIMER) ++handled;
    return false;
  });
  now = 0.05;
  clock->SetScene(&scene);
  WaitMessages([&] { return steps == 1; }, 5000);
  ASSERT_EQ(steps, 1);
  // The clock's time stands still: a wake-up every 50 ms that finds the step still too short.
  handled = 0;
  WaitMessages([] { return false; }, 300);
  EXPECT_EQ(steps, 1);
  EXPECT_LE(handled, 12);
  now = 0.1;
  WaitMessages([&] { return steps == 2; }, 5000);
  EXPECT_EQ(steps, 2);
  clock.reset();
  RemoveMessageHook(hook);
  GLCadencerTimeSource() = TGLCadencerTimeSource{};
}

TEST(CadencerASAP, AClockStoredDisabledDoesNotTick) {
  TGLSceneGraph scene(nullptr);
  TGLCadencer clock(nullptr);
  clock.SetEnabled(false);
  clock.SetScene(&scene);
  int ticks = 0;
  clock.OnProgress = [&](TObject*, double, double) { ++ticks; };
  for (int i = 0; i < 20; ++i) ProcessMessages();
  EXPECT_EQ(ticks, 0);
}

TEST_F(CadencerFixture, AClockFreedByItsOwnHandlerStopsCleanly) {
  TCountingSubscriber sub(nullptr);
  clock->AddSubscriber(&sub);
  clock->SetFixedDeltaTime(0.01);
  int calls = 0;
  clock->OnProgress = [&](TObject*, double, double) {
    ++calls;
    clock.reset();  // the frame handler closes the view that owns the clock
  };
  TickAt(0.05);  // five steps were due; the first one freed the clock
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(clock, nullptr);
}

// The wall clock set back an hour at 50 frames a second (the end of summer time, a time sync):
// the frames keep coming and the clock keeps going forward; the step costs one frame at most.
TEST_F(CadencerFixture, AWallClockSetBackDoesNotStopTheTicks) {
  double wall = 3.9e9;  // a date-time of these years, in seconds
  GLCadencerTimeSource().RealTimeClock = [&] { return wall; };
  clock->SetTimeReference(cmRTC);
  auto runFrames = [&](int frames) {
    for (int i = 0; i < frames; ++i) {
      wall += 0.02;
      clock->Progress();
    }
  };
  runFrames(50);
  ASSERT_EQ(steps.size(), 50u);
  const double before = clock->CurrentTime();
  steps.clear();
  wall -= 3600;
  runFrames(250);
  size_t moving = 0;
  for (const Step& s : steps) moving += s.dt > 0 ? 1 : 0;
  EXPECT_EQ(steps.size(), 250u);
  EXPECT_GE(moving, 249u);
  EXPECT_NEAR(clock->CurrentTime() - before, 5.0, 0.02 + 1e-5);

  // Paused across the step, it resumes where it stood.
  clock->SetEnabled(false);
  const double paused = clock->CurrentTime();
  wall -= 3600;
  clock->SetEnabled(true);
  wall += 0.02;
  clock->Progress();
  EXPECT_NEAR(clock->CurrentTime(), paused, 0.02 + 1e-5);
  EXPECT_GE(clock->CurrentTime(), paused);
}

// The wall clock is read in UTC, so a change of daylight saving time never steps it.
TEST(Cadencer, TheWallClockIsReadInUtc) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "XST-5", 1);  // five hours east of UTC
  tzset();
  TGLCadencer clock(nullptr);
  clock.SetMode(cmManual);
  clock.SetTimeReference(cmRTC);
  const double utc = double(Now()) * 86400.0 + LocalZoneBias() * 60.0;
  const double raw = clock.GetRawReferenceTime();
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  EXPECT_NEAR(raw, utc, 5.0);
}

// A fixed step without a maximum after an 8 h stall (a suspended laptop): one tick runs a bounded
// number of steps, and the rest of the stall is dropped rather than replayed by the next ticks.
TEST_F(CadencerFixture, AFixedStepCatchUpAfterAStallIsBounded) {
  clock->SetFixedDeltaTime(0.01);
  TickAt(0.02);
  ASSERT_EQ(steps.size(), 2u);
  steps.clear();
  TickAt(0.02 + 8 * 3600);
  EXPECT_LE(steps.size(), size_t(TGLCadencer::MaxCatchUpSteps));
  EXPECT_GE(steps.size(), size_t(TGLCadencer::MaxCatchUpSteps - 1));
  steps.clear();
  TickAt(0.02 + 8 * 3600 + 0.03);
  EXPECT_GE(steps.size(), 2u);  // 0.03 s, give or take what was carried and the rounding
  EXPECT_LE(steps.size(), 4u);

  // With a maximum of its own, the maximum decides.
  clock->SetMaxDeltaTime(0.05);
  steps.clear();
  TickAt(2 * 8 * 3600);
  EXPECT_GE(steps.size(), 4u);
  EXPECT_LE(steps.size(), 5u);
}

namespace {
// A subscriber that runs a handler in its step.
class TActingSubscriber : public TGLCadenceAbleComponent {
  RTL_CLASS(TActingSubscriber, TGLCadenceAbleComponent)
 public:
  using TGLCadenceAbleComponent::TGLCadenceAbleComponent;
  void DoProgress(const TProgressTimes&) override {
    if (log) log->push_back(Name());
    if (act) std::exchange(act, nullptr)();
  }
  std::vector<std::string>* log = nullptr;
  std::function<void()> act;
};
}  // namespace

// Subscribers that leave, free others or subscribe new ones in their step: each one subscribed
// when the tick began and still subscribed at its turn steps once; new ones from the next tick.
TEST_F(CadencerFixture, SubscribersThatLeaveOrComeDuringATick) {
  std::vector<std::string> log;
  std::vector<std::unique_ptr<TActingSubscriber>> subs;
  for (const char* name : {"a", "b", "c", "d", "e"}) {
    subs.push_back(std::make_unique<TActingSubscriber>(nullptr));
    subs.back()->SetName(name);
    subs.back()->log = &log;
    clock->AddSubscriber(subs.back().get());
  }
  TActingSubscriber late(nullptr);
  late.SetName("late");
  late.log = &log;
  subs[1]->act = [&] {
    clock->RemoveSubscriber(subs[1].get());  // b leaves: c still steps
    subs[3].reset();                         // d is freed: not reached
    clock->AddSubscriber(&late);
  };
  TickAt(0.1);
  EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "c", "e"}));
  log.clear();
  TickAt(0.2);
  EXPECT_EQ(log, (std::vector<std::string>{"a", "c", "e", "late"}));
  clock->RemoveSubscriber(&late);
}
