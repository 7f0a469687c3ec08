// Helpers for tests of Windows code, which also run under wine.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

namespace testsupport {

// Wine's ntdll exports wine_get_version; Windows' does not.
inline bool UnderWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// A private folder below the user's temporary folder, removed with everything in it afterwards.
// `tail` is appended to its name, so that a test can put characters of its choice in a path.
class WinTempDir {
 public:
  explicit WinTempDir(const std::wstring& tail = L"") {
    wchar_t base[MAX_PATH + 1];
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, base);
    const std::filesystem::path parent(std::wstring(base, n));
    for (unsigned i = ::GetTickCount() % 100000;; ++i) {
      path_ = parent / (L"qmr7-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                        std::to_wstring(i) + tail);
      if (::CreateDirectoryW(path_.c_str(), nullptr)) break;
      if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
  }
  ~WinTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  WinTempDir(const WinTempDir&) = delete;
  WinTempDir& operator=(const WinTempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // A path inside, as UTF-8.
  std::string operator/(const std::string& name) const {
    const std::u8string utf8 =
        (path_ / std::filesystem::path(std::u8string(name.begin(), name.end()))).u8string();
    return std::string(utf8.begin(), utf8.end());
  }

 private:
  std::filesystem::path path_;
};

}  // namespace testsupport
