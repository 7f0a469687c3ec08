// What each platform's backend gives the port's side services: the four enumerations, the
// component's own device notifier, the system's line-settings dialog and the ports' defaults.
// Exactly one backend (backend/posix or backend/win32) defines these; the build picks it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "comport/ComConfigDialog.h"
#include "comport/ComServices.h"
#include "toolkit/Dispatcher.h"
#include "toolkit/Error.h"

namespace platform {
class DeviceNotifier;
}

namespace comport::backend {

// The platform the build is for, as the components' About notices name it.
const char* PlatformName();

// Each appends; none clears, sorts, de-duplicates or raises.
void AppendDevices(std::vector<std::string>& list, const TComServices& services);
void AppendComDevices(std::vector<std::string>& list, const TComServices& services);
void AppendComDevicesFromRegistry(std::vector<std::string>& list, const TComServices& services);
void AppendComFriendlyNames(std::vector<std::string>& list, const TComServices& services);

// The notifier a port uses when the application gives none, delivering on the port's UI thread;
// null when the platform offers the component none of its own. The port keeps it while it is
// registered.
std::shared_ptr<platform::DeviceNotifier> OwnDeviceNotifier(toolkit::UiDispatcher& ui);

// The platform's line-settings dialog, used when the application gives none; null when there is
// none.
TComDialogService* SystemComDialogs();

// The default line settings of the port `name`, and their replacement. `config.dwSize` must be at
// least kCommConfigSize.
toolkit::Error GetPortDefaults(const std::string& name, TCommConfig& config,
                               const TComServices& services);
toolkit::Error SetPortDefaults(const std::string& name, const TCommConfig& config,
                               const TComServices& services);

}  // namespace comport::backend
