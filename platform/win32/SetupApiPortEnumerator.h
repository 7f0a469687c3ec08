// The serial ports of a Windows machine: the present devices of the ports setup class, through
// the setup library (SETUPAPI.DLL from the system folder, loaded when listing). Each device's
// "PortName" and device description decide its entry (platform/PortsClass.h).
#pragma once

#include "platform/PortEnumerator.h"

namespace platform::win32 {

class SetupApiPortEnumerator final : public PortEnumerator {
 public:
  // Nothing when the library, its functions or the class "Ports" cannot be had.
  std::vector<PortInfo> Enumerate() override;
};

}  // namespace platform::win32
