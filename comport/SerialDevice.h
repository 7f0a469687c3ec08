// The one interface between the port component and the operating system's serial API.
//
// It speaks the component's own vocabulary: a device-control record (TDcb) with the flag masks the
// component maps its settings onto, five time-outs with the classic meaning, event flags, error
// flags and modem-status bits. A backend maps these onto its platform; what the platform cannot do
// fails with that platform's error code.
//
// Errors are returned, never thrown: a toolkit::Error captured at the failure point, whose kind the
// backend sets from the platform's code (ErrorKind::None is success). Above all, a device that has
// gone away (unplugged, hung up) fails with ErrorKind::DeviceGone.
//
// Threads: one thread issues reads, one issues writes (usually the UI thread), one waits for events
// (the port's worker). CancelWait and CancelAll may be called from any thread while the others are
// blocked; everything else must not race with Close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "toolkit/Error.h"

namespace comport {

// The platform's line configuration as the component sees it. Fields and masks follow the classic
// serial device-control block so that the component's settings map onto it one to one.
struct TDcb {
  std::uint32_t DCBlength = 28;
  std::uint32_t BaudRate = 0;
  std::uint32_t Flags = 0;
  std::uint16_t wReserved = 0;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 0;
  std::uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  std::uint16_t wReserved1 = 0;

  bool operator==(const TDcb&) const = default;
};

namespace dcb {
inline constexpr std::uint32_t fBinary = 0x0001;
inline constexpr std::uint32_t fParity = 0x0002;
inline constexpr std::uint32_t fOutxCtsFlow = 0x0004;
inline constexpr std::uint32_t fOutxDsrFlow = 0x0008;
inline constexpr std::uint32_t fDtrControlMask = 0x0030;
inline constexpr std::uint32_t DtrDisable = 0x0000;
inline constexpr std::uint32_t DtrEnable = 0x0010;
inline constexpr std::uint32_t DtrHandshake = 0x0020;
inline constexpr std::uint32_t fDsrSensitivity = 0x0040;
inline constexpr std::uint32_t fTXContinueOnXoff = 0x0080;
inline constexpr std::uint32_t fOutX = 0x0100;
inline constexpr std::uint32_t fInX = 0x0200;
inline constexpr std::uint32_t fErrorChar = 0x0400;
inline constexpr std::uint32_t fNull = 0x0800;
inline constexpr std::uint32_t fRtsControlMask = 0x3000;
inline constexpr std::uint32_t RtsDisable = 0x0000;
inline constexpr std::uint32_t RtsEnable = 0x1000;
inline constexpr std::uint32_t RtsHandshake = 0x2000;
inline constexpr std::uint32_t RtsToggle = 0x3000;
inline constexpr std::uint32_t fAbortOnError = 0x4000;
}  // namespace dcb

// Milliseconds. All zero: a read waits for every byte it asked for, a write until all is sent.
// ReadInterval kMaxTimeout with both read factors 0: a read returns at once with what is queued.
struct TCommTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;
};
inline constexpr std::uint32_t kMaxTimeout = 0xFFFFFFFF;

// Line events the worker waits for.
namespace ev {
inline constexpr std::uint32_t RxChar = 0x0001;
inline constexpr std::uint32_t RxFlag = 0x0002;
inline constexpr std::uint32_t TxEmpty = 0x0004;
inline constexpr std::uint32_t Cts = 0x0008;
inline constexpr std::uint32_t Dsr = 0x0010;
inline constexpr std::uint32_t Rlsd = 0x0020;
inline constexpr std::uint32_t Break = 0x0040;
inline constexpr std::uint32_t Err = 0x0080;
inline constexpr std::uint32_t Ring = 0x0100;
inline constexpr std::uint32_t PErr = 0x0200;
inline constexpr std::uint32_t Rx80Full = 0x0400;
inline constexpr std::uint32_t Event1 = 0x0800;
inline constexpr std::uint32_t Event2 = 0x1000;
}  // namespace ev

// Communication-error flags returned (and cleared) by ClearErrors.
namespace ce {
inline constexpr std::uint32_t RxOver = 0x0001;
inline constexpr std::uint32_t Overrun = 0x0002;
inline constexpr std::uint32_t RxParity = 0x0004;
inline constexpr std::uint32_t Frame = 0x0008;
inline constexpr std::uint32_t Break = 0x0010;
}  // namespace ce

// Modem-status bits.
namespace ms {
inline constexpr std::uint32_t Cts = 0x10;
inline constexpr std::uint32_t Dsr = 0x20;
inline constexpr std::uint32_t Ring = 0x40;
inline constexpr std::uint32_t Rlsd = 0x80;
}  // namespace ms

enum class TPurge : std::uint32_t {
  AbortOutput = 0x0001,
  AbortInput = 0x0002,
  ClearOutput = 0x0004,
  ClearInput = 0x0008,
};
inline constexpr std::uint32_t PurgeFlags(TPurge p) {
  return static_cast<std::uint32_t>(p);
}

enum class TLineControl { SetXOff = 1, SetXOn, SetRts, ClearRts, SetDtr, ClearDtr, ResetDev };

namespace queue {
inline constexpr std::uint32_t None = 0;
inline constexpr std::uint32_t Input = 1;
inline constexpr std::uint32_t Output = 2;
}  // namespace queue

struct TComStat {
  std::uint32_t errors = 0;  // ce:: flags, cleared by reading them
  std::uint32_t inQueue = 0;
  std::uint32_t outQueue = 0;
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // The whole configuration in one read and one write; fields the platform keeps elsewhere (the
  // DTR and RTS control, the limits) read back as last written.
  virtual toolkit::Error GetState(TDcb& dcb) = 0;
  virtual toolkit::Error SetState(const TDcb& dcb) = 0;
  virtual toolkit::Error SetupQueues(std::uint32_t input, std::uint32_t output) = 0;
  virtual toolkit::Error GetTimeouts(TCommTimeouts& timeouts) = 0;
  virtual toolkit::Error SetTimeouts(const TCommTimeouts& timeouts) = 0;

  // Requests run in the background once started; at most one read and one write at a time. The
  // buffer must stay valid until the request has ended. Waiting returns the bytes transferred;
  // `wait` false asks only whether it has ended (false from the call while it has not).
  virtual toolkit::Error StartRead(void* buffer, std::size_t count) = 0;
  virtual toolkit::Error StartWrite(const void* buffer, std::size_t count) = 0;
  virtual bool ReadPending() = 0;
  virtual bool WritePending() = 0;
  virtual toolkit::Error WaitRead(std::size_t& transferred) = 0;
  virtual toolkit::Error WaitWrite(std::size_t& transferred) = 0;

  // Line events. SetEventMask ends a wait in progress with no events; so does CancelWait.
  virtual toolkit::Error SetEventMask(std::uint32_t mask) = 0;
  virtual toolkit::Error WaitEvent(std::uint32_t& events) = 0;
  // A descriptor that becomes readable when events may be there, so that an event loop can watch
  // the device instead of a thread waiting in WaitEvent; -1 when the platform has none. Once
  // PollEvent has taken what was there, it stays unreadable until something new happens.
  virtual int EventDescriptor() const = 0;
  // A cheaper pair to watch in its place for the events of `mask`, where the platform has one:
  // `input`, readable while received bytes are queued or the device has gone (-1: none of the
  // events come with received bytes), and `other`, readable when the rest may be there (-1: none
  // is asked for). Watching the input itself spares the loop a second descriptor between the
  // device and itself; but it stays readable while bytes a handler left are queued, and then only
  // EventDescriptor tells when something new comes. PollEvent tells what happened either way.
  virtual void InputDescriptors(std::uint32_t /*mask*/, int& input, int& other) const {
    input = other = -1;
  }
  // WaitEvent without the wait: the events there are now, possibly none.
  virtual toolkit::Error PollEvent(std::uint32_t& events) = 0;
  virtual void CancelWait() = 0;
  // Ends the event wait and every pending request (they fail with the platform's "cancelled").
  virtual void CancelAll() = 0;

  // Returns and clears the error flags, and counts the queues asked for (the others read 0).
  virtual toolkit::Error ClearErrors(TComStat& stat, std::uint32_t queues) = 0;
  virtual toolkit::Error Purge(std::uint32_t flags) = 0;
  // Waits until every byte written has gone out: pending write requests first, then the queue.
  virtual toolkit::Error Drain() = 0;
  virtual toolkit::Error TransmitChar(char c) = 0;
  virtual toolkit::Error SetBreak(bool on) = 0;
  virtual toolkit::Error Escape(TLineControl function) = 0;
  virtual toolkit::Error GetModemStatus(std::uint32_t& status) = 0;
};

// Opens a device by name for exclusive use, in the backend that this build carries.
toolkit::Error OpenSerialDevice(const std::string& name, std::unique_ptr<SerialDevice>& device);

// The platform's text for a code: its own wording, without trailing spaces, control characters and
// full stops.
std::string SystemErrorText(int code);

// The platform's own failure of a request on a device that is not open (a caller mistake).
toolkit::Error NotOpenError(std::string op);

}  // namespace comport
