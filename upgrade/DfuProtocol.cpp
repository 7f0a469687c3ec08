#include "upgrade/DfuProtocol.h"

#include "toolkit/Utf.h"

namespace dfu {
namespace {

std::uint16_t Le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

ReplyFault ExactSize(std::size_t got, std::size_t want) {
  if (got < want) return ReplyFault::Short;
  if (got > want) return ReplyFault::Long;
  return ReplyFault::None;
}

}  // namespace

ReplyFault ParseStatus(std::span<const std::uint8_t> reply, StatusReply& status) {
  if (const ReplyFault f = ExactSize(reply.size(), kStatusSize); f != ReplyFault::None) return f;
  status.status = reply[0];
  status.pollTimeoutMs = static_cast<std::uint32_t>(reply[1] | (reply[2] << 8) | (reply[3] << 16));
  status.state = reply[4];
  status.iString = reply[5];
  return ReplyFault::None;
}

ReplyFault ParseState(std::span<const std::uint8_t> reply, std::uint8_t& state) {
  if (const ReplyFault f = ExactSize(reply.size(), 1); f != ReplyFault::None) return f;
  state = reply[0];
  return ReplyFault::None;
}

ReplyFault ParseDeviceDescriptor(std::span<const std::uint8_t> bytes, DeviceDescriptor& device) {
  if (bytes.size() < 2) return ReplyFault::Short;
  if (bytes[1] != kDeviceDescriptor || bytes[0] != kDeviceDescriptorSize) return ReplyFault::Bad;
  if (const ReplyFault f = ExactSize(bytes.size(), kDeviceDescriptorSize); f != ReplyFault::None) {
    return f;
  }
  device.idVendor = Le16(&bytes[8]);
  device.idProduct = Le16(&bytes[10]);
  device.bcdDevice = Le16(&bytes[12]);
  device.iManufacturer = bytes[14];
  device.iProduct = bytes[15];
  device.iSerialNumber = bytes[16];
  device.numConfigurations = bytes[17];
  return ReplyFault::None;
}

ReplyFault ParseConfiguration(std::span<const std::uint8_t> bytes, ConfigScan& scan) {
  scan = ConfigScan{};
  if (bytes.size() < 9) return ReplyFault::Short;
  if (bytes[0] < 9 || bytes[1] != kConfigDescriptor) return ReplyFault::Bad;
  const std::size_t total = Le16(&bytes[2]);
  if (total < 9) return ReplyFault::Bad;
  if (const ReplyFault f = ExactSize(bytes.size(), total); f != ReplyFault::None) return f;
  scan.iConfiguration = bytes[6];

  std::optional<DfuInterface> candidate;  // a DFU interface still waiting for its functional one
  for (std::size_t at = bytes[0]; at < total;) {
    const std::size_t length = bytes[at];
    if (length < 2 || at + length > total) return ReplyFault::Bad;
    const std::uint8_t type = bytes[at + 1];
    const std::uint8_t* d = &bytes[at];
    if (type == kInterfaceDescriptor && length >= 9) {
      candidate.reset();
      if (!scan.dfu && d[5] == kInterfaceClass && d[6] == kInterfaceSubClass &&
          (d[7] == kRuntimeProtocol || d[7] == kDfuModeProtocol)) {
        candidate = DfuInterface{d[2], d[3], d[7], d[8], {}};
      }
    } else if (type == kFunctionalDescriptor && candidate && length >= 7) {
      candidate->functional.attributes = d[2];
      candidate->functional.detachTimeoutMs = Le16(d + 3);
      candidate->functional.transferSize = Le16(d + 5);
      if (length >= 9) candidate->functional.version = Le16(d + 7);
      scan.dfu = candidate;
      candidate.reset();
    }
    at += length;
  }
  return ReplyFault::None;
}

ReplyFault ParseString(std::span<const std::uint8_t> bytes, std::string& text) {
  text.clear();
  if (bytes.size() < 2) return ReplyFault::Short;
  const std::size_t length = bytes[0];
  if (bytes[1] != kStringDescriptor || length < 2 || length % 2 != 0) return ReplyFault::Bad;
  if (const ReplyFault f = ExactSize(bytes.size(), length); f != ReplyFault::None) return f;
  std::u16string units;
  for (std::size_t at = 2; at + 1 < length; at += 2)
    units += static_cast<char16_t>(Le16(&bytes[at]));
  text = toolkit::Utf16ToUtf8(units);
  return ReplyFault::None;
}

}  // namespace dfu
