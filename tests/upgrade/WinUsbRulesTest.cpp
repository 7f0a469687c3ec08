// What the Windows USB backends decide without Windows: the names the walk and the transport share,
// which devices count as DFU devices, whether WinUSB serves the headset's DFU interface, and what a
// system error from WinUSB makes of an engine run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>

#include "tests/upgrade/EngineHarness.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "upgrade/DfuNames.h"
#include "upgrade/DfuQuirks.h"
#include "upgrade/WinUsbRules.h"
#include "upgrade/testing/SimulatedTransport.h"

namespace dfu {
namespace {

using toolkit::ErrorKind;

TEST(WinUsbNames, AHubNameGivesItsInstanceAndADeviceIsNamedByHubAndPort) {
  const struct {
    const char* hubName;
    const char* instance;
  } cases[] = {
      {"USB#ROOT_HUB30#4&1a2b3c&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}",
       "USB\\ROOT_HUB30\\4&1A2B3C&0&0"},
      {"\\\\?\\usb#vid_05e3&pid_0610#5&abc&0&1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}",
       "USB\\VID_05E3&PID_0610\\5&ABC&0&1"},
      {"\\\\.\\USB#ROOT_HUB#4&77&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}",
       "USB\\ROOT_HUB\\4&77&0"},
      // Not an interface name: only the separators and the case change.
      {"USB#ROOT_HUB#4&77&0", "USB\\ROOT_HUB\\4&77&0"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(winusb::HubInstanceOf(c.hubName), c.instance) << c.hubName;

  // The walk's name (from the hub's interface name) and the transport's (from the hub's instance,
  // as the device manager spells it) agree.
  EXPECT_EQ(winusb::PortDeviceName(winusb::HubInstanceOf(cases[1].hubName), 3),
            "usb:USB\\VID_05E3&PID_0610\\5&ABC&0&1/3");
  EXPECT_EQ(winusb::PortDeviceName("usb\\vid_05e3&pid_0610\\5&abc&0&1", 3),
            "usb:USB\\VID_05E3&PID_0610\\5&ABC&0&1/3");
}

TEST(WinUsbNames, CompositeFunctionsAndDfuCompatibleIds) {
  EXPECT_TRUE(winusb::IsCompositeFunction("USB\\VID_1209&PID_7207&MI_01\\6&1A2B&0&0001"));
  EXPECT_TRUE(winusb::IsCompositeFunction("usb\\vid_1209&pid_7207&mi_01\\6&1a2b&0&0001"));
  EXPECT_FALSE(winusb::IsCompositeFunction("USB\\VID_1209&PID_7208\\5&ABC&0&2"));
  // "&MI_" in the instance part is no function number.
  EXPECT_FALSE(winusb::IsCompositeFunction("USB\\VID_1209&PID_7208\\5&MI_&0&2"));
  EXPECT_FALSE(winusb::IsCompositeFunction("ROOT_HUB"));

  EXPECT_TRUE(winusb::HasDfuCompatibleId(
      {"USB\\Class_FE&SubClass_01&Prot_02", "USB\\Class_FE&SubClass_01", "USB\\Class_FE"}));
  EXPECT_TRUE(winusb::HasDfuCompatibleId({"USB\\COMPOSITE", "usb\\class_fe&subclass_01&prot_01"}));
  EXPECT_FALSE(winusb::HasDfuCompatibleId({"USB\\Class_FE&SubClass_01", "USB\\Class_FE"}));
  EXPECT_FALSE(winusb::HasDfuCompatibleId({"USB\\Class_FE&SubClass_02&Prot_01"}));
  EXPECT_FALSE(winusb::HasDfuCompatibleId({}));
}

TEST(WinUsbNames, MultiStringsEndAtTheEmptyEntry) {
  EXPECT_EQ(winusb::MultiStrings(std::u16string(u"a\0bc\0\0ignored\0", 15)),
            (std::vector<std::string>{"a", "bc"}));
  // A single text (REG_SZ) with or without its NUL, and a list cut short.
  EXPECT_EQ(winusb::MultiStrings(u"{guid}"), (std::vector<std::string>{"{guid}"}));
  EXPECT_EQ(winusb::MultiStrings(std::u16string(u"x\0y", 3)), (std::vector<std::string>{"x", "y"}));
  EXPECT_TRUE(winusb::MultiStrings(std::u16string(u"\0x\0", 3)).empty());
  EXPECT_EQ(winusb::MultiStrings(u"\u00e9"), (std::vector<std::string>{"\xC3\xA9"}));
}

// --- The headset's DFU interface and its driver ----------------------------------------------

using winusb::DeviceNode;
using winusb::DfuDriverState;
using winusb::HeadsetOnUsb;

const std::vector<std::string> kDfuModeIds = {"USB\\Class_FE&SubClass_01&Prot_02",
                                              "USB\\Class_FE&SubClass_01", "USB\\Class_FE"};
const std::vector<std::string> kRunTimeIds = {"USB\\Class_FE&SubClass_01&Prot_01",
                                              "USB\\Class_FE&SubClass_01", "USB\\Class_FE"};
const std::vector<std::string> kCompositeIds = {"USB\\DevClass_00&SubClass_00&Prot_00",
                                                "USB\\DevClass_00", "USB\\COMPOSITE"};
const std::vector<std::string> kSerialIds = {"USB\\Class_02&SubClass_02&Prot_01",
                                             "USB\\Class_02&SubClass_02", "USB\\Class_02"};
const std::vector<std::string> kGuid = {"{16ECCDDD-BD54-45CF-A11F-2426BF217850}"};

TEST(WinUsbDriver, UsbIdsOfAnInstanceOrHardwareId) {
  const struct {
    const char* id;
    std::optional<winusb::UsbIds> ids;
  } cases[] = {
      {"USB\\VID_1209&PID_7208\\5&ABC&0&2", winusb::UsbIds{0x1209, 0x7208}},
      {"usb\\vid_1209&pid_7207&mi_02\\6&1a2b&0&0002", winusb::UsbIds{0x1209, 0x7207}},
      {"USB\\VID_ABCD&PID_00EF", winusb::UsbIds{0xABCD, 0x00EF}},
      {"USB\\VID_1209&PID_7207&REV_0100", winusb::UsbIds{0x1209, 0x7207}},
      {"USB\\ROOT_HUB30\\4&1A2B3C&0&0", std::nullopt},
      {"USB\\VID_12G9&PID_7207\\1", std::nullopt},
      {"USB\\VID_1209&PID_72071\\1", std::nullopt},
      {"USB\\VID_1209&PID_72", std::nullopt},
      {"USB\\VID_1209", std::nullopt},
      {"VID_1209&PID_7207", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(winusb::UsbIdsOf(c.id), c.ids) << c.id;
  EXPECT_EQ(winusb::UsbIdText({0x1209, 0x7208}), "1209:7208");
  EXPECT_EQ(winusb::UsbIdText({0xABCD, 0x00EF}), "abcd:00ef");
}

TEST(WinUsbDriver, TheStateOfANodeByItsServiceProblemAndInterfaceClass) {
  const struct {
    const char* name;
    const char* service;
    std::uint32_t problem;
    bool guid;
    DfuDriverState state;
  } cases[] = {
      {"WinUsbStarted", "WinUSB", 0, true, DfuDriverState::Usable},
      {"ServiceInOtherCase", "winusb", 0, true, DfuDriverState::Usable},
      {"NoServiceAfterAFailedInstall", "", winusb::kProblemFailedInstall, false,
       DfuDriverState::NoDriver},
      {"NoServiceYetNoProblem", "", 0, false, DfuDriverState::NoDriver},
      {"NotConfigured", "", winusb::kProblemNotConfigured, false, DfuDriverState::NoDriver},
      // The property of an earlier driver outlives a failed install.
      {"FailedInstallWithAStaleService", "WinUSB", winusb::kProblemFailedInstall, true,
       DfuDriverState::NoDriver},
      {"AnotherDriver", "libusbK", 0, false, DfuDriverState::OtherDriver},
      {"AnotherDriverWithAProblem", "usbser", 10, false, DfuDriverState::OtherDriver},
      {"WinUsbDisabled", "WinUSB", 22, true, DfuDriverState::WinUsbProblem},
      {"WinUsbFailedToStart", "WinUSB", 10, true, DfuDriverState::WinUsbProblem},
      {"WinUsbPickedByHandWithoutAClass", "WinUSB", 0, false, DfuDriverState::NoInterfaceClass},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceNode node{"USB\\VID_1209&PID_7208\\5&ABC&0&2", kDfuModeIds, c.service, c.problem,
                    c.guid ? kGuid : std::vector<std::string>{}};
    EXPECT_EQ(winusb::DriverStateOf(node), c.state);
    EXPECT_EQ(winusb::IsUsableDfuInterface(node), c.state == DfuDriverState::Usable);
    // Only a DFU interface is one the transport uses, however well WinUSB drives it.
    node.compatibleIds = kCompositeIds;
    EXPECT_FALSE(winusb::IsUsableDfuInterface(node));
  }
}

// Device trees as the configuration manager lists them.
struct TreeCase {
  const char* name;
  std::vector<DeviceNode> nodes;
  HeadsetOnUsb verdict;
  winusb::UsbIds ids;  // for WithoutWinUsb
  DfuDriverState state;
  const char* instanceId;
};

const DeviceNode kRootHub{"USB\\ROOT_HUB30\\4&1A2B3C&0&0", {}, "USBHUB3", 0, {}};
const DeviceNode kMouse{
    "USB\\VID_046D&PID_C077\\5&1&0&3", {"USB\\Class_03&SubClass_01&Prot_02"}, "HidUsb", 0, {}};
// Another maker's DFU device that nobody installed a driver for.
const DeviceNode kOtherDfuDevice{
    "USB\\VID_0483&PID_DF11\\3577", kDfuModeIds, "", winusb::kProblemFailedInstall, {}};

DeviceNode DfuMode(std::string service, std::uint32_t problem, std::vector<std::string> guids) {
  return {"USB\\VID_1209&PID_7208\\5&ABC&0&2", kDfuModeIds, std::move(service), problem,
          std::move(guids)};
}
DeviceNode RunTimeFunction(std::string service, std::uint32_t problem) {
  return {
      "USB\\VID_1209&PID_7207&MI_02\\6&1A2B&0&0002", kRunTimeIds, std::move(service), problem, {}};
}
const DeviceNode kCompositeParent{
    "USB\\VID_1209&PID_7207\\5&ABC&0&2", kCompositeIds, "usbccgp", 0, {}};
const DeviceNode kSerialFunction{
    "USB\\VID_1209&PID_7207&MI_00\\6&1A2B&0&0000", kSerialIds, "usbser", 0, {}};
// The run-time headset as one device whose only interface is the DFU one.
DeviceNode RunTimeDevice(std::string service, std::uint32_t problem,
                         std::vector<std::string> guids) {
  return {"USB\\VID_1209&PID_7207\\5&ABC&0&2", kRunTimeIds, std::move(service), problem,
          std::move(guids)};
}

const TreeCase kTrees[] = {
    {"NothingAttached", {kRootHub}, HeadsetOnUsb::Absent, {}, {}, ""},
    {"OnlyOtherDevicesWithoutDrivers",
     {kRootHub, kMouse, kOtherDfuDevice},
     HeadsetOnUsb::Absent,
     {},
     {},
     ""},
    {"DfuModeWithWinUsb",
     {kRootHub, kOtherDfuDevice, DfuMode("WinUSB", 0, kGuid)},
     HeadsetOnUsb::Usual,
     {},
     {},
     ""},
    {"DfuModeWithoutADriver",
     {kRootHub, kMouse, DfuMode("", winusb::kProblemFailedInstall, {})},
     HeadsetOnUsb::WithoutWinUsb,
     {0x1209, 0x7208},
     DfuDriverState::NoDriver,
     "USB\\VID_1209&PID_7208\\5&ABC&0&2"},
    {"DfuModeWithAnotherDriver",
     {kRootHub, DfuMode("libusb0", 0, {})},
     HeadsetOnUsb::WithoutWinUsb,
     {0x1209, 0x7208},
     DfuDriverState::OtherDriver,
     "USB\\VID_1209&PID_7208\\5&ABC&0&2"},
    {"DfuModeWithWinUsbDisabled",
     {DfuMode("WinUSB", 22, kGuid)},
     HeadsetOnUsb::WithoutWinUsb,
     {0x1209, 0x7208},
     DfuDriverState::WinUsbProblem,
     "USB\\VID_1209&PID_7208\\5&ABC&0&2"},
    {"DfuModeWithWinUsbPickedByHand",
     {DfuMode("WinUSB", 0, {})},
     HeadsetOnUsb::WithoutWinUsb,
     {0x1209, 0x7208},
     DfuDriverState::NoInterfaceClass,
     "USB\\VID_1209&PID_7208\\5&ABC&0&2"},
    {"RunTimeDeviceWithoutADriver",
     {kRootHub, RunTimeDevice("", winusb::kProblemFailedInstall, {})},
     HeadsetOnUsb::WithoutWinUsb,
     {0x1209, 0x7207},
     DfuDriverState::NoDriver,
     "USB\\VID_1209&PID_7207\\5&ABC&0&2"},
    {"RunTimeDeviceWithWinUsb",
     {kRootHub, RunTimeDevice("WinUSB", 0, kGuid)},
     HeadsetOnUsb::Usual,
     {},
     {},
     ""},
    // Composite: the parent is the composite driver's, the serial function the serial driver's;
    // only the DFU function is judged.
    {"CompositeWithTheDfuFunctionWithoutADriver",
     {kRootHub, kCompositeParent, kSerialFunction,
      RunTimeFunction("", winusb::kProblemFailedInstall)},
     HeadsetOnUsb::WithoutWinUsb,
     {0x1209, 0x7207},
     DfuDriverState::NoDriver,
     "USB\\VID_1209&PID_7207&MI_02\\6&1A2B&0&0002"},
    {"CompositeWithTheDfuFunctionOnWinUsb",
     {kRootHub, kCompositeParent, kSerialFunction,
      [] {
        DeviceNode n = RunTimeFunction("WinUSB", 0);
        n.interfaceGuids = kGuid;
        return n;
      }()},
     HeadsetOnUsb::Usual,
     {},
     {},
     ""},
    // The headset is there, but no node of it is a DFU interface: nothing to say of drivers.
    {"CompositeWithoutItsDfuFunctionListed",
     {kRootHub, kCompositeParent, kSerialFunction},
     HeadsetOnUsb::Usual,
     {},
     {},
     ""},
    // Two headsets: the one that lacks WinUSB is named, whatever the other has.
    {"TwoHeadsetsOneWithoutWinUsb",
     {DfuMode("WinUSB", 0, kGuid), RunTimeFunction("usbccgp", 0)},
     HeadsetOnUsb::WithoutWinUsb,
     {0x1209, 0x7207},
     DfuDriverState::OtherDriver,
     "USB\\VID_1209&PID_7207&MI_02\\6&1A2B&0&0002"},
};

class HeadsetDriverTest : public ::testing::TestWithParam<TreeCase> {};

TEST_P(HeadsetDriverTest, TellsNoHeadsetAMissingWinUsbAndTheUsualCaseApart) {
  const TreeCase& c = GetParam();
  const winusb::HeadsetDriverCheck check = winusb::CheckHeadsetDriver(c.nodes);
  EXPECT_EQ(check.verdict, c.verdict);
  if (c.verdict != HeadsetOnUsb::WithoutWinUsb) return;
  EXPECT_EQ(check.ids, c.ids);
  EXPECT_EQ(check.state, c.state);
  EXPECT_EQ(check.instanceId, c.instanceId);
  const auto node = std::find_if(c.nodes.begin(), c.nodes.end(),
                                 [&](const DeviceNode& n) { return n.instanceId == c.instanceId; });
  ASSERT_NE(node, c.nodes.end());
  EXPECT_EQ(check.service, node->service);
  EXPECT_EQ(check.problem, node->problem);
}

INSTANTIATE_TEST_SUITE_P(Trees, HeadsetDriverTest, ::testing::ValuesIn(kTrees),
                         [](const auto& param) { return std::string(param.param.name); });

// Ids given for a headset the table does not know count as the walk counts them, in either mode;
// another device stays another's.
TEST(WinUsbDriver, TheIdsGivenAreTheHeadsets) {
  const dfu::DeviceIds extra[] = {dfu::DeviceIds{0x1234, 0x0001, 0x1234, 0x0002}};
  for (const auto& [id, headset] :
       std::vector<std::pair<std::string, bool>>{{"USB\\VID_1234&PID_0001\\1", true},
                                                 {"USB\\VID_1234&PID_0002\\1", true},
                                                 {"USB\\VID_1234&PID_0003\\1", false}}) {
    SCOPED_TRACE(id);
    const DeviceNode nodes[] = {{id, kDfuModeIds, "", winusb::kProblemFailedInstall, {}}};
    EXPECT_EQ(winusb::CheckHeadsetDriver(nodes).verdict, HeadsetOnUsb::Absent);
    EXPECT_EQ(winusb::CheckHeadsetDriver(nodes, extra).verdict,
              headset ? HeadsetOnUsb::WithoutWinUsb : HeadsetOnUsb::Absent);
  }
}

TEST(WinUsbDriver, EveryIdOfTheQuirksTableIsTheHeadsets) {
  for (const Quirk& q : Quirks()) {
    for (const std::uint16_t product : {q.runtimeProduct, q.dfuProduct}) {
      char id[64];
      std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X\\1", q.vendor, product);
      const DeviceNode node{id, kDfuModeIds, "", winusb::kProblemFailedInstall, {}};
      const DeviceNode nodes[] = {node};
      EXPECT_EQ(winusb::CheckHeadsetDriver(nodes).verdict, HeadsetOnUsb::WithoutWinUsb)
          << node.instanceId;
    }
  }
}

// --- System errors in an engine run ----------------------------------------------------------

// The simulated device, whose first DNLOAD fails with `error` instead of reaching it.
class FailingTransport final : public DfuTransport {
 public:
  FailingTransport(std::shared_ptr<testing::SimulatedTransport> inner, UsbError error)
      : inner_(std::move(inner)), error_(std::move(error)) {}

  std::vector<std::string> List() override { return inner_->List(); }
  bool Owns(const std::string& name) const override { return inner_->Owns(name); }

  std::unique_ptr<DfuLink> Open(const std::string& name, UsbError& error) override {
    auto link = inner_->Open(name, error);
    if (!link) return nullptr;
    return std::make_unique<Link>(*this, std::move(link));
  }

 private:
  class Link final : public DfuLink {
   public:
    Link(FailingTransport& owner, std::unique_ptr<DfuLink> inner)
        : owner_(owner), inner_(std::move(inner)) {}
    UsbError Control(const Setup& setup, std::span<std::uint8_t> data,
                     std::size_t& transferred) override {
      if (setup.requestType == kClassOut &&
          setup.request == static_cast<std::uint8_t>(Request::Dnload) && !owner_.failed_) {
        owner_.failed_ = true;
        transferred = 0;
        return owner_.error_;
      }
      return inner_->Control(setup, data, transferred);
    }
    UsbError Reset() override { return inner_->Reset(); }

   private:
    FailingTransport& owner_;
    std::unique_ptr<DfuLink> inner_;
  };

  std::shared_ptr<testing::SimulatedTransport> inner_;
  UsbError error_;
  bool failed_ = false;  // the engine's thread only
};

struct SystemErrorCase {
  const char* name;
  std::uint32_t code;
  ErrorKind kind;
  std::uint32_t result;
};

const SystemErrorCase kSystemErrors[] = {
    // The device stalled the request and its status says nothing more.
    {"GenFailure", 31, ErrorKind::NotSupported, result::kFailDfuStalledPkt},
    {"SemTimeout", 121, ErrorKind::TimedOut, result::kFailUsbNone},
    {"FileNotFound", 2, ErrorKind::DeviceGone, result::kFailUsbNone},
    {"NoSuchDevice", 433, ErrorKind::DeviceGone, result::kFailUsbNone},
    {"DeviceNotConnected", 1167, ErrorKind::DeviceGone, result::kFailUsbNone},
    {"DeviceRemoved", 1617, ErrorKind::DeviceGone, result::kFailUsbNone},
    {"AccessDenied", 5, ErrorKind::OsFailure, result::kFailOs},
    {"InvalidParameter", 87, ErrorKind::CallerMistake, result::kFailOs},
    {"OperationAborted", 995, ErrorKind::OsFailure, result::kFailOs},
    {"NoCodeAtAll", 0, ErrorKind::OsFailure, result::kFailOs},
};

class WinUsbErrorTest : public ::testing::TestWithParam<SystemErrorCase> {};

TEST_P(WinUsbErrorTest, EndsTheDownloadWithItsResult) {
  const SystemErrorCase& c = GetParam();
  const UsbError error = winusb::SystemError(c.code, "text", "control transfer");
  EXPECT_EQ(error.kind, c.kind);
  EXPECT_EQ(error.code, static_cast<int>(c.code));

  testsupport::TempDir dir;
  const std::string path = testing::WriteFirmware(dir / "fw.dfu", testing::Header());
  auto waiter = std::make_unique<testing::VirtualWaiter>();
  auto simulated = std::make_shared<testing::SimulatedTransport>(sim::DfuDevice(), waiter.get());
  EngineEnvironment env;
  env.transports = {std::make_shared<FailingTransport>(simulated, error)};
  env.waiter = std::move(waiter);
  const DFUEngineHandle handle = RegisterEngine(std::make_unique<Engine>(std::move(env)));
  testing::ReportRecorder recorder;
  DFUEngine_SetCallback(handle, &testing::ReportRecorder::Callback);

  ASSERT_EQ(DFUEngine_CreateUSB(handle, testing::SimulatedTransport::kName), 1);
  const DFUEngineReport reconfigured = testing::RunOperation(
      recorder, [&] { return DFUEngine_StartReconfigure(handle, 0, 1, path.c_str()) != 0; });
  ASSERT_EQ(reconfigured.result, 0u) << ResultName(reconfigured.result);
  const DFUEngineReport downloaded = testing::RunOperation(
      recorder, [&] { return DFUEngine_StartDownload(handle, path.c_str()) != 0; });
  EXPECT_EQ(downloaded.result, c.result) << ResultName(downloaded.result);
  EXPECT_EQ(downloaded.operation, operation::kDownloadProgress);
  DFUEngine_Destroy(handle);
}

INSTANTIATE_TEST_SUITE_P(Codes, WinUsbErrorTest, ::testing::ValuesIn(kSystemErrors),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace dfu
