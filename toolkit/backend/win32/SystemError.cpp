#include "toolkit/backend/win32/SystemError.h"

#include <windows.h>

#include "toolkit/Utf.h"

namespace toolkit::win32 {

std::string SystemErrorText(std::uint32_t code) {
  // The system sizes the buffer: some texts run to several hundred characters.
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = length == 0 || buffer == nullptr
                         ? std::string()
                         : Utf16ToUtf8(std::u16string(buffer, buffer + length));
  if (buffer != nullptr) ::LocalFree(buffer);
  if (text.empty()) return "Unknown error " + std::to_string(code);
  return TrimSystemText(std::move(text));
}

std::uint32_t LastError() {
  return ::GetLastError();
}

ErrorKind KindOfWinError(std::uint32_t code) {
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

std::wstring Wide(std::string_view utf8) {
  const std::u16string utf16 = Utf8ToUtf16(utf8);
  return std::wstring(utf16.begin(), utf16.end());
}

std::string Narrow(std::wstring_view utf16) {
  return Utf16ToUtf8(std::u16string(utf16.begin(), utf16.end()));
}

}  // namespace toolkit::win32
