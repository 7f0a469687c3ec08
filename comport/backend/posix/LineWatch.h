// A thread that waits for what a tty offers no readiness for: a change of the modem lines
// (TIOCMIWAIT) and the transmitter running empty (TCSBRK with a non-zero argument, as tcdrain
// does). It reports each with `notify` and leaves it to the event wait to find out what happened.
//
// Both calls block in the kernel, and only a signal ends them early; so changing what the thread
// waits for, or stopping it, interrupts it with SIGURG, for which a handler that does nothing is
// installed once (unless the program has its own), without SA_RESTART so that the call returns.
//
// TIOCMIWAIT waits for a change after it began, and reading the line counters cannot be joined
// with it: the counters are compared before each wait, but a change in the microseconds between
// that and the wait's start is reported only with the next change of a watched line.
//
// A driver without TIOCMIWAIT but with readable lines has them sampled every 10 ms instead: there
// is no other way to see them change.
#pragma once

#include <linux/serial.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace comport::posix {

class LineWatch {
 public:
  LineWatch(int fd, std::function<void()> notify);
  ~LineWatch();
  LineWatch(const LineWatch&) = delete;
  LineWatch& operator=(const LineWatch&) = delete;

  // What to wait for: the modem lines (TIOCM_* bits, 0 for none) and whether the transmitter's
  // emptiness is watched. The thread starts when there first is something to wait for.
  void Configure(int modemLines, bool drain);

  // A write has ended: wait until the transmitter is empty (when watched).
  void RequestDrain();

  // Ends the thread; before the descriptor closes.
  void Stop();

 private:
  enum class Support : std::uint8_t { Unknown, Works, Sampled, Gone };

  void Run();
  void Kick(std::unique_lock<std::mutex>& lock);
  int Blocking(std::unique_lock<std::mutex>& lock, unsigned long request, unsigned long arg);
  bool WaitForModemLines(std::unique_lock<std::mutex>& lock);

  const int fd_;
  const std::function<void()> notify_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable left_;  // the thread left a blocking call
  int lines_ = 0;
  bool drainWatched_ = false;
  bool drainRequested_ = false;
  bool stop_ = false;
  Support modemWait_ = Support::Unknown;
  serial_icounter_struct counts_{};  // the line counters when the last wait began or ended
  bool counted_ = false;
  // Interruption: each change counts a kick; a thread in a blocking call that it entered before
  // the latest kick is signalled until it has left it.
  std::uint64_t kicks_ = 0;
  std::uint64_t enteredAt_ = 0;
  bool inCall_ = false;
  std::thread thread_;
};

}  // namespace comport::posix
