// The window's USB services on this machine: the walk of the USB tree and an engine that lists and
// binds only the device that walk finds. A DFU device of any other maker, or any other DFU device
// that does not say which firmware it runs, is never listed, bound or sent a request.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "app/UpgradeEngine.h"

namespace app {

class SystemUpgradeEngine final : public UpgradeEngine {
 public:
  std::uint32_t GetUSBDeviceNames(DFUEngineHandle handle, char* names) override;
  dfu::winusb::HeadsetDriverCheck CheckHeadsetDriver() override;
  // Also admits the headset's boot loader of these ids to the walk.
  void AddDeviceIds(DFUEngineHandle handle, const dfu::DeviceIds& ids) override;

 private:
  std::vector<dfu::DeviceIds> extraIds_;
};

// The configuration string the walk finds (upper case), or empty.
std::string ScanSystemUsbTree();

// Whether the walk finds the headset waiting in DFU mode.
bool SystemHeadsetInDfuMode(std::span<const dfu::DeviceIds> extraIds);

}  // namespace app
