// Files that are no firmware files on Windows: the devices every folder has.
#include <gtest/gtest.h>

#include "upgrade/DfuFile.h"

namespace dfu {
namespace {

TEST(FileCheckWin32, DevicesAreRefused) {
  FileInfo info;
  for (const char* device : {"NUL", "\\\\.\\NUL", "nul.dfu"})
    EXPECT_EQ(CheckFile(device, info), FileFault::Open) << device;
}

}  // namespace
}  // namespace dfu
