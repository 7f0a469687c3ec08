// Firmware files for the tests, built in memory and written into a test's folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"
#include "upgrade/DfuFile.h"

namespace dfu::testing {

inline ImageHeader Header(const std::string& description = "FARPOINT QM-R7 firmware",
                          std::uint32_t version = 124) {
  ImageHeader header;
  header.firmwareVersion = version;
  header.description = description;
  header.firmwareName = "QMR7_" + std::to_string(version) + ".xpv";
  header.psrName = "QMR7_" + std::to_string(version) + ".psr";
  return header;
}

inline std::vector<std::uint8_t> Body(std::size_t size) {
  std::vector<std::uint8_t> body(size);
  for (std::size_t i = 0; i < size; ++i)
    body[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return body;
}

inline Suffix Ids(std::uint16_t vendor = 0x1209, std::uint16_t product = 0x7207) {
  Suffix ids;
  ids.idVendor = vendor;
  ids.idProduct = product;
  return ids;
}

inline std::string Text(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

inline std::string WriteFirmware(const std::string& path, const ImageHeader& header,
                                 std::size_t bodySize = 3000, const Suffix& ids = Ids()) {
  testsupport::WriteFile(path, Text(BuildFile(header, Body(bodySize), ids)));
  return path;
}

}  // namespace dfu::testing
