#include "toolkit/Timer.h"

#include "toolkit/Application.h"

namespace toolkit {

Timer::Timer(Clock& clock, std::uint32_t intervalMs, bool enabled)
    : slot_(clock.CreateTimerSlot([this] { Tick(); })), interval_(intervalMs), enabled_(enabled) {
  Update();
}

Timer::~Timer() { slot_->Disarm(); }

void Timer::SetInterval(std::uint32_t intervalMs) {
  if (intervalMs == interval_) return;
  interval_ = intervalMs;
  Update();
}

void Timer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Update();
}

void Timer::Update() {
  if (enabled_ && interval_ != 0) {
    slot_->Arm(interval_);
  } else {
    slot_->Disarm();
  }
}

void Timer::Tick() {
  if (!enabled_ || !OnTimer) return;
  RunGuarded(OnTimer);
}

}  // namespace toolkit
