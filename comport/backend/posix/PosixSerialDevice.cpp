// The serial device on Linux: a tty opened non-blocking and exclusively.
//
// The event wait is an edge-triggered epoll on the tty, so that "characters arrived" is reported
// once per arrival and not again for bytes a handler chose to leave queued, plus an eventfd that
// other threads use to end the wait. The epoll descriptor itself is the device's event descriptor:
// it is readable exactly while the wait would return, so an event loop can watch it in place of a
// waiting thread. A loop may watch the tty and the eventfd themselves instead, which saves the
// kernel's wake-up passing through the epoll, for as long as no handler leaves bytes queued.
//
// Nothing is sampled on a timer where Linux can wait:
// - modem-line changes: a helper thread waits in TIOCMIWAIT and the line counters (TIOCGICOUNT)
//   say which lines moved, so short pulses count as well; only a driver that lacks TIOCMIWAIT has
//   its lines sampled every 10 ms (LineWatch);
// - the transmitter running empty: the same helper waits for the output to drain after a write;
// - line errors and breaks: Linux has no notification for them, but in raw mode every one of them
//   comes with a received byte (a break or a framing or parity error reads as a NUL, an overrun
//   comes with the bytes that survived), so the error counters are looked at on each arrival.
// Provider events 1 and 2 and printer errors do not exist on Linux ttys: they can be asked for and
// never come.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "comport/SerialDevice.h"
#include "comport/backend/posix/LineWatch.h"
#include "comport/backend/posix/Requests.h"
#include "comport/backend/posix/Termios.h"

namespace comport {
namespace {

using toolkit::Error;
using toolkit::ErrorKind;

// The kind follows from errno: a hang-up or a vanished device (EIO, ENXIO, ENODEV) is DeviceGone,
// a request the tty's driver lacks (ENOTTY, EOPNOTSUPP) NotSupported.
Error Fail(int code, const char* op) {
  return toolkit::ErrnoError(code, op);
}
Error Result(int code, const char* op) {
  return code == 0 ? Error{} : Fail(code, op);
}
Error Ioctl(int fd, unsigned long request, void* arg, const char* op) {
  return ::ioctl(fd, request, arg) == 0 ? Error{} : Fail(errno, op);
}

constexpr std::uint32_t kModemEvents = ev::Cts | ev::Dsr | ev::Rlsd | ev::Ring;
constexpr std::uint32_t kCountedEvents = ev::Break | ev::Err;
constexpr std::uint32_t kInputEvents = ev::RxChar | ev::Rx80Full;

// The modem lines TIOCMIWAIT waits for, for the events asked.
int WatchedLines(std::uint32_t mask) {
  int lines = 0;
  if ((mask & ev::Cts) != 0) lines |= TIOCM_CTS;
  if ((mask & ev::Dsr) != 0) lines |= TIOCM_DSR;
  if ((mask & ev::Rlsd) != 0) lines |= TIOCM_CAR;
  if ((mask & ev::Ring) != 0) lines |= TIOCM_RNG;
  return lines;
}

void Signal(int fd) {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
}

void DrainEventFd(int fd) {
  std::uint64_t value = 0;
  [[maybe_unused]] const ssize_t n = ::read(fd, &value, sizeof value);
}

std::uint32_t ModemBits(int lines) {
  std::uint32_t status = 0;
  if ((lines & TIOCM_CTS) != 0) status |= ms::Cts;
  if ((lines & TIOCM_DSR) != 0) status |= ms::Dsr;
  if ((lines & TIOCM_RNG) != 0) status |= ms::Ring;
  if ((lines & TIOCM_CAR) != 0) status |= ms::Rlsd;
  return status;
}

// Errors since `base`, which moves on to `now`.
std::uint32_t ErrorsSince(serial_icounter_struct& base, const serial_icounter_struct& now) {
  std::uint32_t errors = 0;
  if (now.buf_overrun != base.buf_overrun) errors |= ce::RxOver;
  if (now.overrun != base.overrun) errors |= ce::Overrun;
  if (now.parity != base.parity) errors |= ce::RxParity;
  if (now.frame != base.frame) errors |= ce::Frame;
  if (now.brk != base.brk) errors |= ce::Break;
  base = now;
  return errors;
}

class PosixSerialDevice final : public SerialDevice {
 public:
  explicit PosixSerialDevice(int fd)
      : fd_(fd),
        requests_(fd, [this] { OnWriteEnded(); }),
        lineWatch_(fd, [this] { Signal(wakeFd_); }) {
    // Linux raises DTR and RTS when a tty opens.
    state_.Flags = dcb::fBinary | dcb::DtrEnable | dcb::RtsEnable;
    counters_ = ReadCounters(errorBase_);
    eventBase_ = errorBase_;
    int lines = 0;
    modemLines_ = ::ioctl(fd_, TIOCMGET, &lines) == 0;
    lastLines_ = lines;
  }

  ~PosixSerialDevice() override {
    // The helpers may be waiting on the tty: they end before the descriptor can be reused.
    lineWatch_.Stop();
    requests_.Stop();
    if (epollFd_ >= 0) ::close(epollFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    ::close(fd_);
  }

  Error Init() {
    constexpr const char* kOp = "prepare the event wait";
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) return Fail(errno, kOp);
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) return Fail(errno, kOp);
    epoll_event wake{EPOLLIN, {}};
    wake.data.fd = wakeFd_;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &wake) != 0) return Fail(errno, kOp);
    epoll_event tty{EPOLLET, {}};
    tty.data.fd = fd_;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd_, &tty) != 0) return Fail(errno, kOp);
    return Result(posix::MakeRaw(fd_), "set raw mode");
  }

  Error GetState(TDcb& dcb) override {
    dcb = state_;
    return Result(posix::ReadDcb(fd_, dcb), "read the line settings");
  }

  Error SetState(const TDcb& dcb) override {
    constexpr const char* kOp = "set the line settings";
    // Refused with the code the platform gives any setting it rejects, so the message stays the
    // familiar one; the kind says what it is.
    if (!posix::CanCarryOut(dcb)) {
      return Error{ErrorKind::NotSupported, EINVAL, SystemErrorText(EINVAL), kOp};
    }
    if (Error e = Result(posix::WriteDcb(fd_, dcb), kOp)) return e;
    if (Error e = ApplyLineControl(dcb)) return e;
    state_ = dcb;
    return {};
  }

  Error SetupQueues(std::uint32_t input, std::uint32_t /*output*/) override {
    // The kernel's queues have fixed sizes; the input size still decides when "80% full" is.
    inputSize_.store(input == 0 ? 4096 : input, std::memory_order_relaxed);
    return {};
  }

  Error GetTimeouts(TCommTimeouts& timeouts) override {
    timeouts = requests_.Timeouts();
    return {};
  }

  Error SetTimeouts(const TCommTimeouts& timeouts) override {
    requests_.SetTimeouts(timeouts);
    return {};
  }

  Error StartRead(void* buffer, std::size_t count) override {
    return Result(requests_.StartRead(buffer, count), "read");
  }
  Error StartWrite(const void* buffer, std::size_t count) override {
    return Result(requests_.StartWrite(buffer, count), "write");
  }
  bool ReadPending() override { return requests_.ReadPending(); }
  bool WritePending() override { return requests_.WritePending(); }
  Error WaitRead(std::size_t& transferred) override {
    return Result(requests_.WaitRead(transferred), "complete the read");
  }
  Error WaitWrite(std::size_t& transferred) override {
    return Result(requests_.WaitWrite(transferred), "complete the write");
  }

  Error SetEventMask(std::uint32_t mask) override {
    constexpr const char* kOp = "set the event mask";
    // The event character's arrival could only be seen by reading the input, which belongs to the
    // application: ev::RxFlag is accepted and never reported.
    epoll_event tty{EPOLLET, {}};
    tty.data.fd = fd_;
    // Errors are looked at on arrivals: they always come with a byte.
    if ((mask & (kInputEvents | kCountedEvents)) != 0) tty.events |= EPOLLIN;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd_, &tty) != 0) return Fail(errno, kOp);
    mask_.store(mask, std::memory_order_release);
    lineWatch_.Configure(modemLines_ ? WatchedLines(mask) : 0, (mask & ev::TxEmpty) != 0);
    CancelWait();
    return {};
  }

  Error WaitEvent(std::uint32_t& events) override { return Wait(events, true); }
  int EventDescriptor() const override { return epollFd_; }
  void InputDescriptors(std::uint32_t mask, int& input, int& other) const override {
    // Line errors and breaks come with a byte; modem lines and the transmitter's drain are
    // signalled by the line watch on the wake descriptor.
    input = (mask & (kInputEvents | kCountedEvents)) != 0 ? fd_ : -1;
    other = (mask & (kModemEvents | ev::TxEmpty)) != 0 ? wakeFd_ : -1;
  }
  Error PollEvent(std::uint32_t& events) override { return Wait(events, false); }

  void CancelWait() override {
    cancelled_.store(true, std::memory_order_release);
    Signal(wakeFd_);
  }

  void CancelAll() override {
    CancelWait();
    requests_.Abort(true, true);
  }

  Error ClearErrors(TComStat& stat, std::uint32_t queues) override {
    stat = TComStat{};
    if (counters_) {
      serial_icounter_struct now{};
      if (ReadCounters(now)) stat.errors = ErrorsSince(errorBase_, now);
    }
    int count = 0;
    if ((queues & queue::Input) != 0) {
      if (Error e = Ioctl(fd_, TIOCINQ, &count, "count the input queue")) return e;
      stat.inQueue = static_cast<std::uint32_t>(count);
    }
    if ((queues & queue::Output) != 0) {
      if (Error e = Ioctl(fd_, TIOCOUTQ, &count, "count the output queue")) return e;
      stat.outQueue = static_cast<std::uint32_t>(count);
    }
    return {};
  }

  Error Purge(std::uint32_t flags) override {
    const bool in = (flags & PurgeFlags(TPurge::ClearInput)) != 0;
    const bool out = (flags & PurgeFlags(TPurge::ClearOutput)) != 0;
    requests_.Abort((flags & PurgeFlags(TPurge::AbortInput)) != 0,
                    (flags & PurgeFlags(TPurge::AbortOutput)) != 0);
    if (!in && !out) return {};
    const int which = in && out ? TCIOFLUSH : (in ? TCIFLUSH : TCOFLUSH);
    if (::tcflush(fd_, which) != 0) return Fail(errno, "purge the queues");
    // Counted once the queue is empty, so that the wait never pairs the count with the old queue.
    if (in) purges_.fetch_add(1, std::memory_order_release);
    return {};
  }

  Error Drain() override {
    // Bytes the helper still holds have not reached the kernel's queue: they go first.
    requests_.AwaitWriteEnd();
    // TCSBRK with a non-zero argument waits for the output to be sent and sends no break.
    while (::ioctl(fd_, TCSBRK, 1) != 0) {
      if (errno != EINTR) return Fail(errno, "drain the output");
    }
    return {};
  }

  Error TransmitChar(char c) override {
    // The kernel keeps no queue of ours to jump: the byte goes straight to the driver.
    for (;;) {
      const ssize_t n = ::write(fd_, &c, 1);
      if (n == 1) return {};
      if (n < 0 && errno == EINTR) continue;
      return Fail(n < 0 ? errno : EIO, "transmit a character");
    }
  }

  Error SetBreak(bool on) override {
    if (::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0) return {};
    return Fail(errno, on ? "set a break" : "clear a break");
  }

  Error Escape(TLineControl function) override;

  Error GetModemStatus(std::uint32_t& status) override {
    int lines = 0;
    if (Error e = Ioctl(fd_, TIOCMGET, &lines, "read the modem lines")) return e;
    status = ModemBits(lines);
    return {};
  }

 private:
  bool ReadCounters(serial_icounter_struct& counters) const {
    return ::ioctl(fd_, TIOCGICOUNT, &counters) == 0;
  }

  Error ModemLine(int line, bool on) {
    if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return {};
    return Fail(errno, "set a modem line");
  }

  // DTR and RTS levels change only when their control changes, so that a device without modem
  // lines (a pseudo-terminal) accepts every other setting.
  Error ApplyLineControl(const TDcb& dcb) {
    const std::uint32_t dtr = dcb.Flags & dcb::fDtrControlMask;
    if (dtr != (state_.Flags & dcb::fDtrControlMask)) {
      if (Error e = ModemLine(TIOCM_DTR, dtr == dcb::DtrEnable)) return e;
    }
    const std::uint32_t rts = dcb.Flags & dcb::fRtsControlMask;
    if (rts != (state_.Flags & dcb::fRtsControlMask) && rts != dcb::RtsHandshake) {
      if (Error e = ModemLine(TIOCM_RTS, rts == dcb::RtsEnable)) return e;
    }
    return {};
  }

  // On whichever thread ended the write. The output may already be empty (the wait looks at once)
  // or still draining (the line watch reports when it is empty).
  void OnWriteEnded() {
    txPending_.store(true, std::memory_order_release);
    if ((mask_.load(std::memory_order_acquire) & ev::TxEmpty) == 0) return;
    Signal(wakeFd_);
    lineWatch_.RequestDrain();
  }

  Error Wait(std::uint32_t& events, bool block);
  std::uint32_t Collect(std::uint32_t mask, bool received);
  std::uint32_t InputEvents(std::uint32_t mask);
  std::uint32_t ModemEvents(std::uint32_t mask, const serial_icounter_struct* counts);
  std::uint32_t CountedEvents(std::uint32_t mask, const serial_icounter_struct& counts);
  std::uint32_t TransmitEvents(std::uint32_t mask);

  const int fd_;
  int wakeFd_ = -1;
  int epollFd_ = -1;
  posix::Requests requests_;
  posix::LineWatch lineWatch_;
  TDcb state_;  // the last record applied, for what termios does not hold
  std::atomic<std::uint32_t> mask_{0};
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> txPending_{false};
  std::atomic<std::uint32_t> inputSize_{4096};
  std::atomic<std::uint32_t> purges_{0};  // input purges so far
  // Whether the driver has the ioctls at all; pseudo-terminals have neither.
  bool counters_ = false;
  bool modemLines_ = false;
  // Event-side state, touched only by the waiting thread.
  serial_icounter_struct eventBase_{};
  int lastLines_ = -1;
  bool received_ = false;  // an arrival not yet reported
  std::uint64_t queuedAtLastArrival_ = 0;
  std::uint64_t readAtLastArrival_ = 0;
  std::uint32_t purgesAtLastArrival_ = 0;
  // Error-word side, touched only by the thread that clears errors.
  serial_icounter_struct errorBase_{};
};

// "80% full" is reported when the queue reaches the mark after having been below it. The queue
// is only looked at on arrivals; between two of them it can only have gone below the mark by being
// read or purged, which the device counts. The counts are taken before the queue is looked at: a
// read or purge that comes later is seen at the next arrival, never lost.
std::uint32_t PosixSerialDevice::InputEvents(std::uint32_t mask) {
  std::uint32_t events = mask & ev::RxChar;
  if ((mask & ev::Rx80Full) == 0) return events;
  const std::uint32_t purges = purges_.load(std::memory_order_acquire);
  const std::uint64_t read = requests_.BytesRead();
  int queued = 0;
  if (::ioctl(fd_, TIOCINQ, &queued) != 0) return events;
  const std::uint64_t mark =
      (std::uint64_t{inputSize_.load(std::memory_order_relaxed)} * 4 + 4) / 5;
  const std::uint64_t consumed = read - readAtLastArrival_;
  const bool dipped = purges != purgesAtLastArrival_ || queuedAtLastArrival_ < mark + consumed;
  const auto now = static_cast<std::uint64_t>(queued);
  if (now >= mark && dipped) events |= ev::Rx80Full;
  readAtLastArrival_ = read;
  purgesAtLastArrival_ = purges;
  queuedAtLastArrival_ = now;
  return events;
}

// From the counters when the driver keeps them, so that a pulse shorter than the wake-up counts;
// otherwise from the lines as they are now.
std::uint32_t PosixSerialDevice::ModemEvents(std::uint32_t mask,
                                             const serial_icounter_struct* counts) {
  if ((mask & kModemEvents) == 0 || !modemLines_) return 0;
  std::uint32_t events = 0;
  if (counts != nullptr) {
    if (counts->cts != eventBase_.cts) events |= ev::Cts;
    if (counts->dsr != eventBase_.dsr) events |= ev::Dsr;
    if (counts->dcd != eventBase_.dcd) events |= ev::Rlsd;
    if (counts->rng != eventBase_.rng) events |= ev::Ring;
    return events & mask;
  }
  int lines = 0;
  if (::ioctl(fd_, TIOCMGET, &lines) != 0) return 0;
  const int changed = lastLines_ ^ lines;
  lastLines_ = lines;
  if ((changed & TIOCM_CTS) != 0) events |= ev::Cts;
  if ((changed & TIOCM_DSR) != 0) events |= ev::Dsr;
  if ((changed & TIOCM_CAR) != 0) events |= ev::Rlsd;
  if ((changed & lines & TIOCM_RNG) != 0) events |= ev::Ring;
  return events & mask;
}

std::uint32_t PosixSerialDevice::CountedEvents(std::uint32_t mask,
                                               const serial_icounter_struct& counts) {
  if ((mask & kCountedEvents) == 0) return 0;
  serial_icounter_struct base = eventBase_;
  const std::uint32_t errors = ErrorsSince(base, counts);
  std::uint32_t events = 0;
  if ((errors & ce::Break) != 0) events |= ev::Break;
  if ((errors & ~ce::Break) != 0) events |= ev::Err;
  return events & mask;
}

std::uint32_t PosixSerialDevice::TransmitEvents(std::uint32_t mask) {
  if ((mask & ev::TxEmpty) == 0 || !txPending_.load(std::memory_order_acquire)) return 0;
  int queued = 0;
  if (requests_.WritePending() || ::ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued != 0) return 0;
  txPending_.store(false, std::memory_order_release);
  return ev::TxEmpty;
}

std::uint32_t PosixSerialDevice::Collect(std::uint32_t mask, bool received) {
  std::uint32_t events = received ? InputEvents(mask) : 0;
  serial_icounter_struct counts{};
  const bool counted = counters_ && ReadCounters(counts);
  events |= ModemEvents(mask, counted ? &counts : nullptr);
  if (counted) {
    events |= CountedEvents(mask, counts);
    eventBase_ = counts;
  }
  events |= TransmitEvents(mask);
  return events;
}

Error PosixSerialDevice::Wait(std::uint32_t& events, bool block) {
  constexpr const char* kOp = "wait for line events";
  events = 0;
  for (;;) {
    const std::uint32_t mask = mask_.load(std::memory_order_acquire);
    epoll_event ready[2];
    const int n = ::epoll_wait(epollFd_, ready, 2, block && !received_ ? -1 : 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(errno, kOp);
    for (int i = 0; i < n; ++i) {
      if (ready[i].data.fd == wakeFd_) {
        DrainEventFd(wakeFd_);
        continue;
      }
      // A hang-up: the device has gone.
      if ((ready[i].events & (EPOLLHUP | EPOLLERR)) != 0) return Fail(EIO, kOp);
      if ((ready[i].events & EPOLLIN) != 0) received_ = true;
    }
    // A mask change or a cancel ends the wait with no events, as the caller asked. What came
    // with it (an arrival is an edge that will not come again) is looked at by the next wait,
    // which the descriptor being readable again also tells a watching event loop.
    if (cancelled_.exchange(false, std::memory_order_acq_rel)) {
      Signal(wakeFd_);
      return {};
    }
    events = Collect(mask, std::exchange(received_, false));
    if (events != 0 || !block) return {};
  }
}

Error PosixSerialDevice::Escape(TLineControl function) {
  switch (function) {
    case TLineControl::SetXOff:
      return ::tcflow(fd_, TCOOFF) == 0 ? Error{} : Fail(errno, "suspend the output");
    case TLineControl::SetXOn:
      return ::tcflow(fd_, TCOON) == 0 ? Error{} : Fail(errno, "resume the output");
    case TLineControl::SetRts:
      return ModemLine(TIOCM_RTS, true);
    case TLineControl::ClearRts:
      return ModemLine(TIOCM_RTS, false);
    case TLineControl::SetDtr:
      return ModemLine(TIOCM_DTR, true);
    case TLineControl::ClearDtr:
      return ModemLine(TIOCM_DTR, false);
    case TLineControl::ResetDev:
      break;
  }
  return Fail(EOPNOTSUPP, "reset the device");
}

}  // namespace

Error OpenSerialDevice(const std::string& name, std::unique_ptr<SerialDevice>& device) {
  const std::string op = "open " + name;
  const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail(errno, op.c_str());
  if (!::isatty(fd)) {
    const int code = errno;
    ::close(fd);
    return Fail(code, op.c_str());
  }
  // No sharing: the advisory lock also holds against privileged openers, which TIOCEXCL lets in.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    return Fail(code, op.c_str());
  }
  ::ioctl(fd, TIOCEXCL);
  auto posixDevice = std::make_unique<PosixSerialDevice>(fd);
  if (Error e = posixDevice->Init()) return e;
  device = std::move(posixDevice);
  return {};
}

std::string SystemErrorText(int code) {
  return toolkit::ErrnoText(code);
}

Error NotOpenError(std::string op) {
  return Error{ErrorKind::CallerMistake, EBADF, SystemErrorText(EBADF), std::move(op)};
}

}  // namespace comport
