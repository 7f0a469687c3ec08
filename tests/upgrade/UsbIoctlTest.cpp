// The USB walk over the Windows hub requests, replayed against a fake hub tree: which device is
// found and how it is named, the exact records sent, replies of the wrong size and failing
// requests passed over, and every controller and hub closed again on every path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "tests/upgrade/FakeHubTree.h"
#include "upgrade/UsbEnum.h"
#include "upgrade/testing/FixtureUsbHost.h"

namespace usbenum {
namespace {

using testing::ConfigDescriptor;
using testing::kEnglish;
using testing::LanguageList;
using usbioctl::testing::FakeCall;
using usbioctl::testing::FakeDevice;
using usbioctl::testing::FakeHub;
using usbioctl::testing::FakeHubTree;
namespace io = usbioctl;

constexpr char kGuid[] = "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

std::string HubName(const std::string& instance) {
  std::string name = instance;
  std::replace(name.begin(), name.end(), '\\', '#');
  return name + kGuid;
}

const std::string kRoot0 = HubName("USB\\ROOT_HUB30\\4&1a2b3c&0&0");
const std::string kRoot1 = HubName("USB\\ROOT_HUB\\4&77&0");
const std::string kHubA = HubName("USB\\VID_05E3&PID_0610\\5&abc&0&1");
const std::string kHubB = HubName("USB\\VID_2109&PID_2817\\6&def&0&2");

// A device whose configuration string (index 4, US English) is `text`.
FakeDevice Headset(const std::string& text) {
  FakeDevice d;
  d.config = ConfigDescriptor(4);
  d.strings[{0, 0}] = LanguageList({kEnglish});
  d.strings[{4, kEnglish}] = StringDescriptorOf(text);
  return d;
}

FakeDevice Hub(const std::string& name, const std::string& configText = {}) {
  FakeDevice d = configText.empty() ? FakeDevice{} : Headset(configText);
  if (configText.empty()) d.config = ConfigDescriptor(0);
  d.isHub = true;
  d.hubName = name;
  return d;
}

UsbDetection Walk(const std::shared_ptr<FakeHubTree>& tree) {
  const auto host = MakeIoctlUsbHost(tree);
  UsbHost* hosts[] = {host.get()};
  return WalkUsbTree(hosts);
}

// --- Trees -----------------------------------------------------------------------------------

struct TreeCase {
  const char* name;
  void (*build)(FakeHubTree&);
  std::string configText;  // empty: nothing found
  std::string deviceName;
};

const TreeCase kTreeCases[] = {
    {"DeviceOnTheRootHub",
     [](FakeHubTree& t) {
       t.controllers = {{0, kRoot0}};
       t.hubs[kRoot0].devices[2] = Headset("fw:abc.xpv psr:def.psr");
     },
     "FW:ABC.XPV PSR:DEF.PSR", "usb:USB\\ROOT_HUB30\\4&1A2B3C&0&0/2"},
    {"DeviceBelowTwoHubs",
     [](FakeHubTree& t) {
       t.controllers = {{0, kRoot0}};
       t.hubs[kRoot0].devices[1] = Hub(kHubA);
       t.hubs[kHubA].ports = 2;
       t.hubs[kHubA].devices[2] = Hub(kHubB);
       t.hubs[kHubB].ports = 7;
       t.hubs[kHubB].devices[7] = Headset("FW:deep PSR:deep");
     },
     "FW:DEEP PSR:DEEP", "usb:USB\\VID_2109&PID_2817\\6&DEF&0&2/7"},
    {"EmptyPortsAndAnEmptyHub",
     [](FakeHubTree& t) {
       t.controllers = {{0, kRoot0}};
       t.hubs[kRoot0].devices[1] = Hub(kHubA);
       t.hubs[kHubA].ports = 4;
       t.hubs[kRoot0].devices[4] = Headset("FW:last PSR:last");
     },
     "FW:LAST PSR:LAST", "usb:USB\\ROOT_HUB30\\4&1A2B3C&0&0/4"},
    {"ADeviceWithoutStrings",
     [](FakeHubTree& t) {
       t.controllers = {{0, kRoot0}};
       t.hubs[kRoot0].devices[1] = Headset("FW:first PSR:first");
       FakeDevice mute = Headset("FW:mute PSR:mute");
       mute.strings.clear();  // not even a language list
       t.hubs[kRoot0].devices[2] = mute;
     },
     "FW:FIRST PSR:FIRST", "usb:USB\\ROOT_HUB30\\4&1A2B3C&0&0/1"},
    {"DevicesThatDidNotEnumerate",
     [](FakeHubTree& t) {
       t.controllers = {{0, kRoot0}};
       t.hubs[kRoot0].ports = 6;
       for (std::uint32_t status : {0u, 2u, 3u, 4u, 5u}) {
         FakeDevice d = Headset("FW:x PSR:x");
         d.status = status;
         t.hubs[kRoot0].devices[status + 1] = d;
       }
     },
     "", ""},
    {"AHubsOwnStringComesAfterItsPorts",
     [](FakeHubTree& t) {
       t.controllers = {{0, kRoot0}};
       t.hubs[kRoot0].devices[1] = Hub(kHubA, "FW:hub PSR:hub");
       t.hubs[kHubA].devices[1] = Headset("FW:below PSR:below");
     },
     "FW:HUB PSR:HUB", "usb:USB\\ROOT_HUB30\\4&1A2B3C&0&0/1"},
    {"AHubWithoutANameIsExaminedAsADevice",
     [](FakeHubTree& t) {
       t.controllers = {{0, kRoot0}};
       t.hubs[kRoot0].devices[1] = Hub("", "FW:hub PSR:hub");
     },
     "FW:HUB PSR:HUB", "usb:USB\\ROOT_HUB30\\4&1A2B3C&0&0/1"},
    {"ControllerGapsAreSkippedAndTheLastControllerWins",
     [](FakeHubTree& t) {
       t.controllers = {{1, kRoot0}, {3, kRoot1}};
       t.hubs[kRoot0].devices[1] = Headset("FW:one PSR:one");
       t.hubs[kRoot1].devices[1] = Headset("FW:three PSR:three");
     },
     "FW:THREE PSR:THREE", "usb:USB\\ROOT_HUB\\4&77&0/1"},
    {"ControllerTenIsNotExamined",
     [](FakeHubTree& t) {
       t.controllers = {{9, kRoot0}, {10, kRoot1}};
       t.hubs[kRoot0].devices[1] = Headset("FW:nine PSR:nine");
       t.hubs[kRoot1].devices[1] = Headset("FW:ten PSR:ten");
     },
     "FW:NINE PSR:NINE", "usb:USB\\ROOT_HUB30\\4&1A2B3C&0&0/1"},
    {"NoControllers", [](FakeHubTree&) {}, "", ""},
};

class IoctlTreeTest : public ::testing::TestWithParam<TreeCase> {};

TEST_P(IoctlTreeTest, FindsTheLastMatchAndClosesEverything) {
  const auto tree = std::make_shared<FakeHubTree>();
  GetParam().build(*tree);
  const UsbDetection found = Walk(tree);
  EXPECT_EQ(found.configText, GetParam().configText);
  EXPECT_EQ(found.deviceName, GetParam().deviceName);
  EXPECT_EQ(tree->OpenDevices(), 0);
  // Only a connected device is asked for descriptors.
  for (const FakeCall& call : tree->calls) {
    if (call.code != io::kGetDescriptorFromNodeConnection) continue;
    const auto& devices = tree->hubs[call.path.substr(4)].devices;
    const auto device = devices.find(call.connectionIndex);
    ASSERT_NE(device, devices.end());
    EXPECT_EQ(device->second.status, 1u) << "port " << call.connectionIndex;
  }
}

INSTANTIATE_TEST_SUITE_P(Trees, IoctlTreeTest, ::testing::ValuesIn(kTreeCases),
                         [](const auto& param) { return std::string(param.param.name); });

// --- The records sent --------------------------------------------------------------------------

std::string Describe(const FakeCall& c) {
  std::string code;
  switch (c.code) {
    case io::kGetNodeInformation:  // also kGetRootHubName, which only controllers receive
      code = c.path.find("HCD") != std::string::npos ? "root-hub-name" : "node-information";
      break;
    case io::kGetNodeConnectionInformation:
      code = "connection-information";
      break;
    case io::kGetDescriptorFromNodeConnection:
      code = "descriptor";
      break;
    case io::kGetNodeConnectionName:
      code = "connection-name";
      break;
    default:
      code = std::to_string(c.code);
  }
  std::string text = c.path + " " + code + " in " + std::to_string(c.in) + " out " +
                     std::to_string(c.out) + " port " + std::to_string(c.connectionIndex);
  if (c.code == io::kGetDescriptorFromNodeConnection) {
    char setup[40];
    std::snprintf(setup, sizeof setup, " %04X %04X %u", c.wValue, c.wIndex, c.wLength);
    text += setup;
  }
  return text;
}

TEST(IoctlWalkTest, SendsTheRecordsWithTheirExactSizes) {
  const auto tree = std::make_shared<FakeHubTree>();
  const std::string root = "ROOT";
  const std::string hub = "HUB";
  tree->controllers = {{0, root}};
  tree->hubs[root].ports = 2;
  tree->hubs[root].devices[1] = Hub(hub);
  tree->hubs[hub].ports = 1;
  tree->hubs[hub].devices[1] = Headset("FW:a PSR:b");
  EXPECT_EQ(Walk(tree).configText, "FW:A PSR:B");

  // Both configurations are 18 bytes: the header and one interface. The root hub's name "ROOT"
  // takes 4 + 5 units of record, the hub's name "HUB" 8 + 4 units.
  ASSERT_EQ(ConfigDescriptor(4).size(), 18u);
  const std::vector<std::string> expected = {
      "\\\\.\\HCD0 root-hub-name in 0 out 6 port 0",
      "\\\\.\\HCD0 root-hub-name in 0 out 14 port 0",
      "\\\\.\\ROOT node-information in 76 out 76 port 0",
      "\\\\.\\ROOT connection-information in 365 out 365 port 1",
      "\\\\.\\ROOT descriptor in 21 out 21 port 1 0200 0000 9",
      "\\\\.\\ROOT descriptor in 30 out 30 port 1 0200 0000 18",
      "\\\\.\\ROOT connection-name in 10 out 10 port 1",
      "\\\\.\\ROOT connection-name in 16 out 16 port 1",
      "\\\\.\\HUB node-information in 76 out 76 port 0",
      "\\\\.\\HUB connection-information in 365 out 365 port 1",
      "\\\\.\\HUB descriptor in 21 out 21 port 1 0200 0000 9",
      "\\\\.\\HUB descriptor in 30 out 30 port 1 0200 0000 18",
      "\\\\.\\HUB descriptor in 267 out 267 port 1 0300 0000 255",
      "\\\\.\\HUB descriptor in 267 out 267 port 1 0304 0409 255",
      "\\\\.\\ROOT connection-information in 365 out 365 port 2",
  };
  std::vector<std::string> sent;
  for (const FakeCall& c : tree->calls)
    sent.push_back(Describe(c));
  EXPECT_EQ(sent, expected);
}

TEST(IoctlWalkTest, AControllerStaysOpenWhileItsTreeIsWalkedAndAHubWhileItsPortsAre) {
  const auto tree = std::make_shared<FakeHubTree>();
  tree->controllers = {{0, "R0"}, {1, "R1"}};
  tree->hubs["R0"].ports = 1;
  tree->hubs["R0"].devices[1] = Hub("H");
  tree->hubs["H"].ports = 1;
  tree->hubs["R1"].ports = 1;
  Walk(tree);
  EXPECT_EQ(tree->events,
            (std::vector<std::string>{"open \\\\.\\HCD0", "open \\\\.\\R0", "open \\\\.\\H",
                                      "close \\\\.\\H", "close \\\\.\\R0", "close \\\\.\\HCD0",
                                      "open \\\\.\\HCD1", "open \\\\.\\R1", "close \\\\.\\R1",
                                      "close \\\\.\\HCD1"}));
}

// --- Replies of the wrong size, failing requests ---------------------------------------------

// Controller 0 has "FW:first" on its port 1, controller 1 "FW:last" on its port 2: a fault in
// controller 1's tree leaves "FW:first", found before it.
std::shared_ptr<FakeHubTree> TwoControllers() {
  auto tree = std::make_shared<FakeHubTree>();
  tree->controllers = {{0, kRoot0}, {1, kRoot1}};
  tree->hubs[kRoot0].devices[1] = Headset("FW:first PSR:first");
  tree->hubs[kRoot1].devices[2] = Headset("FW:last PSR:last");
  return tree;
}

using Reply = std::optional<std::uint32_t>;

struct FaultCase {
  const char* name;
  // Whether this request of controller 1's tree is the one to break.
  bool (*target)(const FakeCall&);
  void (*breakIt)(const FakeCall&, std::span<std::uint8_t>, Reply&);
};

bool RootHubName(const FakeCall& c) {
  return c.path == "\\\\.\\HCD1";
}
bool NodeInformation(const FakeCall& c) {
  return c.path == "\\\\.\\" + kRoot1 && c.code == io::kGetNodeInformation;
}
bool Connection(const FakeCall& c) {
  return c.path == "\\\\.\\" + kRoot1 && c.code == io::kGetNodeConnectionInformation &&
         c.connectionIndex == 2;
}
bool ConfigHeader(const FakeCall& c) {
  return c.path == "\\\\.\\" + kRoot1 && c.wValue == 0x0200 && c.wLength == 9;
}
bool ConfigWhole(const FakeCall& c) {
  return c.path == "\\\\.\\" + kRoot1 && c.wValue == 0x0200 && c.wLength > 9;
}
bool LanguageListRequest(const FakeCall& c) {
  return c.path == "\\\\.\\" + kRoot1 && c.wValue == 0x0300;
}
bool ConfigString(const FakeCall& c) {
  return c.path == "\\\\.\\" + kRoot1 && c.wValue == 0x0304;
}

const FaultCase kFaultCases[] = {
    {"RootHubNameFails", RootHubName,
     [](const FakeCall&, std::span<std::uint8_t>, Reply& r) { r.reset(); }},
    {"RootHubNameReplyWithoutItsLength", RootHubName,
     [](const FakeCall&, std::span<std::uint8_t>, Reply& r) { r = 3; }},
    {"RootHubNameEmpty", RootHubName,
     [](const FakeCall&, std::span<std::uint8_t> b, Reply&) {
       if (b.size() >= 4) io::Put32(b, 0, 6);
     }},
    {"RootHubNameClaimsAMegabyte", RootHubName,
     [](const FakeCall&, std::span<std::uint8_t> b, Reply&) {
       if (b.size() == io::kRootHubNameSize) io::Put32(b, 0, 1u << 20);
     }},
    {"NodeInformationFails", NodeInformation,
     [](const FakeCall&, std::span<std::uint8_t>, Reply& r) { r.reset(); }},
    {"NodeInformationWithoutThePortCount", NodeInformation,
     [](const FakeCall&, std::span<std::uint8_t>, Reply& r) { r = 6; }},
    {"ConnectionInformationFails", Connection,
     [](const FakeCall&, std::span<std::uint8_t>, Reply& r) { r.reset(); }},
    {"ConnectionInformationShort", Connection,
     [](const FakeCall&, std::span<std::uint8_t>, Reply& r) { r = 34; }},
    {"ReplyLargerThanItsBuffer", Connection,
     [](const FakeCall& c, std::span<std::uint8_t>, Reply& r) {
       r = static_cast<std::uint32_t>(c.out + 1);
     }},
    {"ConfigurationRequestFails", ConfigHeader,
     [](const FakeCall&, std::span<std::uint8_t>, Reply& r) { r.reset(); }},
    {"ConfigurationHeaderShort", ConfigHeader,
     [](const FakeCall&, std::span<std::uint8_t>, Reply& r) { r = 20; }},
    {"ConfigurationTotalLengthBelowItsHeader", ConfigHeader,
     [](const FakeCall&, std::span<std::uint8_t> b, Reply&) { io::Put16(b, 12 + 2, 8); }},
    {"ConfigurationOneByteShort", ConfigWhole,
     [](const FakeCall&, std::span<std::uint8_t>, Reply& r) { *r -= 1; }},
    {"ConfigurationTotalLengthChanged", ConfigWhole,
     [](const FakeCall&, std::span<std::uint8_t> b, Reply&) {
       io::Put16(b, 12 + 2, static_cast<std::uint16_t>(io::Get16(b, 12 + 2) - 1));
     }},
    {"LanguageListFails", LanguageListRequest,
     [](const FakeCall&, std::span<std::uint8_t>, Reply& r) { r.reset(); }},
    {"LanguageListOfLengthTwo", LanguageListRequest,
     [](const FakeCall&, std::span<std::uint8_t> b, Reply& r) {
       b[12] = 2;
       r = 14;
     }},
    {"StringRequestFails", ConfigString,
     [](const FakeCall&, std::span<std::uint8_t>, Reply& r) { r.reset(); }},
    {"StringLengthNotTheByteCount", ConfigString,
     [](const FakeCall&, std::span<std::uint8_t>, Reply& r) { *r -= 2; }},
    {"StringOfOnlyTheRequestRecord", ConfigString,
     [](const FakeCall&, std::span<std::uint8_t>, Reply& r) { r = 12; }},
    {"StringOfWrongType", ConfigString,
     [](const FakeCall&, std::span<std::uint8_t> b, Reply&) { b[13] = 2; }},
    {"StringOfOddLength", ConfigString,
     [](const FakeCall&, std::span<std::uint8_t> b, Reply& r) {
       b[12] = static_cast<std::uint8_t>(b[12] - 1);
       *r -= 1;
     }},
};

class IoctlFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(IoctlFaultTest, IsPassedOverAndTheWalkGoesOn) {
  const auto tree = TwoControllers();
  ASSERT_EQ(Walk(tree).configText, "FW:LAST PSR:LAST");

  tree->events.clear();
  tree->calls.clear();
  bool hit = false;
  tree->tamper = [&](const FakeCall& c, std::span<std::uint8_t> b, Reply& r) {
    if (!GetParam().target(c)) return;
    hit = true;
    GetParam().breakIt(c, b, r);
  };
  EXPECT_EQ(Walk(tree).configText, "FW:FIRST PSR:FIRST");
  EXPECT_TRUE(hit) << "the request to break was never sent";
  EXPECT_EQ(tree->OpenDevices(), 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, IoctlFaultTest, ::testing::ValuesIn(kFaultCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(IoctlWalkTest, AHubThatCannotBeOpenedIsGivenUp) {
  const auto tree = TwoControllers();
  tree->hubs[kRoot1].devices[1] = Hub(kHubA);  // named, but no such hub to open
  tree->hubs[kRoot1].devices[3] = Headset("FW:after PSR:after");
  EXPECT_EQ(Walk(tree).configText, "FW:AFTER PSR:AFTER");
  EXPECT_EQ(tree->OpenDevices(), 0);
}

}  // namespace
}  // namespace usbenum
