// What the settings pages accept, as rules without any window: the window's pages and qmr7ctl
// check values with these before anything is sent to the headset.
#pragma once

#include <cstddef>
#include <string_view>

namespace app {

inline constexpr std::size_t kMaxSpeedDialDigits = 16;
inline constexpr int kMinMixPercentage = 1;
inline constexpr int kMaxMixPercentage = 100;

enum class SpeedDialFault {
  None,
  NotDigits,  // a character other than 0-9
  TooLong,    // more than kMaxSpeedDialDigits digits
};

// The digits are looked at first: a long number with a letter in it is NotDigits. Empty is allowed.
SpeedDialFault CheckSpeedDial(std::string_view number);

// The A2DP and GPS shares of the mixed audio: 1 to 100, as the up-down controls allow.
constexpr bool IsMixPercentage(int value) {
  return value >= kMinMixPercentage && value <= kMaxMixPercentage;
}

// GPS audio sharing: 0 (No) or 1 (Yes); the control's click turns its other positions into these.
constexpr bool IsGpsSharing(int value) {
  return value == 0 || value == 1;
}

}  // namespace app
