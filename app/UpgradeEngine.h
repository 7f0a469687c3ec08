// The DFU engine as the window reaches it: each call is one DFUEngine_* call of the C interface.
// The program uses the calls as they are; a test derives from this class to make the engine on its
// own transport (Create) or to refuse a call, and otherwise runs the real engine.
//
// The report callback has no context argument, so reports reach the window through one
// process-wide receiver (UpgradeReportReceiver) that the window sets while it lives.
#pragma once

#include <cstdint>
#include <string>

#include "upgrade/DFUEngine.h"
#include "upgrade/DfuQuirks.h"
#include "upgrade/WinUsbRules.h"

namespace app {

class UpgradeEngine {
 public:
  virtual ~UpgradeEngine() = default;

  virtual DFUEngineHandle Create() { return DFUEngine_Create(); }
  virtual void Destroy(DFUEngineHandle handle) { DFUEngine_Destroy(handle); }
  virtual bool IsDFUFileValid(DFUEngineHandle handle, const std::string& path, char* description,
                              std::uint32_t* version, std::uint32_t* usbIds,
                              std::uint32_t* imageSize) {
    return DFUEngine_IsDFUFileValid(handle, path.c_str(), description, version, usbIds,
                                    imageSize) != 0;
  }
  virtual std::uint32_t GetUSBDeviceNames(DFUEngineHandle handle, char* names) {
    return DFUEngine_GetUSBDeviceNames(handle, names);
  }
  // Ids of a headset the engine's table does not know (DFUEngine_AddDeviceIds).
  virtual void AddDeviceIds(DFUEngineHandle handle, const dfu::DeviceIds& ids) {
    DFUEngine_AddDeviceIds(handle, static_cast<std::uint32_t>(ids.vendor) << 16 | ids.product,
                           static_cast<std::uint32_t>(ids.dfuVendor) << 16 | ids.dfuProduct);
  }
  virtual void SetCallback(DFUEngineHandle handle, DFUEngineCallback callback) {
    DFUEngine_SetCallback(handle, callback);
  }
  virtual bool CreateUSB(DFUEngineHandle handle, const std::string& name) {
    return DFUEngine_CreateUSB(handle, name.c_str()) != 0;
  }
  virtual bool StartReconfigure(DFUEngineHandle handle, std::uint32_t upload,
                                std::uint32_t checkFile, const std::string& path) {
    return DFUEngine_StartReconfigure(handle, upload, checkFile, path.c_str()) != 0;
  }
  virtual bool StartDownload(DFUEngineHandle handle, const std::string& path) {
    return DFUEngine_StartDownload(handle, path.c_str()) != 0;
  }
  virtual bool StartManifest(DFUEngineHandle handle) {
    return DFUEngine_StartManifest(handle) != 0;
  }

  // Not an engine call: what the system's drivers say of the headset when the engine lists no
  // device (usbenum::CheckSystemHeadsetDriver). Here: nothing to say.
  virtual dfu::winusb::HeadsetDriverCheck CheckHeadsetDriver() {
    dfu::winusb::HeadsetDriverCheck check;
    check.verdict = dfu::winusb::HeadsetOnUsb::Usual;
    return check;
  }

  // The engine of the system: the calls as they are.
  static UpgradeEngine& System();
};

}  // namespace app
