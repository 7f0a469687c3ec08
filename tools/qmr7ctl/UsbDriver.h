// qmr7ctl's word for a headset on USB whose DFU interface Windows serves with no usable WinUSB
// driver: which device, how its interface stands, that WinUSB is needed there and what to do.
#pragma once

#include <functional>
#include <string>

#include "upgrade/WinUsbRules.h"

namespace qmr7ctl {

// The message for a check that found the headset without WinUSB, in the chosen language; the
// empty text for any other verdict.
std::string WinUsbMissingText(const dfu::winusb::HeadsetDriverCheck& check);

// For a run that found no device it can use: asks `check` (unset: nothing to ask) and throws
// Failure (NoDevice) with WinUsbMissingText when the headset lacks WinUSB; otherwise returns.
void ThrowIfWithoutWinUsb(const std::function<dfu::winusb::HeadsetDriverCheck()>& check);

}  // namespace qmr7ctl
