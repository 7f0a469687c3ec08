// The side services on Linux: /dev and /sys for the enumerations, udev and the virtual-device
// registry for the friendly names and the notifications (where the application gives no notifier),
// the defaults file for the ports' defaults. The dialog comes only from the application.
#include "comport/backend/SideServices.h"

#include "comport/backend/posix/DevEnum.h"
#include "comport/backend/posix/PortDefaultsFile.h"
#include "platform/System.h"
#include "platform/UdevPortEnumerator.h"
#include "platform/VirtualDeviceRegistry.h"

namespace comport::backend {
namespace {

std::string DefaultsFileOf(const TComServices& services) {
  return services.defaultsFile.empty() ? DefaultCommConfigPath() : services.defaultsFile;
}

}  // namespace

void AppendDevices(std::vector<std::string>& list, const TComServices& services) {
  comport::AppendDevices(list, services.root);
}

void AppendComDevices(std::vector<std::string>& list, const TComServices& services) {
  comport::AppendComDevices(list, services.root);
}

void AppendComDevicesFromRegistry(std::vector<std::string>& list, const TComServices& services) {
  AppendComDevicesFromDriverMap(list, services.root);
}

void AppendComFriendlyNames(std::vector<std::string>& list, const TComServices& services) {
  if (services.ports != nullptr) {
    comport::AppendComFriendlyNames(list, *services.ports);
    return;
  }
  platform::SystemPortEnumerator machine{platform::VirtualDeviceRegistry()};
  comport::AppendComFriendlyNames(list, machine);
}

const char* PlatformName() {
  return "Linux";
}

// The machine's own: udev and the virtual-device registry, as the window hears them.
std::shared_ptr<platform::DeviceNotifier> OwnDeviceNotifier(toolkit::UiDispatcher& ui) {
  return platform::MakeSystemDeviceNotifier(ui);
}

TComDialogService* SystemComDialogs() {
  return nullptr;
}

toolkit::Error GetPortDefaults(const std::string& name, TCommConfig& config,
                               const TComServices& services) {
  return GetDefaultCommConfig(name, config, DefaultsFileOf(services));
}

toolkit::Error SetPortDefaults(const std::string& name, const TCommConfig& config,
                               const TComServices& services) {
  return SetDefaultCommConfig(name, config, DefaultsFileOf(services));
}

}  // namespace comport::backend
