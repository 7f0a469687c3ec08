// Paths that Windows opens as something other than a file on a disk, told from the path alone so
// that such a thing is never opened: opening a serial port can change its lines, and opening a
// pipe can wait for its server.
#pragma once

#include <string_view>

namespace dfu::win32 {

// Whether `fullPath` (as GetFullPathNameW makes it: backslashes, no "." or "..") is in the device
// or raw namespace (\\.\ and \\?\), names a pipe on some machine (\\host\pipe\...), or ends in a
// DOS device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$), with or without an
// extension, which Windows takes for the device in any folder.
bool NamesADevice(std::wstring_view fullPath);

}  // namespace dfu::win32
