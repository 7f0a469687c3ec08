#include <windows.h>

#include <algorithm>

#include "toolkit/Utf.h"
#include "upgrade/DfuFileReader.h"

namespace dfu {
namespace {

class Win32FileReader final : public FileReader {
 public:
  Win32FileReader(HANDLE handle, std::uint64_t size) : handle_(handle), size_(size) {}
  ~Win32FileReader() override { ::CloseHandle(handle_); }
  Win32FileReader(const Win32FileReader&) = delete;
  Win32FileReader& operator=(const Win32FileReader&) = delete;

  std::uint64_t Size() const override { return size_; }

  bool ReadAt(std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
    while (size > 0) {
      // On a handle opened without overlapped I/O, the record only says where to read.
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
      DWORD n = 0;
      if (!::ReadFile(handle_, data, want, &n, &at) || n == 0) return false;
      data += n;
      size -= n;
      offset += n;
    }
    return true;
  }

 private:
  HANDLE handle_;
  std::uint64_t size_;
};

}  // namespace

std::unique_ptr<FileReader> FileReader::Open(const std::string& path) {
  const std::u16string units = toolkit::Utf8ToUtf16(path);
  const std::wstring wide(units.begin(), units.end());
  // Others may go on reading, writing or renaming it, as they may on Linux.
  const HANDLE handle = ::CreateFileW(wide.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER size{};
  // A pipe or a character device (CON, a COM port) is not a firmware file.
  if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileSizeEx(handle, &size) ||
      size.QuadPart < 0) {
    ::CloseHandle(handle);
    return nullptr;
  }
  return std::make_unique<Win32FileReader>(handle, static_cast<std::uint64_t>(size.QuadPart));
}

}  // namespace dfu
