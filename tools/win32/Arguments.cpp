#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "toolkit/Utf.h"
#include "tools/Arguments.h"

namespace tools {

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  // Without the wide command line, the ANSI one is all there is.
  if (wide == nullptr) return std::vector<std::string>(argv + 1, argv + argc);
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) {
    const std::wstring_view arg(wide[i]);
    args.push_back(toolkit::Utf16ToUtf8(std::u16string(arg.begin(), arg.end())));
  }
  ::LocalFree(wide);
  return args;
}

}  // namespace tools
