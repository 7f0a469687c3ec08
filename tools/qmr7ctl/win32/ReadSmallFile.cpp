#include <windows.h>

#include <string>

#include "toolkit/Utf.h"
#include "toolkit/backend/win32/SystemError.h"
#include "tools/qmr7ctl/Files.h"

namespace qmr7ctl {

std::string ReadSmallFile(const std::string& path, std::size_t limit, std::string& contents) {
  contents.clear();
  const std::u16string wide = toolkit::Utf8ToUtf16(path);
  const HANDLE file = ::CreateFileW(std::wstring(wide.begin(), wide.end()).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return toolkit::win32::SystemErrorText(::GetLastError());
  std::string reason;
  LARGE_INTEGER size{};
  // A pipe or a device given as the file is no disk file: refused before it could block a read.
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    reason = "not a regular file";
  } else if (!::GetFileSizeEx(file, &size)) {
    reason = toolkit::win32::SystemErrorText(::GetLastError());
  } else if (static_cast<unsigned long long>(size.QuadPart) > limit) {
    reason = "larger than " + std::to_string(limit) + " bytes";
  }
  char chunk[4096];
  while (reason.empty()) {
    DWORD n = 0;
    if (!::ReadFile(file, chunk, sizeof chunk, &n, nullptr)) {
      reason = toolkit::win32::SystemErrorText(::GetLastError());
    }
    if (n == 0) break;
    contents.append(chunk, n);
    if (contents.size() > limit) reason = "larger than " + std::to_string(limit) + " bytes";
  }
  ::CloseHandle(file);
  return reason;
}

}  // namespace qmr7ctl
