#include <gtest/gtest.h>

#include "platform/UdevPortEnumerator.h"

namespace platform {
namespace {

TEST(PortEnumeratorTest, DescriptionsNameTheUsbProductOrTheKernelName) {
  EXPECT_EQ(PortDescription(true, "QM-R7", "ttyACM0"), "USB Serial Device (QM-R7)");
  EXPECT_EQ(PortDescription(true, "", "ttyACM0"), "USB Serial Device");
  EXPECT_EQ(PortDescription(false, "", "ttyS0"), "Serial Port (ttyS0)");
}

TEST(PortEnumeratorTest, ListsOnlyDeviceNodesOfHardwarePorts) {
  // Whatever this machine has: never a virtual console or a pseudo-terminal.
  for (const PortInfo& port : UdevPortEnumerator().Enumerate()) {
    EXPECT_EQ(port.name.rfind("/dev/", 0), 0u) << port.name;
    EXPECT_EQ(port.name.find("/dev/tty0"), std::string::npos);
    EXPECT_EQ(port.name.find("/dev/pts"), std::string::npos);
    EXPECT_NE(port.description, "");
  }
}

}  // namespace
}  // namespace platform
