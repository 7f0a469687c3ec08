#include "app/SystemUsb.h"

#include "upgrade/UpgradeRun.h"
#include "upgrade/UsbEnum.h"

namespace app {

std::uint32_t SystemUpgradeEngine::GetUSBDeviceNames(DFUEngineHandle handle, char* names) {
  const std::optional<usbenum::UsbDetection> found =
      dfu::ChooseHeadset(usbenum::WalkSystemUsb(), extraIds_);
  if (!found) {
    names[0] = '\0';
    names[1] = '\0';
    return 0;
  }
  DFUEngine_SetUSBDeviceFilter(handle, found->deviceName.c_str());
  return DFUEngine_GetUSBDeviceNames(handle, names);
}

dfu::winusb::HeadsetDriverCheck SystemUpgradeEngine::CheckHeadsetDriver() {
  return usbenum::CheckSystemHeadsetDriver(extraIds_);
}

void SystemUpgradeEngine::AddDeviceIds(DFUEngineHandle handle, const dfu::DeviceIds& ids) {
  extraIds_.push_back(ids);
  UpgradeEngine::AddDeviceIds(handle, ids);
}

bool SystemHeadsetInDfuMode(std::span<const dfu::DeviceIds> extraIds) {
  const std::optional<usbenum::UsbDetection> found =
      dfu::ChooseHeadset(usbenum::WalkSystemUsb(), extraIds);
  return found && found->dfuMode;
}

std::string ScanSystemUsbTree() {
  return usbenum::WalkSystemUsb().configText;
}

}  // namespace app
