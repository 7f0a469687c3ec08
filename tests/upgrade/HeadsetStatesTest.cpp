// The headset in every state an upgrade may find it in, and the system's answers: which device the
// walk takes for the headset (a boot loader naming itself or the firmware, another maker's device
// in DFU mode), and the engine's run through a reset the system refuses, a device that detaches
// itself, one that never comes back, and a stop with no poll time-out to wait in.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include "tests/upgrade/EngineHarness.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "upgrade/DfuNames.h"
#include "upgrade/DfuQuirks.h"
#include "upgrade/testing/FixtureUsbHost.h"
#include "upgrade/testing/SimulatedTransport.h"

namespace dfu {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::seconds;
using testing::ReportRecorder;
using testing::RunOperation;
using testing::SimulatedTransport;
using testing::VirtualWaiter;

// --- Ids a user names ------------------------------------------------------------------------

TEST(DeviceIdsTest, ParsesOneOrTwoPairsOfHexadecimalIds) {
  struct Case {
    const char* text;
    std::optional<DeviceIds> ids;
  };
  const Case cases[] = {
      {"1234:abcd", DeviceIds{0x1234, 0xABCD, 0x1234, 0xABCD}},
      {"1234:ABCD,1234:abce", DeviceIds{0x1234, 0xABCD, 0x1234, 0xABCE}},
      {"0x0483:0xdf11", DeviceIds{0x0483, 0xDF11, 0x0483, 0xDF11}},
      {"1234:abcd,5678:0001", DeviceIds{0x1234, 0xABCD, 0x5678, 0x0001}},
      {"", std::nullopt},
      {"1234", std::nullopt},
      {"1234:", std::nullopt},
      {":abcd", std::nullopt},
      {"12345:abcd", std::nullopt},
      {"1234:abcd,", std::nullopt},
      {"1234:abcd,5678", std::nullopt},
      {"1234:abcd;5678:0001", std::nullopt},
      {"g234:abcd", std::nullopt},
      {"1234:abcd,5678:0001,9abc:0002", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseDeviceIds(c.text), c.ids) << c.text;
  }
}

TEST(DeviceIdsTest, OnlyAHeadsetsDfuModeIdsMakeABootLoaderTheHeadset) {
  const DeviceIds extra{0x1234, 0x0001, 0x1234, 0x0002};
  EXPECT_TRUE(IsHeadsetInDfuMode(0x1209, 0x7208, {}));
  EXPECT_FALSE(IsHeadsetInDfuMode(0x1209, 0x7207, {}));  // the run-time id
  EXPECT_FALSE(IsHeadsetInDfuMode(0x0483, 0xDF11, {}));  // another maker's loader
  EXPECT_FALSE(IsHeadsetInDfuMode(0x1234, 0x0002, {}));
  EXPECT_TRUE(IsHeadsetInDfuMode(0x1234, 0x0002, {&extra, 1}));
  EXPECT_FALSE(IsHeadsetInDfuMode(0x1234, 0x0001, {&extra, 1}));
}

// --- The walk: which device is the headset -----------------------------------------------------

// A device with a DFU interface in the given mode and one configuration string.
usbenum::testing::FixtureDevice Device(std::uint16_t vendor, std::uint16_t product,
                                       std::uint8_t protocol, const std::string& configString,
                                       const std::string& name) {
  auto d = usbenum::testing::DeviceWithConfigString(configString, name);
  d.connection.idVendor = vendor;
  d.connection.idProduct = product;
  d.config[16] = protocol;  // the interface's bInterfaceProtocol
  return d;
}

struct WalkCase {
  const char* name;
  std::vector<usbenum::testing::FixtureDevice> devices;
  std::vector<DeviceIds> extra;
  const char* deviceName;  // "": none found
  bool dfuMode;
};

TEST(HeadsetOnUsbTest, WhichDeviceIsTheHeadset) {
  constexpr char kFirmware[] = "FW:QMR7_123.xpv PSR:QMR7_123.psr";
  const WalkCase cases[] = {
      {"the firmware running",
       {Device(0x1209, 0x7207, kRuntimeProtocol, kFirmware, "usb:1")},
       {},
       "usb:1",
       false},
      {"a loader repeating the firmware's string",
       {Device(0x1209, 0x7207, kDfuModeProtocol, kFirmware, "usb:1")},
       {},
       "usb:1",
       true},
      {"a loader naming itself",
       {Device(0x1209, 0x7208, kDfuModeProtocol, "DFU loader", "usb:1")},
       {},
       "usb:1",
       true},
      {"another maker's loader",
       {Device(0x0483, 0xDF11, kDfuModeProtocol, "DFU loader", "usb:1")},
       {},
       "",
       false},
      {"another maker's loader beside ours",
       {Device(0x1209, 0x7208, kDfuModeProtocol, "DFU loader", "usb:1"),
        Device(0x0483, 0xDF11, kDfuModeProtocol, "DFU in FS Mode", "usb:2")},
       {},
       "usb:1",
       true},
      {"our ids in run-time mode without the firmware's string",
       {Device(0x1209, 0x7208, kRuntimeProtocol, "DFU loader", "usb:1")},
       {},
       "",
       false},
      {"a loader the table does not know",
       {Device(0x1234, 0x0002, kDfuModeProtocol, "X", "usb:1")},
       {},
       "",
       false},
      {"a loader of the ids given",
       {Device(0x1234, 0x0002, kDfuModeProtocol, "X", "usb:1")},
       {DeviceIds{0x1234, 0x0001, 0x1234, 0x0002}},
       "usb:1",
       true},
      {"the firmware's string wins over a loader by ids",
       {Device(0x1209, 0x7208, kDfuModeProtocol, "DFU loader", "usb:1"),
        Device(0x1209, 0x7207, kRuntimeProtocol, kFirmware, "usb:2")},
       {},
       "usb:2",
       false},
  };
  for (const WalkCase& c : cases) {
    SCOPED_TRACE(c.name);
    usbenum::testing::FixtureUsbHost host;
    host.rootHubs = {"root"};
    host.hubs["root"].portCount = static_cast<int>(c.devices.size());
    for (std::size_t i = 0; i < c.devices.size(); ++i)
      host.hubs["root"].ports[static_cast<int>(i + 1)] = c.devices[i];
    usbenum::UsbHost* hosts[] = {&host};
    const usbenum::UsbDetection found =
        usbenum::WithHeadsetLoader(usbenum::WalkUsbTree(hosts), c.extra);
    EXPECT_EQ(found.Found(), std::string(c.deviceName) != "");
    EXPECT_EQ(found.deviceName, c.deviceName);
    EXPECT_EQ(found.dfuMode, c.dfuMode);
  }
}

// --- The engine's run through the device's states ---------------------------------------------

// A device model already in DFU mode, as an upgrade cut short leaves it.
sim::DfuDevice InDfuMode(sim::DfuDeviceConfig config, sim::DfuFaults faults = {}) {
  sim::DfuDevice device(sim::Firmware{}, config, faults);
  device.Control({kClassOut, static_cast<std::uint8_t>(Request::Detach), 1000, 0, 0}, {});
  device.Replug();
  return device;
}

struct StateCase {
  const char* name;
  sim::DfuDevice device;
  // When the user replugs the device after a refused reset; nullopt: never.
  std::optional<seconds> replugAfter;
  std::uint32_t result;
  std::uint32_t operation;
  std::size_t replugRequests;
  std::size_t resets;  // refused ones included
  bool upgraded;
};

sim::DfuDeviceConfig NotTolerant(bool willDetach = false) {
  sim::DfuDeviceConfig c;
  c.manifestationTolerant = false;
  c.willDetach = willDetach;
  return c;
}

sim::DfuDeviceConfig LoaderStrings() {
  sim::DfuDeviceConfig c;
  c.loaderStrings = true;
  c.dfuProduct = sim::kLoaderProduct;
  return c;
}

sim::DfuDeviceConfig WillDetachTolerant() {
  sim::DfuDeviceConfig c;
  c.willDetach = true;
  return c;
}

sim::DfuDeviceConfig StrictWillDetachTolerant() {
  sim::DfuDeviceConfig c = WillDetachTolerant();
  c.strictDetach = true;
  return c;
}

sim::DfuFaults Refused(bool noStart = false) {
  sim::DfuFaults f;
  f.resetRefused = true;
  f.noStart = noStart;
  return f;
}

std::vector<StateCase> StateCases() {
  using namespace operation;
  return {
      {"LoaderNamingItself", InDfuMode(LoaderStrings()), {}, 0, kManifestStartRuntime, 0, 1, true},
      {"LoaderNamingTheFirmware", InDfuMode({}), {}, 0, kManifestStartRuntime, 0, 1, true},
      {"ResetRefusedAfterDetach", sim::DfuDevice({}, {}, Refused()), seconds(5), 0,
       kManifestStartRuntime, 2, 2, true},
      {"ResetRefusedAfterManifestation", InDfuMode(NotTolerant(), Refused()), seconds(59), 0,
       kManifestStartRuntime, 1, 1, true},
      {"WillDetachNeedsNoReset",
       sim::DfuDevice({}, NotTolerant(true)),
       {},
       0,
       kManifestStartRuntime,
       0,
       0,
       true},
      // Told to leave DFU mode rather than reset: the system's refusal never matters.
      {"WillDetachAndTolerant",
       sim::DfuDevice({}, WillDetachTolerant(), Refused()),
       {},
       0,
       kManifestStartRuntime,
       0,
       0,
       true},
      // DFU_DETACH refused in DFU mode, as DFU 1.1 allows: the reset brings it back after all.
      {"StrictWillDetachAndTolerant",
       sim::DfuDevice({}, StrictWillDetachTolerant()),
       {},
       0,
       kManifestStartRuntime,
       0,
       1,
       true},
      {"StrictWillDetachResetRefused", sim::DfuDevice({}, StrictWillDetachTolerant(), Refused()),
       seconds(5), 0, kManifestStartRuntime, 1, 1, true},
      // Replugged, but back in DFU mode: there, so its firmware did not start, not "not back".
      {"BackInDfuModeAfterARefusedManifestReset", InDfuMode(NotTolerant(), Refused(true)),
       seconds(5), result::kFailDfuFirmware, kManifestFail, 1, 1, false},
      {"NeverBackAfterARefusedDetachReset",
       sim::DfuDevice({}, {}, Refused()),
       {},
       result::kFailUsbNone,
       kReconfigureStartDfu,
       1,
       1,
       false},
      {"NeverBackAfterARefusedManifestReset",
       InDfuMode(NotTolerant(), Refused()),
       {},
       result::kFailUsbNone,
       kManifestFail,
       1,
       1,
       false},
  };
}

class HeadsetStatesTest : public ::testing::TestWithParam<StateCase> {
 protected:
  void SetUp() override {
    const StateCase& c = GetParam();
    auto waiter = std::make_unique<VirtualWaiter>();
    waiter_ = waiter.get();
    transport_ = std::make_shared<SimulatedTransport>(c.device, waiter_);
    if (c.replugAfter) transport_->SetReplugAfterRefusal(*c.replugAfter);
    EngineEnvironment env;
    env.transports = {transport_};
    env.waiter = std::move(waiter);
    handle_ = RegisterEngine(std::make_unique<Engine>(std::move(env)));
    DFUEngine_SetCallback(handle_, &ReportRecorder::Callback);
  }
  void TearDown() override { DFUEngine_Destroy(handle_); }

  DFUEngineReport Upgrade(const std::string& path) {
    return RunUpgrade(recorder_, handle_, SimulatedTransport::kName, path);
  }

  testsupport::TempDir dir_;
  ReportRecorder recorder_;
  VirtualWaiter* waiter_ = nullptr;
  std::shared_ptr<SimulatedTransport> transport_;
  DFUEngineHandle handle_ = 0;
};

TEST_P(HeadsetStatesTest, TheRunEndsAsTheDeviceAllows) {
  const StateCase& c = GetParam();
  // The file names the run-time id, as the headset's files do, whatever id the loader shows.
  const std::string path =
      testing::WriteFirmware(dir_ / "fw.dfu", testing::Header("FARPOINT", 300), 4000);
  const DFUEngineReport end = Upgrade(path);
  EXPECT_EQ(ResultName(end.result), ResultName(c.result));
  if (c.result != 0) {
    EXPECT_EQ(OperationName(end.operation), OperationName(c.operation));
  }

  std::size_t replugs = 0;
  for (const auto& r : recorder_.Reports()) {
    if (r.kind != DFUENGINE_REPORT_REPLUG) continue;
    ++replugs;
    EXPECT_EQ(r.report.subOperation, suboperation::kUsbWait);
  }
  EXPECT_EQ(replugs, c.replugRequests);
  std::size_t resets = 0;
  for (const auto& entry : transport_->Log())
    resets += entry.reset ? 1 : 0;
  EXPECT_EQ(resets, c.resets);
  EXPECT_EQ(transport_->Device().Upgraded(), c.upgraded);
  if (c.upgraded) {
    EXPECT_EQ(transport_->Device().Running().version, 300);
  }
  if (c.replugRequests > 0 && !c.replugAfter) {
    // Waited the minute the user was given, and not much longer.
    EXPECT_GE(waiter_->Now(), seconds(60));
    EXPECT_LT(waiter_->Now(), seconds(61));
  }
  // A device never replugged is where the refused reset left it.
  if (c.result != 0) {
    EXPECT_NE(transport_->Device().Mode(), sim::DfuMode::Gone);
  }
}

INSTANTIATE_TEST_SUITE_P(States, HeadsetStatesTest, ::testing::ValuesIn(StateCases()),
                         [](const auto& param) { return std::string(param.param.name); });

// --- A stop ------------------------------------------------------------------------------------

// With no poll time-out there is no wait to stop in: the stop must be seen between requests.
TEST(EngineStopTest, AStopEndsTheDownloadWithinOneRequestAtPollZero) {
  sim::DfuDeviceConfig config;
  config.transferSize = 64;
  config.pollTimeoutMs = 0;
  auto waiter = std::make_unique<VirtualWaiter>();
  VirtualWaiter* clock = waiter.get();
  auto transport =
      std::make_shared<SimulatedTransport>(sim::DfuDevice(sim::Firmware{}, config), clock);
  EngineEnvironment env;
  env.transports = {transport};
  env.waiter = std::move(waiter);
  DFUEngineHandle handle = RegisterEngine(std::make_unique<Engine>(std::move(env)));
  ReportRecorder recorder;
  DFUEngine_SetCallback(handle, &ReportRecorder::Callback);
  testsupport::TempDir dir;
  const std::string path = testing::WriteFirmware(dir / "fw.dfu", testing::Header(), 64 * 1000);
  ASSERT_EQ(DFUEngine_CreateUSB(handle, SimulatedTransport::kName), 1);
  ASSERT_EQ(
      RunOperation(recorder,
                   [&] { return DFUEngine_StartReconfigure(handle, 0, 1, path.c_str()) != 0; })
          .result,
      0u);

  // At the 100th request of the download the engine is destroyed; that request finishes once the
  // stop is known, and no other follows.
  const std::size_t before = transport->Log().size();
  std::atomic<int> seen{0};
  std::thread destroyer;
  std::atomic<std::size_t> atStop{0};
  transport->SetTransferHook([&] {
    if (++seen != 100) return;
    destroyer = std::thread([handle] { DFUEngine_Destroy(handle); });
    ASSERT_TRUE(clock->WaitUntilCancelled(std::chrono::seconds(10)));
    atStop = transport->Log().size();
  });
  ASSERT_EQ(DFUEngine_StartDownload(handle, path.c_str()), 1);
  ASSERT_TRUE(recorder.WaitForResults(2));
  destroyer.join();
  transport->SetTransferHook(nullptr);

  EXPECT_EQ(ResultName(recorder.Reports().back().report.result), "aborted");
  // The request held at the stop, and nothing after it.
  EXPECT_EQ(transport->Log().size(), atStop.load() + 1);
  EXPECT_LT(transport->Log().size() - before, 200u);
  EXPECT_FALSE(transport->Device().Upgraded());
}

}  // namespace
}  // namespace dfu
