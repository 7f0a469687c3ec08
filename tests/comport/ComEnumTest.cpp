// The four enumerators over a fake /dev and /sys tree, and the friendly names over udev's and the
// virtual-device registry's ports.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "comport/ComPort.h"
#include "comport/backend/posix/DevEnum.h"
#include "platform/UdevPortEnumerator.h"
#include "platform/VirtualDeviceRegistry.h"
#include "tests/support/TempDir.h"
#include "toolkit/Dispatcher.h"

namespace comport {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// A machine's /dev and /sys below a temporary root.
class FakeRoot {
 public:
  FakeRoot() {
    fs::create_directories(dir_ / "dev");
    fs::create_directories(dir_ / "sys/class/tty");
    fs::create_directories(dir_ / "sys/bus/serial/drivers/serial8250");
  }
  std::string Root() const { return dir_.Path(); }

  // A character device node; a link where nodes cannot be made (both name a device).
  void Node(const std::string& name) {
    const std::string path = dir_ / ("dev/" + name);
    if (::mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0)
      fs::create_symlink("/dev/null", path);
  }
  void Link(const std::string& name, const std::string& target) {
    fs::create_symlink(target, dir_ / ("dev/" + name));
  }
  void File(const std::string& name) { testsupport::WriteFile(dir_ / ("dev/" + name), "x"); }
  void Folder(const std::string& name) { fs::create_directories(dir_ / ("dev/" + name)); }

  // A tty in /sys/class/tty: with a device whose driver is bound or not, with a UART type or not.
  void Tty(const std::string& name, bool device, bool driver, const std::string& type = {}) {
    const fs::path real = fs::path(dir_.Path()) / "sys/devices" / name;
    fs::create_directories(real / "tty" / name);
    const fs::path tty = real / "tty" / name;
    if (device) {
      fs::create_directories(real / "dev");
      fs::create_directory_symlink(real / "dev", tty / "device");
      if (driver) {
        fs::create_directory_symlink(fs::path(dir_.Path()) / "sys/bus/serial/drivers/serial8250",
                                     real / "dev" / "driver");
      }
    }
    if (!type.empty()) testsupport::WriteFile(tty / "type", type + "\n");
    fs::create_directory_symlink(tty, fs::path(dir_.Path()) / "sys/class/tty" / name);
  }

 private:
  testsupport::TempDir dir_;
};

TEST(ComEnumTest, SerialNamingFollowsTheDriversPrefixes) {
  struct Case {
    const char* name;
    bool serial;
  };
  const Case cases[] = {
      {"ttyS0", true},   {"ttyUSB12", true}, {"ttyACM0", true}, {"ttyAMA1", true},
      {"ttymxc3", true}, {"rfcomm0", true},  {"ttyGS0", true},  {"tty0", false},
      {"tty", false},    {"console", false}, {"ptmx", false},   {"ttyp0", false},
      {"TTYS0", false},  {"null", false},    {"", false},       {"usbttyS0", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsSerialPortName(c.name), c.serial) << c.name;
  }
}

class ComEnumRootTest : public ::testing::Test {
 protected:
  ComEnumRootTest() {
    root_.Node("ttyS1");
    root_.Node("ttyS0");
    root_.Node("ttyUSB0");
    root_.Node("null");
    root_.Node("tty0");
    root_.Link("stdin", "/proc/self/fd/0");
    root_.Link("ttyACM0", "/dev/null");
    root_.File("ttyS9.lock");  // a file, not a device
    root_.Folder("ttyS7");     // a folder, not a device
    root_.Folder("pts");

    root_.Tty("ttyS0", true, true, "4");  // a 16550A
    root_.Tty("ttyS1", true, true, "0");  // an empty UART slot
    root_.Tty("ttyUSB0", true, true);     // a USB converter: no type attribute
    root_.Tty("ttyACM1", true, false);    // a device without a driver
    root_.Tty("tty0", false, false);      // a virtual console
    root_.Tty("console", false, false);

    TComServices services;
    services.root = root_.Root();
    port_.SetServices(services);
  }

  FakeRoot root_;
  toolkit::DispatchQueue ui_;
  TComPort port_{nullptr, ui_};
};

TEST_F(ComEnumRootTest, EachEnumeratorAppendsWhatItFindsAfterTheEntriesAlreadyThere) {
  struct Case {
    const char* what;
    void (TCustomComPort::*enumerate)(std::vector<std::string>&);
    Names added;
  };
  const Case cases[] = {
      {"devices",
       &TCustomComPort::EnumDevices,
       {"/dev/null", "/dev/stdin", "/dev/tty0", "/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyS1",
        "/dev/ttyUSB0"}},
      {"serial devices",
       &TCustomComPort::EnumComDevices,
       {"/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB0"}},
      {"driver map", &TCustomComPort::EnumComDevicesFromRegistry, {"/dev/ttyS0", "/dev/ttyUSB0"}},
  };
  for (const Case& c : cases) {
    // Entries already there stay, in place, and duplicates are not removed.
    Names list = {"zzz", "/dev/ttyS0"};
    (port_.*c.enumerate)(list);
    Names expected = {"zzz", "/dev/ttyS0"};
    expected.insert(expected.end(), c.added.begin(), c.added.end());
    EXPECT_EQ(list, expected) << c.what;
  }
}

TEST(ComEnumTest, AMissingTreeAddsNothingAndRaisesNothing) {
  testsupport::TempDir empty;
  toolkit::DispatchQueue ui;
  TComPort port(nullptr, ui);
  TComServices services;
  services.root = empty / "nothing-here";
  port.SetServices(services);
  Names list = {"kept"};
  port.EnumDevices(list);
  port.EnumComDevices(list);
  port.EnumComDevicesFromRegistry(list);
  EXPECT_EQ(list, Names{"kept"});
}

TEST(ComEnumTest, FriendlyNamesAreTheDescriptionsOfThePortsInTheirOrder) {
  platform::FixedPortEnumerator ports({{"/dev/ttyUSB0", "USB Serial Device (Cable)"},
                                       {"/dev/ttyS0", "Serial Port (ttyS0)"},
                                       {"/dev/ttyS4", ""}});
  toolkit::DispatchQueue ui;
  TComPort port(nullptr, ui);
  TComServices services;
  services.ports = &ports;
  port.SetServices(services);
  Names list = {"Serial Port (ttyS0)"};
  port.EnumComFriendlyNames(list);
  EXPECT_EQ(list,
            (Names{"Serial Port (ttyS0)", "USB Serial Device (Cable)", "Serial Port (ttyS0)"}));
}

TEST(ComEnumTest, FriendlyNamesIncludeTheRegisteredVirtualPorts) {
  testsupport::TempDir dir;
  const platform::VirtualDeviceRegistry registry(dir / "registry");
  registry.EnsureDirectory();
  platform::VirtualDevice device;
  device.kind = platform::kSerialKind;
  device.path = "/dev/pts/77";
  device.description = "USB Serial Device (QM-R7 virtual headset)";
  platform::ScopedRegistration held(registry, device);
  platform::VirtualDevice dfu;  // not a port
  dfu.kind = platform::kUsbDfuKind;
  dfu.path = dir / "dfu.sock";
  dfu.description = "DFU";
  platform::ScopedRegistration heldDfu(registry, dfu);

  platform::SystemPortEnumerator machine(registry);
  toolkit::DispatchQueue ui;
  TComPort port(nullptr, ui);
  TComServices services;
  services.ports = &machine;
  port.SetServices(services);
  Names list;
  port.EnumComFriendlyNames(list);
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(list.back(), "USB Serial Device (QM-R7 virtual headset)");
  EXPECT_EQ(std::count(list.begin(), list.end(), "DFU"), 0);
}

// Linux offers the component no notifier of its own: only the application's.
TEST(ComNotifyNoServiceTest, WithoutANotifierStartingFailsQuietly) {
  toolkit::DispatchQueue ui;
  TComPort port(nullptr, ui);
  port.SetOnDeviceArrival([](toolkit::Component*, const std::string&) {});
  EXPECT_FALSE(port.StartNotification());
  EXPECT_TRUE(port.StopNotification());
}

}  // namespace
}  // namespace comport
