// CRC-32 as DFU file suffixes carry it: the reflected polynomial 0xEDB88320, the register started
// at all ones, and no final inversion (the register itself is stored). The common CRC-32 (zip,
// PNG) is the complement of the same register.
#pragma once

#include <cstdint>
#include <span>

namespace dfu {

inline constexpr std::uint32_t kCrc32Start = 0xFFFFFFFF;

// Feeds `bytes` into the running register `crc`, so a file can be fed chunk by chunk: start with
// kCrc32Start and pass each chunk in order.
std::uint32_t Crc32Update(std::uint32_t crc, std::span<const std::uint8_t> bytes);

}  // namespace dfu
