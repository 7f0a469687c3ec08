// The walk of this machine on Windows: its host controllers through the system's hub requests; and
// what the configuration manager says of the headset's driver.
#include "upgrade/UsbEnum.h"
#include "upgrade/UsbIoctl.h"
#include "upgrade/win32/DeviceNodes.h"

namespace usbenum {

UsbDetection WalkSystemUsb(const std::string& /*registryDirectory*/) {
  const auto host = MakeIoctlUsbHost(usbioctl::MakeWin32UsbIo());
  UsbHost* hosts[] = {host.get()};
  return WalkUsbTree(hosts);
}

dfu::winusb::HeadsetDriverCheck CheckSystemHeadsetDriver(std::span<const dfu::DeviceIds> extra) {
  return dfu::winusb::CheckHeadsetDriver(dfu::win32::PresentUsbNodes(), extra);
}

}  // namespace usbenum
