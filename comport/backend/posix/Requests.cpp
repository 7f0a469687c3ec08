#include "comport/backend/posix/Requests.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <utility>

namespace comport::posix {
namespace {

using std::chrono::milliseconds;

void Signal(int fd) {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
}

void Drain(int fd) {
  std::uint64_t value = 0;
  [[maybe_unused]] const ssize_t n = ::read(fd, &value, sizeof value);
}

// `ms` after `now`; false when that lies beyond what the clock can hold (centuries away, as large
// multipliers times large counts give), which is as good as no time limit.
bool After(Requests::Clock::time_point now, std::uint64_t ms, Requests::Clock::time_point& at) {
  const auto room =
      std::chrono::duration_cast<milliseconds>(Requests::Clock::time_point::max() - now).count();
  if (room <= 0 || ms >= static_cast<std::uint64_t>(room)) return false;
  at = now + milliseconds(static_cast<milliseconds::rep>(ms));
  return true;
}

}  // namespace

Requests::Requests(int fd, std::function<void()> onWriteEnded)
    : fd_(fd), onWriteEnded_(std::move(onWriteEnded)) {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Requests::~Requests() {
  Stop();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void Requests::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    work_.notify_all();
  }
  if (wakeFd_ >= 0) Signal(wakeFd_);
  if (helper_.joinable()) helper_.join();
}

void Requests::SetTimeouts(const TCommTimeouts& timeouts) {
  std::lock_guard lock(mutex_);
  timeouts_ = timeouts;
}

TCommTimeouts Requests::Timeouts() {
  std::lock_guard lock(mutex_);
  return timeouts_;
}

void Requests::ArmRead(Request& r, std::size_t count, Clock::time_point now) {
  const TCommTimeouts& t = timeouts_;
  const std::uint64_t total =
      std::uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
  r.anyByteEnds = false;
  r.hasDeadline = false;
  r.interval = milliseconds(0);
  if (t.ReadIntervalTimeout == kMaxTimeout && t.ReadTotalTimeoutMultiplier == 0 &&
      t.ReadTotalTimeoutConstant == 0) {
    r.hasDeadline = true;  // what is queued, at once
    r.deadline = now;
  } else if (t.ReadIntervalTimeout == kMaxTimeout && t.ReadTotalTimeoutMultiplier == kMaxTimeout &&
             t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxTimeout) {
    r.anyByteEnds = true;
    r.hasDeadline = After(now, t.ReadTotalTimeoutConstant, r.deadline);
  } else {
    r.hasDeadline = total != 0 && After(now, total, r.deadline);
    if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxTimeout) {
      r.interval = milliseconds(t.ReadIntervalTimeout);
    }
  }
}

void Requests::ArmWrite(Request& r, std::size_t count, Clock::time_point now) {
  const std::uint64_t total = std::uint64_t{timeouts_.WriteTotalTimeoutMultiplier} * count +
                              timeouts_.WriteTotalTimeoutConstant;
  r.anyByteEnds = false;
  r.interval = milliseconds(0);
  r.hasDeadline = total != 0 && After(now, total, r.deadline);
}

// Moves what the fd takes or gives right now; never blocks.
void Requests::Transfer(Request& r, bool read, Clock::time_point now) {
  while (r.pending && r.done < r.count) {
    const ssize_t n = read ? ::read(fd_, r.data + r.done, r.count - r.done)
                           : ::write(fd_, r.data + r.done, r.count - r.done);
    if (n > 0) {
      if (read) bytesRead_.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_release);
      r.done += static_cast<std::size_t>(n);
      r.lastByte = now;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // A tty that reads end-of-file has been hung up: the device is gone.
    Finish(r, read, n == 0 ? EIO : errno);
  }
}

bool Requests::Ended(const Request& r, Clock::time_point now) const {
  if (r.done == r.count) return true;
  if (r.anyByteEnds && r.done > 0) return true;
  if (r.hasDeadline && now >= r.deadline) return true;
  return r.interval.count() != 0 && r.done > 0 && now - r.lastByte >= r.interval;
}

void Requests::Finish(Request& r, bool read, int error) {
  if (!r.pending) return;
  r.pending = false;
  r.error = error;
  ended_.notify_all();
  if (!read && onWriteEnded_) onWriteEnded_();
}

void Requests::Settle(Request& r, bool read, Clock::time_point now) {
  Transfer(r, read, now);
  if (r.pending && Ended(r, now)) Finish(r, read, 0);
}

void Requests::HandOff() {
  if (!helper_.joinable()) helper_ = std::thread([this] { Run(); });
  work_.notify_all();
  Signal(wakeFd_);
}

int Requests::StartRead(void* buffer, std::size_t count) {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  read_ = Request{};
  read_.data = static_cast<unsigned char*>(buffer);
  read_.count = count;
  read_.pending = true;
  ArmRead(read_, count, now);
  Settle(read_, true, now);
  if (read_.pending) HandOff();
  return 0;
}

int Requests::StartWrite(const void* buffer, std::size_t count) {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  // Written from, never into: the request shares the read request's shape.
  write_ = Request{};
  write_.data = static_cast<unsigned char*>(const_cast<void*>(buffer));
  write_.count = count;
  write_.pending = true;
  ArmWrite(write_, count, now);
  Settle(write_, false, now);
  if (write_.pending) HandOff();
  return 0;
}

bool Requests::ReadPending() {
  std::lock_guard lock(mutex_);
  return read_.pending;
}

bool Requests::WritePending() {
  std::lock_guard lock(mutex_);
  return write_.pending;
}

int Requests::WaitFor(Request& r, std::size_t& transferred) {
  std::unique_lock lock(mutex_);
  ended_.wait(lock, [&] { return !r.pending; });
  transferred = r.done;
  // Reported once: later waits find the request ended and fine.
  return std::exchange(r.error, 0);
}

int Requests::WaitRead(std::size_t& transferred) {
  return WaitFor(read_, transferred);
}
int Requests::WaitWrite(std::size_t& transferred) {
  return WaitFor(write_, transferred);
}

void Requests::AwaitWriteEnd() {
  std::unique_lock lock(mutex_);
  ended_.wait(lock, [&] { return !write_.pending; });
}

void Requests::Abort(bool read, bool write) {
  std::lock_guard lock(mutex_);
  if (read) Finish(read_, true, ECANCELED);
  if (write) Finish(write_, false, ECANCELED);
}

int Requests::PollTimeout(Clock::time_point now) const {
  Clock::time_point next = Clock::time_point::max();
  for (const Request* r : {&read_, &write_}) {
    if (!r->pending) continue;
    if (r->hasDeadline) next = std::min(next, r->deadline);
    if (r->interval.count() != 0 && r->done > 0) next = std::min(next, r->lastByte + r->interval);
  }
  if (next == Clock::time_point::max()) return -1;
  if (next <= now) return 0;
  // Rounded up, so that the deadline has passed when poll returns; a deadline further away than
  // poll can wait is waited for in steps.
  return static_cast<int>(std::min<milliseconds::rep>(
      std::chrono::ceil<milliseconds>(next - now).count(), std::numeric_limits<int>::max()));
}

void Requests::PollOnce(std::unique_lock<std::mutex>& lock) {
  pollfd fds[2] = {{fd_, 0, 0}, {wakeFd_, POLLIN, 0}};
  if (read_.pending) fds[0].events |= POLLIN;
  if (write_.pending) fds[0].events |= POLLOUT;
  const int timeout = PollTimeout(Clock::now());
  lock.unlock();
  const int n = ::poll(fds, 2, timeout);
  const int error = n < 0 ? errno : 0;
  lock.lock();
  if (fds[1].revents != 0) Drain(wakeFd_);
  const auto now = Clock::now();
  if (error != 0 && error != EINTR) {
    Finish(read_, true, error);
    Finish(write_, false, error);
    return;
  }
  Settle(read_, true, now);
  Settle(write_, false, now);
  if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
    Finish(read_, true, EIO);
    Finish(write_, false, EIO);
  }
}

void Requests::Run() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    if (!read_.pending && !write_.pending) {
      work_.wait(lock, [&] { return stop_ || read_.pending || write_.pending; });
      continue;
    }
    PollOnce(lock);
  }
}

}  // namespace comport::posix
