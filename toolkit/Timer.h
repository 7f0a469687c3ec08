// A window timer. While enabled with a non-zero interval it calls OnTimer on the UI thread every
// Interval milliseconds. Enabling a timer that already runs leaves its count alone; giving a
// running timer a different interval starts a new count. A one-shot is a timer whose handler stops
// it. What OnTimer throws goes to the standard exception report.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "toolkit/Clock.h"

namespace toolkit {

class Timer {
 public:
  explicit Timer(Clock& clock, std::uint32_t intervalMs = 1000, bool enabled = false);
  ~Timer();

  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  std::uint32_t Interval() const { return interval_; }
  void SetInterval(std::uint32_t intervalMs);

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  void Start() { SetEnabled(true); }
  void Stop() { SetEnabled(false); }

  std::function<void()> OnTimer;

 private:
  void Update();
  void Tick();

  std::unique_ptr<Clock::TimerSlot> slot_;
  std::uint32_t interval_;
  bool enabled_;
};

}  // namespace toolkit
