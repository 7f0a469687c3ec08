// Files that are no firmware files on Windows (the devices every folder has), and the copy taken
// at the check: a temporary file that keeps the checked bytes whatever becomes of the file, that
// no one else may change while it is held, and that goes with it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/TempDir.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "upgrade/DfuFile.h"
#include "upgrade/FirmwareCopy.h"

namespace dfu {
namespace {

std::filesystem::path Native(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

TEST(FileCheckWin32, DevicesAreRefused) {
  FileInfo info;
  for (const char* device : {"NUL", "\\\\.\\NUL"})
    EXPECT_EQ(CheckFile(device, info), FileFault::Open) << device;
}

TEST(FirmwareCopyWin32, KeepsTheCheckedBytesLetsNoOneChangeThemAndGoesWithTheCopy) {
  testsupport::TempDir dir;
  const std::string path = dir / "fw.dfu";
  testsupport::WriteFile(
      path, testing::Text(BuildFile(testing::Header(), testing::Body(3000), testing::Ids())));
  std::filesystem::path held;
  {
    FirmwareCopy copy;
    FileInfo info;
    ASSERT_EQ(FirmwareCopy::Take(path, copy, info), FileFault::None);
    ASSERT_TRUE(copy.Held());
    held = Native(copy.Path());
    testsupport::WriteFile(path, "no longer firmware");

    FileInfo again;
    EXPECT_EQ(CheckFile(copy.Path(), again), FileFault::None);
    EXPECT_EQ(again.imageSize, info.imageSize);
    EXPECT_FALSE(std::ofstream(held, std::ios::binary | std::ios::app).is_open());
    std::error_code ignored;
    std::filesystem::remove(held, ignored);
    EXPECT_TRUE(std::filesystem::exists(held));
    EXPECT_EQ(CheckFile(copy.Path(), again), FileFault::None);
  }
  EXPECT_FALSE(std::filesystem::exists(held));
}

}  // namespace
}  // namespace dfu
