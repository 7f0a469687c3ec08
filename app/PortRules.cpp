#include "app/PortRules.h"

#include <cctype>
#include <utility>

#include "resources/TextCatalog.h"

namespace app {
namespace {

struct PortKey {
  std::string prefix;
  unsigned long number = 0;
  bool hasNumber = false;

  explicit PortKey(std::string_view name) {
    std::size_t end = name.size();
    while (end > 0 && std::isdigit(static_cast<unsigned char>(name[end - 1])) != 0)
      --end;
    prefix = std::string(name.substr(0, end));
    for (char& c : prefix)
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    // Longer digit runs would not fit the number; such names sort by their prefix alone.
    hasNumber = end < name.size() && name.size() - end <= 9;
    if (hasNumber) number = std::stoul(std::string(name.substr(end)));
  }

  bool operator<(const PortKey& o) const {
    if (prefix != o.prefix) return prefix < o.prefix;
    if (hasNumber != o.hasNumber) return !hasNumber;
    return number < o.number;
  }
};

}  // namespace

std::optional<platform::PortInfo> PortTableEntry(const platform::PortInfo& port) {
  // Cut, a name would name another device.
  if (resources::CharCount(port.name) > kMaxPortText) return std::nullopt;
  return platform::PortInfo{port.name, resources::TruncateChars(port.description, kMaxPortText)};
}

bool PortNameLess(std::string_view a, std::string_view b) {
  return PortKey(a) < PortKey(b);
}

void SortPortTable(std::span<std::string> names, std::span<std::string> descriptions) {
  const std::size_t count = names.size();
  for (std::size_t i = 0; i + 1 < count; ++i) {
    for (std::size_t j = i + 1; j < count; ++j) {
      if (PortNameLess(names[j], names[i])) {
        std::swap(names[i], names[j]);
        std::swap(descriptions[i], descriptions[j]);
      }
    }
  }
}

std::string DevicePathForm(std::string_view name) {
  if (name.starts_with('/') || name.starts_with("\\\\.\\")) return std::string(name);
  const bool windowsPort = name.size() > 3 &&
                           std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
                           std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
                           std::toupper(static_cast<unsigned char>(name[2])) == 'M' &&
                           std::isdigit(static_cast<unsigned char>(name[3])) != 0;
  return windowsPort ? "\\\\.\\" + std::string(name) : "/dev/" + std::string(name);
}

std::string PortListLine(std::string_view name, std::string_view description) {
  return std::string(name) + "  -  " + std::string(description);
}

bool IsUsbDescription(std::string_view description) {
  if (description.size() < 3) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(description[i])) != "USB"[i]) return false;
  }
  return true;
}

int PreselectedPort(std::span<const std::string> descriptions) {
  for (std::size_t i = 0; i < descriptions.size(); ++i) {
    if (IsUsbDescription(descriptions[i])) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace app
