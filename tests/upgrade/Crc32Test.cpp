// The DFU suffix's CRC-32: known values, any chunking of the input, and agreement with the
// bit-at-a-time definition (and with zlib where the build has it) on buffers of every alignment.
#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

#include "tests/upgrade/FirmwareFiles.h"
#include "upgrade/Crc32.h"

#ifdef QMR7_TEST_ZLIB
#include <zlib.h>
#endif

namespace dfu {
namespace {

std::span<const std::uint8_t> Bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// The definition, one bit at a time.
std::uint32_t BitwiseCrc(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  for (const std::uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return crc;
}

std::vector<std::uint8_t> RandomBytes(std::mt19937& random, std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (auto& b : bytes)
    b = static_cast<std::uint8_t>(random());
  return bytes;
}

struct KnownCase {
  std::string_view input;
  std::uint32_t crc32;  // the common CRC-32, the complement of the register
};

TEST(Crc32, KnownValues) {
  const KnownCase cases[] = {
      {"", 0x00000000},
      {"a", 0xE8B7BE43},
      {"123456789", 0xCBF43926},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(~Crc32Update(kCrc32Start, Bytes(c.input)), c.crc32) << '"' << c.input << '"';
  }
}

TEST(Crc32, AFirmwareFileCarriesTheCrcOfEveryByteBeforeIt) {
  // Pinned from an independent CRC-32: a change to the table or the loop that shifts every CRC
  // alike would otherwise pass the round trips of the file tests.
  const auto file = BuildFile(testing::Header(), testing::Body(3000), testing::Ids());
  ASSERT_EQ(file.size(), 3075u);
  const std::uint32_t stored = static_cast<std::uint32_t>(file[3071]) |
                               (static_cast<std::uint32_t>(file[3072]) << 8) |
                               (static_cast<std::uint32_t>(file[3073]) << 16) |
                               (static_cast<std::uint32_t>(file[3074]) << 24);
  EXPECT_EQ(stored, 0x640075F1u);
  EXPECT_EQ(DfuCrc({file.data(), file.size() - 4}), 0x640075F1u);
}

TEST(Crc32, MatchesTheDefinitionAtEveryLengthAndAlignment) {
  std::mt19937 random(7);
  const auto buffer = RandomBytes(random, 4096 + 8);
  for (std::size_t offset = 0; offset < 8; ++offset) {
    for (std::size_t size = 0; size <= 70; ++size) {
      const std::span<const std::uint8_t> bytes(buffer.data() + offset, size);
      ASSERT_EQ(Crc32Update(kCrc32Start, bytes), BitwiseCrc(kCrc32Start, bytes))
          << "offset " << offset << ", size " << size;
    }
  }
  const std::span<const std::uint8_t> large(buffer.data() + 3, 4096);
  EXPECT_EQ(Crc32Update(kCrc32Start, large), BitwiseCrc(kCrc32Start, large));
}

TEST(Crc32, ChunksGiveTheSameRegisterAsOnePass) {
  std::mt19937 random(11);
  const auto buffer = RandomBytes(random, 300);
  const std::uint32_t whole = Crc32Update(kCrc32Start, buffer);
  const std::span<const std::uint8_t> all(buffer);
  for (std::size_t split = 0; split <= buffer.size(); ++split) {
    const std::uint32_t first = Crc32Update(kCrc32Start, all.first(split));
    ASSERT_EQ(Crc32Update(first, all.subspan(split)), whole) << "split at " << split;
  }
}

TEST(Crc32, AgreesWithZlibOnRandomBuffers) {
#ifdef QMR7_TEST_ZLIB
  std::mt19937 random(5);
  std::uniform_int_distribution<std::size_t> sizes(0, 20000);
  for (int round = 0; round < 200; ++round) {
    const auto bytes = RandomBytes(random, sizes(random));
    const auto expected = static_cast<std::uint32_t>(::crc32_z(0, bytes.data(), bytes.size()));
    ASSERT_EQ(~Crc32Update(kCrc32Start, bytes), expected) << "size " << bytes.size();
  }
#else
  GTEST_SKIP() << "this build has no zlib to compare with";
#endif
}

}  // namespace
}  // namespace dfu
