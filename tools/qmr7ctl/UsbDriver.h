// qmr7ctl's word for a headset on USB whose DFU interface Windows serves with no usable WinUSB
// driver: which device, how its interface stands, that WinUSB is needed there and what to do.
#pragma once

#include <functional>
#include <span>
#include <string>

#include "upgrade/DfuQuirks.h"
#include "upgrade/WinUsbRules.h"

namespace qmr7ctl {

// The message for a check that found the headset without WinUSB, in the chosen language; the
// empty text for any other verdict.
std::string WinUsbMissingText(const dfu::winusb::HeadsetDriverCheck& check);

// The drivers' word on the headset, which may also have the ids a user named (--device).
using DriverCheck =
    std::function<dfu::winusb::HeadsetDriverCheck(std::span<const dfu::DeviceIds> extraIds)>;

// For a run that found no device it can use: asks `check` (unset: nothing to ask) about the
// headset of the table's or `extraIds`' ids and throws Failure (NoDevice) with WinUsbMissingText
// when it lacks WinUSB; otherwise returns.
void ThrowIfWithoutWinUsb(const DriverCheck& check, std::span<const dfu::DeviceIds> extraIds);

}  // namespace qmr7ctl
