// The clock of the running program: steady time, real sleeps, Qt's event loop and QTimer.
#pragma once

#include "toolkit/Clock.h"

namespace toolkit::qt {

class QtClock final : public Clock {
 public:
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t ms) override;
  void ProcessMessages() override;
  std::unique_ptr<TimerSlot> CreateTimerSlot(std::function<void()> onTick) override;
};

}  // namespace toolkit::qt
