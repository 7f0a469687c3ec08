#include "toolkit/win32/WinError.h"

#include <windows.h>

#include "toolkit/Utf.h"

namespace toolkit::win32 {

ErrorKind KindOfWinError(unsigned long code) {
  switch (code) {
    case ERROR_SUCCESS:
      return ErrorKind::None;
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_REMOVED:
      return ErrorKind::DeviceGone;
    case ERROR_NOT_SUPPORTED:
    case ERROR_CALL_NOT_IMPLEMENTED:
    case ERROR_INVALID_FUNCTION:
      return ErrorKind::NotSupported;
    case ERROR_TIMEOUT:
    case ERROR_SEM_TIMEOUT:
    case WAIT_TIMEOUT:
      return ErrorKind::TimedOut;
    default:
      return ErrorKind::OsFailure;
  }
}

std::string WinErrorText(unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = length != 0 ? Narrow(std::wstring_view(buffer, length)) : std::string();
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!text.empty()) {
    const auto last = static_cast<unsigned char>(text.back());
    if (last != ' ' && last != '.' && last >= 0x20 && last != 0x7F) break;
    text.pop_back();
  }
  return text.empty() ? "error " + std::to_string(code) : text;
}

Error WinError(unsigned long code, std::string op) {
  return Error{KindOfWinError(code), static_cast<int>(code), WinErrorText(code), std::move(op)};
}

Error LastWinError(std::string op) {
  const DWORD code = ::GetLastError();
  return WinError(code, std::move(op));
}

std::wstring Wide(std::string_view utf8) {
  const std::u16string utf16 = Utf8ToUtf16(utf8);
  return std::wstring(utf16.begin(), utf16.end());
}

std::string Narrow(std::wstring_view utf16) {
  return Utf16ToUtf8(std::u16string(utf16.begin(), utf16.end()));
}

}  // namespace toolkit::win32
