// Spreads texture uploads (and the drawing of the pictures they upload) over
// frames: each frame spends at most a set time on them, and what has to wait is
// served oldest request first, so a flood of new pictures costs a little in
// many frames instead of one long frame, and none waits for ever.
#pragma once

#include <cstdint>
#include <functional>

class TGLUploadBudget {
 public:
  TGLUploadBudget();

  // Milliseconds a frame may spend on uploads; 0 (the default) sets no limit.
  void SetLimitMs(double ms);
  double LimitMs() const noexcept { return limitMs_; }
  bool Limited() const noexcept { return limitMs_ > 0; }

  // At most this share of the time from one frame's start to the next (the
  // last one measured), when that is less than the limit; 0 (the default): the
  // limit alone. Keeps uploads from doubling a short frame.
  void SetShareOfFrame(double share);

  // A frame starts: its time is new, and the requests refused in the previous
  // frame come first.
  void StartFrame();

  // May an upload happen now? `waitingSince` is the caller's own mark (0 when
  // it has no request open): a refusal keeps the frame of its first request
  // there, a grant clears it. One request a frame is granted whatever its cost.
  bool Admit(uint64_t& waitingSince);
  // Time spent on a granted upload counts against the frame's limit.
  void Spend(int64_t ticks) noexcept { spent_ += ticks; }
  int64_t Now() const { return clock_(); }

  // The clock, in ticks of `frequency` a second (default: the performance counter).
  void SetClock(std::function<int64_t()> clock, int64_t frequency);

 private:
  std::function<int64_t()> clock_;
  int64_t frequency_ = 1;
  double limitMs_ = 0;
  int64_t limitTicks_ = 0;
  double share_ = 0;
  int64_t frameTicks_ = 0;  // this frame's allowance
  int64_t lastStart_ = -1;
  int64_t spent_ = 0;
  uint64_t frame_ = 1;
  uint64_t servedUpTo_ = UINT64_MAX;     // requests first made up to this frame are served
  uint64_t oldestRefused_ = UINT64_MAX;  // of this frame
  bool granted_ = false;                 // a request was granted in this frame
};

// Measures a granted upload for the budget (none: measures nothing).
class TGLUploadTimer {
 public:
  explicit TGLUploadTimer(TGLUploadBudget* budget) : budget_(budget), start_(budget ? budget->Now() : 0) {}
  ~TGLUploadTimer() {
    if (budget_) budget_->Spend(budget_->Now() - start_);
  }
  TGLUploadTimer(const TGLUploadTimer&) = delete;
  TGLUploadTimer& operator=(const TGLUploadTimer&) = delete;

 private:
  TGLUploadBudget* budget_;
  int64_t start_;
};
