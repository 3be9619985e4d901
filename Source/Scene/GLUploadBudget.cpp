// The upload budget: the time a frame may still spend on uploads, and the queue of waiting
// requests in the order they first asked.
#include "Source/Scene/GLUploadBudget.h"

#include <algorithm>

#include "platform/Timing.h"

TGLUploadBudget::TGLUploadBudget() {
  int64_t f = 0;
  frequency_ = QueryPerformanceFrequency(f) && f > 0 ? f : 1;
  clock_ = [] {
    int64_t v = 0;
    QueryPerformanceCounter(v);
    return v;
  };
}

void TGLUploadBudget::SetClock(std::function<int64_t()> clock, int64_t frequency) {
  clock_ = std::move(clock);
  frequency_ = std::max<int64_t>(1, frequency);
  SetLimitMs(limitMs_);
}

void TGLUploadBudget::SetLimitMs(double ms) {
  limitMs_ = ms > 0 ? ms : 0;
  limitTicks_ = int64_t(limitMs_ * double(frequency_) / 1000.0);
  if (limitMs_ > 0 && limitTicks_ < 1) limitTicks_ = 1;
}

void TGLUploadBudget::SetShareOfFrame(double share) { share_ = share > 0 && share < 1 ? share : 0; }

void TGLUploadBudget::StartFrame() {
  ++frame_;
  frameTicks_ = limitTicks_;
  if (share_ > 0 && Limited()) {
    const int64_t now = clock_();
    if (lastStart_ >= 0 && now > lastStart_)
      frameTicks_ = std::max<int64_t>(1, std::min(limitTicks_, int64_t(share_ * double(now - lastStart_))));
    lastStart_ = now;
  }
  // The oldest refused requests, and those one frame younger, go first: a
  // request is refused only while older ones wait, so none starves.
  servedUpTo_ = oldestRefused_ == UINT64_MAX ? UINT64_MAX : oldestRefused_ + 1;
  oldestRefused_ = UINT64_MAX;
  spent_ = 0;
  granted_ = false;
}

bool TGLUploadBudget::Admit(uint64_t& waitingSince) {
  if (!Limited()) {
    waitingSince = 0;
    return true;
  }
  const uint64_t since = waitingSince ? waitingSince : frame_;
  if (since <= servedUpTo_ && (!granted_ || spent_ < frameTicks_)) {
    granted_ = true;
    waitingSince = 0;
    return true;
  }
  waitingSince = since;
  oldestRefused_ = std::min(oldestRefused_, since);
  return false;
}
