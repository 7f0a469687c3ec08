// The walk of this machine on Windows: its host controllers through the system's hub requests.
#include "upgrade/UsbEnum.h"
#include "upgrade/UsbIoctl.h"

namespace usbenum {

UsbDetection WalkSystemUsb(const std::string& /*registryDirectory*/) {
  const auto host = MakeIoctlUsbHost(usbioctl::MakeWin32UsbIo());
  UsbHost* hosts[] = {host.get()};
  return WalkUsbTree(hosts);
}

}  // namespace usbenum
