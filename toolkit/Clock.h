// Time as the UI thread sees it: a millisecond tick count, blocking sleeps, one round of message
// processing, and the slots behind window timers. The real clock runs on the message loop; tests
// use a manual clock on which the program's 1 s, 15 s and 30 s waits take no real time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace toolkit {

class Clock {
 public:
  // A timer's connection to the message loop. Arm restarts the count from now; a slot fires
  // `onTick` every `intervalMs` on the UI thread until disarmed.
  class TimerSlot {
   public:
    virtual ~TimerSlot() = default;
    virtual void Arm(std::uint32_t intervalMs) = 0;
    virtual void Disarm() = 0;
  };

  virtual ~Clock() = default;

  // Milliseconds since an arbitrary start, wrapping at 2^32; differences of two readings are exact.
  virtual std::uint32_t TickCount() = 0;

  // Blocks the UI thread; no message is handled meanwhile.
  virtual void Sleep(std::uint32_t ms) = 0;

  // Handles the window messages, timer ticks and hand-overs that are waiting, then returns.
  virtual void ProcessMessages() = 0;

  virtual std::unique_ptr<TimerSlot> CreateTimerSlot(std::function<void()> onTick) = 0;
};

}  // namespace toolkit
