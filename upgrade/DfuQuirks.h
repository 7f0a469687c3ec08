// Devices that stray from the DFU class as the engine otherwise expects it, one entry each with
// the reason. The engine and the USB walk consult the table; nothing else widens their checks.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace dfu {

struct Quirk {
  std::uint16_t vendor;
  // The product ids the device uses in run-time and in DFU mode. A firmware file may name either
  // for this device, even when the engine has seen it in one mode only (found already in DFU
  // mode after an upgrade was cut short).
  std::uint16_t runtimeProduct;
  std::uint16_t dfuProduct;
  const char* reason;
};

std::span<const Quirk> Quirks();

// The entry for a device now showing `vendor` and `product`, in either mode; null when none.
const Quirk* FindQuirk(std::uint16_t vendor, std::uint16_t product);

// The ids of one headset in run-time and in DFU mode: a table entry, or ids a user names for a
// headset the table does not know.
struct DeviceIds {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  std::uint16_t dfuVendor = 0;
  std::uint16_t dfuProduct = 0;

  bool operator==(const DeviceIds&) const = default;
};

// "VID:PID" or "VID:PID,VID:PID" in hexadecimal, as DFU hosts take them: the run-time ids, then
// the DFU-mode ids (the same as the run-time ones when left out). Nullopt when malformed.
std::optional<DeviceIds> ParseDeviceIds(std::string_view text);

// Every headset the table knows, followed by `extra`.
std::vector<DeviceIds> KnownHeadsets(std::span<const DeviceIds> extra);

// The ids of the headset whose ids in either mode are `vendor` and `product`; nullopt when
// neither the table nor `extra` names them.
std::optional<DeviceIds> HeadsetWithIds(std::uint16_t vendor, std::uint16_t product,
                                        std::span<const DeviceIds> extra);

// Whether a device in DFU mode with these ids is a headset's boot loader.
bool IsHeadsetInDfuMode(std::uint16_t vendor, std::uint16_t product,
                        std::span<const DeviceIds> extra);

}  // namespace dfu
