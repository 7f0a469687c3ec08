// The machine's services on Linux: udev and the virtual-device registry for ports and their
// changes, the XDG folders, the session's language variables.
#include "platform/System.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/Folders.h"
#include "platform/PollingDeviceNotifier.h"
#include "platform/UdevPortEnumerator.h"
#include "platform/UiLanguage.h"

namespace platform {

std::unique_ptr<PortEnumerator> MakeSystemPortEnumerator() {
  return std::make_unique<SystemPortEnumerator>(VirtualDeviceRegistry());
}

std::unique_ptr<DeviceNotifier> MakeSystemDeviceNotifier(toolkit::UiDispatcher& ui) {
  return std::make_unique<PollingDeviceNotifier>(ui, [registry = VirtualDeviceRegistry()] {
    std::vector<std::unique_ptr<EventSource>> sources;
    if (auto udev = MakeUdevEventSource()) sources.push_back(std::move(udev));
    if (auto virtuals = MakeRegistryEventSource(registry)) sources.push_back(std::move(virtuals));
    return sources;
  });
}

resources::Language SystemUiLanguage(const std::string& toolkitLocale) {
  return DetectUiLanguage([](const char* name) { return std::getenv(name); }, toolkitLocale);
}

std::string UserAppDataFolder() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
    return xdg;
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    const passwd* pw = ::getpwuid(::getuid());
    home = pw != nullptr ? pw->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] == '\0') return {};
  return std::string(home) + "/.config";
}

std::string ProgramPath(std::string_view argv0) {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(argv0) : exe.string();
}

}  // namespace platform
