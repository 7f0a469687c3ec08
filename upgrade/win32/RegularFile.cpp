#include "upgrade/RegularFile.h"

#include <windows.h>

#include <string>

#include "toolkit/Utf.h"
#include "upgrade/win32/DevicePath.h"

namespace dfu {
namespace {

class Win32File final : public RegularFile {
 public:
  Win32File(HANDLE handle, std::uint64_t size) : handle_(handle), size_(size) {}
  ~Win32File() override { ::CloseHandle(handle_); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  std::uint64_t Size() const override { return size_; }

  bool ReadAt(std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
    while (size > 0) {
      // The offset travels in the OVERLAPPED record; the handle is synchronous, so it is only read.
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      const DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
      DWORD n = 0;
      if (!::ReadFile(handle_, data, chunk, &n, &at) || n == 0) return false;
      data += n;
      size -= n;
      offset += n;
    }
    return true;
  }

 private:
  const HANDLE handle_;
  const std::uint64_t size_;
};

// The absolute form of a UTF-8 path, as Windows resolves it; empty when it cannot.
std::wstring FullPath(const std::string& path) {
  const std::u16string utf16 = toolkit::Utf8ToUtf16(path);
  const std::wstring wide(utf16.begin(), utf16.end());
  if (wide.empty() || wide.find(L'\0') != std::wstring::npos) return {};
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return {};
    if (n < full.size()) {
      full.resize(n);
      return full;
    }
    full.resize(n);  // the size it needs, its terminator included
  }
}

}  // namespace

std::unique_ptr<RegularFile> OpenRegularFile(const std::string& path) {
  const std::wstring full = FullPath(path);
  // A device or a pipe is refused before it is opened: opening one may act on it, or wait.
  if (full.empty() || win32::NamesADevice(full)) return nullptr;
  // Sharing everything: a firmware copy's own handle holds writing and removal (FirmwareCopy).
  const HANDLE handle = ::CreateFileW(full.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER size{};
  // A pipe or a device is no disk file: refused like a non-regular file elsewhere.
  if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileSizeEx(handle, &size)) {
    ::CloseHandle(handle);
    return nullptr;
  }
  return std::make_unique<Win32File>(handle, static_cast<std::uint64_t>(size.QuadPart));
}

}  // namespace dfu
