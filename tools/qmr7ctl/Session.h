// qmr7ctl's conversation with the headset: the window's command chains, one command at a time,
// each answered by an "OK" line and its status line within the window's 1000 ms, but waited for
// in place instead of by a timer. Lines the window ignores (echoes, other status lines, noise)
// are ignored here too.
//
// Where the window would wait out its time-out, the session stops at once with a clearer reason:
// an identity other than the headset's is a refusal. An "ERROR" line is ignored, as the window
// ignores it, but a command left unanswered after one is reported as refused, not timed out.
//
// Every failure is a Failure with its exit code (Failure.h); nothing else is thrown.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "app/DeviceProtocol.h"
#include "tools/qmr7ctl/Settings.h"

namespace qmr7ctl {

using Clock = std::chrono::steady_clock;

inline constexpr std::chrono::milliseconds kResponseTimeout{1000};

// The headset's end of the conversation: a serial port, or a script in tests.
class DeviceLink {
 public:
  virtual ~DeviceLink() = default;
  // Throws Failure (NoDevice) when the device has gone.
  virtual void Send(const std::string& line) = 0;
  // The next complete line's text (up to its first carriage return), or nothing when `deadline`
  // passes first. Throws Failure (NoDevice) when the device has gone.
  virtual std::optional<std::string> ReadLine(Clock::time_point deadline) = 0;
  virtual Clock::time_point Now() = 0;
};

class DeviceSession {
 public:
  // `port` names the port in messages.
  DeviceSession(DeviceLink& link, std::string port) : link_(link), port_(std::move(port)) {}

  // Codes 7, 8, 9, 10: the identity is checked first, so nothing else reaches another device.
  DeviceInfo Identify();
  // Codes 1 to 5.
  DeviceSettings ReadSettings();
  // Codes 21, 22, 23 with all three numbers, as the speed-dial page saves them.
  void SaveSpeedDials(const std::array<std::string, 3>& numbers);
  // Code 24.
  void SaveA2dpPercentage(int percentage);
  // Code 25 with both values, as the GPS page saves them.
  void SaveGps(int percentage, int sharing);
  // Code 20: the headset confirms and leaves its serial port for USB DFU mode.
  void RequestUpgrade();
  // Code 27; the window reads everything again afterwards, and so should the caller.
  void RestoreDefaults();

  // Saves each page that `changes` touch, in the window's page order, with the values of
  // `settings` (the device's values with the changes applied) for the page's other fields.
  void SavePages(const SettingChanges& changes, const DeviceSettings& settings);
  // Saves every page.
  void SaveAll(const DeviceSettings& settings);

 private:
  app::StatusLine Transact(int code, const std::string& line);

  DeviceLink& link_;
  std::string port_;
};

}  // namespace qmr7ctl
