#include "upgrade/UsbIoctl.h"

#include "toolkit/Utf.h"

namespace usbioctl {

std::uint16_t Get16(std::span<const std::uint8_t> record, std::size_t at) {
  return static_cast<std::uint16_t>(record[at] | record[at + 1] << 8);
}

std::uint32_t Get32(std::span<const std::uint8_t> record, std::size_t at) {
  return static_cast<std::uint32_t>(Get16(record, at)) |
         static_cast<std::uint32_t>(Get16(record, at + 2)) << 16;
}

void Put16(std::span<std::uint8_t> record, std::size_t at, std::uint16_t value) {
  record[at] = static_cast<std::uint8_t>(value);
  record[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(std::span<std::uint8_t> record, std::size_t at, std::uint32_t value) {
  Put16(record, at, static_cast<std::uint16_t>(value));
  Put16(record, at + 2, static_cast<std::uint16_t>(value >> 16));
}

std::string NameText(std::span<const std::uint8_t> record, std::size_t at) {
  std::u16string units;
  for (; at + 1 < record.size(); at += 2) {
    const char16_t unit = Get16(record, at);
    if (unit == 0) break;
    units += unit;
  }
  return toolkit::Utf16ToUtf8(units);
}

}  // namespace usbioctl
