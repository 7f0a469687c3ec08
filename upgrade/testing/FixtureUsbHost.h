// For tests of the USB walk: a tree of hubs and devices held in memory, answering with the bytes
// a test gives it and recording every request, plus builders for the descriptors.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "upgrade/DfuClass.h"
#include "upgrade/UsbEnum.h"

namespace usbenum::testing {

// A device descriptor's string indices and ids, and what it answers.
struct FixtureDevice {
  UsbConnection connection;
  // Configuration descriptor 0 as the device sends it (a request gets its first wLength bytes);
  // empty: the request fails.
  std::vector<std::uint8_t> config;
  // String descriptors by (index, language); (0, 0) is the language list.
  std::map<std::pair<std::uint8_t, std::uint16_t>, std::vector<std::uint8_t>> strings;
  // A hub: its name for DownstreamHub (empty: the name cannot be had).
  std::string hubName;
};

struct FixtureHub {
  std::optional<int> portCount;  // nullopt: the hub cannot be asked
  std::map<int, FixtureDevice> ports;
  std::map<int, bool> failingPorts;  // ports whose connection request fails
};

struct FixtureRequest {
  std::string hub;
  int port = 0;
  std::uint8_t type = 0;  // 0: the connection request
  std::uint8_t index = 0;
  std::uint16_t language = 0;
  std::uint16_t length = 0;
};

class FixtureUsbHost final : public UsbHost {
 public:
  std::vector<std::string> rootHubs;
  // Root hubs that share a controller, by its name; any other is a controller of its own.
  std::map<std::string, std::string> controllerOf;
  bool countsAgainstCap = true;
  std::map<std::string, FixtureHub> hubs;
  std::vector<FixtureRequest> requests;

  std::vector<std::string> RootHubs() override { return rootHubs; }
  std::string ControllerOf(const std::string& rootHub) override {
    const auto it = controllerOf.find(rootHub);
    return it == controllerOf.end() ? rootHub : it->second;
  }
  bool CountsAgainstControllerCap() const override { return countsAgainstCap; }

  std::optional<int> PortCount(const std::string& hub) override {
    const auto it = hubs.find(hub);
    return it == hubs.end() ? std::nullopt : it->second.portCount;
  }

  std::optional<UsbConnection> Connection(const std::string& hub, int port) override {
    requests.push_back({hub, port});
    FixtureHub& h = hubs[hub];
    if (h.failingPorts[port]) return std::nullopt;
    const FixtureDevice* d = Find(hub, port);
    return d == nullptr ? UsbConnection{} : d->connection;
  }

  std::optional<std::vector<std::uint8_t>> Descriptor(const std::string& hub, int port,
                                                      std::uint8_t type, std::uint8_t index,
                                                      std::uint16_t language,
                                                      std::uint16_t length) override {
    requests.push_back({hub, port, type, index, language, length});
    const FixtureDevice* d = Find(hub, port);
    if (d == nullptr) return std::nullopt;
    std::vector<std::uint8_t> reply;
    if (type == dfu::kConfigDescriptor && index == 0 && !d->config.empty()) {
      reply = d->config;
    } else if (type == dfu::kStringDescriptor) {
      const auto it = d->strings.find({index, language});
      if (it == d->strings.end()) return std::nullopt;
      reply = it->second;
    } else {
      return std::nullopt;
    }
    if (reply.size() > length) reply.resize(length);
    return reply;
  }

  std::optional<std::string> DownstreamHub(const std::string& hub, int port) override {
    const FixtureDevice* d = Find(hub, port);
    if (d == nullptr || d->hubName.empty()) return std::nullopt;
    return d->hubName;
  }

 private:
  const FixtureDevice* Find(const std::string& hub, int port) const {
    const auto h = hubs.find(hub);
    if (h == hubs.end()) return nullptr;
    const auto p = h->second.ports.find(port);
    return p == h->second.ports.end() ? nullptr : &p->second;
  }
};

// A configuration descriptor with one interface: its iConfiguration and the interface's
// iInterface; `extra` descriptors follow the interface. wTotalLength counts everything.
inline std::vector<std::uint8_t> ConfigDescriptor(std::uint8_t iConfiguration,
                                                  std::uint8_t iInterface = 0,
                                                  std::vector<std::uint8_t> extra = {}) {
  std::vector<std::uint8_t> d{9,
                              dfu::kConfigDescriptor,
                              0,
                              0,
                              1,
                              1,
                              iConfiguration,
                              0x80,
                              50,
                              9,
                              dfu::kInterfaceDescriptor,
                              0,
                              0,
                              0,
                              dfu::kInterfaceClass,
                              dfu::kInterfaceSubClass,
                              dfu::kDfuModeProtocol,
                              iInterface};
  for (const std::uint8_t b : extra)
    d.push_back(b);  // not insert: GCC 12 misjudges its bounds here
  d[2] = static_cast<std::uint8_t>(d.size());
  d[3] = static_cast<std::uint8_t>(d.size() >> 8);
  return d;
}

inline std::vector<std::uint8_t> LanguageList(std::vector<std::uint16_t> languages) {
  std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * languages.size()),
                              dfu::kStringDescriptor};
  for (const std::uint16_t l : languages) {
    d.push_back(static_cast<std::uint8_t>(l));
    d.push_back(static_cast<std::uint8_t>(l >> 8));
  }
  return d;
}

inline constexpr std::uint16_t kEnglish = 0x0409;

// A connected device whose configuration string (index 4, US English) is `configString`.
inline FixtureDevice DeviceWithConfigString(const std::string& configString,
                                            std::string deviceName = {}) {
  FixtureDevice d;
  d.connection.status = ConnectionStatus::DeviceConnected;
  d.connection.idVendor = 0x1209;
  d.connection.idProduct = 0x7207;
  d.connection.deviceName = std::move(deviceName);
  d.config = ConfigDescriptor(4);
  d.strings[{0, 0}] = LanguageList({kEnglish});
  d.strings[{4, kEnglish}] = StringDescriptorOf(configString);
  return d;
}

}  // namespace usbenum::testing
