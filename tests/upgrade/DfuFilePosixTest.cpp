// Files that are no firmware files on Linux: a named pipe (never waited for) and a device.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/TempDir.h"
#include "upgrade/DfuFile.h"

namespace dfu {
namespace {

TEST(FileCheckPosix, PipesAndDevicesAreRefusedAtOnce) {
  testsupport::TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "pipe.dfu").c_str(), 0600), 0);
  FileInfo info;
  EXPECT_EQ(CheckFile(dir / "pipe.dfu", info), FileFault::Open);
  EXPECT_EQ(CheckFile("/dev/zero", info), FileFault::Open);
}

}  // namespace
}  // namespace dfu
