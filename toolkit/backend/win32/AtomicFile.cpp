// The atomic replacement on Windows: the temporary file is written and flushed, then moved over the
// file with write-through, so the move itself is on the disk when the call returns. Windows keeps
// no permission bits, so the mode is not used; a replaced file's place in the folder is taken by a
// file made in the same folder, with the same inherited security.
//
// A writer keeps its temporary file open from its creation until it has been moved or removed, with
// a handle that lets others rename or delete it but not open it alone. The sweep of abandoned files
// opens each one alone with delete-on-close: that fails while its writer lives, so only the files
// of writers that have gone are removed.
//
// The errors carry Win32 codes and the system's texts, except for the one case the header names:
// a file already in place with Existing::Keep fails with EEXIST, on every platform.
#include "toolkit/backend/win32/AtomicFile.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "toolkit/backend/win32/SystemError.h"

namespace toolkit {
namespace win32 {
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

Error Fail(DWORD code, std::string op) {
  return SystemError(ErrorKind::OsFailure, code, std::move(op));
}

constexpr std::size_t kNumberLength = 8;  // "%08x"
constexpr std::string_view kTempSuffix = ".tmp";

bool SameName(std::wstring_view a, std::wstring_view b) {
  // File names on Windows match without regard to case.
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Whether `entry` is a temporary file of a write of the file `name`: ".<name>.<8 hex>.tmp".
bool IsTempOf(std::wstring_view entry, std::wstring_view name) {
  const std::size_t prefix = 1 + name.size() + 1;
  if (entry.size() != prefix + kNumberLength + kTempSuffix.size()) return false;
  if (entry[0] != L'.' || !SameName(entry.substr(1, name.size()), name) ||
      entry[prefix - 1] != L'.') {
    return false;
  }
  if (!SameName(entry.substr(prefix + kNumberLength), L".tmp")) return false;
  for (const wchar_t c : entry.substr(prefix, kNumberLength)) {
    if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F')))
      return false;
  }
  return true;
}

// Removes the temporary files that earlier writers of `name` left when they died. Best effort:
// what cannot be opened alone (a live writer's, another user's, a read-only one) stays.
void RemoveAbandonedTempFiles(const std::string& folder, const std::string& name) {
  const std::wstring wideFolder = Wide(folder) + L"\\";
  const std::wstring wideName = Wide(name);
  WIN32_FIND_DATAW found{};
  const HANDLE find =
      ::FindFirstFileExW((wideFolder + L"." + wideName + L".*.tmp").c_str(), FindExInfoBasic,
                         &found, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        !IsTempOf(found.cFileName, wideName)) {
      continue;
    }
    const HANDLE alone =
        ::CreateFileW((wideFolder + found.cFileName).c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                      FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (alone != INVALID_HANDLE_VALUE) ::CloseHandle(alone);
  } while (::FindNextFileW(find, &found));
  ::FindClose(find);
}

// A temporary file, held open until it has been moved into place or removed (see above).
class TempFile {
 public:
  TempFile(const std::string& target, const std::function<std::uint32_t()>& nameNumber) {
    for (int attempt = 0; attempt < 16; ++attempt) {
      char number[kNumberLength + 1];
      std::snprintf(number, sizeof number, "%08x", static_cast<unsigned>(nameNumber()));
      path_ = FolderOf(target) + "/." + NameOf(target) + "." + number + std::string(kTempSuffix);
      handle_ = ::CreateFileW(Wide(path_).c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle_ != INVALID_HANDLE_VALUE) {
        error_ = 0;
        return;
      }
      error_ = ::GetLastError();
      if (error_ != ERROR_FILE_EXISTS) return;
    }
  }
  ~TempFile() {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    // Removed before the handle goes, so no sweep takes it for an abandoned one in between.
    if (!moved_) ::DeleteFileW(Wide(path_).c_str());
    ::CloseHandle(handle_);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  DWORD OpenError() const { return handle_ == INVALID_HANDLE_VALUE ? error_ : 0; }
  HANDLE Handle() const { return handle_; }
  const std::string& Path() const { return path_; }
  // In place: the handle now names the file itself and goes at once.
  void Moved() {
    moved_ = true;
    ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

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

// Whether a refused move may succeed a moment later: someone held the file, and it is not a folder
// or a read-only file in the way, which refuse the same way for good.
bool MayPass(DWORD error, const std::wstring& target) {
  if (error == ERROR_SHARING_VIOLATION) return true;
  if (error != ERROR_ACCESS_DENIED) return false;
  const DWORD attributes = ::GetFileAttributesW(target.c_str());
  return attributes == INVALID_FILE_ATTRIBUTES ||
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
}

DWORD MoveIntoPlace(const std::string& temp, const std::string& path, Existing existing,
                    const std::function<void(std::uint32_t)>& wait) {
  const std::wstring from = Wide(temp);
  const std::wstring to = Wide(path);
  const DWORD flags =
      MOVEFILE_WRITE_THROUGH | (existing == Existing::Replace ? MOVEFILE_REPLACE_EXISTING : 0);
  for (std::size_t attempt = 0;; ++attempt) {
    if (::MoveFileExW(from.c_str(), to.c_str(), flags)) return 0;
    const DWORD error = ::GetLastError();
    if (attempt == std::size(kMoveWaitsMs) || !MayPass(error, to)) return error;
    wait(kMoveWaitsMs[attempt]);
  }
}

}  // namespace

Error WriteFileAtomically(const std::string& path, std::string_view contents, Existing existing,
                          const AtomicWriteSeams& seams) {
  RemoveAbandonedTempFiles(FolderOf(path), NameOf(path));
  TempFile temp(path, seams.nameNumber);
  if (const DWORD e = temp.OpenError()) return Fail(e, "create " + temp.Path());
  if (const DWORD e = WriteAll(temp.Handle(), contents)) return Fail(e, "write " + temp.Path());
  if (!::FlushFileBuffers(temp.Handle())) return Fail(::GetLastError(), "flush " + temp.Path());
  const std::string op =
      (existing == Existing::Keep ? "link " : "rename ") + temp.Path() + " to " + path;
  if (const DWORD e = MoveIntoPlace(temp.Path(), path, existing, seams.wait)) {
    if (existing == Existing::Keep && (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS)) {
      return ErrnoError(EEXIST, op);
    }
    return Fail(e, op);
  }
  temp.Moved();
  return {};
}

}  // namespace win32

Error WriteFileAtomically(const std::string& path, std::string_view contents,
                          unsigned /*newFileMode*/, Existing existing) {
  std::random_device random;
  const win32::AtomicWriteSeams seams{[&random] { return static_cast<std::uint32_t>(random()); },
                                      [](std::uint32_t ms) { ::Sleep(ms); }};
  return win32::WriteFileAtomically(path, contents, existing, seams);
}

}  // namespace toolkit
