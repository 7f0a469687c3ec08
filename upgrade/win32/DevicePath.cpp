#include "upgrade/win32/DevicePath.h"

#include <windows.h>

namespace dfu::win32 {
namespace {

bool Same(std::wstring_view a, std::wstring_view b) {
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool StartsWith(std::wstring_view path, std::wstring_view prefix) {
  return path.size() >= prefix.size() && Same(path.substr(0, prefix.size()), prefix);
}

// The digits after COM and LPT that make a device: 0 to 9 and the superscripts 1, 2 and 3.
bool IsPortDigit(wchar_t c) {
  return (c >= L'0' && c <= L'9') || c == L'\u00B9' || c == L'\u00B2' || c == L'\u00B3';
}

bool IsDosDeviceName(std::wstring_view name) {
  // What precedes the extension or a stream name, without the trailing blanks Windows ignores.
  name = name.substr(0, name.find_first_of(L".:"));
  while (!name.empty() && name.back() == L' ')
    name.remove_suffix(1);
  for (const std::wstring_view device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
    if (Same(name, device)) return true;
  }
  return name.size() == 4 && (Same(name.substr(0, 3), L"COM") || Same(name.substr(0, 3), L"LPT")) &&
         IsPortDigit(name[3]);
}

// \\host\pipe\name: a pipe on that machine, the local one included. `path` starts after the two
// backslashes.
bool IsPipe(std::wstring_view path) {
  const std::size_t host = path.find(L'\\');
  return host != std::wstring_view::npos && StartsWith(path.substr(host), L"\\pipe\\");
}

bool IsDriveLetter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

}  // namespace

bool NamesADevice(std::wstring_view fullPath) {
  if (StartsWith(fullPath, L"\\\\.\\")) return true;
  if (StartsWith(fullPath, L"\\\\?\\")) {
    // The long-path forms of a file on a drive or a share are files like any other, and their
    // last names are taken literally (a file may be called nul.dfu there); every other object
    // under this prefix (GLOBALROOT, a device) is not a file.
    const std::wstring_view rest = fullPath.substr(4);
    if (StartsWith(rest, L"UNC\\")) return IsPipe(rest.substr(4));
    return !(rest.size() >= 3 && IsDriveLetter(rest[0]) && rest[1] == L':' && rest[2] == L'\\');
  }
  if (StartsWith(fullPath, L"\\\\") && IsPipe(fullPath.substr(2))) return true;
  const std::size_t slash = fullPath.find_last_of(L'\\');
  return IsDosDeviceName(slash == std::wstring_view::npos ? fullPath : fullPath.substr(slash + 1));
}

}  // namespace dfu::win32
