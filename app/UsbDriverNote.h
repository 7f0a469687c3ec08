// The window's word for a headset that is on USB but whose DFU interface Windows serves with no
// usable WinUSB driver: which device, that WinUSB is needed there, and what to do.
#pragma once

#include <string>

#include "upgrade/WinUsbRules.h"

namespace app {

// Text 30220 filled with the device's USB ids, in the active language, when the check found the
// headset without WinUSB; the empty text otherwise.
std::string HeadsetDriverNote(const dfu::winusb::HeadsetDriverCheck& check);

}  // namespace app
