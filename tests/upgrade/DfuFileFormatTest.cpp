// The firmware file's format: our header's limits, and a header read back as written (Linux and,
// cross-built, Windows).
#include <gtest/gtest.h>

#include "tests/upgrade/FirmwareFiles.h"

namespace dfu {
namespace {

using testing::Body;
using testing::Header;
using testing::Ids;

TEST(FileFormat, HeaderRoundTripsWithTheLongestTexts) {
  ImageHeader header = Header(std::string(255, 'd'));
  header.firmwareName = std::string(59, 'f');
  header.psrName = std::string(59, 'p');
  ASSERT_EQ(HeaderProblem(header), "");
  const auto file = BuildFile(header, Body(10), Ids());
  Suffix suffix;
  std::size_t imageSize = 0;
  ASSERT_EQ(ParseSuffix(file, suffix, imageSize), FileFault::None);
  EXPECT_EQ(imageSize, header.Size() + 10);
  ImageHeader back;
  ASSERT_EQ(ParseHeader({file.data(), imageSize}, back), FileFault::None);
  EXPECT_EQ(back.description, header.description);
  EXPECT_EQ(back.firmwareName, header.firmwareName);
  EXPECT_EQ(back.psrName, header.psrName);
}

TEST(FileFormat, HeadersThatCannotBeWrittenAreNamed) {
  const auto with = [](auto change) {
    ImageHeader h = Header();
    change(h);
    return HeaderProblem(h);
  };
  EXPECT_NE(with([](ImageHeader& h) { h.description = std::string(256, 'd'); }), "");
  EXPECT_NE(with([](ImageHeader& h) { h.description = "two\nlines"; }), "");
  EXPECT_NE(with([](ImageHeader& h) { h.firmwareName.clear(); }), "");
  EXPECT_NE(with([](ImageHeader& h) { h.psrName = "a b.psr"; }), "");
  EXPECT_NE(with([](ImageHeader& h) {
              h.firmwareName = std::string(60, 'f');
              h.psrName = std::string(59, 'p');
            }),
            "");
}

}  // namespace
}  // namespace dfu
