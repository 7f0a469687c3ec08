// Files that are no firmware files on Windows: the devices every folder has.
#include <gtest/gtest.h>

#include "upgrade/DfuFile.h"

namespace dfu {
namespace {

TEST(FileCheckWin32, DevicesAreRefused) {
  FileInfo info;
  for (const char* device : {"NUL", "\\\\.\\NUL"})
    EXPECT_EQ(CheckFile(device, info), FileFault::Open) << device;
}

}  // namespace
}  // namespace dfu
