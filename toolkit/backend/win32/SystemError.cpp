#include "toolkit/backend/win32/SystemError.h"

#include <windows.h>

#include "toolkit/Utf.h"

namespace toolkit::win32 {

std::string SystemErrorText(std::uint32_t code) {
  wchar_t buffer[256];
  const DWORD length =
      ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       buffer, static_cast<DWORD>(std::size(buffer)), nullptr);
  if (length == 0) return "Unknown error " + std::to_string(code);
  return TrimSystemText(Utf16ToUtf8(std::u16string(buffer, buffer + length)));
}

std::uint32_t LastError() {
  return ::GetLastError();
}

}  // namespace toolkit::win32
