// Win32 errors as the program's error value, and the UTF-16 the Win32 wide calls take. Only the
// Windows backends include this.
#pragma once

#include <string>
#include <string_view>

#include "toolkit/Error.h"

namespace toolkit::win32 {

// The kind a Win32 error code stands for, as KindOfErrno does for errno.
ErrorKind KindOfWinError(unsigned long code);

// The system's text for a Win32 error code, in the user's language, without trailing blanks,
// control characters and full stops; "error <code>" when the system has none.
std::string WinErrorText(unsigned long code);

// The failure of `op` with `code`.
Error WinError(unsigned long code, std::string op);

// The failure of `op` with GetLastError(): call it first thing after the failed call.
Error LastWinError(std::string op);

std::wstring Wide(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

}  // namespace toolkit::win32
