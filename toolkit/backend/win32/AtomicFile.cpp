// The atomic replacement on Windows: the temporary file is written, flushed and closed, then moved
// over the file with write-through, so the move itself is on the disk when the call returns.
// Windows keeps no permission bits, so the mode is not used; a replaced file's place in the folder
// is taken by a file made in the same folder, with the same inherited security.
//
// The errors carry Win32 codes and the system's texts, except for the one case the header names:
// a file already in place with Existing::Keep fails with EEXIST, on every platform.
#include "toolkit/AtomicFile.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "toolkit/backend/win32/SystemError.h"

namespace toolkit {
namespace {

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  return path.substr(0, slash == 0 ? 1 : slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

using win32::Wide;

Error Fail(DWORD code, std::string op) {
  return win32::SystemError(ErrorKind::OsFailure, code, std::move(op));
}

// A temporary file that removes itself unless it has been moved into place.
class TempFile {
 public:
  explicit TempFile(const std::string& target) {
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
      path_ = FolderOf(target) + "/." + NameOf(target) + "." + suffix + ".tmp";
      handle_ = ::CreateFileW(Wide(path_).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle_ != INVALID_HANDLE_VALUE) return;
      error_ = ::GetLastError();
      if (error_ != ERROR_FILE_EXISTS) return;
    }
  }
  ~TempFile() {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    if (!moved_ && error_ == 0) ::DeleteFileW(Wide(path_).c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  DWORD OpenError() const { return handle_ == INVALID_HANDLE_VALUE ? error_ : 0; }
  HANDLE Handle() const { return handle_; }
  const std::string& Path() const { return path_; }

  DWORD Close() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return ::CloseHandle(handle) ? 0 : ::GetLastError();
  }
  void Moved() { moved_ = true; }

 private:
  std::string path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  DWORD error_ = 0;
  bool moved_ = false;
};

DWORD WriteAll(HANDLE handle, std::string_view data) {
  while (!data.empty()) {
    const DWORD chunk = data.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(data.size());
    DWORD written = 0;
    if (!::WriteFile(handle, data.data(), chunk, &written, nullptr)) return ::GetLastError();
    if (written == 0) return ERROR_WRITE_FAULT;
    data.remove_prefix(written);
  }
  return 0;
}

}  // namespace

Error WriteFileAtomically(const std::string& path, std::string_view contents,
                          unsigned /*newFileMode*/, Existing existing) {
  TempFile temp(path);
  if (const DWORD e = temp.OpenError()) return Fail(e, "create " + temp.Path());
  if (const DWORD e = WriteAll(temp.Handle(), contents)) return Fail(e, "write " + temp.Path());
  if (!::FlushFileBuffers(temp.Handle())) return Fail(::GetLastError(), "flush " + temp.Path());
  if (const DWORD e = temp.Close()) return Fail(e, "close " + temp.Path());
  const std::string op =
      (existing == Existing::Keep ? "link " : "rename ") + temp.Path() + " to " + path;
  const DWORD flags =
      MOVEFILE_WRITE_THROUGH | (existing == Existing::Replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (!::MoveFileExW(Wide(temp.Path()).c_str(), Wide(path).c_str(), flags)) {
    const DWORD e = ::GetLastError();
    if (existing == Existing::Keep && (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS)) {
      return ErrnoError(EEXIST, op);
    }
    return Fail(e, op);
  }
  temp.Moved();
  return {};
}

}  // namespace toolkit
