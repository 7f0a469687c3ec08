// The machine's services on Windows: the setup library and a hidden window for ports and
// their changes, the shell's roaming application-data folder, the user's interface language.
#include "platform/System.h"

#include <windows.h>
// After windows.h, which they need.
#include <knownfolders.h>
#include <shlobj.h>

#include "platform/Folders.h"
#include "platform/UiLanguage.h"
#include "platform/win32/MessageWindowNotifier.h"
#include "platform/win32/SetupApiPortEnumerator.h"
#include "toolkit/backend/win32/SystemError.h"

namespace platform {

std::unique_ptr<PortEnumerator> MakeSystemPortEnumerator() {
  return std::make_unique<win32::SetupApiPortEnumerator>();
}

std::unique_ptr<DeviceNotifier> MakeSystemDeviceNotifier(toolkit::UiDispatcher&) {
  return std::make_unique<win32::MessageWindowNotifier>();
}

resources::Language SystemUiLanguage(const std::string&) {
  return LanguageOfLangId(::GetUserDefaultUILanguage());
}

std::string UserAppDataFolder() {
  wchar_t* path = nullptr;
  std::string folder;
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &path))) {
    folder = toolkit::win32::Narrow(path);
  }
  ::CoTaskMemFree(path);
  return folder;
}

std::string ProgramPath(std::string_view argv0) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::string(argv0);
    if (length < path.size()) return toolkit::win32::Narrow(std::wstring_view(path.data(), length));
    path.resize(path.size() * 2);  // cut short: ask again with more room
  }
}

}  // namespace platform
