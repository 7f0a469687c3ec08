// The transports of a Windows build: real devices through WinUSB. The virtual devices' socket is a
// Linux stand-in and has no place here.
#include "upgrade/DfuTransport.h"

namespace dfu {

std::vector<std::shared_ptr<DfuTransport>> SystemTransports(
    const std::string& /*registryDirectory*/) {
  return {MakeWinUsbTransport()};
}

}  // namespace dfu
