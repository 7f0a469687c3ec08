#include "tools/qmr7ctl/Session.h"

#include "tools/qmr7ctl/Failure.h"
#include "tools/qmr7ctl/Texts.h"

namespace qmr7ctl {

app::StatusLine DeviceSession::Transact(int code, const std::string& line) {
  link_.Send(line);
  // The device has the whole time for both of its lines, as under the window's timer.
  const Clock::time_point deadline = link_.Now() + kResponseTimeout;
  bool okReceived = false;
  bool errorReceived = false;
  for (;;) {
    const std::optional<std::string> answer = link_.ReadLine(deadline);
    if (!answer) {
      // An error line alone decides nothing (the answer may still come); unanswered, it says why.
      if (errorReceived) {
        throw Failure(Exit::Refused, Format(Text::CommandRefused, {port_, std::to_string(code)}));
      }
      throw Failure(Exit::Timeout, Format(Text::Timeout, {port_}));
    }
    if (app::IsOkLine(*answer)) {
      okReceived = true;
      continue;
    }
    if (answer->starts_with("ERROR")) {
      errorReceived = true;
      continue;
    }
    const auto status = app::ParseStatusLine(*answer);
    // A status line before its OK is not taken, as in the window.
    if (!status || !okReceived || status->code != code) continue;
    if (code == 7 && status->first != app::kDeviceIdentity) {
      throw Failure(Exit::Refused,
                    Format(Text::WrongIdentity, {port_, std::to_string(status->first)}));
    }
    return *status;
  }
}

DeviceInfo DeviceSession::Identify() {
  DeviceInfo info;
  info.identity = Transact(7, app::CommandLine(7)).first;
  info.firmwareVersion = Transact(8, app::CommandLine(8)).first;
  info.model = Transact(9, app::CommandLine(9)).text;
  info.address = Transact(10, app::CommandLine(10)).text;
  return info;
}

DeviceSettings DeviceSession::ReadSettings() {
  DeviceSettings settings;
  for (int code = 1; code <= 3; ++code) {
    settings.speedDials[static_cast<std::size_t>(code - 1)] =
        Transact(code, app::CommandLine(code)).text;
  }
  settings.a2dpPercentage = Transact(4, app::CommandLine(4)).first;
  const app::StatusLine gps = Transact(5, app::CommandLine(5));
  settings.gpsPercentage = gps.first;
  settings.gpsSharing = gps.second;
  return settings;
}

void DeviceSession::SaveSpeedDials(const std::array<std::string, 3>& numbers) {
  for (int code = 21; code <= 23; ++code) {
    Transact(code, app::CommandLine(code, numbers[static_cast<std::size_t>(code - 21)]));
  }
}

void DeviceSession::SaveA2dpPercentage(int percentage) {
  Transact(24, app::CommandLine(24, percentage));
}

void DeviceSession::SaveGps(int percentage, int sharing) {
  Transact(25, app::CommandLine(25, percentage, sharing));
}

void DeviceSession::RequestUpgrade() {
  Transact(20, app::CommandLine(20));
}

void DeviceSession::RestoreDefaults() {
  Transact(27, app::CommandLine(27));
}

void DeviceSession::SavePages(const SettingChanges& changes, const DeviceSettings& settings) {
  if (changes.TouchesSpeedDials()) SaveSpeedDials(settings.speedDials);
  if (changes.a2dpPercentage) SaveA2dpPercentage(settings.a2dpPercentage);
  if (changes.gpsPercentage || changes.gpsSharing) {
    SaveGps(settings.gpsPercentage, settings.gpsSharing);
  }
}

void DeviceSession::SaveAll(const DeviceSettings& settings) {
  SaveSpeedDials(settings.speedDials);
  SaveA2dpPercentage(settings.a2dpPercentage);
  SaveGps(settings.gpsPercentage, settings.gpsSharing);
}

}  // namespace qmr7ctl
