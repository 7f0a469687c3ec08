// The transports of a Windows build. The virtual devices' socket is a Linux stand-in and has no
// place here; until a USB transport joins, a Windows build finds no DFU device.
#include "upgrade/DfuTransport.h"

namespace dfu {

std::vector<std::shared_ptr<DfuTransport>> SystemTransports(
    const std::string& /*registryDirectory*/) {
  return {};
}

}  // namespace dfu
