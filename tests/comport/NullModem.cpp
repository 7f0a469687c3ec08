#include "NullModem.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <mutex>

namespace comport::testing {
namespace {

struct State {
  std::mutex mutex;
  bool active = false;
  int lines = TIOCM_DTR | TIOCM_RTS;
  serial_icounter_struct counts{};
  int changes[2] = {-1, -1};  // a byte per change wakes the waiters
  int waiters = 0;
  int waitedLines = 0;
  int waitsBegun = 0;
};

State& Modem() {
  static State state;
  return state;
}

void Count(serial_icounter_struct& counts, int line) {
  if ((line & TIOCM_CTS) != 0) ++counts.cts;
  if ((line & TIOCM_DSR) != 0) ++counts.dsr;
  if ((line & TIOCM_CAR) != 0) ++counts.dcd;
  if ((line & TIOCM_RNG) != 0) ++counts.rng;
}

bool Moved(const serial_icounter_struct& a, const serial_icounter_struct& b, int lines) {
  return ((lines & TIOCM_CTS) != 0 && a.cts != b.cts) ||
         ((lines & TIOCM_DSR) != 0 && a.dsr != b.dsr) ||
         ((lines & TIOCM_CAR) != 0 && a.dcd != b.dcd) ||
         ((lines & TIOCM_RNG) != 0 && a.rng != b.rng);
}

void Changed(State& s) {
  const char byte = 0;
  [[maybe_unused]] const ssize_t n = ::write(s.changes[1], &byte, 1);
}

int WaitForChange(State& s, int lines) {
  std::unique_lock lock(s.mutex);
  const serial_icounter_struct start = s.counts;
  ++s.waiters;
  ++s.waitsBegun;
  s.waitedLines = lines;
  int result = 0;
  while (!Moved(start, s.counts, lines)) {
    lock.unlock();
    pollfd p{s.changes[0], POLLIN, 0};
    const int n = ::poll(&p, 1, -1);
    const int error = errno;
    lock.lock();
    if (n < 0) {
      errno = error;
      result = -1;
      break;
    }
    char bytes[16];
    [[maybe_unused]] const ssize_t r = ::read(s.changes[0], bytes, sizeof bytes);
  }
  --s.waiters;
  return result;
}

// The modem requests this stands in for, on a descriptor the kernel refused them for.
int Answer(State& s, unsigned long request, void* arg) {
  switch (request) {
    case TIOCMGET: {
      std::lock_guard lock(s.mutex);
      *static_cast<int*>(arg) = s.lines;
      return 0;
    }
    case TIOCGICOUNT: {
      std::lock_guard lock(s.mutex);
      *static_cast<serial_icounter_struct*>(arg) = s.counts;
      return 0;
    }
    case TIOCMIWAIT:
      return WaitForChange(s, static_cast<int>(reinterpret_cast<unsigned long>(arg)));
    default:
      return 1;  // not ours
  }
}

}  // namespace

NullModem::NullModem() {
  State& s = Modem();
  std::lock_guard lock(s.mutex);
  if (s.changes[0] < 0) [[maybe_unused]]
    const int r = ::pipe2(s.changes, O_CLOEXEC | O_NONBLOCK);
  s.lines = TIOCM_DTR | TIOCM_RTS;
  s.counts = {};
  s.active = true;
}

NullModem::~NullModem() {
  State& s = Modem();
  std::lock_guard lock(s.mutex);
  s.active = false;
}

void NullModem::Set(int lines, bool on) {
  State& s = Modem();
  std::lock_guard lock(s.mutex);
  const int next = on ? (s.lines | lines) : (s.lines & ~lines);
  Count(s.counts, s.lines ^ next);
  s.lines = next;
  Changed(s);
}

void NullModem::Pulse(int line) {
  State& s = Modem();
  std::lock_guard lock(s.mutex);
  Count(s.counts, line);
  Count(s.counts, line);
  Changed(s);
}

void NullModem::CountFrameError() {
  State& s = Modem();
  std::lock_guard lock(s.mutex);
  ++s.counts.frame;
}

int NullModem::Waiters() const {
  State& s = Modem();
  std::lock_guard lock(s.mutex);
  return s.waiters;
}

int NullModem::WaitsBegun() const {
  State& s = Modem();
  std::lock_guard lock(s.mutex);
  return s.waitsBegun;
}

int NullModem::WaitedLines() const {
  State& s = Modem();
  std::lock_guard lock(s.mutex);
  return s.waitedLines;
}

}  // namespace comport::testing

// Stands in for the C library's ioctl in this test binary.
extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  const long result = ::syscall(SYS_ioctl, fd, request, arg);
  if (result >= 0 || (errno != ENOTTY && errno != EINVAL)) return static_cast<int>(result);
  auto& s = comport::testing::Modem();
  {
    std::lock_guard lock(s.mutex);
    if (!s.active) return static_cast<int>(result);
  }
  const int saved = errno;
  const int answer = comport::testing::Answer(s, request, arg);
  if (answer == 1) {
    errno = saved;
    return -1;
  }
  return answer;
}
