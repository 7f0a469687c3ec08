// The defaults file.
#include "comport/backend/posix/PortDefaultsFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <sstream>
#include <string_view>
#include <vector>

#include "platform/Folders.h"
#include "toolkit/AtomicFile.h"
#include "toolkit/SmallFile.h"

namespace comport {
namespace {

toolkit::Error Fail(int code, std::string op) {
  return toolkit::ErrnoError(code, std::move(op));
}

struct Choice {
  std::string_view word;
  std::uint32_t value;
};

constexpr Choice kParities[] = {{"n", 0}, {"o", 1}, {"e", 2}, {"m", 3}, {"s", 4}};
constexpr Choice kStopBits[] = {{"1", 0}, {"1.5", 1}, {"2", 2}};
constexpr Choice kDtr[] = {
    {"off", dcb::DtrDisable}, {"on", dcb::DtrEnable}, {"hs", dcb::DtrHandshake}};
constexpr Choice kRts[] = {{"off", dcb::RtsDisable},
                           {"on", dcb::RtsEnable},
                           {"hs", dcb::RtsHandshake},
                           {"toggle", dcb::RtsToggle}};
struct FlagKey {
  std::string_view key;
  std::uint32_t flag;
};
constexpr FlagKey kFlags[] = {{"octs", dcb::fOutxCtsFlow},
                              {"odsr", dcb::fOutxDsrFlow},
                              {"idsr", dcb::fDsrSensitivity},
                              {"xin", dcb::fInX},
                              {"xout", dcb::fOutX}};

template <std::size_t N>
std::string_view WordOf(const Choice (&choices)[N], std::uint32_t value) {
  for (const Choice& c : choices) {
    if (c.value == value) return c.word;
  }
  return choices[1].word;
}

template <std::size_t N>
bool ValueOf(const Choice (&choices)[N], std::string_view word, std::uint32_t& value) {
  for (const Choice& c : choices) {
    if (c.word == word) {
      value = c.value;
      return true;
    }
  }
  return false;
}

bool Number(std::string_view text, std::uint32_t& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// One key=value word; what this version does not understand changes nothing.
void ApplyWord(std::string_view key, std::string_view value, TDcb& dcb) {
  std::uint32_t v = 0;
  if (key == "baud" && Number(value, v) && v != 0) dcb.BaudRate = v;
  if (key == "data" && Number(value, v) && v >= 4 && v <= 9)
    dcb.ByteSize = static_cast<std::uint8_t>(v);
  if (key == "parity" && ValueOf(kParities, value, v)) dcb.Parity = static_cast<std::uint8_t>(v);
  if (key == "stop" && ValueOf(kStopBits, value, v)) dcb.StopBits = static_cast<std::uint8_t>(v);
  if (key == "dtr" && ValueOf(kDtr, value, v)) {
    dcb.Flags = (dcb.Flags & ~dcb::fDtrControlMask) | v;
  }
  if (key == "rts" && ValueOf(kRts, value, v)) {
    dcb.Flags = (dcb.Flags & ~dcb::fRtsControlMask) | v;
  }
  for (const FlagKey& f : kFlags) {
    if (key != f.key) continue;
    if (value == "on") dcb.Flags |= f.flag;
    if (value == "off") dcb.Flags &= ~f.flag;
  }
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;)
    words.push_back(w);
  return words;
}

// A file of one line per port; one this large is not a defaults file.
constexpr std::size_t kMaxFileSize = std::size_t{1} << 20;

// The whole file; `text` empty and success when it does not exist. Whatever else stands there (a
// named pipe, a link to an endless device) fails at once.
toolkit::Error ReadFile(const std::string& path, std::string& text) {
  text.clear();
  if (path.empty()) return {};
  const toolkit::Error e = toolkit::ReadSmallFile(path, kMaxFileSize, text);
  if (e.code == ENOENT) return {};
  // The component reports a code with the system's own text for it.
  return e ? Fail(e.code, e.op) : e;
}

// A port name is what a line's first word can hold, and names a device that is there.
toolkit::Error CheckPort(const std::string& name) {
  if (name.empty() || Words(name).size() != 1 || name.front() == '#')
    return Fail(EINVAL, "name the port");
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) return Fail(errno, "find " + name);
  if (!S_ISCHR(st.st_mode)) return Fail(ENOTTY, "find " + name);
  return {};
}

}  // namespace

std::string FormatDefaultsLine(const std::string& name, const TDcb& dcb) {
  std::string line =
      name + " baud=" + std::to_string(dcb.BaudRate) + " data=" + std::to_string(dcb.ByteSize);
  line += " parity=" + std::string(WordOf(kParities, dcb.Parity));
  line += " stop=" + std::string(WordOf(kStopBits, dcb.StopBits));
  line += " dtr=" + std::string(WordOf(kDtr, dcb.Flags & dcb::fDtrControlMask));
  line += " rts=" + std::string(WordOf(kRts, dcb.Flags & dcb::fRtsControlMask));
  for (const FlagKey& f : kFlags) {
    line += " " + std::string(f.key) + ((dcb.Flags & f.flag) != 0 ? "=on" : "=off");
  }
  return line;
}

bool ParseDefaultsLine(const std::string& line, std::string& name, TDcb& dcb) {
  const std::vector<std::string> words = Words(line);
  if (words.empty() || words.front().front() == '#') return false;
  name = words.front();
  dcb = BuiltInDefaultDcb();
  for (std::size_t i = 1; i < words.size(); ++i) {
    const std::string_view word = words[i];
    const auto eq = word.find('=');
    if (eq != std::string_view::npos) ApplyWord(word.substr(0, eq), word.substr(eq + 1), dcb);
  }
  return true;
}

std::string DefaultCommConfigPath() {
  const std::string folder = platform::UserAppDataFolder();
  return folder.empty() ? std::string() : folder + "/comport/port-defaults";
}

toolkit::Error GetDefaultCommConfig(const std::string& name, TCommConfig& config,
                                    const std::string& file) {
  if (config.dwSize < kCommConfigSize) return Fail(EINVAL, "read the configuration record");
  if (toolkit::Error e = CheckPort(name)) return e;
  std::string text;
  if (toolkit::Error e = ReadFile(file, text)) return e;
  TDcb dcb = BuiltInDefaultDcb();
  std::istringstream lines(text);
  for (std::string line, lineName; std::getline(lines, line);) {
    TDcb parsed;
    if (ParseDefaultsLine(line, lineName, parsed) && lineName == name) dcb = parsed;
  }
  config.wVersion = 1;
  config.dcb = dcb;
  config.dwProviderSubType = kProviderRs232;
  return {};
}

toolkit::Error SetDefaultCommConfig(const std::string& name, const TCommConfig& config,
                                    const std::string& file) {
  if (config.dwSize < kCommConfigSize) return Fail(EINVAL, "read the configuration record");
  if (toolkit::Error e = CheckPort(name)) return e;
  if (file.empty()) return Fail(ENOENT, "find the defaults file");
  std::string text;
  if (toolkit::Error e = ReadFile(file, text)) return e;

  const std::string ours = FormatDefaultsLine(name, config.dcb);
  std::string out;
  bool replaced = false;
  std::istringstream lines(text);
  for (std::string line, lineName; std::getline(lines, line);) {
    TDcb parsed;
    if (ParseDefaultsLine(line, lineName, parsed) && lineName == name) {
      if (replaced) continue;  // one line per port
      line = ours;
      replaced = true;
    }
    out += line + "\n";
  }
  if (!replaced) out += ours + "\n";

  platform::CreateFolder(std::filesystem::path(file).parent_path().string());
  return toolkit::WriteFileAtomically(file, out);
}

}  // namespace comport
