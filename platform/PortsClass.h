// Which devices of the ports setup class make the port list, and what the list shows for each,
// apart from the setup library that reads them (platform/win32/SetupApiPortEnumerator.cpp).
#pragma once

#include <optional>
#include <string>

#include "platform/PortEnumerator.h"

namespace platform {

// A registry value or device property as the setup library gave it: its type and its data as
// UTF-16 units, terminated or not.
struct RawText {
  unsigned long type = 0;  // 1: a plain string (REG_SZ)
  std::u16string data;
};

struct PortsClassDevice {
  bool keyOpened = false;              // the device's registry key opened
  std::optional<RawText> portName;     // its "PortName" value, when it has one
  std::optional<RawText> description;  // its device description, when it could be read
};

// The port a device gives the list, or nothing when it gives none: its key must open and its
// "PortName" be a plain string naming a COM port ("COM" in any letter case, then a digit). The
// description is the device description when it is a plain string, else the empty text.
std::optional<PortInfo> PortOfPortsClassDevice(const PortsClassDevice& device);

}  // namespace platform
