// The USB tree of a Windows build. The registry's virtual devices are a Linux stand-in; until the
// host controllers' walk joins, a Windows build sees no USB device.
#include "upgrade/UsbEnum.h"

namespace usbenum {

UsbDetection WalkSystemUsb(const std::string& /*registryDirectory*/) {
  return WalkUsbTree({});
}

}  // namespace usbenum
