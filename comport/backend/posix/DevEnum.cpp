// The four enumerators on Linux.
#include "comport/backend/posix/DevEnum.h"

#include <sys/stat.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace comport {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSerialPrefixes[] = {"ttyS",   "ttyUSB",   "ttyACM", "ttyAMA", "ttymxc",
                                                "ttySAC", "ttyO",     "ttyTHS", "ttyHS",  "ttyMSM",
                                                "ttyGS",  "ttyXRUSB", "rfcomm"};

fs::path Below(const std::string& root, std::string_view absolute) {
  return fs::path(root.empty() ? "/" : root) / fs::path(absolute).relative_path();
}

// The names in a folder, in byte order; none when it cannot be read.
std::vector<std::string> FolderNames(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Device nodes and links name devices; folders, files, pipes and sockets do not.
bool IsDeviceEntry(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return false;
  return S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISLNK(st.st_mode);
}

template <typename Accept>
void AppendDevNodes(std::vector<std::string>& list, const std::string& root, Accept accept) {
  const fs::path dev = Below(root, "/dev");
  for (const std::string& name : FolderNames(dev)) {
    if (!name.empty() && accept(name) && IsDeviceEntry(dev / name)) list.push_back("/dev/" + name);
  }
}

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// A tty the kernel drives on hardware: not a console, a pseudo-terminal or an empty UART slot.
bool HasDriver(const fs::path& tty) {
  std::error_code ec;
  if (!fs::exists(tty / "device" / "driver", ec)) return false;
  if (!fs::exists(tty / "type", ec)) return true;
  const std::string type = FirstLine(tty / "type");
  return !type.empty() && type != "0";
}

}  // namespace

std::span<const std::string_view> SerialPortPrefixes() {
  return kSerialPrefixes;
}

bool IsSerialPortName(std::string_view nodeName) {
  return std::any_of(std::begin(kSerialPrefixes), std::end(kSerialPrefixes),
                     [&](std::string_view prefix) { return nodeName.starts_with(prefix); });
}

void AppendDevices(std::vector<std::string>& list, const std::string& root) {
  AppendDevNodes(list, root, [](const std::string&) { return true; });
}

void AppendComDevices(std::vector<std::string>& list, const std::string& root) {
  AppendDevNodes(list, root, [](const std::string& name) { return IsSerialPortName(name); });
}

void AppendComDevicesFromDriverMap(std::vector<std::string>& list, const std::string& root) {
  const fs::path ttys = Below(root, "/sys/class/tty");
  for (const std::string& name : FolderNames(ttys)) {
    if (HasDriver(ttys / name)) list.push_back("/dev/" + name);
  }
}

void AppendComFriendlyNames(std::vector<std::string>& list, platform::PortEnumerator& ports) {
  try {
    for (const platform::PortInfo& port : ports.Enumerate()) {
      if (!port.description.empty()) list.push_back(port.description);
    }
  } catch (const std::exception&) {
    // A registry that cannot be read lists nothing; enumeration never raises.
  }
}

}  // namespace comport
