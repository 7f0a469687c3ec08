// What the Windows USB backends decide without Windows: the names the walk and the transport share,
// which devices count as DFU devices, and what a system error from WinUSB makes of an engine run.
#include <gtest/gtest.h>

#include "tests/upgrade/EngineHarness.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "upgrade/DfuNames.h"
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
