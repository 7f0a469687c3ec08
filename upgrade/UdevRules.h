// The udev rules that give the user at the seat the headset's USB device and serial port, made
// from the quirks table's ids: the packaged rules file holds these lines, and a headset that shows
// other ids is given the line that would match it.
#pragma once

#include <cstdint>
#include <string>

namespace dfu {

// One rule for the device with these ids, on one line without its end: its USB device and the
// serial port below it become the seat user's, and ModemManager leaves them alone.
std::string UdevRuleLine(std::uint16_t vendor, std::uint16_t product);

// The rule lines for every product id of the quirks table, run-time then DFU mode, each ended.
std::string UdevRuleLines();

}  // namespace dfu
