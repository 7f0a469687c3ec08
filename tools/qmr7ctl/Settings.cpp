#include "tools/qmr7ctl/Settings.h"

#include "app/SettingRules.h"
#include "tools/qmr7ctl/Texts.h"
#include "upgrade/UpgradeRun.h"

namespace qmr7ctl {
namespace {

constexpr std::array<std::string_view, 6> kKeyNames = {"speed-dial-1",   "speed-dial-2",
                                                       "speed-dial-3",   "a2dp-percentage",
                                                       "gps-percentage", "gps-sharing"};

std::size_t Index(SettingKey key) {
  return static_cast<std::size_t>(key);
}

// Plain decimal digits only: no sign, no blanks, nothing after.
std::optional<int> PlainNumber(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::string SpeedDialProblem(std::string_view name, std::string_view number) {
  switch (app::CheckSpeedDial(number)) {
    case app::SpeedDialFault::NotDigits:
      return Format(Text::SpeedDialDigitsOnly, {name});
    case app::SpeedDialFault::TooLong:
      return Format(Text::SpeedDialTooLong, {name, std::to_string(app::kMaxSpeedDialDigits)});
    case app::SpeedDialFault::None:
      break;
  }
  return {};
}

std::string PercentageProblem(std::string_view name) {
  return Format(Text::PercentageRange, {name, std::to_string(app::kMinMixPercentage),
                                        std::to_string(app::kMaxMixPercentage)});
}

// A JSON member that must be there with the right type.
const json::Value* Member(const json::Object& object, std::string_view name, std::string& problem) {
  const json::Value* value = object.Find(name);
  if (value == nullptr) problem = "the member \"" + std::string(name) + "\" is missing";
  return value;
}

std::string TypeProblem(std::string_view name, std::string_view expected, const json::Value& v) {
  return "\"" + std::string(name) + "\" must be " + std::string(expected) + ", not " + v.TypeName();
}

}  // namespace

std::string_view KeyName(SettingKey key) {
  return kKeyNames[Index(key)];
}

std::optional<SettingKey> KeyByName(std::string_view name) {
  for (SettingKey key : kAllSettings) {
    if (KeyName(key) == name) return key;
  }
  return std::nullopt;
}

std::string KeyNames() {
  std::string names;
  for (SettingKey key : kAllSettings) {
    if (!names.empty()) names += ", ";
    names += KeyName(key);
  }
  return names;
}

std::string VersionText(int version) {
  return dfu::VersionNumber(version);
}

bool SettingChanges::TouchesSpeedDials() const {
  return speedDials[0] || speedDials[1] || speedDials[2];
}

bool SettingChanges::Empty() const {
  return !TouchesSpeedDials() && !a2dpPercentage && !gpsPercentage && !gpsSharing;
}

DeviceSettings SettingChanges::AppliedTo(DeviceSettings current) const {
  for (std::size_t i = 0; i < 3; ++i) {
    if (speedDials[i]) current.speedDials[i] = *speedDials[i];
  }
  if (a2dpPercentage) current.a2dpPercentage = *a2dpPercentage;
  if (gpsPercentage) current.gpsPercentage = *gpsPercentage;
  if (gpsSharing) current.gpsSharing = *gpsSharing;
  return current;
}

std::string ParseValue(SettingKey key, std::string_view text, SettingChanges& changes) {
  const std::string_view name = KeyName(key);
  switch (key) {
    case SettingKey::SpeedDial1:
    case SettingKey::SpeedDial2:
    case SettingKey::SpeedDial3: {
      if (std::string problem = SpeedDialProblem(name, text); !problem.empty()) return problem;
      changes.speedDials[Index(key)] = std::string(text);
      return {};
    }
    case SettingKey::A2dpPercentage:
    case SettingKey::GpsPercentage: {
      const auto value = PlainNumber(text);
      if (!value || !app::IsMixPercentage(*value)) return PercentageProblem(name);
      (key == SettingKey::A2dpPercentage ? changes.a2dpPercentage : changes.gpsPercentage) = *value;
      return {};
    }
    case SettingKey::GpsSharing:
      if (text == "yes" || text == "1") {
        changes.gpsSharing = 1;
      } else if (text == "no" || text == "0") {
        changes.gpsSharing = 0;
      } else {
        return Format(Text::SharingYesNo, {name});
      }
      return {};
  }
  return {};
}

std::string ParseAssignments(const std::vector<std::string>& args, SettingChanges& changes) {
  std::array<bool, kAllSettings.size()> seen{};
  for (const std::string& arg : args) {
    const auto eq = arg.find('=');
    if (eq == std::string::npos) return Format(Text::NotAnAssignment, {arg});
    const std::string_view name = std::string_view(arg).substr(0, eq);
    const auto key = KeyByName(name);
    if (!key) return Format(Text::UnknownSetting, {name, KeyNames()});
    if (seen[Index(*key)]) return Format(Text::SettingTwice, {name});
    seen[Index(*key)] = true;
    if (std::string problem = ParseValue(*key, std::string_view(arg).substr(eq + 1), changes);
        !problem.empty()) {
      return problem;
    }
  }
  if (changes.Empty()) return Get(Text::NothingToSet);
  return {};
}

std::string CheckSettings(const DeviceSettings& settings) {
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string problem = SpeedDialProblem(KeyName(kAllSettings[i]), settings.speedDials[i]);
    if (!problem.empty()) return problem;
  }
  if (!app::IsMixPercentage(settings.a2dpPercentage)) {
    return PercentageProblem(KeyName(SettingKey::A2dpPercentage));
  }
  if (!app::IsMixPercentage(settings.gpsPercentage)) {
    return PercentageProblem(KeyName(SettingKey::GpsPercentage));
  }
  if (!app::IsGpsSharing(settings.gpsSharing)) {
    return Format(Text::SharingYesNo, {KeyName(SettingKey::GpsSharing)});
  }
  return {};
}

std::optional<std::pair<SettingKey, std::string>> FirstInvalid(const DeviceSettings& settings) {
  for (std::size_t i = 0; i < 3; ++i) {
    if (app::CheckSpeedDial(settings.speedDials[i]) != app::SpeedDialFault::None) {
      return std::pair{kAllSettings[i], settings.speedDials[i]};
    }
  }
  if (!app::IsMixPercentage(settings.a2dpPercentage)) {
    return std::pair{SettingKey::A2dpPercentage, std::to_string(settings.a2dpPercentage)};
  }
  if (!app::IsMixPercentage(settings.gpsPercentage)) {
    return std::pair{SettingKey::GpsPercentage, std::to_string(settings.gpsPercentage)};
  }
  if (!app::IsGpsSharing(settings.gpsSharing)) {
    return std::pair{SettingKey::GpsSharing, std::to_string(settings.gpsSharing)};
  }
  return std::nullopt;
}

json::Value SettingsJson(const DeviceSettings& settings) {
  json::Object object;
  for (std::size_t i = 0; i < 3; ++i)
    object.Set(std::string(KeyName(kAllSettings[i])), settings.speedDials[i]);
  object.Set(std::string(KeyName(SettingKey::A2dpPercentage)), settings.a2dpPercentage);
  object.Set(std::string(KeyName(SettingKey::GpsPercentage)), settings.gpsPercentage);
  // A value outside the rules is shown as the number the headset reported.
  object.Set(std::string(KeyName(SettingKey::GpsSharing)),
             app::IsGpsSharing(settings.gpsSharing) ? json::Value(settings.gpsSharing == 1)
                                                    : json::Value(settings.gpsSharing));
  return object;
}

json::Value DeviceJson(const DeviceInfo& info) {
  return json::Object{
      {"model", info.model}, {"address", info.address}, {"firmware-version", info.firmwareVersion}};
}

std::string BackupText(const DeviceInfo& info, const DeviceSettings& settings) {
  return json::Write(json::Object{{"format", kBackupFormat},
                                  {"version", kBackupVersion},
                                  {"device", DeviceJson(info)},
                                  {"settings", SettingsJson(settings)}});
}

std::string ReadBackup(std::string_view text, DeviceSettings& settings,
                       std::optional<std::int64_t>& newerVersion) {
  auto parsed = json::Parse(text);
  if (const auto* error = std::get_if<json::ParseError>(&parsed)) {
    return "line " + std::to_string(error->line) + ", column " + std::to_string(error->column) +
           ": " + error->what;
  }
  const json::Value& document = std::get<json::Value>(parsed);
  const json::Object* root = document.AsObject();
  if (root == nullptr) return "the document is not a JSON object";

  std::string problem;
  const json::Value* format = Member(*root, "format", problem);
  if (format == nullptr) return problem;
  if (const std::string* name = format->AsString(); name == nullptr || *name != kBackupFormat) {
    return "\"format\" must be \"" + std::string(kBackupFormat) + "\"";
  }
  const json::Value* version = Member(*root, "version", problem);
  if (version == nullptr) return problem;
  const std::int64_t* number = version->AsInt();
  if (number == nullptr) return TypeProblem("version", "a number", *version);
  if (*number > kBackupVersion) {
    newerVersion = *number;
    return "version " + std::to_string(*number);
  }
  if (*number != kBackupVersion) return "there is no version " + std::to_string(*number);
  for (const auto& [name, value] : root->Members()) {
    if (name != "format" && name != "version" && name != "device" && name != "settings") {
      return "unknown member \"" + name + "\"";
    }
    if (name == "device" && value.AsObject() == nullptr) {
      return TypeProblem("device", "an object", value);
    }
  }
  const json::Value* settingsValue = Member(*root, "settings", problem);
  if (settingsValue == nullptr) return problem;
  const json::Object* object = settingsValue->AsObject();
  if (object == nullptr) return TypeProblem("settings", "an object", *settingsValue);

  for (const auto& [name, value] : object->Members()) {
    if (!KeyByName(name)) return Format(Text::UnknownSetting, {name, KeyNames()});
  }
  DeviceSettings read;
  for (SettingKey key : kAllSettings) {
    const std::string name(KeyName(key));
    const json::Value* value = Member(*object, name, problem);
    if (value == nullptr) return problem;
    switch (key) {
      case SettingKey::SpeedDial1:
      case SettingKey::SpeedDial2:
      case SettingKey::SpeedDial3: {
        const std::string* dial = value->AsString();
        if (dial == nullptr) return TypeProblem(name, "a string", *value);
        if (std::string p = SpeedDialProblem(name, *dial); !p.empty()) return p;
        read.speedDials[static_cast<std::size_t>(key)] = *dial;
        break;
      }
      case SettingKey::A2dpPercentage:
      case SettingKey::GpsPercentage: {
        const std::int64_t* n = value->AsInt();
        if (n == nullptr) return TypeProblem(name, "a number", *value);
        if (*n < app::kMinMixPercentage || *n > app::kMaxMixPercentage) {
          return PercentageProblem(name);
        }
        (key == SettingKey::A2dpPercentage ? read.a2dpPercentage : read.gpsPercentage) =
            static_cast<int>(*n);
        break;
      }
      case SettingKey::GpsSharing:
        if (const bool* on = value->AsBool()) {
          read.gpsSharing = *on ? 1 : 0;
        } else {
          return TypeProblem(name, "true or false", *value);
        }
        break;
    }
  }
  settings = read;
  return {};
}

}  // namespace qmr7ctl
