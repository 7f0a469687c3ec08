// The atomic replacement on Windows: a temporary file beside the target, written through to the
// disk, then moved over the target with MoveFileEx, which renames within the volume and, written
// through, returns only once the rename is on the disk. (ReplaceFile would keep more of the old
// file's metadata but cannot be asked to write through.)
#include "toolkit/AtomicFile.h"

#include <windows.h>

#include <algorithm>
#include <random>

#include "toolkit/win32/WinError.h"

namespace toolkit {
namespace {

using win32::LastWinError;
using win32::Wide;

// The folder part keeps its separator, so "C:\x" gives "C:\" and a bare name gives "".
std::string FolderPartOf(const std::string& path) {
  const auto cut = path.find_last_of("/\\");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string NameOf(const std::string& path) {
  const auto cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string RandomSuffix() {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::random_device random;
  std::string suffix;
  for (int i = 0; i < 6; ++i)
    suffix += kDigits[random() % 36];
  return suffix;
}

// A temporary file that removes itself unless it has been moved into place.
class TempFile {
 public:
  explicit TempFile(const std::string& target) {
    for (int attempt = 0; attempt < 16; ++attempt) {
      path_ = FolderPartOf(target) + "." + NameOf(target) + "." + RandomSuffix() + ".tmp";
      handle_ = ::CreateFileW(Wide(path_).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
      if (handle_ != INVALID_HANDLE_VALUE) return;
      error_ = LastWinError("create " + path_);
      if (error_.code != ERROR_FILE_EXISTS && error_.code != ERROR_ALREADY_EXISTS) return;
    }
  }
  ~TempFile() {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    if (!moved_ && !error_) ::DeleteFileW(Wide(path_).c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const Error& OpenError() const { return error_; }
  const std::string& Path() const { return path_; }

  Error Write(std::string_view data) {
    while (!data.empty()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
      DWORD written = 0;
      if (!::WriteFile(handle_, data.data(), chunk, &written, nullptr)) {
        return LastWinError("write " + path_);
      }
      if (written == 0) return win32::WinError(ERROR_WRITE_FAULT, "write " + path_);
      data.remove_prefix(written);
    }
    if (!::FlushFileBuffers(handle_)) return LastWinError("flush " + path_);
    return {};
  }

  Error Close() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return ::CloseHandle(handle) ? Error{} : LastWinError("close " + path_);
  }
  void Moved() { moved_ = true; }

 private:
  std::string path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  Error error_;
  bool moved_ = false;
};

}  // namespace

Error WriteFileAtomically(const std::string& path, std::string_view contents, unsigned,
                          Existing existing) {
  TempFile temp(path);
  if (temp.OpenError()) return temp.OpenError();
  if (Error e = temp.Write(contents)) return e;
  if (Error e = temp.Close()) return e;
  DWORD flags = MOVEFILE_WRITE_THROUGH;
  if (existing == Existing::Replace) flags |= MOVEFILE_REPLACE_EXISTING;
  if (!::MoveFileExW(Wide(temp.Path()).c_str(), Wide(path).c_str(), flags)) {
    return LastWinError("move " + temp.Path() + " to " + path);
  }
  temp.Moved();
  return {};
}

}  // namespace toolkit
