// The waits of a firmware upgrade, the same for the window and qmr7ctl: the second the headset
// has to leave its serial port, the search for it on USB, the wait for its port afterwards. The
// engine's own waits (re-enumeration, a replug the user is asked for) are in DfuEngineCore.h.
#pragma once

#include <chrono>

namespace dfu {

// From the headset's confirmation of command 20 to the USB search.
inline constexpr std::chrono::milliseconds kBeforeDetection{1000};
// How often the USB search and the wait for the port look.
inline constexpr std::chrono::milliseconds kUpgradePollStep{100};
inline constexpr std::chrono::milliseconds kDetectionLimit{30000};
inline constexpr std::chrono::milliseconds kReconnectLimit{15000};

}  // namespace dfu
