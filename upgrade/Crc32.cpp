#include "upgrade/Crc32.h"

#include <array>
#include <cstddef>

namespace dfu {
namespace {

using Table = std::array<std::array<std::uint32_t, 256>, 8>;

// Slicing by eight: table k gives a byte's effect on the register k bytes further on, so eight
// bytes cost eight look-ups and no dependent shift chain. Firmware files run to 16 MiB.
constexpr Table MakeTables() {
  Table t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit)
      c = (c & 1) != 0 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[0][i] = c;
  }
  for (std::size_t k = 1; k < t.size(); ++k) {
    for (std::size_t i = 0; i < 256; ++i)
      t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
  return t;
}

constexpr Table kTables = MakeTables();

std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

std::uint32_t Crc32Update(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  const auto& t = kTables;
  for (; n >= 8; p += 8, n -= 8) {
    const std::uint32_t lo = crc ^ Le32(p);
    const std::uint32_t hi = Le32(p + 4);
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
          t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
  }
  for (; n > 0; ++p, --n)
    crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
  return crc;
}

}  // namespace dfu
