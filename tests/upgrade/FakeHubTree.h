// A USB tree as the system's host-controller and hub requests see it: host controllers by number,
// hubs by name, on each port a device with its connection record, descriptors and, for a hub, the
// name of the hub below. Requests are answered byte for byte as the system's driver answers them,
// and every open, request and close is recorded, so a test sees the exact buffers the walk sent.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "toolkit/Utf.h"
#include "upgrade/DfuClass.h"
#include "upgrade/UsbIoctl.h"

namespace usbioctl::testing {

struct FakeDevice {
  std::uint32_t status = 1;  // DeviceConnected
  bool isHub = false;
  std::uint16_t idVendor = 0x1209;
  std::uint16_t idProduct = 0x7207;
  std::uint8_t iManufacturer = 0;
  std::uint8_t iProduct = 0;
  std::uint8_t iSerialNumber = 0;
  // Configuration descriptor 0 as the device sends it; empty: the request fails.
  std::vector<std::uint8_t> config;
  // String descriptors by (index, language); (0, 0) is the language list.
  std::map<std::pair<std::uint8_t, std::uint16_t>, std::vector<std::uint8_t>> strings;
  // The hub below this port; empty: the name request fails.
  std::string hubName;
};

struct FakeHub {
  std::uint8_t ports = 4;
  std::map<std::uint32_t, FakeDevice> devices;
};

// One request: the device's path, the code, the bytes that went in and the room for the reply,
// and the request record's fields as they were sent.
struct FakeCall {
  std::string path;
  std::uint32_t code = 0;
  std::size_t in = 0;
  std::size_t out = 0;
  std::uint32_t connectionIndex = 0;  // the first 32 bits, when the record went in
  std::uint16_t wValue = 0;           // descriptor requests only
  std::uint16_t wIndex = 0;
  std::uint16_t wLength = 0;
};

inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorGenFailure = 31;

class FakeHubTree final : public UsbIo {
 public:
  std::map<int, std::string> controllers;  // HCD number: its root hub's name
  std::map<std::string, FakeHub> hubs;
  std::vector<FakeCall> calls;
  std::vector<std::string> events;  // "open <path>", "close <path>"
  // Sees every reply before the walk does and may change it: the bytes, and the byte count
  // (nullopt: the request fails).
  std::function<void(const FakeCall&, std::span<std::uint8_t>, std::optional<std::uint32_t>&)>
      tamper;

  std::unique_ptr<UsbIoDevice> Open(const std::string& path) override {
    bool known = false;
    for (const auto& [n, root] : controllers)
      known = known || path == "\\\\.\\HCD" + std::to_string(n);
    for (const auto& [name, hub] : hubs)
      known = known || path == "\\\\.\\" + name;
    if (!known) return nullptr;
    events.push_back("open " + path);
    return std::make_unique<Device>(*this, path);
  }

  int OpenDevices() const {
    int open = 0;
    for (const std::string& e : events)
      open += e.rfind("open ", 0) == 0 ? 1 : -1;
    return open;
  }

 private:
  class Device final : public UsbIoDevice {
   public:
    Device(FakeHubTree& tree, std::string path) : tree_(tree), path_(std::move(path)) {}
    ~Device() override { tree_.events.push_back("close " + path_); }

    std::optional<std::uint32_t> Control(std::uint32_t code, std::span<std::uint8_t> buffer,
                                         std::size_t inBytes) override {
      FakeCall call{path_, code, inBytes, buffer.size()};
      if (inBytes >= 4) call.connectionIndex = Get32(buffer, 0);
      if (code == kGetDescriptorFromNodeConnection && inBytes >= kDescriptorRequestSize) {
        call.wValue = Get16(buffer, kSetupValue);
        call.wIndex = Get16(buffer, kSetupIndex);
        call.wLength = Get16(buffer, kSetupLength);
      }
      tree_.calls.push_back(call);
      std::optional<std::uint32_t> got = tree_.Answer(path_, call, buffer);
      error_ = got ? 0 : kErrorGenFailure;
      if (tree_.tamper) tree_.tamper(call, buffer, got);
      return got;
    }

    std::uint32_t LastError() const override { return error_; }

   private:
    FakeHubTree& tree_;
    std::string path_;
    std::uint32_t error_ = 0;
  };

  // Copies what fits and returns how much did, as the driver does for a buffer too small.
  static std::uint32_t Fill(std::span<std::uint8_t> buffer, const std::vector<std::uint8_t>& bytes,
                            std::size_t at = 0) {
    std::size_t n = 0;
    for (; n < bytes.size() && at + n < buffer.size(); ++n)
      buffer[at + n] = bytes[n];
    return static_cast<std::uint32_t>(at + n);
  }

  // A name record: ActualLength at `lengthAt`, the name with its NUL from `textAt`.
  static std::uint32_t NameRecord(std::span<std::uint8_t> buffer, const std::string& name,
                                  std::size_t lengthAt, std::size_t textAt) {
    std::vector<std::uint8_t> text;
    for (const char16_t unit : toolkit::Utf8ToUtf16(name) + u'\0') {
      text.push_back(static_cast<std::uint8_t>(unit));
      text.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    if (buffer.size() < lengthAt + 4) return 0;
    Put32(buffer, lengthAt, static_cast<std::uint32_t>(textAt + text.size()));
    return Fill(buffer, text, textAt);
  }

  std::optional<std::uint32_t> Answer(const std::string& path, const FakeCall& call,
                                      std::span<std::uint8_t> buffer) {
    for (const auto& [n, root] : controllers) {
      if (path != "\\\\.\\HCD" + std::to_string(n)) continue;
      if (call.code != kGetRootHubName) return std::nullopt;
      return NameRecord(buffer, root, 0, kRootHubNameText);
    }
    FakeHub& hub = hubs.at(path.substr(4));
    if (call.code == kGetNodeInformation) {
      if (call.in < kNodeInformationSize) return std::nullopt;
      std::vector<std::uint8_t> info(kNodeInformationSize);
      info[4] = 9;
      info[5] = 0x29;  // hub descriptor
      info[kNodeNumberOfPorts] = hub.ports;
      return Fill(buffer, info);
    }
    if (call.connectionIndex < 1 || call.connectionIndex > hub.ports) return std::nullopt;
    const auto it = hub.devices.find(call.connectionIndex);
    const FakeDevice* device = it == hub.devices.end() ? nullptr : &it->second;
    switch (call.code) {
      case kGetNodeConnectionInformation:
        return Connection(buffer, call.connectionIndex, device);
      case kGetDescriptorFromNodeConnection:
        return device == nullptr ? std::nullopt : Descriptor(buffer, call, *device);
      case kGetNodeConnectionName:
        if (device == nullptr || !device->isHub || device->hubName.empty()) return std::nullopt;
        return NameRecord(buffer, device->hubName, kConnectionNameLength, kConnectionNameText);
      default:
        return std::nullopt;
    }
  }

  static std::optional<std::uint32_t> Connection(std::span<std::uint8_t> buffer, std::uint32_t port,
                                                 const FakeDevice* device) {
    std::vector<std::uint8_t> info(kConnectionFixedSize);
    Put32(info, 0, port);
    if (device == nullptr) return Fill(buffer, info);  // NoDeviceConnected
    const std::size_t d = kConnectionDeviceDescriptor;
    info[d] = 18;
    info[d + 1] = dfu::kDeviceDescriptor;
    info[d + 4] = device->isHub ? 9 : 0;
    Put16(info, d + 8, device->idVendor);
    Put16(info, d + 10, device->idProduct);
    info[d + 14] = device->iManufacturer;
    info[d + 15] = device->iProduct;
    info[d + 16] = device->iSerialNumber;
    info[d + 17] = 1;
    info[kConnectionDeviceIsHub] = device->isHub ? 1 : 0;
    Put32(info, kConnectionStatus, device->status);
    // One open pipe, so the reply is longer than the fixed part, as a real one is.
    info.resize(kConnectionFixedSize + kPipeInfoSize);
    Put32(info, 27, 1);
    return Fill(buffer, info);
  }

  static std::optional<std::uint32_t> Descriptor(std::span<std::uint8_t> buffer,
                                                 const FakeCall& call, const FakeDevice& device) {
    const std::uint8_t type = static_cast<std::uint8_t>(call.wValue >> 8);
    const std::uint8_t index = static_cast<std::uint8_t>(call.wValue);
    std::vector<std::uint8_t> reply;
    if (type == dfu::kConfigDescriptor && index == 0 && !device.config.empty()) {
      reply = device.config;
    } else if (type == dfu::kStringDescriptor) {
      const auto it = device.strings.find({index, call.wIndex});
      if (it == device.strings.end()) return std::nullopt;
      reply = it->second;
    } else {
      return std::nullopt;
    }
    if (reply.size() > call.wLength) reply.resize(call.wLength);
    return Fill(buffer, reply, kDescriptorRequestSize);
  }
};

}  // namespace usbioctl::testing
