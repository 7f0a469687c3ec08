// A clock that moves only when a test says so. Advance() walks time forward and fires every timer
// that comes due on the way, in time order; Sleep() moves time without firing anything (the UI
// thread is blocked), so overdue timers fire once at the next ProcessMessages() or Advance().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "toolkit/Clock.h"

namespace toolkit::testing {

class ManualClock final : public Clock {
 public:
  ManualClock() = default;
  ~ManualClock() override;

  std::uint32_t TickCount() override { return now_; }
  void Sleep(std::uint32_t ms) override;
  void ProcessMessages() override;
  std::unique_ptr<TimerSlot> CreateTimerSlot(std::function<void()> onTick) override;

  void Advance(std::uint32_t ms);
  void SetNow(std::uint32_t now) { now_ = now; }

  // Runs at every ProcessMessages(), before due timers fire (for example a dispatcher's Pump).
  void SetMessageHook(std::function<void()> hook) { messageHook_ = std::move(hook); }
  // Milliseconds that each ProcessMessages() lets pass, so that loops waiting on the tick count end.
  void SetProcessMessagesStep(std::uint32_t ms) { processStep_ = ms; }

  const std::vector<std::uint32_t>& Sleeps() const { return sleeps_; }
  std::size_t ArmedTimers() const;

 private:
  class Slot;
  friend class Slot;

  Slot* NextDue(std::uint64_t limit) const;
  void FireOverdue();

  std::uint32_t now_ = 1'000'000;
  std::uint64_t armSequence_ = 0;
  std::vector<Slot*> slots_;
  std::vector<std::uint32_t> sleeps_;
  std::function<void()> messageHook_;
  std::uint32_t processStep_ = 0;
};

}  // namespace toolkit::testing
