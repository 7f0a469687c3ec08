#include "upgrade/FirmwareCopy.h"

#include <windows.h>

#include "toolkit/Utf.h"

namespace dfu {

// A temporary file of this user's, removed by the system when the last handle goes. Held open
// sharing only reading, so that while it is held no one else can write, rename or remove it;
// readers open it sharing writing and removal as well, as this handle holds those rights.
bool FirmwareCopy::Seal(const std::vector<std::uint8_t>& bytes, std::intptr_t& handle,
                        std::string& path) {
  wchar_t folder[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH || ::GetTempFileNameW(folder, L"fw", 0, name) == 0) {
    return false;
  }
  // GetTempFileName made the file; it is opened again, to be removed on close.
  const HANDLE file =
      ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ::DeleteFileW(name);
    return false;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t left = bytes.size() - done;
    const DWORD chunk = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
      ::CloseHandle(file);
      return false;
    }
    done += written;
  }
  const std::wstring wide(name);
  handle = reinterpret_cast<std::intptr_t>(file);
  path = toolkit::Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
  return true;
}

void FirmwareCopy::Close(std::intptr_t handle) noexcept {
  ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

}  // namespace dfu
