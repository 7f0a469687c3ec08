// A pacer for VirtualHeadset in tests: the device's pauses (slow answers, split gaps, time away
// in upgrade mode) take no real time, and a test can hold the device inside a pause to look at the
// port meanwhile. Open (the default), every pause is recorded and returns at once.
//
// Usage: give Pacer() to VirtualHeadset::Options::pacer; Close() before starting to hold pauses;
// WaitForPause() and Release() step through them; Open() before the headset is destroyed, since a
// headset held in a pause cannot stop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

namespace sim::testing {

class GatedPacer {
 public:
  explicit GatedPacer(bool open = true) : open_(open) {}

  std::function<void(std::chrono::milliseconds)> Pacer() {
    return [this](std::chrono::milliseconds pause) { Enter(pause); };
  }

  // The next pause the headset asked for; nullopt when none comes within `timeout`.
  std::optional<std::chrono::milliseconds> WaitForPause(
      std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return !pauses_.empty(); })) {
      return std::nullopt;
    }
    const auto pause = pauses_.front();
    pauses_.pop_front();
    return pause;
  }

  void Release() {
    std::lock_guard lock(mutex_);
    ++releases_;
    changed_.notify_all();
  }

  // From now on each pause holds the headset until released.
  void Close() {
    std::lock_guard lock(mutex_);
    open_ = false;
  }

  // From now on no pause holds the headset.
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  void Enter(std::chrono::milliseconds pause) {
    std::unique_lock lock(mutex_);
    pauses_.push_back(pause);
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_ || releases_ > 0; });
    if (!open_) --releases_;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::chrono::milliseconds> pauses_;
  int releases_ = 0;
  bool open_;
};

}  // namespace sim::testing
