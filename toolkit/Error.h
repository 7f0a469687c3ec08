// One error value for every seam between the program and the system: what kind of failure it is,
// the system's own code and wording, and the operation that failed. Captured where the failure
// happens (errno is read before any cleanup call can change it) and passed on unchanged, so that
// whoever reports it can say what failed and why, and whoever reacts to it decides by the kind.
#pragma once

#include <string>
#include <utility>

namespace toolkit {

enum class ErrorKind {
  None,           // no error: the value a successful call returns
  CallerMistake,  // the program asked for something that cannot be done (bad argument, not open)
  OsFailure,      // the system refused or failed
  NotSupported,   // the device or the system has no such feature
  DeviceGone,     // the device has gone away for good; every later request will fail too
  TimedOut,       // no answer in time
};

struct Error {
  ErrorKind kind = ErrorKind::None;
  int code = 0;      // the system's code (errno, libusb's), 0 when the failure has none
  std::string text;  // the system's wording for `code`, or the program's own for a mistake
  std::string op;    // what failed, for example "open /dev/ttyACM0"

  explicit operator bool() const { return kind != ErrorKind::None; }
};

// The kind an errno value stands for when a device request fails: EIO, ENXIO and ENODEV mean the
// device has gone (unplugged, hung up); EOPNOTSUPP, ENOTTY and ENOSYS a feature the device or its
// driver lacks; ETIMEDOUT a time-out; anything else a failure of the system.
ErrorKind KindOfErrno(int code);

// The system's text for an errno value, without trailing blanks, control characters and full stops.
std::string ErrnoText(int code);

// A system's wording as errors show it: without trailing blanks, control characters and full stops.
std::string TrimSystemText(std::string text);

// The failure of `op` with `code`, its kind from KindOfErrno.
Error ErrnoError(int code, std::string op);

// A mistake of the program itself: no system code, the program's own text.
inline Error CallerMistake(std::string text, std::string op) {
  return Error{ErrorKind::CallerMistake, 0, std::move(text), std::move(op)};
}

// "op: text", for logs and exception messages where the operation matters.
std::string Describe(const Error& error);

}  // namespace toolkit
