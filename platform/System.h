// The machine's own port listing and device-change notification, as the window uses them: on
// Linux udev and the virtual-device registry, on Windows the setup library and a hidden
// window. The build picks the backend (platform/posix or platform/win32).
#pragma once

#include <memory>

#include "platform/DeviceNotifier.h"
#include "platform/PortEnumerator.h"
#include "toolkit/Dispatcher.h"

namespace platform {

std::unique_ptr<PortEnumerator> MakeSystemPortEnumerator();

// Register on the UI thread; `ui` must outlive the notifier and its registrations.
std::unique_ptr<DeviceNotifier> MakeSystemDeviceNotifier(toolkit::UiDispatcher& ui);

}  // namespace platform
