// What the port's side services (enumeration, hot-plug notification, configuration dialogs) take
// from the platform. The application gives them once, after constructing the port; a port left
// with the defaults enumerates the machine it runs on, cannot register for notifications
// (StartNotification returns false) and has no dialog to show (the dialogs raise).
#pragma once

#include <string>

namespace platform {
class DeviceNotifier;
class PortEnumerator;
}  // namespace platform

namespace comport {

class TComDialogService;

struct TComServices {
  // The application's device-change notifications: the stand-in for its main window's messages.
  platform::DeviceNotifier* notifier = nullptr;
  // Shows the line-settings dialog.
  TComDialogService* dialogs = nullptr;
  // The serial ports udev and the virtual-device registry know; null: those of this machine.
  platform::PortEnumerator* ports = nullptr;
  // Where /dev and /sys are looked for, so that a test can give a tree of its own.
  std::string root = "/";
  // The file of the ports' default line settings; empty: DefaultCommConfigPath().
  std::string defaultsFile;
};

}  // namespace comport
