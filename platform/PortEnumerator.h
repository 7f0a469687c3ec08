// The serial ports present on the machine, each with a device description.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct PortInfo {
  std::string name;         // what opens it: a device path such as /dev/ttyACM0
  std::string description;  // "USB Serial Device (<product>)", "Serial Port (<kernel name>)"
};

class PortEnumerator {
 public:
  virtual ~PortEnumerator() = default;
  // In discovery order; the caller sorts.
  virtual std::vector<PortInfo> Enumerate() = 0;
};

// A fixed list, for tests and for machines without device discovery.
class FixedPortEnumerator final : public PortEnumerator {
 public:
  explicit FixedPortEnumerator(std::vector<PortInfo> list = {}) : ports(std::move(list)) {}
  std::vector<PortInfo> Enumerate() override { return ports; }
  std::vector<PortInfo> ports;
};

}  // namespace platform
