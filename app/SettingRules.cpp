#include "app/SettingRules.h"

namespace app {

SpeedDialFault CheckSpeedDial(std::string_view number) {
  for (char c : number) {
    if (c < '0' || c > '9') return SpeedDialFault::NotDigits;
  }
  return number.size() > kMaxSpeedDialDigits ? SpeedDialFault::TooLong : SpeedDialFault::None;
}

}  // namespace app
