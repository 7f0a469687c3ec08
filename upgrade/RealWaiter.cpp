#include <condition_variable>
#include <mutex>

#include "upgrade/DfuTransport.h"

namespace dfu {
namespace {

// Waits on a condition variable until shortly before the deadline, then spins until it: a
// device's poll time-out is honoured without the scheduler's rounding adding to every block.
class RealWaiter final : public Waiter {
 public:
  bool Wait(std::chrono::microseconds duration) override {
    using Clock = std::chrono::steady_clock;
    constexpr std::chrono::microseconds kSpin{200};
    const auto deadline = Clock::now() + duration;
    {
      std::unique_lock lock(mutex_);
      if (cancelled_) return false;
      if (duration > kSpin) {
        changed_.wait_until(lock, deadline - kSpin, [this] { return cancelled_; });
        if (cancelled_) return false;
      }
    }
    // A yield here could hand the processor away for a whole time slice on a busy machine.
    while (Clock::now() < deadline) {
    }
    std::lock_guard lock(mutex_);
    return !cancelled_;
  }

  void Cancel() override {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool cancelled_ = false;
};

}  // namespace

std::unique_ptr<Waiter> MakeRealWaiter() {
  return std::make_unique<RealWaiter>();
}

}  // namespace dfu
