// The virtual headset on USB while its serial side is away (after command 20): the DFU device
// model behind a Unix socket, registered in the virtual-device registry as kind usb-dfu, so the
// tool's engine finds it as it would find the headset on USB.
//
// The side ends, and the serial side comes back, when the device has returned to run-time mode
// with a downloaded firmware and the host has let go of it; when it disconnected in the middle of
// a download (it then comes back with the old firmware); or when nobody has used it for
// `idleLimit` in run-time mode. A device told never to come back stays away until the headset
// stops.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "platform/VirtualDeviceRegistry.h"
#include "sim/DfuDevice.h"
#include "sim/VirtualHeadset.h"

namespace sim {

inline constexpr char kDfuDescription[] = "QM-R7 virtual headset (DFU)";

struct DfuSideOptions {
  DfuDeviceConfig config;
  DfuFaults faults;
  const platform::VirtualDeviceRegistry* registry = nullptr;  // required
  std::chrono::milliseconds idleLimit{120000};
  // How long after a refused reset (reset-refused) the simulated user has replugged the headset;
  // nullopt: never.
  std::optional<std::chrono::milliseconds> replugDelay = std::chrono::milliseconds(1000);
  std::function<void(const std::string&)> onEvent;  // what happens, for the program's output
};

// The firmware the headset runs, by version: the names it reports until an upgrade names others.
Firmware DefaultFirmware(int version);

// Runs the USB side on the calling thread. `running` is the firmware now and, afterwards, the
// one the headset runs. Throws std::runtime_error or platform::RegistryError when the socket or
// its registration cannot be made.
void RunDfuSide(const UpgradeContext& context, Firmware& running, const DfuSideOptions& options);

}  // namespace sim
