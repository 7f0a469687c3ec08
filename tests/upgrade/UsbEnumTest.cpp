// The USB walk over a fixture tree: walk order and the last match, hubs, the descriptor length
// and type checks, which strings count, and the sysfs host on a folder laid out as the kernel
// lays out /sys.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "tests/support/Hostile.h"
#include "tests/support/TempDir.h"
#include "upgrade/testing/FixtureUsbHost.h"

namespace usbenum {
namespace {

using testing::ConfigDescriptor;
using testing::DeviceWithConfigString;
using testing::FixtureDevice;
using testing::FixtureHub;
using testing::FixtureUsbHost;
using testing::kEnglish;
using testing::LanguageList;

UsbDetection Walk(UsbHost& host) {
  UsbHost* hosts[] = {&host};
  return WalkUsbTree(hosts);
}

// One controller whose root hub has `ports` ports.
FixtureUsbHost OneController(int ports = 4) {
  FixtureUsbHost host;
  host.rootHubs = {"root0"};
  host.hubs["root0"].portCount = ports;
  return host;
}

TEST(UsbWalkTest, ALowerCaseConfigurationStringIsFoundInUpperCase) {
  FixtureUsbHost host = OneController();
  host.hubs["root0"].ports[2] = DeviceWithConfigString("fw:abc.xpv psr:def.psr", "usb:1-2");
  const UsbDetection found = Walk(host);
  EXPECT_EQ(found.configText, "FW:ABC.XPV PSR:DEF.PSR");
  EXPECT_EQ(found.deviceName, "usb:1-2");
  EXPECT_EQ(found.idVendor, 0x1209);
  EXPECT_EQ(found.idProduct, 0x7207);
}

TEST(UsbWalkTest, TheLastMatchInWalkOrderWins) {
  // Controller order, then port order, depth first, a hub's own string after its ports.
  FixtureUsbHost host;
  host.rootHubs = {"root0", "root1"};
  host.hubs["root0"].portCount = 3;
  host.hubs["root1"].portCount = 2;
  FixtureDevice hub = DeviceWithConfigString("FW:hub PSR:hub", "usb:1-1");
  hub.connection.deviceIsHub = true;
  hub.hubName = "hub1";
  host.hubs["root0"].ports[1] = hub;
  host.hubs["hub1"].portCount = 2;
  host.hubs["hub1"].ports[2] = DeviceWithConfigString("FW:below PSR:below", "usb:1-1.2");

  EXPECT_EQ(Walk(host).configText, "FW:HUB PSR:HUB");

  host.hubs["root0"].ports[3] = DeviceWithConfigString("FW:port3 PSR:port3", "usb:1-3");
  EXPECT_EQ(Walk(host).configText, "FW:PORT3 PSR:PORT3");

  host.hubs["root1"].ports[1] = DeviceWithConfigString("FW:second PSR:second", "usb:2-1");
  host.requests.clear();
  const UsbDetection found = Walk(host);
  EXPECT_EQ(found.configText, "FW:SECOND PSR:SECOND");
  EXPECT_EQ(found.deviceName, "usb:2-1");

  // The walk order itself: each hub's ports in turn, the downstream hub's before the next port.
  std::vector<std::string> order;
  for (const auto& r : host.requests) {
    if (r.type == 0) order.push_back(r.hub + "/" + std::to_string(r.port));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"root0/1", "hub1/1", "hub1/2", "root0/2", "root0/3",
                                             "root1/1", "root1/2"}));
}

TEST(UsbWalkTest, AHubWhoseNameCannotBeHadIsExaminedAsADevice) {
  FixtureUsbHost host = OneController();
  FixtureDevice hub = DeviceWithConfigString("FW:hub PSR:hub");
  hub.connection.deviceIsHub = true;  // no hubName
  host.hubs["root0"].ports[1] = hub;
  EXPECT_EQ(Walk(host).configText, "FW:HUB PSR:HUB");
}

// `n` euro signs, three bytes each in UTF-8.
std::string Euros(int n) {
  std::string text;
  for (int i = 0; i < n; ++i)
    text += "\xE2\x82\xAC";
  return text;
}

TEST(UsbWalkTest, WhichConfigurationStringsCount) {
  struct Case {
    const char* name;
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"both markers", "FW:a.xpv PSR:b.psr", "FW:A.XPV PSR:B.PSR"},
      {"no PSR", "FW:a.xpv", ""},
      {"no FW", "PSR:b.psr", ""},
      {"markers in any order", "psr:b fw:a", "PSR:B FW:A"},
      {"only ASCII letters change", "fw:\xC3\xA9 psr:x", "FW:\xC3\xA9 PSR:X"},
      // 126 UTF-16 units fit a descriptor; 255 bytes of text are kept, in whole characters.
      {"long text", "FW:a PSR:b " + std::string(115, 'x'), "FW:A PSR:B " + std::string(115, 'X')},
      {"cut at a character", "FW:a PSR:b " + Euros(115), "FW:A PSR:B " + Euros(81)},
  };
  for (const Case& c : cases) {
    FixtureUsbHost host = OneController();
    host.hubs["root0"].ports[1] = DeviceWithConfigString(c.text);
    const std::string found = Walk(host).configText;
    EXPECT_EQ(found, c.expected) << c.name;
  }
}

TEST(UsbWalkTest, OnlyTheConfigurationsOwnStringIsMatched) {
  FixtureUsbHost host = OneController();
  FixtureDevice d = DeviceWithConfigString("plain");
  d.connection.iProduct = 2;
  d.config = ConfigDescriptor(4, 5);
  d.strings[{2, kEnglish}] = StringDescriptorOf("FW:product PSR:product");
  d.strings[{5, kEnglish}] = StringDescriptorOf("FW:interface PSR:interface");
  host.hubs["root0"].ports[1] = d;
  EXPECT_FALSE(Walk(host).Found());
  // Every named string was read all the same, in the order the walk takes them.
  std::vector<int> read;
  for (const auto& r : host.requests) {
    if (r.type == dfu::kStringDescriptor) read.push_back(r.index);
  }
  EXPECT_EQ(read, (std::vector<int>{0, 2, 4, 5}));
}

TEST(UsbWalkTest, EveryLanguageIsReadAndTheLastMatchWins) {
  FixtureUsbHost host = OneController();
  FixtureDevice d = DeviceWithConfigString("FW:english PSR:english");
  d.strings[{0, 0}] = LanguageList({kEnglish, 0x0411});
  d.strings[{4, 0x0411}] = StringDescriptorOf("FW:japanese PSR:japanese");
  host.hubs["root0"].ports[1] = d;
  EXPECT_EQ(Walk(host).configText, "FW:JAPANESE PSR:JAPANESE");
}

// A device that names every string index from hundreds of interface descriptors, in 126
// languages: it gets its capped share of requests, each index asked once, and the headset behind
// it is still found.
TEST(UsbWalkTest, AHostileDeviceGetsItsCappedShareOfRequests) {
  FixtureUsbHost host = OneController(2);
  FixtureDevice hostile = DeviceWithConfigString("no markers");
  std::vector<std::uint8_t> interfaces;
  for (int i = 0; i < 6000; ++i) {
    for (const std::uint8_t b :
         {9, int{dfu::kInterfaceDescriptor}, 0, 0, 0, 0xFF, 0, 0, 1 + i % 255})
      interfaces.push_back(static_cast<std::uint8_t>(b));
  }
  hostile.config = ConfigDescriptor(4, 7, interfaces);
  std::vector<std::uint16_t> languages;
  for (std::uint16_t l = 0; l < 126; ++l)
    languages.push_back(static_cast<std::uint16_t>(kEnglish + l));
  hostile.strings[{0, 0}] = LanguageList(languages);
  host.hubs["root0"].ports[1] = hostile;
  host.hubs["root0"].ports[2] = DeviceWithConfigString("FW:a PSR:b", "usb:headset");

  EXPECT_EQ(Walk(host).deviceName, "usb:headset");
  int strings = 0;
  int repeated = 0;
  std::set<std::pair<int, int>> asked;
  for (const auto& r : host.requests) {
    if (r.port != 1 || r.type != dfu::kStringDescriptor) continue;
    ++strings;
    if (!asked.insert({r.index, r.language}).second) ++repeated;
  }
  EXPECT_EQ(repeated, 0);
  EXPECT_LE(strings, kMaxStringRequestsPerDevice);
  EXPECT_GT(strings, 1);
  testsupport::RecordHostile("USB device",
                             "a device naming every string index in 6,000 interface descriptors, "
                             "in 126 languages",
                             "at most 64 string requests to it; the headset behind it is found");
}

// A device whose answers break one rule: the walk passes it over and finds nothing.
struct BrokenCase {
  const char* name;
  void (*breakIt)(FixtureDevice&);
};

std::vector<std::uint8_t> Config() {
  return ConfigDescriptor(4);
}

const BrokenCase kBrokenCases[] = {
    {"LanguageListOfLength2",
     [](FixtureDevice& d) {
       d.strings[{0, 0}] = {2, 3};
     }},
    {"NoLanguageList",
     [](FixtureDevice& d) {
       d.strings.erase({0, 0});
     }},
    {"LanguageListOfWrongType",
     [](FixtureDevice& d) {
       d.strings[{0, 0}][1] = 2;
     }},
    {"OddStringLength",
     [](FixtureDevice& d) {
       auto& s = d.strings[{4, kEnglish}];
       s.push_back(0);
       s[0] = static_cast<std::uint8_t>(s.size());
     }},
    {"StringLengthNotTheByteCount",
     [](FixtureDevice& d) {
       d.strings[{4, kEnglish}][0] -= 2;
     }},
    {"StringOfWrongType",
     [](FixtureDevice& d) {
       d.strings[{4, kEnglish}][1] = 2;
     }},
    {"StringOfOneByte",
     [](FixtureDevice& d) {
       d.strings[{4, kEnglish}] = {2};
     }},
    {"ConfigurationShorterThanItsHeader", [](FixtureDevice& d) { d.config.resize(8); }},
    {"TotalLengthBelowTheHeader",
     [](FixtureDevice& d) {
       d.config[2] = 8;
       d.config[3] = 0;
     }},
    {"ConfigurationShorterThanItsTotalLength", [](FixtureDevice& d) { d.config.resize(15); }},
    {"ConfigurationHeaderOfWrongLength",
     [](FixtureDevice& d) {
       d.config = Config();
       d.config[0] = 10;
     }},
    {"ConfigurationNotConnected",
     [](FixtureDevice& d) { d.connection.status = ConnectionStatus::DeviceFailedEnumeration; }},
    {"NoConfiguration", [](FixtureDevice& d) { d.config.clear(); }},
};

class UsbWalkBrokenTest : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(UsbWalkBrokenTest, IsPassedOverSilently) {
  FixtureUsbHost host = OneController();
  FixtureDevice d = DeviceWithConfigString("FW:a PSR:b");
  GetParam().breakIt(d);
  host.hubs["root0"].ports[1] = d;
  // The next port still counts.
  host.hubs["root0"].ports[2] = DeviceWithConfigString("plain", "usb:1-2");
  EXPECT_FALSE(Walk(host).Found());
  host.hubs["root0"].ports[2] = DeviceWithConfigString("FW:next PSR:next", "usb:1-2");
  EXPECT_EQ(Walk(host).deviceName, "usb:1-2");
}

INSTANTIATE_TEST_SUITE_P(Cases, UsbWalkBrokenTest, ::testing::ValuesIn(kBrokenCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(UsbWalkTest, TheDescriptorsAreAskedSmallFirstThenExactly) {
  FixtureUsbHost host = OneController(1);
  host.hubs["root0"].ports[1] = DeviceWithConfigString("FW:a PSR:b");
  Walk(host);
  std::vector<int> lengths;
  for (const auto& r : host.requests) {
    if (r.type == dfu::kConfigDescriptor) lengths.push_back(r.length);
    if (r.type == dfu::kStringDescriptor) {
      EXPECT_EQ(r.length, 255);
    }
  }
  EXPECT_EQ(lengths, (std::vector<int>{9, static_cast<int>(Config().size())}));
}

TEST(UsbWalkTest, TheDescriptorScanStopsWhereTheRulesSay) {
  // A second configuration header further on names another string: matched in the examination,
  // but a wrong-length interface descriptor before it ends the string reading, so it never came.
  FixtureUsbHost host = OneController(1);
  FixtureDevice d = DeviceWithConfigString("plain");
  const std::vector<std::uint8_t> badInterface{10, dfu::kInterfaceDescriptor, 0, 0, 0, 0, 0, 0, 0,
                                               0};
  const std::vector<std::uint8_t> second{9, dfu::kConfigDescriptor, 0, 0, 1, 2, 6, 0x80, 50};
  std::vector<std::uint8_t> extra = badInterface;
  extra.insert(extra.end(), second.begin(), second.end());
  d.config = ConfigDescriptor(4, 0, extra);
  d.strings[{6, kEnglish}] = StringDescriptorOf("FW:six PSR:six");
  host.hubs["root0"].ports[1] = d;
  EXPECT_FALSE(Walk(host).Found());

  // Without the bad interface descriptor, string 6 is read and the later header matches it.
  d.config = ConfigDescriptor(4, 0, second);
  host.hubs["root0"].ports[1] = d;
  EXPECT_EQ(Walk(host).configText, "FW:SIX PSR:SIX");

  // A length of 0 or 1 ends the scan: nothing after it is seen. A one-byte descriptor holds no
  // type, and stepping over it would take the next descriptor's bytes for its own.
  for (const std::vector<std::uint8_t>& stop :
       {std::vector<std::uint8_t>{0, 0, 0}, std::vector<std::uint8_t>{1}}) {
    SCOPED_TRACE(::testing::PrintToString(stop));
    std::vector<std::uint8_t> tail = stop;
    tail.insert(tail.end(), second.begin(), second.end());
    d.config = ConfigDescriptor(4, 0, tail);
    host.hubs["root0"].ports[1] = d;
    EXPECT_FALSE(Walk(host).Found());
  }
}

TEST(UsbWalkTest, NothingAttachedFindsNothingAndAsksNoDescriptor) {
  FixtureUsbHost none;
  EXPECT_FALSE(Walk(none).Found());

  FixtureUsbHost host = OneController(3);
  host.hubs["root0"].failingPorts[1] = true;
  FixtureDevice off;  // NoDeviceConnected
  host.hubs["root0"].ports[2] = off;
  EXPECT_FALSE(Walk(host).Found());
  for (const auto& r : host.requests)
    EXPECT_EQ(r.type, 0) << "a descriptor was asked of port " << r.port;
  EXPECT_EQ(host.requests.size(), 3u);

  FixtureUsbHost mute;
  mute.rootHubs = {"root0"};  // a hub that cannot be asked for its ports
  EXPECT_FALSE(Walk(mute).Found());
  EXPECT_TRUE(mute.requests.empty());
}

TEST(UsbWalkTest, ControllersBeyondTheTenthAreNotExamined) {
  FixtureUsbHost first;
  FixtureUsbHost second;
  for (int i = 0; i < 6; ++i) {
    for (FixtureUsbHost* host : {&first, &second}) {
      const std::string root = "root" + std::to_string(i);
      host->rootHubs.push_back(root);
      host->hubs[root].portCount = 1;
    }
  }
  // Controller 9 is the fourth of the second host; 10 is its fifth.
  second.hubs["root3"].ports[1] = DeviceWithConfigString("FW:nine PSR:nine");
  second.hubs["root4"].ports[1] = DeviceWithConfigString("FW:ten PSR:ten");
  UsbHost* hosts[] = {&first, &second};
  EXPECT_EQ(WalkUsbTree(hosts).configText, "FW:NINE PSR:NINE");
}

TEST(UsbWalkTest, TheCapCountsControllersNotTheirRootHubs) {
  // Eleven controllers with two root hubs each (USB 2 and USB 3), listed as Linux numbers their
  // buses, each controller's after the one before: the tenth controller's root hubs are the 19th
  // and 20th. Listed out of order, a controller's later root hub still counts as that controller.
  struct Case {
    const char* name;
    std::vector<std::string> order;  // root hubs as the host lists them; empty: by controller
    std::string deviceOn;
    bool found;
  };
  const std::vector<Case> cases = {
      {"first controller's second root hub", {}, "hc1-usb3", true},
      {"tenth controller's second root hub", {}, "hc10-usb3", true},
      {"eleventh controller", {}, "hc11-usb2", false},
      {"a counted controller's root hub listed last",
       {"hc1-usb2", "hc2-usb2", "hc3-usb2", "hc4-usb2", "hc5-usb2", "hc6-usb2", "hc7-usb2",
        "hc8-usb2", "hc9-usb2", "hc10-usb2", "hc11-usb2", "hc11-usb3", "hc1-usb3"},
       "hc1-usb3",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FixtureUsbHost host;
    for (int i = 1; i <= 11; ++i) {
      for (const char* side : {"-usb2", "-usb3"}) {
        const std::string root = "hc" + std::to_string(i) + side;
        host.rootHubs.push_back(root);
        host.controllerOf[root] = "hc" + std::to_string(i);
        host.hubs[root].portCount = 1;
      }
    }
    if (!c.order.empty()) host.rootHubs = c.order;
    host.hubs[c.deviceOn].ports[1] = DeviceWithConfigString("FW:a PSR:b", c.deviceOn);
    EXPECT_EQ(Walk(host).deviceName, c.found ? c.deviceOn : "");
  }
}

TEST(UsbWalkTest, VirtualDevicesAreWalkedHoweverManyControllersCameFirst) {
  FixtureUsbHost machine;
  for (int i = 0; i < 12; ++i) {
    const std::string root = "root" + std::to_string(i);
    machine.rootHubs.push_back(root);
    machine.hubs[root].portCount = 1;
  }
  machine.hubs["root2"].ports[1] = DeviceWithConfigString("FW:real PSR:real", "usb:3-1");
  FixtureUsbHost virtualDevices;
  virtualDevices.countsAgainstCap = false;
  virtualDevices.rootHubs = {"virtual"};
  virtualDevices.hubs["virtual"].portCount = 1;
  UsbHost* hosts[] = {&machine, &virtualDevices};
  EXPECT_EQ(WalkUsbTree(hosts).deviceName, "usb:3-1");
  // Walked last, a virtual device's string wins.
  virtualDevices.hubs["virtual"].ports[1] = DeviceWithConfigString("FW:v PSR:v", "virtual:1");
  EXPECT_EQ(WalkUsbTree(hosts).deviceName, "virtual:1");
  // The cap still holds for the machine's controllers.
  machine.hubs["root11"].ports[1] = DeviceWithConfigString("FW:late PSR:late", "usb:12-1");
  virtualDevices.hubs["virtual"].ports.clear();
  EXPECT_EQ(WalkUsbTree(hosts).deviceName, "usb:3-1");
}

TEST(UsbWalkTest, StringDescriptorsCarryUtf16) {
  EXPECT_EQ(StringDescriptorOf("A\xC3\xA9"), (std::vector<std::uint8_t>{6, 3, 'A', 0, 0xE9, 0}));
  // A character beyond the basic plane takes a surrogate pair; broken UTF-8 becomes U+FFFD.
  EXPECT_EQ(StringDescriptorOf("\xF0\x9F\x98\x80"),
            (std::vector<std::uint8_t>{6, 3, 0x3D, 0xD8, 0x00, 0xDE}));
  EXPECT_EQ(StringDescriptorOf("\xC3"), (std::vector<std::uint8_t>{4, 3, 0xFD, 0xFF}));
  EXPECT_EQ(StringDescriptorOf("\xC0\x80"),
            (std::vector<std::uint8_t>{6, 3, 0xFD, 0xFF, 0xFD, 0xFF}));
  EXPECT_EQ(StringDescriptorOf(std::string(300, 'x')).size(), 254u);
}

// --- The sysfs host on a folder laid out as /sys ---------------------------------------------

class SysfsTree {
 public:
  explicit SysfsTree(const std::string& root) : root_(root), devices_(root + "/bus/usb/devices") {
    std::filesystem::create_directories(devices_);
  }

  // A device `name` with its descriptors; hubs get `maxchild`.
  void Add(const std::string& name, std::vector<std::uint8_t> config, int maxchild = 0,
           bool hub = false) {
    const std::string dir = devices_ + "/" + name;
    std::filesystem::create_directories(dir);
    std::vector<std::uint8_t> d{
        18, 1, 0, 2, static_cast<std::uint8_t>(hub ? 9 : 0), 0, 0, 64, 0x09, 0x12, 0x07, 0x72, 0, 1,
        1,  2, 0, 1};
    d.insert(d.end(), config.begin(), config.end());
    testsupport::WriteFile(dir + "/descriptors", std::string(d.begin(), d.end()));
    testsupport::WriteFile(dir + "/maxchild", std::to_string(maxchild) + "\n");
    testsupport::WriteFile(dir + "/bConfigurationValue", "1\n");
    testsupport::WriteFile(dir + "/manufacturer", "Maker\n");
    testsupport::WriteFile(dir + "/product", "FW:product PSR:product\n");
  }
  void Set(const std::string& name, const std::string& attribute, const std::string& text) {
    testsupport::WriteFile(devices_ + "/" + name + "/" + attribute, text);
  }
  // A root hub `usb<N>` as the kernel shows it: a link to its folder below its controller's
  // device `controller` (a PCI address).
  void AddRootHub(int bus, const std::string& controller, int maxchild) {
    const std::string name = "usb" + std::to_string(bus);
    const std::string relative = "devices/pci0000:00/" + controller + "/" + name;
    const std::string dir = root_ + "/" + relative;
    std::filesystem::create_directories(dir);
    std::filesystem::create_directory_symlink("../../../" + relative, devices_ + "/" + name);
    Add(name, ConfigDescriptor(0), maxchild, true);
  }

 private:
  std::string root_;
  std::string devices_;
};

TEST(SysfsUsbHostTest, WalksBusesHubsAndTheActiveConfigurationString) {
  testsupport::TempDir dir;
  SysfsTree sys(dir.Path());
  const auto rootConfig = ConfigDescriptor(0);
  sys.Add("usb2", rootConfig, 2, true);
  sys.Add("usb10", rootConfig, 1, true);  // bus 10 comes after bus 2
  sys.Add("2-1", ConfigDescriptor(4), 0);
  sys.Set("2-1", "configuration", "fw:one.xpv psr:one.psr\n");
  sys.Add("2-2", rootConfig, 4, true);
  sys.Add("2-2.3", ConfigDescriptor(4), 0);
  sys.Set("2-2.3", "configuration", "FW:two PSR:two\n");
  sys.Add("10-1", ConfigDescriptor(4), 0);  // no configuration string

  auto host = MakeSysfsUsbHost(dir.Path());
  EXPECT_EQ(host->RootHubs(), (std::vector<std::string>{"usb2", "usb10"}));
  const UsbDetection found = Walk(*host);
  EXPECT_EQ(found.configText, "FW:TWO PSR:TWO");
  EXPECT_EQ(found.deviceName, "usb:2-2.3");
  EXPECT_EQ(found.idVendor, 0x1209);
  EXPECT_EQ(found.idProduct, 0x7207);

  // The configuration string belongs to the active configuration only.
  sys.Set("2-2.3", "bConfigurationValue", "2\n");
  EXPECT_EQ(Walk(*host).deviceName, "usb:2-1");
}

TEST(SysfsUsbHostTest, TheTwoBusesOfAControllerCountAsOne) {
#ifdef _WIN32
  GTEST_SKIP() << "sysfs links its root hubs; wine makes no symbolic links";
#endif
  // Six xHCI controllers with a USB 2 and a USB 3 bus each: twelve buses, six controllers.
  testsupport::TempDir dir;
  SysfsTree sys(dir.Path());
  for (int bus = 1; bus <= 12; ++bus) {
    char controller[16];
    std::snprintf(controller, sizeof controller, "0000:0%d:00.0", (bus + 1) / 2);
    sys.AddRootHub(bus, controller, 1);
  }
  sys.Add("12-1", ConfigDescriptor(4), 0);
  sys.Set("12-1", "configuration", "FW:a PSR:b\n");
  auto host = MakeSysfsUsbHost(dir.Path());
  EXPECT_EQ(host->ControllerOf("usb11"), host->ControllerOf("usb12"));
  EXPECT_NE(host->ControllerOf("usb10"), host->ControllerOf("usb11"));
  EXPECT_EQ(Walk(*host).deviceName, "usb:12-1");
}

TEST(SysfsUsbHostTest, DescriptorsTheKernelKeptShortAreRefused) {
  testsupport::TempDir dir;
  SysfsTree sys(dir.Path());
  sys.Add("usb1", ConfigDescriptor(0), 1, true);
  auto config = ConfigDescriptor(4);
  config.resize(config.size() - 2);  // wTotalLength says more than the kernel kept
  sys.Add("1-1", config, 0);
  sys.Set("1-1", "configuration", "FW:a PSR:b\n");
  auto host = MakeSysfsUsbHost(dir.Path());
  EXPECT_FALSE(Walk(*host).Found());
}

TEST(SysfsUsbHostTest, NoUsbAtAllIsNoController) {
  testsupport::TempDir dir;
  auto host = MakeSysfsUsbHost(dir / "nothing");
  EXPECT_TRUE(host->RootHubs().empty());
  EXPECT_FALSE(Walk(*host).Found());
}

}  // namespace
}  // namespace usbenum
