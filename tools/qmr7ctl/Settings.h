// The headset's settings as qmr7ctl names them, the window's rules for their values, the
// KEY=VALUE form of `qmr7ctl set` and the settings backup file.
//
// Backup file, format "qmr7-settings" version 1 (UTF-8 JSON, members in any order):
//   {
//     "format": "qmr7-settings",
//     "version": 1,
//     "device": { "model": "QMR7", "address": "...", "firmware-version": 123 },
//     "settings": {
//       "speed-dial-1": "0312", "speed-dial-2": "", "speed-dial-3": "",
//       "a2dp-percentage": 20, "gps-percentage": 20, "gps-sharing": true
//     }
//   }
// "device" says where the backup came from and is not restored. Every setting is required; a
// member this version does not know is refused, so a misspelt name never passes unnoticed.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/qmr7ctl/Json.h"

namespace qmr7ctl {

struct DeviceSettings {
  std::array<std::string, 3> speedDials;
  int a2dpPercentage = 0;
  int gpsPercentage = 0;
  int gpsSharing = 0;

  friend bool operator==(const DeviceSettings&, const DeviceSettings&) = default;
};

struct DeviceInfo {
  int identity = 0;
  int firmwareVersion = 0;
  std::string model;
  std::string address;
};

enum class SettingKey {
  SpeedDial1,
  SpeedDial2,
  SpeedDial3,
  A2dpPercentage,
  GpsPercentage,
  GpsSharing
};

inline constexpr std::array<SettingKey, 6> kAllSettings = {
    SettingKey::SpeedDial1,     SettingKey::SpeedDial2,    SettingKey::SpeedDial3,
    SettingKey::A2dpPercentage, SettingKey::GpsPercentage, SettingKey::GpsSharing};

std::string_view KeyName(SettingKey key);
std::optional<SettingKey> KeyByName(std::string_view name);
// "speed-dial-1, speed-dial-2, ...", for messages.
std::string KeyNames();

// The firmware version as the window shows it after its label: "V1.23" for 123.
std::string VersionText(int version);

// Settings to change: only the keys given carry a value.
struct SettingChanges {
  std::array<std::optional<std::string>, 3> speedDials;
  std::optional<int> a2dpPercentage;
  std::optional<int> gpsPercentage;
  std::optional<int> gpsSharing;

  bool TouchesSpeedDials() const;
  bool Empty() const;
  // `current` with these changes.
  DeviceSettings AppliedTo(DeviceSettings current) const;
};

// Problems are returned as text in the user's language, empty when there is none.
//
// Parses `set` arguments; a key given twice, an unknown key or a value the window would not take
// is a problem, reported for the first argument that has one.
std::string ParseAssignments(const std::vector<std::string>& args, SettingChanges& changes);

// The window's rule for one value, as text ("0312", "20", "yes"). Speed dials keep their text;
// numbers are plain digits; sharing is yes/no (also 1/0).
std::string ParseValue(SettingKey key, std::string_view text, SettingChanges& changes);

// Whether every value is one the window would send; the first problem otherwise.
std::string CheckSettings(const DeviceSettings& settings);

// The first value the window would not send, with the text of that value; for values the headset
// reported.
std::optional<std::pair<SettingKey, std::string>> FirstInvalid(const DeviceSettings& settings);

json::Value SettingsJson(const DeviceSettings& settings);
json::Value DeviceJson(const DeviceInfo& info);

// The backup file's text.
std::string BackupText(const DeviceInfo& info, const DeviceSettings& settings);

// Reads a backup file's text. Returns the problem (without the file's name), empty on success.
// `newerVersion` is set when the file is of a later format version than this one reads.
std::string ReadBackup(std::string_view text, DeviceSettings& settings,
                       std::optional<std::int64_t>& newerVersion);

inline constexpr char kBackupFormat[] = "qmr7-settings";
inline constexpr int kBackupVersion = 1;

}  // namespace qmr7ctl
