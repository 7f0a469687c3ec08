// The serial device on Windows: a COM handle opened for overlapped I/O, exclusively.
//
// The component's records are the platform's own (the device-control block, the time-outs, the
// event, error and modem-status flags, the purge and escape codes), so they pass through as they
// are. Each request has its overlapped record and a manual-reset event that is signalled while no
// request is pending; the event wait has its own record and an auto-reset event.
//
// A COM handle is not a descriptor an event loop could watch: a thread waits in WaitEvent. Ending
// that wait from another thread (CancelWait) does not cancel the platform's WaitCommEvent: it stays
// outstanding and the next WaitEvent goes on waiting for it, so an event that arrives meanwhile is
// not lost. A mask change ends it on the platform's side.
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "comport/SerialDevice.h"
#include "toolkit/Utf.h"
#include "toolkit/backend/win32/SystemError.h"

namespace comport {
namespace {

using toolkit::Error;
using toolkit::ErrorKind;

static_assert(sizeof(DCB) == sizeof(TDcb) && std::is_trivially_copyable_v<TDcb>);
static_assert(offsetof(DCB, BaudRate) == offsetof(TDcb, BaudRate));
static_assert(offsetof(DCB, wReserved) == offsetof(TDcb, wReserved));
static_assert(offsetof(DCB, ByteSize) == offsetof(TDcb, ByteSize));
static_assert(offsetof(DCB, EvtChar) == offsetof(TDcb, EvtChar));
static_assert(sizeof(COMMTIMEOUTS) == sizeof(TCommTimeouts));
static_assert(EV_RXCHAR == ev::RxChar && EV_TXEMPTY == ev::TxEmpty && EV_RLSD == ev::Rlsd &&
              EV_ERR == ev::Err && EV_RX80FULL == ev::Rx80Full && EV_EVENT2 == ev::Event2);
static_assert(CE_RXOVER == ce::RxOver && CE_OVERRUN == ce::Overrun && CE_BREAK == ce::Break);
static_assert(MS_CTS_ON == ms::Cts && MS_RLSD_ON == ms::Rlsd);
static_assert(PURGE_TXABORT == PurgeFlags(TPurge::AbortOutput) &&
              PURGE_RXCLEAR == PurgeFlags(TPurge::ClearInput));
static_assert(SETXOFF == static_cast<int>(TLineControl::SetXOff) &&
              CLRDTR == static_cast<int>(TLineControl::ClearDtr) &&
              RESETDEV == static_cast<int>(TLineControl::ResetDev));

// The kind of a failure on a port that is open. A device that has gone away fails its requests
// with "access denied" (USB serial drivers), "the device does not recognise the command" or a
// general failure; a request the driver lacks with "not supported" or "invalid function".
ErrorKind KindOnOpenPort(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return ErrorKind::DeviceGone;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
    case ERROR_CALL_NOT_IMPLEMENTED:
      return ErrorKind::NotSupported;
    case ERROR_SEM_TIMEOUT:
    case ERROR_TIMEOUT:
      return ErrorKind::TimedOut;
    default:
      return ErrorKind::OsFailure;
  }
}

Error Fail(DWORD code, std::string op) {
  return toolkit::win32::SystemError(KindOnOpenPort(code), code, std::move(op));
}

Error LastFailure(std::string op) {
  return Fail(::GetLastError(), std::move(op));
}

Error Result(BOOL ok, std::string op) {
  return ok ? Error{} : LastFailure(std::move(op));
}

// One direction's request: its record, and its event, signalled while none is pending.
struct Request {
  OVERLAPPED overlapped{};
  HANDLE event = nullptr;
  bool issued = false;  // started and not yet collected by a wait
};

class Win32SerialDevice final : public SerialDevice {
 public:
  explicit Win32SerialDevice(HANDLE handle) : handle_(handle) {}

  ~Win32SerialDevice() override {
    // Nothing the platform still holds may point into this object when it goes: every request and
    // the wait are ended and collected before the handle closes. An empty mask ends the wait (wine
    // does not cancel a wait with the rest of the handle's I/O).
    ::SetCommMask(handle_, 0);
    ::CancelIoEx(handle_, nullptr);
    DWORD n = 0;
    for (Request* r : {&read_, &write_}) {
      if (r->issued) ::GetOverlappedResult(handle_, &r->overlapped, &n, TRUE);
    }
    if (waitIssued_) ::GetOverlappedResult(handle_, &waitOverlapped_, &n, TRUE);
    ::CloseHandle(handle_);
    for (HANDLE event : {read_.event, write_.event, waitEvent_, cancelEvent_}) {
      if (event != nullptr) ::CloseHandle(event);
    }
  }

  Win32SerialDevice(const Win32SerialDevice&) = delete;
  Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

  Error Init() {
    constexpr const char* kOp = "prepare the requests";
    waitEvent_ = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (waitEvent_ == nullptr) return LastFailure(kOp);
    cancelEvent_ = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (cancelEvent_ == nullptr) return LastFailure(kOp);
    for (Request* r : {&read_, &write_}) {
      r->event = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
      if (r->event == nullptr) return LastFailure(kOp);
    }
    return {};
  }

  Error GetState(TDcb& dcb) override {
    DCB state{};
    state.DCBlength = sizeof state;
    if (!::GetCommState(handle_, &state)) return LastFailure("read the line settings");
    std::memcpy(static_cast<void*>(&dcb), &state, sizeof dcb);
    return {};
  }

  Error SetState(const TDcb& dcb) override {
    DCB state{};
    std::memcpy(&state, &dcb, sizeof state);
    state.DCBlength = sizeof state;
    return Result(::SetCommState(handle_, &state), "set the line settings");
  }

  Error SetupQueues(std::uint32_t input, std::uint32_t output) override {
    return Result(::SetupComm(handle_, input, output), "set the queue sizes");
  }

  Error GetTimeouts(TCommTimeouts& timeouts) override {
    COMMTIMEOUTS t{};
    if (!::GetCommTimeouts(handle_, &t)) return LastFailure("read the time-outs");
    std::memcpy(static_cast<void*>(&timeouts), &t, sizeof timeouts);
    return {};
  }

  Error SetTimeouts(const TCommTimeouts& timeouts) override {
    COMMTIMEOUTS t{};
    std::memcpy(&t, &timeouts, sizeof t);
    return Result(::SetCommTimeouts(handle_, &t), "set the time-outs");
  }

  Error StartRead(void* buffer, std::size_t count) override {
    return Start(read_, "read", [&](OVERLAPPED* o) {
      return ::ReadFile(handle_, buffer, static_cast<DWORD>(count), nullptr, o);
    });
  }

  Error StartWrite(const void* buffer, std::size_t count) override {
    return Start(write_, "write", [&](OVERLAPPED* o) {
      return ::WriteFile(handle_, buffer, static_cast<DWORD>(count), nullptr, o);
    });
  }

  bool ReadPending() override { return Pending(read_); }
  bool WritePending() override { return Pending(write_); }
  Error WaitRead(std::size_t& transferred) override {
    return Collect(read_, transferred, "complete the read");
  }
  Error WaitWrite(std::size_t& transferred) override {
    return Collect(write_, transferred, "complete the write");
  }

  Error SetEventMask(std::uint32_t mask) override {
    if (!::SetCommMask(handle_, mask)) return LastFailure("set the event mask");
    // The platform ends a wait in progress itself; this ends one about to begin as well.
    CancelWait();
    return {};
  }

  Error WaitEvent(std::uint32_t& events) override { return Wait(events, true); }
  int EventDescriptor() const override { return -1; }
  Error PollEvent(std::uint32_t& events) override { return Wait(events, false); }

  void CancelWait() override { ::SetEvent(cancelEvent_); }

  void CancelAll() override {
    CancelWait();
    ::CancelIoEx(handle_, nullptr);
  }

  Error ClearErrors(TComStat& stat, std::uint32_t queues) override {
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(handle_, &errors, &status)) return LastFailure("count the queues");
    stat.errors = errors;
    stat.inQueue = (queues & queue::Input) != 0 ? status.cbInQue : 0;
    stat.outQueue = (queues & queue::Output) != 0 ? status.cbOutQue : 0;
    return {};
  }

  Error Purge(std::uint32_t flags) override {
    return Result(::PurgeComm(handle_, flags), "purge the queues");
  }

  Error Drain() override { return Result(::FlushFileBuffers(handle_), "drain the output"); }

  Error TransmitChar(char c) override {
    return Result(::TransmitCommChar(handle_, c), "transmit a character");
  }

  Error SetBreak(bool on) override {
    return on ? Result(::SetCommBreak(handle_), "set a break")
              : Result(::ClearCommBreak(handle_), "clear a break");
  }

  Error Escape(TLineControl function) override {
    return Result(::EscapeCommFunction(handle_, static_cast<DWORD>(function)), "set a modem line");
  }

  Error GetModemStatus(std::uint32_t& status) override {
    DWORD lines = 0;
    if (!::GetCommModemStatus(handle_, &lines)) return LastFailure("read the modem lines");
    status = lines;
    return {};
  }

 private:
  template <typename Issue>
  Error Start(Request& r, const char* op, Issue issue) {
    r.overlapped = OVERLAPPED{};
    r.overlapped.hEvent = r.event;
    if (!::ResetEvent(r.event)) return LastFailure(op);
    // Done at once or still running: either way the wait collects it.
    if (issue(&r.overlapped) || ::GetLastError() == ERROR_IO_PENDING) {
      r.issued = true;
      return {};
    }
    const Error error = LastFailure(op);
    ::SetEvent(r.event);
    return error;
  }

  static bool Pending(const Request& r) {
    return r.issued && ::WaitForSingleObject(r.event, 0) == WAIT_TIMEOUT;
  }

  // A request already collected (or never started) is reported as ended and fine, so its
  // failure is reported once.
  Error Collect(Request& r, std::size_t& transferred, const char* op) {
    transferred = 0;
    if (!r.issued) return {};
    DWORD n = 0;
    const BOOL ok = ::GetOverlappedResult(handle_, &r.overlapped, &n, TRUE);
    const DWORD code = ok ? 0 : ::GetLastError();
    r.issued = false;
    transferred = n;
    // Wine ends a request whose time-outs expired with ERROR_TIMEOUT; Windows ends it with
    // success and what was transferred. Either way it is the short request the time-outs asked
    // for, which the component tells by its count.
    if (ok || code == ERROR_TIMEOUT) return {};
    return Fail(code, op);
  }

  // The events that ended a wait, or none when a mask change or a cancel ended it.
  Error Wait(std::uint32_t& events, bool block) {
    constexpr const char* kOp = "wait for line events";
    events = 0;
    if (!waitIssued_) {
      waitOverlapped_ = OVERLAPPED{};
      waitOverlapped_.hEvent = waitEvent_;
      waitResult_ = 0;
      ::ResetEvent(waitEvent_);
      if (::WaitCommEvent(handle_, &waitResult_, &waitOverlapped_)) {
        events = waitResult_;
        return {};
      }
      if (::GetLastError() != ERROR_IO_PENDING) return LastFailure(kOp);
      waitIssued_ = true;
    }
    const HANDLE objects[] = {waitEvent_, cancelEvent_};
    for (;;) {
      const DWORD woken = ::WaitForMultipleObjects(2, objects, FALSE, block ? INFINITE : 0);
      if (woken == WAIT_OBJECT_0 + 1 || woken == WAIT_TIMEOUT) return {};
      if (woken != WAIT_OBJECT_0) return LastFailure(kOp);
      DWORD n = 0;
      if (::GetOverlappedResult(handle_, &waitOverlapped_, &n, FALSE)) {
        waitIssued_ = false;
        events = waitResult_;
        return {};
      }
      const DWORD code = ::GetLastError();
      // Woken while the wait still runs (a signal left over from an earlier wait): wait on.
      if (code == ERROR_IO_INCOMPLETE) {
        if (!block) return {};
        continue;
      }
      waitIssued_ = false;
      // A mask change ends the wait with success and no events on Windows, with "aborted" on
      // wine; a cancelled wait also ends with "aborted".
      return code == ERROR_OPERATION_ABORTED ? Error{} : Fail(code, kOp);
    }
  }

  const HANDLE handle_;
  Request read_;
  Request write_;
  // The event wait's side: touched only by the waiting thread, and by the destructor.
  OVERLAPPED waitOverlapped_{};
  DWORD waitResult_ = 0;
  bool waitIssued_ = false;
  HANDLE waitEvent_ = nullptr;
  HANDLE cancelEvent_ = nullptr;
};

}  // namespace

Error OpenSerialDevice(const std::string& name, std::unique_ptr<SerialDevice>& device) {
  const std::u16string wide = toolkit::Utf8ToUtf16(name);
  const std::wstring path(wide.begin(), wide.end());
  // No sharing: the port belongs to this handle alone.
  const HANDLE handle =
      ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    // Before the port is open, "access denied" means another program has it, not that it left.
    const DWORD code = ::GetLastError();
    const ErrorKind kind =
        code == ERROR_ACCESS_DENIED ? ErrorKind::OsFailure : KindOnOpenPort(code);
    return toolkit::win32::SystemError(kind, code, "open " + name);
  }
  auto win32Device = std::make_unique<Win32SerialDevice>(handle);
  if (Error e = win32Device->Init()) return e;
  device = std::move(win32Device);
  return {};
}

std::string SystemErrorText(int code) {
  return toolkit::win32::SystemErrorText(static_cast<std::uint32_t>(code));
}

Error NotOpenError(std::string op) {
  return toolkit::win32::SystemError(ErrorKind::CallerMistake, ERROR_INVALID_HANDLE, std::move(op));
}

}  // namespace comport
