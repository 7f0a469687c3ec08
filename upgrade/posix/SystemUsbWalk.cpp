// The walk of this machine on Linux: the buses in sysfs, then the registry's virtual devices.
#include "upgrade/UsbEnum.h"

namespace usbenum {

UsbDetection WalkSystemUsb(const std::string& registryDirectory) {
  const auto sysfs = MakeSysfsUsbHost();
  const auto virtualDevices = MakeVirtualUsbHost(registryDirectory);
  UsbHost* hosts[] = {sysfs.get(), virtualDevices.get()};
  return WalkUsbTree(hosts);
}

dfu::winusb::HeadsetDriverCheck CheckSystemHeadsetDriver(std::span<const dfu::DeviceIds>) {
  dfu::winusb::HeadsetDriverCheck check;
  check.verdict = dfu::winusb::HeadsetOnUsb::Usual;
  return check;
}

}  // namespace usbenum
