// What the port's side services (enumeration, hot-plug notification, configuration dialogs) take
// from the platform. The application gives them once, after constructing the port; a port left
// with the defaults enumerates the machine it runs on and uses what the platform offers of its
// own: on Windows a hidden window of its own for notifications and the system's
// configuration dialog; on Linux udev and the virtual-device registry for notifications, and no
// dialog (the dialogs raise).
#pragma once

#include <string>

namespace platform {
class DeviceNotifier;
class PortEnumerator;
}  // namespace platform

namespace comport {

class TComDialogService;
class TRegistryReader;

struct TComServices {
  // The application's device-change notifications: the stand-in for its main window's messages.
  platform::DeviceNotifier* notifier = nullptr;
  // Shows the line-settings dialog.
  TComDialogService* dialogs = nullptr;
  // Linux: the serial ports udev and the virtual-device registry know; null: those of this
  // machine.
  platform::PortEnumerator* ports = nullptr;
  // Linux: where /dev and /sys are looked for, so that a test can give a tree of its own.
  std::string root = "/";
  // Linux: the file of the ports' default line settings; empty: DefaultCommConfigPath().
  std::string defaultsFile;
  // Windows: the registry the serial map and the device tree are read from; null: the machine's.
  TRegistryReader* registry = nullptr;
};

}  // namespace comport
