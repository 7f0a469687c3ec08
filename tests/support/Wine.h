// Whether a Windows test runs under wine, which differs from Windows in a few known places: a test
// that meets one of them skips there, saying why (GTEST_SKIP() << "wine: ..."), and still runs on
// Windows.
#pragma once

#include <windows.h>

namespace testsupport {

inline bool OnWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace testsupport
