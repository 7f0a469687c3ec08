// The rules of the classic serial enumerations, apart from the system calls that feed them: the
// DOS-device name list, the registry's serial map and the ports class in the registry's device
// tree. Windows feeds them from QueryDosDevice and the registry; tests feed them by hand.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace comport {

// A registry opened read-only. Paths are below the reader's root key, their parts separated by
// "\" ("HARDWARE\DEVICEMAP\SERIALCOMM"). Texts are UTF-8.
class TRegistryReader {
 public:
  static constexpr unsigned long kString = 1;  // REG_SZ

  struct Value {
    std::string name;
    unsigned long type = 0;
    // The data of a string value, without its terminator; empty for other types.
    std::string text;
  };

  virtual ~TRegistryReader() = default;
  // The names of the key's sub-keys; nothing when the key does not open.
  virtual std::optional<std::vector<std::string>> SubKeys(const std::string& path) = 0;
  // The key's values in the registry's order; nothing when the key does not open.
  virtual std::optional<std::vector<Value>> Values(const std::string& path) = 0;
  // One value of the key; nothing when the key does not open or has no such value.
  virtual std::optional<Value> Read(const std::string& path, const std::string& name) = 0;
};

inline constexpr char kSerialMapKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
inline constexpr char kDeviceTreeKey[] = "SYSTEM\\CurrentControlSet\\Enum";
inline constexpr char kPortsClassGuid[] = "{4d36e978-e325-11ce-bfc1-08002be10318}";

// Whether a DOS device name names a serial port: it begins with "COM" or "\\.\COM", letter case
// as written.
bool IsComDeviceName(std::string_view name);

// Appends the names of a zero-separated list (what QueryDosDevice wrote), in its order, skipping
// empty ones; with `comOnly`, only those IsComDeviceName accepts.
void AppendDosDeviceNames(std::vector<std::string>& list, std::u16string_view names, bool comOnly);

// The port names the serial map holds: the data of its string values, in the registry's order.
void AppendSerialMap(std::vector<std::string>& list, TRegistryReader& registry);

// The friendly names of every device instance of the ports setup class in the device tree
// (enumerator, device, instance), in the registry's order. Keys that do not open are skipped.
void AppendPortsClassFriendlyNames(std::vector<std::string>& list, TRegistryReader& registry);

}  // namespace comport
