// How the window lists serial ports, as rules without any window: which ports make the table, the
// order of its lines, the line's text and the port it preselects. The window and qmr7ctl both
// list ports through these, so a script sees the ports as the user does.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/PortEnumerator.h"

namespace app {

inline constexpr std::size_t kMaxListedPorts = 64;
// Port names and descriptions hold at most this many characters.
inline constexpr std::size_t kMaxPortText = 255;

// The port as the table holds it: nothing for a name too long to be opened as shown, else the
// port with its description cut to kMaxPortText characters.
std::optional<platform::PortInfo> PortTableEntry(const platform::PortInfo& port);

// Whether port name `a` sorts before `b`: by name with a trailing number compared as a number, so
// COM3 < COM4 < COM10 and /dev/ttyACM2 < /dev/ttyACM10; letters without regard to case.
bool PortNameLess(std::string_view a, std::string_view b);

// Sorts the table's entries by name, moving each description with its name; both spans have the
// table's length. The exchange order of the window: equal names keep no promised order.
void SortPortTable(std::span<std::string> names, std::span<std::string> descriptions);

// The second way to name a port when its name alone does not open: the device path. A Windows
// port name ("COM" and a number, in any letter case) takes the device namespace's "\\.\" before
// it, which names above COM9 need; any other name not yet a path goes below /dev.
std::string DevicePathForm(std::string_view name);

// The line the window shows for a port.
std::string PortListLine(std::string_view name, std::string_view description);

// Whether a description names a USB port (begins with "USB", any case): the headset's kind.
bool IsUsbDescription(std::string_view description);

// The entry the window preselects: the first USB port in table order; -1 when there is none.
int PreselectedPort(std::span<const std::string> descriptions);

}  // namespace app
