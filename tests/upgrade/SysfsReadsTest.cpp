// The sysfs host reads each device's files once per walk, however many strings the walk asks for:
// the opens are counted by watching the device's folder.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "tests/support/TempDir.h"
#include "upgrade/DfuClass.h"
#include "upgrade/UsbEnum.h"

namespace usbenum {
namespace {

// A device folder as the kernel lays it out: a device descriptor naming three strings, one
// configuration with its string and `interfaces` interfaces, each naming a string of its own.
void AddDevice(const std::string& dir, int maxchild, int interfaces, const std::string& config) {
  std::filesystem::create_directories(dir);
  std::string d{
      18, 1, 0, 2, static_cast<char>(maxchild > 0 ? 9 : 0), 0, 0, 64, 0x09, 0x12, 0x07, 0x72, 0, 1,
      1,  2, 3, 1};
  const std::size_t total = 9 + 9 * static_cast<std::size_t>(interfaces);
  d += std::string{9,
                   2,
                   static_cast<char>(total & 0xFF),
                   static_cast<char>(total >> 8),
                   static_cast<char>(interfaces),
                   1,
                   4,
                   static_cast<char>(0x80),
                   50};
  for (int i = 0; i < interfaces; ++i)
    d += std::string{9, 4, static_cast<char>(i),    0, 0, static_cast<char>(0xFE),
                     1, 2, static_cast<char>(5 + i)};
  testsupport::WriteFile(dir + "/descriptors", d);
  testsupport::WriteFile(dir + "/maxchild", std::to_string(maxchild) + "\n");
  testsupport::WriteFile(dir + "/bConfigurationValue", "1\n");
  testsupport::WriteFile(dir + "/manufacturer", "Maker\n");
  testsupport::WriteFile(dir + "/product", "Product\n");
  testsupport::WriteFile(dir + "/serial", "0001\n");
  testsupport::WriteFile(dir + "/configuration", config + "\n");
}

TEST(SysfsReadsTest, EachFileOfADeviceIsReadOncePerWalk) {
  testsupport::TempDir root;
  const std::string devices = root / "bus/usb/devices";
  AddDevice(devices + "/usb1", 1, 0, "");
  const std::string device = devices + "/1-1";
  AddDevice(device, 0, 40, "FW:a PSR:b");

  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, device.c_str(), IN_OPEN), 0);
  const auto host = MakeSysfsUsbHost(root.Path());
  UsbHost* hosts[] = {host.get()};
  for (int walk = 0; walk < 2; ++walk) {
    SCOPED_TRACE(walk);
    EXPECT_EQ(WalkUsbTree(hosts).deviceName, "usb:1-1");
    std::map<std::string, int> opens;
    alignas(inotify_event) char buffer[8192];
    for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;) {
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0) ++opens[event->name];
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    ASSERT_FALSE(opens.empty());
    for (const auto& [file, count] : opens)
      EXPECT_EQ(count, 1) << file;
  }
  ::close(watch);
}

}  // namespace
}  // namespace usbenum
