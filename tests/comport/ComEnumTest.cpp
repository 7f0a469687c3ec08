// The four enumerators over a fake /dev and /sys tree, the friendly names over udev's and the
// virtual-device registry's ports, and the machine's own device notification.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "comport/ComPort.h"
#include "comport/backend/posix/DevEnum.h"
#include "platform/UdevPortEnumerator.h"
#include "platform/VirtualDeviceRegistry.h"
#include "tests/support/PumpUntil.h"
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

// This process's runtime folder, and so its default virtual-device registry, for one test.
class ScopedRuntimeDir {
 public:
  explicit ScopedRuntimeDir(const std::string& path) {
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) old_ = old;
    ::setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
  }
  ~ScopedRuntimeDir() {
    if (old_) {
      ::setenv("XDG_RUNTIME_DIR", old_->c_str(), 1);
    } else {
      ::unsetenv("XDG_RUNTIME_DIR");
    }
  }

 private:
  std::optional<std::string> old_;
};

// Without the application's notifier the port hears the machine's own: udev and the virtual-device
// registry, as the window does.
TEST(ComNotifyOwnNotifierTest, WithoutTheApplicationsNotifierThePortHearsTheMachinesPorts) {
  const testsupport::TempDir runtime;
  const ScopedRuntimeDir scoped(runtime.Path());
  const platform::VirtualDeviceRegistry registry;
  registry.EnsureDirectory();
  toolkit::DispatchQueue ui;
  TComPort port(nullptr, ui);
  Names arrived, removed;
  port.SetOnDeviceArrival([&](toolkit::Component* sender, const std::string& name) {
    EXPECT_EQ(sender, &port);
    arrived.push_back(name);
  });
  port.SetOnDeviceRemoved(
      [&](toolkit::Component*, const std::string& name) { removed.push_back(name); });
  ASSERT_TRUE(port.StartNotification());  // registered by the setters already

  // The machine's own devices may come and go meanwhile: only this one is looked for.
  const auto heard = [](const Names& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  platform::VirtualDevice device;
  device.kind = platform::kSerialKind;
  device.path = "/dev/pts/98";
  device.description = "USB Serial Device (QM-R7 virtual headset)";
  {
    const platform::ScopedRegistration held(registry, device);
    EXPECT_TRUE(testsupport::PumpUntil(ui, [&] { return heard(arrived, device.path); }));
  }
  EXPECT_TRUE(testsupport::PumpUntil(ui, [&] { return heard(removed, device.path); }));

  port.SetOnDeviceArrival(nullptr);
  port.SetOnDeviceRemoved(nullptr);
  EXPECT_TRUE(port.StopNotification());
}

}  // namespace
}  // namespace comport
