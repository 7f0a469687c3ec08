// qmr7ctl doctor: each check over a fixture tree of sysfs, /dev, /proc, udev's database and the
// rules folders (never this machine's), the Windows checks over configuration-manager answers,
// and the command's output, exit status and languages.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/ctl/CtlFixture.h"
#include "tests/support/TempDir.h"
#include "tools/qmr7ctl/Doctor.h"
#include "tools/qmr7ctl/DoctorTexts.h"
#include "upgrade/UdevRules.h"

namespace qmr7ctl::doctor {
namespace {

namespace fs = std::filesystem;
using testsupport::WriteFile;

constexpr std::uint16_t kVendor = 0x1209;
constexpr std::uint16_t kRuntime = 0x7207;
constexpr std::uint16_t kDfu = 0x7208;
constexpr unsigned kUser = 1000;
constexpr unsigned kDialout = 20;

// A machine as the doctor reads it, built in a private folder.
class Machine {
 public:
  Machine() {
    for (const char* folder :
         {"sys/class/tty", "sys/bus/usb/devices", "sys/devices/pci0000:00/usb1", "dev/bus/usb/001",
          "proc", "udev", "etc/rules.d", "lib/rules.d"}) {
      fs::create_directories(Path(folder));
    }
    host.sys = Path("sys");
    host.dev = Path("dev");
    host.proc = Path("proc");
    host.udevData = Path("udev");
    host.rulesFolders = {Path("etc/rules.d"), Path("lib/rules.d")};
    host.uid = kUser;
    host.groups = {kUser};
    host.memberOf = {kUser};
    host.owner = [this](const std::string& path, LinuxHost::NodeOwner& owner) {
      const auto it = owners.find(path);
      if (it == owners.end()) return false;
      owner = it->second;
      return true;
    };
    host.tryOpen = [this](const std::string& path) {
      const auto it = openErrors.find(path);
      return it == openErrors.end() ? 0 : it->second;
    };
    host.aclNamesUser = [this](const std::string&, unsigned) { return acl; };
    host.groupName = [](unsigned gid) {
      return gid == kDialout ? std::string("dialout") : std::to_string(gid);
    };
  }

  std::string Path(const std::string& rel) const { return root_ / rel; }

  // A USB device at bus 1, address `address`, with a tty below its first interface: "ttyACM0"
  // right below it (cdc-acm), or "ttyUSB0" one level further down (usb-serial). No tty: none.
  void AddUsbDevice(const std::string& name, std::uint16_t vendor, std::uint16_t product,
                    int address, const std::string& tty = {}, const char* dfuProtocol = nullptr) {
    const std::string device = "sys/devices/pci0000:00/usb1/" + name;
    fs::create_directories(Path(device));
    if (dfuProtocol != nullptr) {
      const std::string interface = device + "/" + name + ":1.1";
      fs::create_directories(Path(interface));
      WriteFile(Path(interface + "/bInterfaceClass"), "fe\n");
      WriteFile(Path(interface + "/bInterfaceSubClass"), "01\n");
      WriteFile(Path(interface + "/bInterfaceProtocol"), std::string(dfuProtocol) + "\n");
    }
    char text[8];
    std::snprintf(text, sizeof text, "%04x\n", vendor);
    WriteFile(Path(device + "/idVendor"), text);
    std::snprintf(text, sizeof text, "%04x\n", product);
    WriteFile(Path(device + "/idProduct"), text);
    WriteFile(Path(device + "/busnum"), "1\n");
    WriteFile(Path(device + "/devnum"), std::to_string(address) + "\n");
    fs::create_directory_symlink("../../../devices/pci0000:00/usb1/" + name,
                                 Path("sys/bus/usb/devices/" + name));
    char node[32];
    std::snprintf(node, sizeof node, "dev/bus/usb/001/%03d", address);
    WriteFile(Path(node), "");
    if (tty.empty()) return;
    std::string parent = device + "/" + name + ":1.0";
    if (tty.starts_with("ttyUSB")) parent += "/" + tty;
    const std::string ttyFolder = parent + "/tty/" + tty;
    fs::create_directories(Path(ttyFolder));
    fs::create_directory_symlink("../..", Path(ttyFolder + "/device"));
    WriteFile(Path(ttyFolder + "/dev"), "166:0\n");
    fs::create_directory_symlink("../../" + ttyFolder.substr(4), Path("sys/class/tty/" + tty));
    WriteFile(Path("dev/" + tty), "");
  }

  // A tty of no USB device (a serial port on the board).
  void AddBoardTty(const std::string& tty) {
    const std::string folder = "sys/devices/platform/serial8250/tty/" + tty;
    fs::create_directories(Path(folder));
    fs::create_directory_symlink("../..", Path(folder + "/device"));
    fs::create_directory_symlink("../../" + folder.substr(4), Path("sys/class/tty/" + tty));
  }

  void AddProcess(int pid, const std::string& comm, const std::string& openFile = {}) {
    const std::string folder = "proc/" + std::to_string(pid);
    fs::create_directories(Path(folder + "/fd"));
    WriteFile(Path(folder + "/comm"), comm + "\n");
    fs::create_symlink("/dev/null", Path(folder + "/fd/0"));
    if (!openFile.empty()) fs::create_symlink(openFile, Path(folder + "/fd/5"));
  }

  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  LinuxHost host;
  std::map<std::string, int> openErrors;
  std::map<std::string, LinuxHost::NodeOwner> owners;
  bool acl = false;

 private:
  testsupport::TempDir dir_;
  fs::path root_ = dir_.Path();
};

std::string CurrentRules() {
  return "# comment\n" + dfu::UdevRuleLines();
}
constexpr char kBroadRules[] =
    "SUBSYSTEM==\"usb\", ENV{ID_USB_INTERFACES}==\"*:fe01*\", TAG+=\"uaccess\"\n";

class DoctorTest : public ::testing::Test {
 protected:
  void SetUp() override { qmr7ctl::SetLanguage(resources::Language::English); }
  void TearDown() override { qmr7ctl::SetLanguage(resources::Language::English); }
};

TEST_F(DoctorTest, TheHeadsetsSerialPortIsFoundByItsUsbIds) {
  struct Case {
    const char* name;
    std::function<void(Machine&)> make;
    std::vector<dfu::DeviceIds> extra;
    Status status;
    std::string text;  // with <root> for the fixture's folder
  };
  const Case cases[] = {
      {"cdc-acm port of the headset",
       [](Machine& m) { m.AddUsbDevice("1-1", kVendor, kRuntime, 5, "ttyACM0"); },
       {},
       Status::Ok,
       "The headset's serial port is <root>/dev/ttyACM0 (USB 1209:7207)."},
      {"usb-serial port, one level further down",
       [](Machine& m) { m.AddUsbDevice("1-2", kVendor, kRuntime, 6, "ttyUSB0"); },
       {},
       Status::Ok,
       "The headset's serial port is <root>/dev/ttyUSB0 (USB 1209:7207)."},
      {"another maker's USB port: the window's preselection",
       [](Machine& m) {
         m.AddBoardTty("ttyS0");
         m.AddUsbDevice("1-3", 0x0403, 0x6001, 7, "ttyUSB1");
         m.host.ports = {{"/dev/ttyS0", "Serial Port (ttyS0)"},
                         {"/dev/ttyUSB1", "USB Serial Device (FT232R)"}};
       },
       {},
       Status::Note,
       "No serial port has the headset's USB ids; the tool preselects /dev/ttyUSB1 (USB Serial "
       "Device (FT232R)). If that is the headset, name its ids with --device."},
      {"the same port named by --device",
       [](Machine& m) { m.AddUsbDevice("1-3", 0x0403, 0x6001, 7, "ttyUSB1"); },
       {{0x0403, 0x6001, 0x0403, 0x6001}},
       Status::Ok,
       "The headset's serial port is <root>/dev/ttyUSB1 (USB 0403:6001)."},
      {"the virtual headset preselected",
       [](Machine& m) {
         m.host.ports = {{"/dev/pts/3", "USB Serial Device (QM-R7 virtual headset)"}};
         m.host.virtualDevices = {{"serial", "/dev/pts/3", 4242}};
       },
       {},
       Status::Note,
       "No serial port has the headset's USB ids; the tool preselects the virtual headset on "
       "/dev/pts/3."},
      {"only a board's port",
       [](Machine& m) { m.AddBoardTty("ttyS0"); },
       {},
       Status::Problem,
       "No serial port of the headset is present."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    c.make(m);
    m.host.extra = c.extra;
    const Finding f = SerialPortCheck(m.host, FindHeadsetPort(m.host));
    EXPECT_EQ(f.check, "serial-port");
    EXPECT_EQ(f.status, c.status);
    std::string text = c.text;
    if (const auto at = text.find("<root>"); at != std::string::npos)
      text.replace(at, 6, m.Path(""));
    // Path("") ends with a separator the finding does not have.
    if (const auto at = text.find("//"); at != std::string::npos) text.erase(at, 1);
    EXPECT_EQ(f.text, text);
    EXPECT_EQ(f.fix.empty(), c.status != Status::Problem);
  }
}

TEST_F(DoctorTest, PortAccessSaysWhyNotAndWhatFixesIt) {
  struct Case {
    const char* name;
    int error;
    const char* holder;  // a process holding the port, or null
    bool modemManager;   // running, its open files hidden
    bool rulesCurrent;
    bool acl;
    std::vector<unsigned> session, member;  // dialout among the session's, the database's groups
    unsigned gid;
    unsigned mode;
    Status status;
    const char* text;  // after the port's path
    const char* fix;   // its beginning
  };
  const std::vector<unsigned> none, dialout{kDialout};
  const Case cases[] = {
      {"opens", 0, nullptr, false, true, true, none, none, kDialout, 0660, Status::Ok, "", ""},
      {"held by ModemManager", EBUSY, "ModemManager", false, true, true, none, none, kDialout, 0660,
       Status::Problem, " is held by another program: ModemManager (pid 812).",
       "Stop ModemManager: "},
      {"held by a terminal program", EBUSY, "minicom", false, true, true, none, none, kDialout,
       0660, Status::Problem, " is held by another program: minicom (pid 812).",
       "Close minicom (pid 812), "},
      {"held, holder hidden, ModemManager running", EBUSY, nullptr, true, true, true, none, none,
       kDialout, 0660, Status::Problem, " is held by another program.", "Stop ModemManager: "},
      {"held, holder unknown", EBUSY, nullptr, false, true, true, none, none, kDialout, 0660,
       Status::Problem, " is held by another program.", "Unplug the headset"},
      {"rules installed, uaccess not applied", EACCES, nullptr, false, true, false, none, none,
       kDialout, 0660, Status::Problem,
       " (owner root, group dialout, mode 0660, and no entry for you in its access list).",
       "Apply the udev rules to it: sudo udevadm trigger --action=change "},
      {"no rules, not in dialout", EACCES, nullptr, false, false, false, none, none, kDialout, 0660,
       Status::Problem,
       " (owner root, group dialout, mode 0660, and no entry for you in its access list).",
       "Install the udev rules (see their check), or join the port's group: sudo usermod -aG "
       "dialout"},
      {"joined dialout after this session began", EACCES, nullptr, false, false, false, none,
       dialout, kDialout, 0660, Status::Problem,
       " (owner root, group dialout, mode 0660, and no entry for you in its access list).",
       "You are in group dialout, but this session began"},
      {"in dialout, which may not write the port", EACCES, nullptr, false, false, false, dialout,
       dialout, kDialout, 0640, Status::Problem,
       " (owner root, group dialout, mode 0640, and no entry for you in its access list).",
       "Install this version's rules"},
      {"a port of root's group: never join root", EACCES, nullptr, false, false, false, none, none,
       0, 0660, Status::Problem,
       " (owner root, group 0, mode 0660, and no entry for you in its access list).",
       "Install this version's rules"},
      {"gone meanwhile", ENXIO, nullptr, false, true, true, none, none, kDialout, 0660,
       Status::Problem, " does not open: No such device or address.", "Unplug the headset"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    m.AddUsbDevice("1-1", kVendor, kRuntime, 5, "ttyACM0");
    const std::string node = m.Path("dev/ttyACM0");
    m.owners[node] = {0, c.gid, c.mode};
    m.openErrors[node] = c.error;
    m.acl = c.acl;
    m.host.groups.insert(m.host.groups.end(), c.session.begin(), c.session.end());
    m.host.memberOf.insert(m.host.memberOf.end(), c.member.begin(), c.member.end());
    if (c.holder != nullptr) m.AddProcess(812, c.holder, node);
    if (c.modemManager) {
      fs::create_directories(m.Path("sys/fs/cgroup/system.slice/ModemManager.service"));
    }
    m.AddProcess(900, "bash");
    if (c.rulesCurrent) WriteFile(m.Path("lib/rules.d/70-qmr7.rules"), CurrentRules());
    const Finding f = PortAccessCheck(m.host, FindHeadsetPort(m.host));
    EXPECT_EQ(f.status, c.status);
    if (c.status == Status::Ok) {
      EXPECT_EQ(f.text, "You can open " + node + ".");
    } else if (c.error == EACCES) {
      EXPECT_EQ(f.text, "You may not open " + node + std::string(c.text));
    } else {
      EXPECT_EQ(f.text, node + c.text);
    }
    EXPECT_EQ(f.fix.rfind(c.fix, 0), 0u) << f.fix;
  }

  Machine nothing;
  EXPECT_EQ(PortAccessCheck(nothing.host, std::nullopt).status, Status::Note);
}

TEST_F(DoctorTest, TheRulesUdevReadsAreThisVersions) {
  struct Case {
    const char* name;
    const char* etc;  // content of etc's 70-qmr7.rules; null: none; "->null": a link to /dev/null
    const char* lib;
    bool device;  // --device 0403:6001 given
    Status status;
    const char* text;
    const char* fix;  // a part of it
  };
  const std::string current = CurrentRules();
  const std::string withDevice = current + dfu::UdevRuleLine(0x0403, 0x6001) + "\n";
  const Case cases[] = {
      {"none installed", nullptr, nullptr, false, Status::Problem,
       "The udev rules for the headset are not installed.",
       "qmr7ctl udev-rules > /tmp/70-qmr7.rules && sudo install -m 644 /tmp/70-qmr7.rules "
       "/etc/udev/rules.d/ && "},
      {"none installed, --device given", nullptr, nullptr, true, Status::Problem,
       "The udev rules for the headset are not installed.",
       "qmr7ctl udev-rules --device 0403:6001,0403:6001 > /tmp/70-qmr7.rules"},
      {"the package's, current", nullptr, current.c_str(), false, Status::Ok,
       "The udev rules for the headset are installed and current (<lib>).", ""},
      {"the package's lack the --device lines", nullptr, current.c_str(), true, Status::Problem,
       "The installed udev rules (<lib>) differ from this version's.", "--device 0403:6001"},
      {"written by udev-rules --device", withDevice.c_str(), nullptr, true, Status::Ok,
       "The udev rules for the headset are installed and current (<etc>).", ""},
      {"the broad rule of an older version", nullptr, kBroadRules, false, Status::Problem,
       "The installed udev rules (<lib>) differ from this version's.", "qmr7ctl udev-rules > "},
      {"a current copy in /etc takes precedence", current.c_str(), kBroadRules, false, Status::Ok,
       "The udev rules for the headset are installed and current (<etc>).", ""},
      {"an old copy in /etc hides the package's current ones", kBroadRules, current.c_str(), false,
       Status::Problem, "The installed udev rules (<etc>) differ from this version's.",
       "sudo rm <etc> && "},
      {"switched off by a link to /dev/null", "->null", current.c_str(), false, Status::Problem,
       "The udev rules for the headset are switched off: <etc> is empty or links to /dev/null.",
       "sudo rm <etc> && "},
      {"switched off by an empty file", "", current.c_str(), false, Status::Problem,
       "The udev rules for the headset are switched off: <etc> is empty or links to /dev/null.",
       "sudo rm <etc> && "},
  };
  const std::vector<dfu::DeviceIds> device = {{0x0403, 0x6001, 0x0403, 0x6001}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    const std::string etc = m.Path("etc/rules.d/70-qmr7.rules");
    const std::string lib = m.Path("lib/rules.d/70-qmr7.rules");
    if (c.etc != nullptr && std::string(c.etc) == "->null") {
      fs::create_symlink("/dev/null", etc);
    } else if (c.etc != nullptr) {
      WriteFile(etc, c.etc);
    }
    if (c.lib != nullptr) WriteFile(lib, c.lib);
    if (c.device) m.host.extra = device;
    const Finding f = UdevRulesCheck(m.host);
    EXPECT_EQ(f.status, c.status);
    const auto fill = [&](std::string text) {
      for (const auto& [key, value] : {std::pair{"<etc>", etc}, std::pair{"<lib>", lib}}) {
        if (const auto at = text.find(key); at != std::string::npos) text.replace(at, 5, value);
      }
      return text;
    };
    EXPECT_EQ(f.text, fill(c.text));
    EXPECT_NE(f.fix.find(fill(c.fix)), std::string::npos) << f.fix;
    EXPECT_EQ(f.fix.empty(), c.status == Status::Ok);
  }
}

TEST_F(DoctorTest, ModemManagerLeavesThePortAloneOnlyWhenUdevSaysSo) {
  struct Case {
    const char* name;
    bool running;
    const char* udevData;  // the port's entry in udev's database; null: none
    bool rulesCurrent;
    bool port;
    Status status;
    const char* fix;
  };
  const Case cases[] = {
      {"not running", false, nullptr, false, true, Status::Ok, ""},
      {"running, told to ignore the port", true, "E:ID_MM_DEVICE_IGNORE=1\nG:uaccess\n", true, true,
       Status::Ok, ""},
      {"running, no rules", true, "E:ID_SERIAL=QM-R7\n", false, true, Status::Problem,
       "Install this version's rules"},
      {"running, seen only by its control group", true, nullptr, false, true, Status::Problem,
       "Install this version's rules"},
      {"running, rules not applied yet", true, nullptr, true, true, Status::Problem,
       "Apply the udev rules to it"},
      {"running, no headset port", true, nullptr, true, false, Status::Note, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    if (c.port) m.AddUsbDevice("1-1", kVendor, kRuntime, 5, "ttyACM0");
    m.AddProcess(300, "systemd");
    if (c.running && std::string(c.name).find("control group") != std::string::npos) {
      fs::create_directories(m.Path("sys/fs/cgroup/system.slice/ModemManager.service"));
    } else if (c.running) {
      m.AddProcess(812, "ModemManager");
    }
    if (c.udevData != nullptr) WriteFile(m.Path("udev/c166:0"), c.udevData);
    if (c.rulesCurrent) WriteFile(m.Path("lib/rules.d/70-qmr7.rules"), CurrentRules());
    const Finding f = ModemManagerCheck(m.host, FindHeadsetPort(m.host));
    EXPECT_EQ(f.status, c.status) << f.text;
    EXPECT_EQ(f.fix.rfind(c.fix, 0), 0u) << f.fix;
  }
}

TEST_F(DoctorTest, TheHeadsetOnUsbInEitherModeAndWhetherItOpens) {
  struct Case {
    const char* name;
    std::uint16_t vendor, product;
    const char* dfuProtocol;  // a DFU interface with this protocol; null: none
    std::vector<dfu::DeviceIds> extra;
    int openError;
    Status status;
    const char* text;
    const char* fix;
  };
  const Case cases[] = {
      {"run-time mode",
       kVendor,
       kRuntime,
       "01",
       {},
       0,
       Status::Ok,
       "The headset is on USB in run-time mode (1209:7207, bus 1 device 9); you can open it.",
       ""},
      {"left in DFU mode",
       kVendor,
       kDfu,
       "02",
       {},
       0,
       Status::Problem,
       "The headset is on USB in DFU mode (1209:7208, bus 1 device 9): an upgrade was cut short.",
       "Finish the upgrade: qmr7ctl upgrade FILE"},
      {"left in DFU mode, its ids those of run-time",
       0x0403,
       0x6001,
       "02",
       {{0x0403, 0x6001, 0x0403, 0x6001}},
       0,
       Status::Problem,
       "The headset is on USB in DFU mode (0403:6001, bus 1 device 9): an upgrade was cut short.",
       "Finish the upgrade: qmr7ctl upgrade FILE"},
      {"may not open it",
       kVendor,
       kRuntime,
       "01",
       {},
       EACCES,
       Status::Problem,
       "The headset is on USB (1209:7207, bus 1 device 9), but you may not open it.",
       "Install this version's rules"},
      {"another maker's DFU device only",
       0x0483,
       0xdf11,
       "02",
       {},
       0,
       Status::Problem,
       "The headset is not on USB.",
       "Switch the headset on"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    m.AddUsbDevice("1-4", c.vendor, c.product, 9, {}, c.dfuProtocol);
    m.host.extra = c.extra;
    m.openErrors[m.Path("dev/bus/usb/001/009")] = c.openError;
    const Finding f = UsbDeviceCheck(m.host);
    EXPECT_EQ(f.status, c.status);
    EXPECT_EQ(f.text, c.text);
    EXPECT_EQ(f.fix.rfind(c.fix, 0), 0u) << f.fix;
  }
}

TEST_F(DoctorTest, RunAsRootTheChecksSayTheyCannotJudgeAccess) {
  Machine m;
  EXPECT_EQ(LinuxFindings(m.host).front().check, "serial-port");
  m.host.root = true;
  const std::vector<Finding> findings = LinuxFindings(m.host);
  EXPECT_EQ(findings.front().check, "user");
  EXPECT_EQ(findings.front().status, Status::Note);
  EXPECT_EQ(findings.size(), 7u);
}

TEST_F(DoctorTest, AVirtualHeadsetIsANote) {
  Machine m;
  EXPECT_EQ(VirtualHeadsetCheck(m.host).status, Status::Ok);
  m.host.virtualDevices = {{"usb-dfu", "/run/x.sock", 7}, {"serial", "/dev/pts/4", 7}};
  const Finding f = VirtualHeadsetCheck(m.host);
  EXPECT_EQ(f.status, Status::Note);
  EXPECT_EQ(f.text,
            "A virtual headset (qmr7-sim, pid 7) is running on /dev/pts/4: the tool may list it "
            "beside a real headset.");
}

TEST_F(DoctorTest, TheWindowsChecksJudgeTheConfigurationManagersAnswers) {
  const std::string headsetPort = "USB\\VID_1209&PID_7207&MI_00\\6&1A2B&0&0000";
  const dfu::winusb::DeviceNode dfuWithoutDriver{"USB\\VID_1209&PID_7207&MI_01\\6&1A2B&0&0001",
                                                 {"USB\\Class_FE&SubClass_01&Prot_01"},
                                                 "",
                                                 dfu::winusb::kProblemFailedInstall,
                                                 {}};
  const dfu::winusb::DeviceNode dfuWithWinUsb{"USB\\VID_1209&PID_7207&MI_01\\6&1A2B&0&0001",
                                              {"USB\\Class_FE&SubClass_01&Prot_01"},
                                              "WinUSB",
                                              0,
                                              {"{00000000-0000-0000-0000-000000000001}"}};
  struct Case {
    const char* name;
    WindowsFacts facts;
    std::vector<Status> statuses;  // COM port, WinUSB, reset rights
    const char* comText;
  };
  const Case cases[] = {
      {"all well, administrator",
       {{{"COM4", headsetPort, "usbser", 0}}, {dfuWithWinUsb}, true, {}},
       {Status::Ok, Status::Ok, Status::Ok},
       "The headset's COM port is COM4 (USB 1209:7207, driver usbser)."},
      {"no WinUSB on the DFU interface, not an administrator",
       {{{"COM4", headsetPort, "usbser", 0}}, {dfuWithoutDriver}, false, {}},
       {Status::Ok, Status::Problem, Status::Note},
       "The headset's COM port is COM4 (USB 1209:7207, driver usbser)."},
      {"the port's driver failed",
       {{{"COM4", headsetPort, "usbser", 10}}, {dfuWithWinUsb}, true, {}},
       {Status::Problem, Status::Ok, Status::Ok},
       "The headset's COM port COM4 (USB 1209:7207, driver usbser) has problem code 10."},
      {"the port without a driver",
       {{{"COM4", headsetPort, "", 28}}, {dfuWithWinUsb}, true, {}},
       {Status::Problem, Status::Ok, Status::Ok},
       "The headset's COM port COM4 (USB 1209:7207) has no driver installed."},
      {"the serial interface without a driver is no port",
       {{},
        {{headsetPort, {"USB\\Class_02&SubClass_02&Prot_01"}, "", 28, {}}, dfuWithWinUsb},
        true,
        {}},
       {Status::Problem, Status::Ok, Status::Ok},
       "The headset is on USB (1209:7207), but no driver serves its serial interface, so it has "
       "no COM port."},
      {"only another maker's port, headset absent",
       {{{"COM1", "ACPI\\PNP0501\\0", "Serial", 0}}, {}, true, {}},
       {Status::Problem, Status::Problem, Status::Ok},
       "No COM port of the headset is present."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<Finding> findings = WindowsFindings(c.facts);
    ASSERT_EQ(findings.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
      EXPECT_EQ(findings[i].status, c.statuses[i]) << findings[i].check << ": " << findings[i].text;
    EXPECT_EQ(findings[0].text, c.comText);
    EXPECT_EQ(ExitStatus(findings),
              c.statuses[0] == Status::Problem || c.statuses[1] == Status::Problem ? 1 : 0);
  }
}

TEST_F(DoctorTest, EveryTextHasBothLanguagesWithTheSamePlaceholders) {
  const auto placeholders = [](std::string_view text) {
    std::string found;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
      if (text[i] == '%' && text[i + 1] >= '1' && text[i + 1] <= '9') found += text[i + 1];
    }
    std::sort(found.begin(), found.end());
    return found;
  };
  for (int i = 0; i < static_cast<int>(Words::kCount); ++i) {
    const auto id = static_cast<Words>(i);
    EXPECT_FALSE(EnglishWords(id).empty()) << i;
    EXPECT_FALSE(JapaneseWords(id).empty()) << i;
    EXPECT_EQ(placeholders(EnglishWords(id)), placeholders(JapaneseWords(id))) << EnglishWords(id);
  }
}

class DoctorCommandTest : public testing::CtlTest {};

TEST_F(DoctorCommandTest, PrintsEachFindingAndExitsWithOneOnAProblem) {
  std::vector<dfu::DeviceIds> asked;
  std::vector<Finding> findings = {
      {"serial-port", Status::Ok, "The headset's serial port is /dev/ttyACM0 (USB 1209:7207).", {}},
      {"udev-rules", Status::Problem, "The udev rules for the headset are not installed.",
       "Install them."},
      {"virtual-headset", Status::Note, "A virtual headset\x1b[2J is running.", {}},
  };
  doctor = [&](std::span<const dfu::DeviceIds> extra) {
    asked.assign(extra.begin(), extra.end());
    return findings;
  };
  EXPECT_EQ(Ctl({"doctor", "--device", "0403:6001"}), 1);
  EXPECT_EQ(out,
            "ok       The headset's serial port is /dev/ttyACM0 (USB 1209:7207).\n"
            "PROBLEM  The udev rules for the headset are not installed.\n"
            "fix:     Install them.\n"
            "note     A virtual headset?[2J is running.\n");
  EXPECT_EQ(err, "");
  EXPECT_EQ(asked, (std::vector<dfu::DeviceIds>{{0x0403, 0x6001, 0x0403, 0x6001}}));

  EXPECT_EQ(Ctl({"doctor", "--json"}), 1);
  EXPECT_NE(out.find("\"check\": \"udev-rules\",\n      \"status\": \"problem\",\n      \"text\": "
                     "\"The udev rules for the headset are not installed.\",\n      \"fix\": "
                     "\"Install them.\""),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"ok\": false"), std::string::npos) << out;

  findings.erase(findings.begin() + 1);
  EXPECT_EQ(Ctl({"doctor"}), 0);

  qmr7ctl::SetLanguage(resources::Language::Japanese);
  EXPECT_EQ(Ctl({"doctor"}), 0);
  EXPECT_EQ(out.rfind("OK     The headset's", 0), 0u) << out;
  EXPECT_NE(out.find("\n情報   A virtual"), std::string::npos) << out;

  EXPECT_EQ(Ctl({"doctor", "extra"}), 2);
}

TEST_F(DoctorCommandTest, UdevRulesPrintsThePackagedLinesAndThoseForDevice) {
  EXPECT_EQ(Ctl({"udev-rules"}), 0);
  EXPECT_NE(out.find(dfu::UdevRuleLines()), std::string::npos) << out;
  EXPECT_EQ(Ctl({"udev-rules", "--device", "0403:6001,0403:df11"}), 0);
  EXPECT_NE(
      out.find(dfu::UdevRuleLine(0x0403, 0x6001) + "\n" + dfu::UdevRuleLine(0x0403, 0xdf11) + "\n"),
      std::string::npos)
      << out;
}

}  // namespace
}  // namespace qmr7ctl::doctor
