// The sysfs walk and the libusb transport, unchanged, on a USB bus that umockdev emulates for
// this process: the walk reads /sys as it would on a real machine, and libusb enumerates, opens
// and sends control transfers to a node that a DFU device model answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "tests/upgrade/EngineHarness.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "tests/upgrade/umockdev/UsbTestbed.h"
#include "upgrade/DfuNames.h"
#include "upgrade/UsbEnum.h"
#include "upgrade/testing/FixtureUsbHost.h"
#include "upgrade/testing/SimulatedTransport.h"

namespace {

using usbenum::testing::ConfigDescriptor;
using usbtestbed::Descriptors;
using usbtestbed::HubConfig;
using usbtestbed::SysfsDevice;
using usbtestbed::UsbTestbed;

class UsbBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!usbtestbed::InMockEnvironment()) GTEST_SKIP() << "needs umockdev-wrapper";
    testbed_.emplace();
  }

  void Hub(const std::string& name, int bus, int address, int ports,
           std::optional<std::string> configuration = std::nullopt) {
    SysfsDevice d;
    d.name = name;
    d.bus = bus;
    d.address = address;
    d.descriptors = Descriptors(0x05e3, 0x0608, HubConfig(configuration ? 4 : 0), true);
    d.maxchild = ports;
    d.configuration = std::move(configuration);
    testbed_->Add(d);
  }

  void RootHub(int bus, int ports) { Hub("usb" + std::to_string(bus), bus, 1, ports); }

  // A device whose configuration 1 names string 4, `configuration` being that string.
  void Device(const std::string& name, int bus, int address,
              std::optional<std::string> configuration, std::vector<std::uint8_t> config = {}) {
    SysfsDevice d;
    d.name = name;
    d.bus = bus;
    d.address = address;
    d.descriptors = Descriptors(0x1209, 0x7207, config.empty() ? ConfigDescriptor(4) : config);
    d.configuration = std::move(configuration);
    testbed_->Add(d);
  }

  static usbenum::UsbDetection Walk() {
    auto host = usbenum::MakeSysfsUsbHost();
    usbenum::UsbHost* hosts[] = {host.get()};
    return usbenum::WalkUsbTree(hosts);
  }

  std::optional<UsbTestbed> testbed_;
};

TEST_F(UsbBusTest, TheWalkFollowsBusesAndHubsAndTheLastMatchWins) {
  RootHub(1, 3);
  Device("1-1", 1, 2, "plain");
  Hub("1-2", 1, 3, 4, "FW:hub PSR:hub");
  Device("1-2.4", 1, 4, "fw:below.xpv psr:below.psr");
  Device("1-3", 1, 5, "FW:no marker");
  EXPECT_EQ(Walk().configText, "FW:HUB PSR:HUB");  // after its own ports

  RootHub(2, 1);
  Device("2-1", 2, 2, "FW:second.xpv PSR:second.psr");
  const usbenum::UsbDetection found = Walk();
  EXPECT_EQ(found.configText, "FW:SECOND.XPV PSR:SECOND.PSR");
  EXPECT_EQ(found.deviceName, "usb:2-1");
  EXPECT_EQ(found.idVendor, 0x1209);
  EXPECT_EQ(found.idProduct, 0x7207);
}

TEST_F(UsbBusTest, DescriptorsOfTheWrongLengthAreNotMatched) {
  RootHub(1, 2);
  auto shortConfig = ConfigDescriptor(4);
  shortConfig.resize(shortConfig.size() - 1);
  Device("1-1", 1, 2, "FW:short PSR:short", shortConfig);
  auto longHeader = ConfigDescriptor(4);
  longHeader[0] = 10;  // a configuration header must be 9 bytes
  Device("1-2", 1, 3, "FW:header PSR:header", longHeader);
  EXPECT_FALSE(Walk().Found());
}

TEST_F(UsbBusTest, NoDeviceNoMatch) {
  EXPECT_FALSE(Walk().Found());
  RootHub(1, 4);
  EXPECT_FALSE(Walk().Found());
}

TEST_F(UsbBusTest, AWholeUpgradeThroughLibusb) {
  RootHub(1, 2);
  auto vendorSpecific = ConfigDescriptor(0);
  vendorSpecific[14] = 0xFF;  // not a DFU interface: the engine does not list it
  Device("1-1", 1, 2, std::nullopt, vendorSpecific);
  testbed_->AddModel("1-2", 1, 3, sim::DfuDevice());

  // The walk and the engine name the device alike.
  const usbenum::UsbDetection found = Walk();
  ASSERT_EQ(found.configText, "FW:QMR7_123.XPV PSR:QMR7_123.PSR");
  auto transport = dfu::MakeLibusbTransport();
  ASSERT_NE(transport, nullptr);
  EXPECT_EQ(transport->List(), std::vector<std::string>{found.deviceName});

  dfu::EngineEnvironment env;
  env.transports = {transport};
  env.waiter = std::make_unique<dfu::testing::VirtualWaiter>();
  const DFUEngineHandle handle = dfu::RegisterEngine(std::make_unique<dfu::Engine>(std::move(env)));
  dfu::testing::ReportRecorder recorder;
  DFUEngine_SetCallback(handle, &dfu::testing::ReportRecorder::Callback);
  testsupport::TempDir dir;
  const std::string path = dfu::testing::WriteFirmware(
      dir / "QMR7_200.dfu", dfu::testing::Header("FARPOINT QM-R7", 200), 5000);

  ASSERT_EQ(DFUEngine_CreateUSB(handle, found.deviceName.c_str()), 1);
  for (const auto& start : std::vector<std::function<bool()>>{
           [&] { return DFUEngine_StartReconfigure(handle, 0, 1, path.c_str()) != 0; },
           [&] { return DFUEngine_StartDownload(handle, path.c_str()) != 0; },
           [&] { return DFUEngine_StartManifest(handle) != 0; }}) {
    const DFUEngineReport end = dfu::testing::RunOperation(recorder, start);
    ASSERT_EQ(end.result, 0u) << dfu::ResultName(end.result) << " / "
                              << dfu::OperationName(end.operation) << " / "
                              << dfu::SubOperationName(end.subOperation);
  }
  DFUEngine_Destroy(handle);

  const sim::DfuDevice model = testbed_->Model("1-2");
  EXPECT_TRUE(model.Upgraded());
  EXPECT_EQ(model.Running().version, 200);
  EXPECT_EQ(model.Mode(), sim::DfuMode::Runtime);
  // DETACH, a reset into DFU mode, the blocks, and the reset back.
  const auto requests = testbed_->Requests("1-2");
  int resets = 0, downloads = 0;
  for (const auto& r : requests) {
    resets += r == "reset" ? 1 : 0;
    downloads += r.rfind("21 01", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(resets, 2);
  // The blocks of 1024 bytes and the closing zero-length one.
  const std::size_t image = dfu::testing::Header("FARPOINT QM-R7", 200).Size() + 5000;
  EXPECT_EQ(downloads, static_cast<int>((image + 1023) / 1024 + 1));
}

TEST_F(UsbBusTest, AnotherMakersDfuDeviceOnTheBusReceivesNothing) {
  RootHub(1, 2);
  sim::DfuDeviceConfig other;
  other.vendor = 0x0483;
  other.product = 0xDF11;
  testbed_->AddModel("1-1", 1, 2, sim::DfuDevice(sim::Firmware{}, other), "DFU in FS Mode");
  testbed_->AddModel("1-2", 1, 3, sim::DfuDevice());
  auto transport = dfu::MakeLibusbTransport();
  ASSERT_NE(transport, nullptr);
  auto listed = transport->List();
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{"usb:1-1", "usb:1-2"}));

  const usbenum::UsbDetection found = Walk();
  ASSERT_EQ(found.deviceName, "usb:1-2");
  dfu::EngineEnvironment env;
  env.transports = {transport};
  env.waiter = std::make_unique<dfu::testing::VirtualWaiter>();
  const DFUEngineHandle handle = dfu::RegisterEngine(std::make_unique<dfu::Engine>(std::move(env)));
  dfu::testing::ReportRecorder recorder;
  DFUEngine_SetCallback(handle, &dfu::testing::ReportRecorder::Callback);
  DFUEngine_SetUSBDeviceFilter(handle, found.deviceName.c_str());
  char names[DFUENGINE_NAMES_SIZE] = {};
  ASSERT_EQ(DFUEngine_GetUSBDeviceNames(handle, names), 1u);
  ASSERT_EQ(DFUEngine_CreateUSB(handle, names), 1);

  // A file without ids would fit the other device as well.
  testsupport::TempDir dir;
  dfu::Suffix anyIds;
  const std::string path = dfu::testing::WriteFirmware(
      dir / "QMR7_201.dfu", dfu::testing::Header("FARPOINT QM-R7", 201), 3000, anyIds);
  const DFUEngineReport end = dfu::testing::RunOperation(
      recorder, [&] { return DFUEngine_StartReconfigure(handle, 0, 1, path.c_str()) != 0; });
  EXPECT_EQ(end.result, 0u) << dfu::ResultName(end.result);
  DFUEngine_Destroy(handle);

  EXPECT_EQ(testbed_->Model("1-2").Mode(), sim::DfuMode::Dfu);
  EXPECT_TRUE(testbed_->Requests("1-1").empty()) << "the other device received requests";
  EXPECT_EQ(testbed_->Model("1-1").Mode(), sim::DfuMode::Runtime);
}

}  // namespace
