// Win32 error codes as the program's error values.
#pragma once

#include <cstdint>
#include <string>

#include "toolkit/Error.h"

namespace toolkit::win32 {

// The system's own wording for a Win32 error code, in its default language, looked up into 256
// characters and trimmed as TrimSystemText does; UTF-8. "Unknown error <code>" when the system
// has no text for it.
std::string SystemErrorText(std::uint32_t code);

// The calling thread's last error.
std::uint32_t LastError();

// The failure of `op` with `code`: the kind as given, the system's text.
inline Error SystemError(ErrorKind kind, std::uint32_t code, std::string op) {
  return Error{kind, static_cast<int>(code), SystemErrorText(code), std::move(op)};
}

}  // namespace toolkit::win32
