#include "platform/DeviceBroadcast.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "toolkit/Utf.h"

namespace platform {
namespace {

constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kPortNameOffset = 12;
constexpr std::size_t kInterfaceNameOffset = 28;

std::uint32_t Field(std::span<const unsigned char> record, std::size_t offset) {
  return static_cast<std::uint32_t>(record[offset]) |
         static_cast<std::uint32_t>(record[offset + 1]) << 8 |
         static_cast<std::uint32_t>(record[offset + 2]) << 16 |
         static_cast<std::uint32_t>(record[offset + 3]) << 24;
}

// The UTF-16 text from `offset` to its terminator or the record's end, as UTF-8.
std::string NameAt(std::span<const unsigned char> record, std::size_t offset) {
  std::u16string name;
  for (std::size_t i = offset; i + 1 < record.size(); i += 2) {
    const char16_t unit = static_cast<char16_t>(record[i] | record[i + 1] << 8);
    if (unit == u'\0') break;
    name.push_back(unit);
  }
  return toolkit::Utf16ToUtf8(name);
}

}  // namespace

std::size_t DeviceBroadcastSize(const unsigned char* head) {
  if (head == nullptr) return 0;
  return Field(std::span<const unsigned char>(head, 4), 0);
}

std::optional<DeviceChange> DecodeDeviceBroadcast(unsigned eventCode,
                                                  std::span<const unsigned char> record) {
  if (eventCode != kDeviceArrival && eventCode != kDeviceRemoveComplete) return std::nullopt;
  DeviceChange change;
  change.eventCode = eventCode;
  if (record.size() < kHeaderSize) return change;
  record = record.first(std::min<std::size_t>(record.size(), Field(record, 0)));
  if (record.size() < kHeaderSize) return change;
  const auto type = static_cast<DeviceKind>(Field(record, 4));
  if (type == DeviceKind::Port) {
    change.kind = DeviceKind::Port;
    change.name = NameAt(record, kPortNameOffset);
  } else if (type == DeviceKind::Interface && record.size() >= kInterfaceNameOffset) {
    change.kind = DeviceKind::Interface;
    change.name = NameAt(record, kInterfaceNameOffset);
  }
  return change;
}

}  // namespace platform
