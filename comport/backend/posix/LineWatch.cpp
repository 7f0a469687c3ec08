#include "comport/backend/posix/LineWatch.h"

#include <linux/serial.h>
#include <pthread.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

namespace comport::posix {
namespace {

constexpr auto kSamplePeriod = std::chrono::milliseconds(10);
constexpr auto kResend = std::chrono::milliseconds(1);

void Interrupted(int /*signal*/) {}

int InterruptSignal() {
  static const int signal = [] {
    struct sigaction current {};
    if (::sigaction(SIGURG, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
        (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN)) {
      struct sigaction action {};
      action.sa_handler = Interrupted;
      sigemptyset(&action.sa_mask);
      action.sa_flags = 0;
      ::sigaction(SIGURG, &action, nullptr);
    }
    return SIGURG;
  }();
  return signal;
}

bool SameLineCounts(const serial_icounter_struct& a, const serial_icounter_struct& b) {
  return a.cts == b.cts && a.dsr == b.dsr && a.rng == b.rng && a.dcd == b.dcd;
}

}  // namespace

LineWatch::LineWatch(int fd, std::function<void()> notify) : fd_(fd), notify_(std::move(notify)) {}

LineWatch::~LineWatch() {
  Stop();
}

void LineWatch::Stop() {
  std::unique_lock lock(mutex_);
  if (stop_) return;
  stop_ = true;
  Kick(lock);
  lock.unlock();
  if (thread_.joinable()) thread_.join();
}

void LineWatch::Configure(int modemLines, bool drain) {
  std::unique_lock lock(mutex_);
  if (stop_ || (modemLines == lines_ && drain == drainWatched_)) return;
  lines_ = modemLines;
  drainWatched_ = drain;
  if (!drain) drainRequested_ = false;
  if (!thread_.joinable() && (lines_ != 0 || drain)) {
    InterruptSignal();
    thread_ = std::thread([this] { Run(); });
    return;
  }
  Kick(lock);
}

void LineWatch::RequestDrain() {
  std::unique_lock lock(mutex_);
  if (stop_ || !drainWatched_) return;
  drainRequested_ = true;
  Kick(lock);
}

// The thread looks at what to do only under the lock; a kick that comes after it entered a
// blocking call signals it out of that call, again each millisecond in case the signal came just
// before the call began.
void LineWatch::Kick(std::unique_lock<std::mutex>& lock) {
  const std::uint64_t kick = ++kicks_;
  work_.notify_all();
  if (!thread_.joinable()) return;
  while (inCall_ && enteredAt_ < kick) {
    ::pthread_kill(thread_.native_handle(), InterruptSignal());
    left_.wait_for(lock, kResend);
  }
}

int LineWatch::Blocking(std::unique_lock<std::mutex>& lock, unsigned long request,
                        unsigned long arg) {
  inCall_ = true;
  enteredAt_ = kicks_;
  lock.unlock();
  const int result = ::ioctl(fd_, request, arg);
  const int error = errno;
  lock.lock();
  inCall_ = false;
  left_.notify_all();
  errno = error;
  return result;
}

// True when the thread waited (or found the wait unsupported), false when there is nothing to
// wait for with TIOCMIWAIT.
bool LineWatch::WaitForModemLines(std::unique_lock<std::mutex>& lock) {
  if (lines_ == 0 || modemWait_ == Support::Gone) return false;
  if (modemWait_ == Support::Sampled) {
    if (work_.wait_for(lock, kSamplePeriod) == std::cv_status::timeout) notify_();
    return true;
  }
  // TIOCMIWAIT waits for a change after it began; one between two waits shows in the counters.
  serial_icounter_struct now{};
  const bool counted = ::ioctl(fd_, TIOCGICOUNT, &now) == 0;
  if (counted && counted_ && !SameLineCounts(now, counts_)) {
    counts_ = now;
    notify_();
    return true;
  }
  counts_ = now;
  counted_ = counted;
  if (Blocking(lock, TIOCMIWAIT, static_cast<unsigned long>(lines_)) == 0) {
    modemWait_ = Support::Works;
    counted_ = ::ioctl(fd_, TIOCGICOUNT, &counts_) == 0;
    notify_();
    return true;
  }
  if (errno == EINTR) return true;
  if (errno == EIO || errno == ENODEV || errno == ENXIO) {
    modemWait_ = Support::Gone;  // the event wait reports the device gone
    notify_();
    return true;
  }
  int lines = 0;
  modemWait_ = ::ioctl(fd_, TIOCMGET, &lines) == 0 ? Support::Sampled : Support::Gone;
  return true;
}

void LineWatch::Run() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    if (drainWatched_ && drainRequested_) {
      drainRequested_ = false;
      if (Blocking(lock, TCSBRK, 1) != 0 && errno == EINTR) {
        drainRequested_ = drainWatched_;  // interrupted, not done: again, after what changed
      } else {
        notify_();
      }
      continue;
    }
    if (WaitForModemLines(lock)) continue;
    work_.wait(lock);
  }
}

}  // namespace comport::posix
