// What a DFU device sends back, parsed: GETSTATUS and GETSTATE replies, device, configuration and
// string descriptors. Pure functions over bytes: the parser says what is wrong, the engine decides
// what it means.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "upgrade/DfuClass.h"

namespace dfu {

enum class ReplyFault { None, Short, Long, Bad };

struct StatusReply {
  std::uint8_t status = 0;  // a dfu::Status value, or anything the device sent
  std::uint32_t pollTimeoutMs = 0;
  std::uint8_t state = 0;  // a dfu::State value, or anything the device sent
  std::uint8_t iString = 0;
};

inline constexpr std::size_t kStatusSize = 6;

// A GETSTATUS reply: exactly six bytes.
ReplyFault ParseStatus(std::span<const std::uint8_t> reply, StatusReply& status);
// A GETSTATE reply: exactly one byte.
ReplyFault ParseState(std::span<const std::uint8_t> reply, std::uint8_t& state);

struct DeviceDescriptor {
  std::uint16_t idVendor = 0;
  std::uint16_t idProduct = 0;
  std::uint16_t bcdDevice = 0;
  std::uint8_t iManufacturer = 0;
  std::uint8_t iProduct = 0;
  std::uint8_t iSerialNumber = 0;
  std::uint8_t numConfigurations = 0;
};

inline constexpr std::size_t kDeviceDescriptorSize = 18;

ReplyFault ParseDeviceDescriptor(std::span<const std::uint8_t> bytes, DeviceDescriptor& device);

// The DFU functional descriptor. DFU 1.0 devices send 7 bytes, without bcdDFUVersion.
struct Functional {
  std::uint8_t attributes = 0;
  std::uint16_t detachTimeoutMs = 0;
  std::uint16_t transferSize = 0;
  std::uint16_t version = 0x0100;
};

struct DfuInterface {
  std::uint8_t number = 0;
  std::uint8_t alternate = 0;
  std::uint8_t protocol = 0;  // kRuntimeProtocol or kDfuModeProtocol
  std::uint8_t iInterface = 0;
  Functional functional;
};

struct ConfigScan {
  std::uint8_t iConfiguration = 0;
  std::optional<DfuInterface> dfu;  // the first DFU interface with its functional descriptor
};

// A whole configuration descriptor (wTotalLength bytes). Short: fewer bytes than it claims; Long:
// more; Bad: a descriptor that runs past the end or has a length below 2. A configuration without a
// DFU interface is not a fault: `dfu` stays empty.
ReplyFault ParseConfiguration(std::span<const std::uint8_t> bytes, ConfigScan& scan);

// A string descriptor's UTF-16LE text as UTF-8; unpaired surrogates become U+FFFD.
ReplyFault ParseString(std::span<const std::uint8_t> bytes, std::string& text);

}  // namespace dfu
