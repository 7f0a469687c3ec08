// The side services on Windows: the DOS-device namespace and the registry (read-only) for the
// enumerations, a hidden window for notifications, the system's configuration dialog and
// the port drivers' defaults.
#include "comport/backend/SideServices.h"

#include <windows.h>

#include <string>

#include "comport/ComEnumRules.h"
#include "comport/backend/win32/CommConfig.h"
#include "comport/backend/win32/RegistryReader.h"
#include "platform/win32/MessageWindowNotifier.h"

namespace comport::backend {
namespace {

// The names of every DOS device, as QueryDosDevice lists them into a buffer of 65535 characters;
// nothing when the query fails, also when the names do not fit.
std::u16string DosDeviceNames() {
  std::wstring buffer(65535, L'\0');
  const DWORD used = ::QueryDosDeviceW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  return std::u16string(buffer.begin(), buffer.begin() + used);
}

template <typename Walk>
void ReadRegistry(const TComServices& services, Walk walk) {
  if (services.registry != nullptr) {
    walk(*services.registry);
    return;
  }
  win32::RegistryReader machine(HKEY_LOCAL_MACHINE);
  walk(machine);
}

}  // namespace

void AppendDevices(std::vector<std::string>& list, const TComServices&) {
  AppendDosDeviceNames(list, DosDeviceNames(), false);
}

void AppendComDevices(std::vector<std::string>& list, const TComServices&) {
  AppendDosDeviceNames(list, DosDeviceNames(), true);
}

void AppendComDevicesFromRegistry(std::vector<std::string>& list, const TComServices& services) {
  ReadRegistry(services, [&](TRegistryReader& registry) { AppendSerialMap(list, registry); });
}

void AppendComFriendlyNames(std::vector<std::string>& list, const TComServices& services) {
  ReadRegistry(services,
               [&](TRegistryReader& registry) { AppendPortsClassFriendlyNames(list, registry); });
}

const char* PlatformName() {
  return "Windows";
}

std::shared_ptr<platform::DeviceNotifier> OwnDeviceNotifier(toolkit::UiDispatcher&) {
  // Holds no state of its own: each registration is a window of the registering thread. Shared by
  // every port, so no port's to free.
  static platform::win32::MessageWindowNotifier notifier;
  return std::shared_ptr<platform::DeviceNotifier>(std::shared_ptr<void>(), &notifier);
}

TComDialogService* SystemComDialogs() {
  static win32::SystemComDialogs dialogs;
  return &dialogs;
}

toolkit::Error GetPortDefaults(const std::string& name, TCommConfig& config, const TComServices&) {
  return win32::ReadPortDefaults(name, config);
}

toolkit::Error SetPortDefaults(const std::string& name, const TCommConfig& config,
                               const TComServices&) {
  return win32::WritePortDefaults(name, config);
}

}  // namespace comport::backend
