// Devices that stray from the DFU class as the engine otherwise expects it, one entry each with
// the reason. The engine consults the table; nothing else widens its checks.
#pragma once

#include <cstdint>
#include <span>

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

}  // namespace dfu
