#include "sim/Headset.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "app/DeviceCommands.h"

namespace sim {
namespace {

namespace cmd = app::cmd;

constexpr std::string_view kCommandPrefix = "AT+FPCMD1=";
constexpr std::string_view kLineEnd = "\r\n";

// Lines a real headset might send on its own: battery and link indications, and a status tag of
// another command set that a careless prefix match would take for ours.
constexpr std::string_view kNoiseLines[] = {"+FPIND1=BATT,87", "+FPSTS2=1,0", "RING"};

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// A plain run of decimal digits (no sign, no blanks) within [low, high].
std::optional<int> ParseInRange(std::string_view text, int low, int high) {
  if (text.empty() || text.size() > 9 || !AllDigits(text)) return std::nullopt;
  int value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  if (value < low || value > high) return std::nullopt;
  return value;
}

std::vector<std::string_view> SplitArguments(std::string_view text) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto comma = text.find(',');
    parts.push_back(text.substr(0, comma));
    if (comma == std::string_view::npos) return parts;
    text.remove_prefix(comma + 1);
  }
}

// The argument count of each code the device knows; -1 for an unknown code.
int ArgumentCount(int code) {
  switch (code) {
    case cmd::ReadSpeedDial1:
    case cmd::ReadSpeedDial2:
    case cmd::ReadSpeedDial3:
    case cmd::ReadA2dpPercentage:
    case cmd::ReadGpsAudio:
    case cmd::ReadIdentity:
    case cmd::ReadFirmwareVersion:
    case cmd::ReadModelName:
    case cmd::ReadDeviceAddress:
    case cmd::EnterUpgradeMode:
    case cmd::RestoreDefaults:
      return 0;
    case cmd::WriteSpeedDial1:
    case cmd::WriteSpeedDial2:
    case cmd::WriteSpeedDial3:
    case cmd::WriteA2dpPercentage:
      return 1;
    case cmd::WriteGpsAudio:
      return 2;
    default:
      return -1;
  }
}

// Which of the three speed dials a read or write code is about.
std::size_t SpeedDialIndex(int code) {
  const int first = code >= cmd::WriteSpeedDial1 ? cmd::WriteSpeedDial1 : cmd::ReadSpeedDial1;
  return static_cast<std::size_t>(code - first);
}

}  // namespace

std::string AddFault(std::string_view text, Faults& faults) {
  const auto eq = text.find('=');
  const std::string_view name = text.substr(0, eq);
  const std::string_view value = eq == std::string_view::npos ? "" : text.substr(eq + 1);
  const bool hasValue = eq != std::string_view::npos;
  const std::pair<std::string_view, bool*> flags[] = {{"silent", &faults.silent},
                                                      {"ok-only", &faults.okOnly},
                                                      {"wrong-identity", &faults.wrongIdentity},
                                                      {"split", &faults.split},
                                                      {"noise", &faults.noise}};
  for (const auto& [flagName, flag] : flags) {
    if (name != flagName) continue;
    if (hasValue) return "fault '" + std::string(name) + "' takes no value";
    *flag = true;
    return {};
  }
  if (name == "slow") {
    const auto ms = ParseInRange(value, 0, 600000);
    if (!ms) return "slow needs a time in milliseconds, for example slow=1500";
    faults.slow = std::chrono::milliseconds(*ms);
    return {};
  }
  if (name == "unplug-after") {
    const auto count = ParseInRange(value, 1, 1000000);
    if (!count) return "unplug-after needs a number of commands of at least 1";
    faults.unplugAfter = *count;
    return {};
  }
  return "unknown fault '" + std::string(text) + "'";
}

std::string Reply::Bytes() const {
  std::string bytes;
  for (const auto& chunk : chunks)
    bytes += chunk.bytes;
  return bytes;
}

Headset::Headset(HeadsetState state, Faults faults, Timing timing)
    : state_(std::move(state)), faults_(faults), timing_(timing) {}

Reply Headset::Receive(std::string_view bytes) {
  Reply reply;
  for (const char c : bytes) {
    if (reply.departure != Departure::None) break;
    if (c != '\r' && c != '\n') {
      if (line_.size() < kMaxLineLength) {
        line_ += c;
      } else {
        overflow_ = true;
      }
      continue;
    }
    if (line_.empty() && !overflow_) continue;
    HandleLine(line_, reply);
    line_.clear();
    overflow_ = false;
  }
  if (reply.departure != Departure::None) Reattach();
  return reply;
}

void Headset::HandleLine(std::string_view line, Reply& reply) {
  ++lines_;
  reply.heard.emplace_back(overflow_ ? std::string_view() : line);
  if (!faults_.silent) {
    std::vector<std::string> lines = Answer(overflow_ ? "" : line, reply);
    if (faults_.noise) {
      // The echo of a modem with echo on, and an unrelated line right after the first answer line
      // (between OK and the status line).
      lines.emplace(lines.begin() + 1, kNoiseLines[noiseTurn_++ % std::size(kNoiseLines)]);
      lines.emplace(lines.begin(), line);
    }
    Emit(lines, reply);
  }
  if (faults_.unplugAfter && lines_ >= *faults_.unplugAfter) reply.departure = Departure::Unplug;
}

std::vector<std::string> Headset::Answer(std::string_view line, Reply& reply) {
  const std::string error = "ERROR";
  if (EqualsIgnoreCase(line, "AT")) return {"OK"};
  if (line.size() < kCommandPrefix.size() ||
      !EqualsIgnoreCase(line.substr(0, kCommandPrefix.size()), kCommandPrefix)) {
    return {error};
  }
  std::vector<std::string_view> parts = SplitArguments(line.substr(kCommandPrefix.size()));
  const auto code = ParseInRange(parts.front(), 0, 999);
  if (!code || ArgumentCount(*code) != static_cast<int>(parts.size()) - 1) return {error};
  parts.erase(parts.begin());

  Settings& settings = state_.settings;
  const Settings before = settings;
  switch (*code) {
    case cmd::WriteSpeedDial1:
    case cmd::WriteSpeedDial2:
    case cmd::WriteSpeedDial3:
      if (parts[0].size() <= kMaxSpeedDialDigits && AllDigits(parts[0])) {
        settings.speedDials[SpeedDialIndex(*code)] = std::string(parts[0]);
      }
      break;
    case cmd::WriteA2dpPercentage:
      if (const auto p = ParseInRange(parts[0], 1, 100)) settings.a2dpPercentage = *p;
      break;
    case cmd::WriteGpsAudio: {
      const auto p = ParseInRange(parts[0], 1, 100);
      const auto s = ParseInRange(parts[1], 0, 1);
      if (p && s) {
        settings.gpsPercentage = *p;
        settings.gpsSharing = *s;
      }
      break;
    }
    case cmd::RestoreDefaults:
      settings = Settings{};
      break;
    case cmd::EnterUpgradeMode:
      reply.departure = Departure::UpgradeMode;
      break;
    default:
      break;
  }
  reply.stateChanged = reply.stateChanged || settings != before;

  if (faults_.okOnly) return {"OK"};
  return {"OK", StatusFor(*code)};
}

std::string Headset::StatusFor(int code) const {
  const Settings& s = state_.settings;
  const std::string tag = "+FPSTS1=" + std::to_string(code);
  switch (code) {
    case cmd::ReadIdentity:
      return tag + "," + std::to_string(faults_.wrongIdentity ? kWrongIdentity : kIdentity);
    case cmd::ReadFirmwareVersion:
      return tag + "," + std::to_string(state_.info.firmwareVersion);
    case cmd::ReadModelName:
      return tag + "," + state_.info.modelName;
    case cmd::ReadDeviceAddress:
      return tag + "," + state_.info.address;
    case cmd::ReadSpeedDial1:
    case cmd::ReadSpeedDial2:
    case cmd::ReadSpeedDial3:
    case cmd::WriteSpeedDial1:
    case cmd::WriteSpeedDial2:
    case cmd::WriteSpeedDial3:
      return tag + "," + s.speedDials[SpeedDialIndex(code)];
    case cmd::ReadA2dpPercentage:
    case cmd::WriteA2dpPercentage:
      return tag + "," + std::to_string(s.a2dpPercentage);
    case cmd::ReadGpsAudio:
    case cmd::WriteGpsAudio:
      return tag + "," + std::to_string(s.gpsPercentage) + "," + std::to_string(s.gpsSharing);
    default:
      return tag;
  }
}

void Headset::Emit(const std::vector<std::string>& lines, Reply& reply) const {
  std::chrono::milliseconds pause = faults_.slow;
  for (const auto& text : lines) {
    const std::string line = text + std::string(kLineEnd);
    if (!faults_.split) {
      if (reply.chunks.empty() || pause.count() != 0) {
        reply.chunks.push_back({pause, line});
      } else {
        reply.chunks.back().bytes += line;
      }
      pause = std::chrono::milliseconds(0);
      continue;
    }
    // Three pieces: the first half, the rest up to the CR, and the LF alone, so that both a
    // half line and a CR without its LF reach the tool.
    const std::size_t half = (line.size() - 1) / 2;
    const std::size_t cuts[] = {0, half, line.size() - 1, line.size()};
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
      if (cuts[i] == cuts[i + 1]) continue;
      reply.chunks.push_back({pause, line.substr(cuts[i], cuts[i + 1] - cuts[i])});
      pause = timing_.splitGap;
    }
  }
}

}  // namespace sim
