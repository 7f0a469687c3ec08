#include "toolkit/testing/ManualClock.h"

#include <algorithm>

namespace toolkit::testing {

class ManualClock::Slot final : public Clock::TimerSlot {
 public:
  Slot(ManualClock& clock, std::function<void()> onTick)
      : clock_(&clock), onTick_(std::move(onTick)) {
    clock_->slots_.push_back(this);
  }
  ~Slot() override {
    if (clock_ != nullptr) {
      auto& s = clock_->slots_;
      s.erase(std::remove(s.begin(), s.end(), this), s.end());
    }
  }

  void Arm(std::uint32_t intervalMs) override {
    armed = true;
    interval = intervalMs;
    due = std::uint64_t{clock_->now_} + intervalMs;
    sequence = ++clock_->armSequence_;
  }
  void Disarm() override { armed = false; }

  void Fire() {
    // The tick re-arms from now, as a message-loop timer does; the handler may change that.
    due = std::uint64_t{clock_->now_} + interval;
    onTick_();
  }

  ManualClock* clock_;
  std::function<void()> onTick_;
  bool armed = false;
  std::uint32_t interval = 0;
  std::uint64_t due = 0;
  std::uint64_t sequence = 0;
};

ManualClock::~ManualClock() {
  for (Slot* slot : slots_) slot->clock_ = nullptr;
}

void ManualClock::Sleep(std::uint32_t ms) {
  sleeps_.push_back(ms);
  now_ += ms;
}

void ManualClock::ProcessMessages() {
  if (messageHook_) messageHook_();
  FireOverdue();
  now_ += processStep_;
}

std::unique_ptr<Clock::TimerSlot> ManualClock::CreateTimerSlot(std::function<void()> onTick) {
  return std::make_unique<Slot>(*this, std::move(onTick));
}

ManualClock::Slot* ManualClock::NextDue(std::uint64_t limit) const {
  Slot* best = nullptr;
  for (Slot* slot : slots_) {
    if (!slot->armed || slot->due > limit) continue;
    if (best == nullptr || slot->due < best->due ||
        (slot->due == best->due && slot->sequence < best->sequence)) {
      best = slot;
    }
  }
  return best;
}

void ManualClock::FireOverdue() {
  // Each overdue timer fires once, however late it is.
  std::vector<Slot*> due;
  for (Slot* slot : slots_) {
    if (slot->armed && slot->due <= now_) due.push_back(slot);
  }
  std::sort(due.begin(), due.end(), [](const Slot* a, const Slot* b) {
    return a->due != b->due ? a->due < b->due : a->sequence < b->sequence;
  });
  for (Slot* slot : due) {
    const bool stillThere = std::find(slots_.begin(), slots_.end(), slot) != slots_.end();
    if (stillThere && slot->armed && slot->due <= now_) slot->Fire();
  }
}

void ManualClock::Advance(std::uint32_t ms) {
  FireOverdue();
  const std::uint64_t end = std::uint64_t{now_} + ms;
  while (Slot* slot = NextDue(end)) {
    now_ = static_cast<std::uint32_t>(slot->due);
    slot->Fire();
  }
  now_ = static_cast<std::uint32_t>(end);
}

std::size_t ManualClock::ArmedTimers() const {
  return static_cast<std::size_t>(
      std::count_if(slots_.begin(), slots_.end(), [](const Slot* s) { return s->armed; }));
}

}  // namespace toolkit::testing
