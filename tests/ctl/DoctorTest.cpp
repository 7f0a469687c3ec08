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
                    int address, const std::string& tty = {}) {
    const std::string device = "sys/devices/pci0000:00/usb1/" + name;
    fs::create_directories(Path(device));
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
    bool rulesCurrent;
    bool acl;
    bool inDialout;
    Status status;
    const char* text;  // after the port's path
    const char* fix;   // its beginning
  };
  const Case cases[] = {
      {"opens", 0, nullptr, true, true, false, Status::Ok, "", ""},
      {"held by ModemManager", EBUSY, "ModemManager", true, true, false, Status::Problem,
       " is held by another program: ModemManager (pid 812).", "Stop ModemManager: "},
      {"held by a terminal program", EBUSY, "minicom", true, true, false, Status::Problem,
       " is held by another program: minicom (pid 812).", "Close minicom (pid 812), "},
      {"held, holder unknown", EBUSY, nullptr, true, true, false, Status::Problem,
       " is held by another program.", "Unplug the headset"},
      {"rules installed, uaccess not applied", EACCES, nullptr, true, false, false, Status::Problem,
       " (owner root, group dialout, mode 0660, and no entry for you in its access list).",
       "Apply the udev rules to it: sudo udevadm trigger --action=change "},
      {"no rules, not in dialout", EACCES, nullptr, false, false, false, Status::Problem,
       " (owner root, group dialout, mode 0660, and no entry for you in its access list).",
       "Install the udev rules (see their check), or join the port's group: sudo usermod -aG "
       "dialout"},
      {"in dialout since this session began", EACCES, nullptr, false, false, true, Status::Problem,
       " (owner root, group dialout, mode 0660, and no entry for you in its access list).",
       "You are in group dialout, but this session began"},
      {"gone meanwhile", ENXIO, nullptr, true, true, false, Status::Problem,
       " does not open: No such device or address.", "Unplug the headset"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    m.AddUsbDevice("1-1", kVendor, kRuntime, 5, "ttyACM0");
    const std::string node = m.Path("dev/ttyACM0");
    ASSERT_EQ(::chown(node.c_str(), 0, kDialout), 0);
    ASSERT_EQ(::chmod(node.c_str(), 0660), 0);
    m.openErrors[node] = c.error;
    m.acl = c.acl;
    if (c.inDialout) m.host.groups.push_back(kDialout);
    if (c.holder != nullptr) m.AddProcess(812, c.holder, node);
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

  Machine none;
  EXPECT_EQ(PortAccessCheck(none.host, std::nullopt).status, Status::Note);
}

TEST_F(DoctorTest, TheRulesUdevReadsAreThisVersions) {
  struct Case {
    const char* name;
    const char* etc;  // content of etc's 70-qmr7.rules; null: none
    const char* lib;
    Status status;
    const char* text;
  };
  const std::string current = CurrentRules();
  const Case cases[] = {
      {"none installed", nullptr, nullptr, Status::Problem,
       "The udev rules for the headset are not installed."},
      {"the package's, current", nullptr, current.c_str(), Status::Ok,
       "The udev rules for the headset are installed and current (<lib>)."},
      {"the broad rule of an older version", nullptr, kBroadRules, Status::Problem,
       "The installed udev rules (<lib>) differ from this version's."},
      {"a current copy in /etc takes precedence", current.c_str(), kBroadRules, Status::Ok,
       "The udev rules for the headset are installed and current (<etc>)."},
      {"an old copy in /etc takes precedence", kBroadRules, current.c_str(), Status::Problem,
       "The installed udev rules (<etc>) differ from this version's."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    const std::string etc = m.Path("etc/rules.d/70-qmr7.rules");
    const std::string lib = m.Path("lib/rules.d/70-qmr7.rules");
    if (c.etc != nullptr) WriteFile(etc, c.etc);
    if (c.lib != nullptr) WriteFile(lib, c.lib);
    const Finding f = UdevRulesCheck(m.host);
    EXPECT_EQ(f.status, c.status);
    std::string text = c.text;
    if (const auto at = text.find("<etc>"); at != std::string::npos) text.replace(at, 5, etc);
    if (const auto at = text.find("<lib>"); at != std::string::npos) text.replace(at, 5, lib);
    EXPECT_EQ(f.text, text);
    if (c.status == Status::Problem) {
      EXPECT_NE(f.fix.find("qmr7ctl udev-rules > /etc/udev/rules.d/70-qmr7.rules"),
                std::string::npos);
    }
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
      {"running, rules not applied yet", true, nullptr, true, true, Status::Problem,
       "Apply the udev rules to it"},
      {"running, no headset port", true, nullptr, true, false, Status::Note, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    if (c.port) m.AddUsbDevice("1-1", kVendor, kRuntime, 5, "ttyACM0");
    m.AddProcess(300, "systemd");
    if (c.running) m.AddProcess(812, "ModemManager");
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
    int openError;
    Status status;
    const char* text;
    const char* fix;
  };
  const Case cases[] = {
      {"run-time mode", kVendor, kRuntime, 0, Status::Ok,
       "The headset is on USB in run-time mode (1209:7207, bus 1 device 9); you can open it.", ""},
      {"left in DFU mode", kVendor, kDfu, 0, Status::Problem,
       "The headset is on USB in DFU mode (1209:7208, bus 1 device 9): an upgrade was cut short.",
       "Finish the upgrade: qmr7ctl upgrade FILE"},
      {"may not open it", kVendor, kRuntime, EACCES, Status::Problem,
       "The headset is on USB (1209:7207, bus 1 device 9), but you may not open it.",
       "Install this version's rules"},
      {"another maker's DFU device only", 0x0483, 0xdf11, 0, Status::Problem,
       "The headset is not on USB.", "Switch the headset on"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    m.AddUsbDevice("1-4", c.vendor, c.product, 9);
    m.openErrors[m.Path("dev/bus/usb/001/009")] = c.openError;
    const Finding f = UsbDeviceCheck(m.host);
    EXPECT_EQ(f.status, c.status);
    EXPECT_EQ(f.text, c.text);
    EXPECT_EQ(f.fix.rfind(c.fix, 0), 0u) << f.fix;
  }
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
       {{{"", headsetPort, "", 28}}, {dfuWithWinUsb}, true, {}},
       {Status::Problem, Status::Ok, Status::Ok},
       "The headset's COM port  (USB 1209:7207) has no driver installed."},
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
  EXPECT_NE(out.find("\n注意   A virtual"), std::string::npos) << out;

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
