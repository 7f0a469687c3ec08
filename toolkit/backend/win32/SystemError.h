// Win32 errors as the program's error values, and the UTF-16 the Win32 wide calls take. Only the
// Windows backends include this.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "toolkit/Error.h"

namespace toolkit::win32 {

// The system's own wording for a Win32 error code, in its default language, whole whatever its
// length, and trimmed as TrimSystemText does; UTF-8. "Unknown error <code>" when the system
// has no text for it.
std::string SystemErrorText(std::uint32_t code);

// The calling thread's last error.
std::uint32_t LastError();

// The kind a Win32 error code stands for, as KindOfErrno does for errno.
ErrorKind KindOfWinError(std::uint32_t code);

// The failure of `op` with `code`: the kind as given, the system's text.
inline Error SystemError(ErrorKind kind, std::uint32_t code, std::string op) {
  return Error{kind, static_cast<int>(code), SystemErrorText(code), std::move(op)};
}

// The failure of `op` with `code`, of the kind the code stands for.
inline Error WinError(std::uint32_t code, std::string op) {
  return SystemError(KindOfWinError(code), code, std::move(op));
}

// The failure of `op` with the last error: call it first thing after the failed call.
inline Error LastWinError(std::string op) {
  const std::uint32_t code = LastError();
  return WinError(code, std::move(op));
}

std::wstring Wide(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

}  // namespace toolkit::win32
