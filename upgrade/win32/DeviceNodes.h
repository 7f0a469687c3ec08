// The present USB device nodes as the configuration manager describes them: what the WinUSB
// transport picks its devices from and what the driver check judges (WinUsbRules.h).
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <cfgmgr32.h>

#include <functional>
#include <vector>

#include "upgrade/WinUsbRules.h"

namespace dfu::win32 {

// Calls `visit` with each present node of the USB enumerator, in the system's order. A property
// the system does not give is left empty.
void ForEachUsbNode(const std::function<void(DEVINST, const winusb::DeviceNode&)>& visit);

std::vector<winusb::DeviceNode> PresentUsbNodes();

}  // namespace dfu::win32
