#include "sim/StateFile.h"

#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "toolkit/AtomicFile.h"

namespace sim {
namespace {

bool ParseInt(const std::string& text, int low, int high, int& value) {
  int parsed = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return false;
  if (parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

bool IsSpeedDial(const std::string& text) {
  return text.size() <= kMaxSpeedDialDigits &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

std::string Format(const HeadsetState& state) {
  const Settings& s = state.settings;
  std::string text = "# Virtual QM-R7 headset: what it remembers between runs.\nformat=1\n";
  for (std::size_t i = 0; i < s.speedDials.size(); ++i) {
    text += "speed_dial_" + std::to_string(i + 1) + "=" + s.speedDials[i] + "\n";
  }
  text += "a2dp_percentage=" + std::to_string(s.a2dpPercentage) + "\n";
  text += "gps_percentage=" + std::to_string(s.gpsPercentage) + "\n";
  text += "gps_sharing=" + std::to_string(s.gpsSharing) + "\n";
  text += "firmware_version=" + std::to_string(state.info.firmwareVersion) + "\n";
  text += "model_name=" + state.info.modelName + "\n";
  text += "address=" + state.info.address + "\n";
  return text;
}

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
  throw std::runtime_error(what + " " + path + ": " + toolkit::ErrnoText(error));
}

}  // namespace

std::string DefaultStatePath() {
  const char* stateHome = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  std::string base;
  if (stateHome != nullptr && stateHome[0] == '/') {
    base = stateHome;
  } else if (home != nullptr && home[0] == '/') {
    base = std::string(home) + "/.local/state";
  } else {
    base = std::filesystem::temp_directory_path().string() + "/qmr7-sim-" +
           std::to_string(::geteuid());
  }
  return base + "/qmr7-sim/state";
}

HeadsetState LoadState(const std::string& path) {
  HeadsetState state;
  std::ifstream file(path);
  std::string line;
  Settings& s = state.settings;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    if (key.rfind("speed_dial_", 0) == 0 && key.size() == 12 && key[11] >= '1' && key[11] <= '3') {
      if (IsSpeedDial(value)) s.speedDials[static_cast<std::size_t>(key[11] - '1')] = value;
    } else if (key == "a2dp_percentage") {
      ParseInt(value, 1, 100, s.a2dpPercentage);
    } else if (key == "gps_percentage") {
      ParseInt(value, 1, 100, s.gpsPercentage);
    } else if (key == "gps_sharing") {
      ParseInt(value, 0, 1, s.gpsSharing);
    } else if (key == "firmware_version") {
      ParseInt(value, 0, 65535, state.info.firmwareVersion);
    } else if (key == "model_name" && !value.empty()) {
      state.info.modelName = value;
    } else if (key == "address" && !value.empty()) {
      state.info.address = value;
    }
  }
  return state;
}

void SaveState(const std::string& path, const HeadsetState& state) {
  const std::filesystem::path target(path);
  std::error_code error;
  if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), error);
  if (error) Fail("create folder for", path, error.value());

  if (const toolkit::Error e = toolkit::WriteFileAtomically(path, Format(state), 0600)) {
    throw std::runtime_error(toolkit::Describe(e));
  }
}

}  // namespace sim
