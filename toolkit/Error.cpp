#include "toolkit/Error.h"

#include <cerrno>
#include <system_error>

namespace toolkit {

ErrorKind KindOfErrno(int code) {
  switch (code) {
    case 0:
      return ErrorKind::None;
    case EIO:
    case ENXIO:
    case ENODEV:
      return ErrorKind::DeviceGone;
    case EOPNOTSUPP:
    case ENOTTY:
    case ENOSYS:
      return ErrorKind::NotSupported;
    case ETIMEDOUT:
      return ErrorKind::TimedOut;
    default:
      return ErrorKind::OsFailure;
  }
}

std::string ErrnoText(int code) {
  // The C library's own wording (strerror's), fetched in a thread-safe way on every platform.
  return TrimSystemText(std::generic_category().message(code));
}

std::string TrimSystemText(std::string text) {
  while (!text.empty()) {
    const auto last = static_cast<unsigned char>(text.back());
    if (last != ' ' && last != '.' && last >= 0x20 && last != 0x7F) break;
    text.pop_back();
  }
  return text;
}

Error ErrnoError(int code, std::string op) {
  return Error{KindOfErrno(code), code, ErrnoText(code), std::move(op)};
}

std::string Describe(const Error& error) {
  if (error.op.empty()) return error.text;
  return error.op + ": " + error.text;
}

}  // namespace toolkit
