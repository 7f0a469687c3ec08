#include "toolkit/qt/QtClock.h"

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <thread>

namespace toolkit::qt {
namespace {

class QtTimerSlot final : public Clock::TimerSlot {
 public:
  explicit QtTimerSlot(std::function<void()> onTick) {
    // Short intervals (1 ms and 10 ms timers defer work) need the precise kind.
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, std::move(onTick));
  }
  void Arm(std::uint32_t intervalMs) override { timer_.start(static_cast<int>(intervalMs)); }
  void Disarm() override { timer_.stop(); }

 private:
  QTimer timer_;
};

}  // namespace

std::uint32_t QtClock::TickCount() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

void QtClock::Sleep(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void QtClock::ProcessMessages() { QCoreApplication::processEvents(); }

std::unique_ptr<Clock::TimerSlot> QtClock::CreateTimerSlot(std::function<void()> onTick) {
  return std::make_unique<QtTimerSlot>(std::move(onTick));
}

}  // namespace toolkit::qt
