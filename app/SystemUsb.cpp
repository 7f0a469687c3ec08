#include "app/SystemUsb.h"

#include "upgrade/UsbEnum.h"

namespace app {

std::uint32_t SystemUpgradeEngine::GetUSBDeviceNames(DFUEngineHandle handle, char* names) {
  const usbenum::UsbDetection found = usbenum::WalkSystemUsb();
  if (!found.Found() || found.deviceName.empty()) {
    names[0] = '\0';
    names[1] = '\0';
    return 0;
  }
  DFUEngine_SetUSBDeviceFilter(handle, found.deviceName.c_str());
  return DFUEngine_GetUSBDeviceNames(handle, names);
}

dfu::winusb::HeadsetDriverCheck SystemUpgradeEngine::CheckHeadsetDriver() {
  return usbenum::CheckSystemHeadsetDriver();
}

std::string ScanSystemUsbTree() {
  return usbenum::WalkSystemUsb().configText;
}

}  // namespace app
