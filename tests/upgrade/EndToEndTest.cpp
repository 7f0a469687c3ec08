// The virtual headset, in-process with its USB side, takes a firmware file through the engine:
// command 20 on its serial port, the engine over the virtual-device socket, and the serial side
// back with the new firmware's version.
#include <gtest/gtest.h>
#include <poll.h>

#include <optional>

#include "platform/VirtualDeviceRegistry.h"
#include "sim/DfuSide.h"
#include "sim/VirtualHeadset.h"
#include "tests/sim/PtyHarness.h"
#include "tests/upgrade/EngineHarness.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "tests/upgrade/RegistryWait.h"
#include "upgrade/DfuNames.h"
#include "upgrade/UsbEnum.h"
#include "upgrade/testing/SimulatedTransport.h"

namespace dfu {
namespace {

using namespace std::chrono_literals;
using sim::testing::kSafetyTimeoutMs;
using sim::testing::ToolPort;

// The next arrival of a device of `kind`, waiting for the registry to change.
std::optional<platform::VirtualDevice> NextArrival(platform::VirtualDeviceWatcher& watcher,
                                                   const std::string& kind) {
  return testing::NextArrival(watcher, kind, kSafetyTimeoutMs);
}

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_.EnsureDirectory();
    watcher_.emplace(registry_);
    dfu_.registry = &registry_;
    options_.registry = &registry_;
    options_.pacer = pacer_.Pacer();
    options_.upgradeMode = [this](const sim::UpgradeContext& context) {
      sim::RunDfuSide(context, firmware_, dfu_);
    };
  }

  void TearDown() override {
    if (handle_ != 0) DFUEngine_Destroy(handle_);
    pacer_.Open();
    headset_.reset();
  }

  // Starts the headset and sends it into upgrade mode; returns the engine's name for its USB side.
  std::string EnterUpgradeMode() {
    headset_.emplace(sim::HeadsetState{}, options_);
    {
      ToolPort tool(headset_->SlavePath());
      EXPECT_EQ(tool.Transact("AT+FPCMD1=20"), "OK\r\n+FPSTS1=20\r\n");
    }
    EXPECT_TRUE(headset_->WaitForPresence(sim::Presence::Away, 5s));
    const auto usb = NextArrival(*watcher_, platform::kUsbDfuKind);
    EXPECT_TRUE(usb);

    EngineEnvironment env;
    env.transports = {MakeSocketTransport(registry_.Directory())};
    env.waiter = std::make_unique<testing::VirtualWaiter>();
    handle_ = RegisterEngine(std::make_unique<Engine>(std::move(env)));
    DFUEngine_SetCallback(handle_, &testing::ReportRecorder::Callback);
    char names[DFUENGINE_NAMES_SIZE] = {};
    EXPECT_EQ(DFUEngine_GetUSBDeviceNames(handle_, names), 1u);
    EXPECT_EQ(std::string(names), "virtual:" + (usb ? usb->id : std::string()));
    return names;
  }

  std::string Codes(const DFUEngineReport& r) {
    return ResultName(r.result) + " / " + OperationName(r.operation) + " / " +
           SubOperationName(r.subOperation);
  }

  testsupport::TempDir root_;
  platform::VirtualDeviceRegistry registry_{root_ / "registry"};
  std::optional<platform::VirtualDeviceWatcher> watcher_;
  sim::testing::GatedPacer pacer_;
  sim::Firmware firmware_ = sim::DefaultFirmware(123);
  sim::DfuSideOptions dfu_;
  sim::VirtualHeadset::Options options_;
  std::optional<sim::VirtualHeadset> headset_;
  testing::ReportRecorder recorder_;
  DFUEngineHandle handle_ = 0;
};

TEST_F(EndToEndTest, TheHeadsetRunsTheNewFirmwareAfterTheUpgrade) {
  dfu_.config.manifestationTolerant = false;
  const std::string name = EnterUpgradeMode();
  const std::string file =
      testing::WriteFirmware(root_ / "QMR7_200.dfu", testing::Header("FARPOINT QM-R7", 200), 20000);
  ASSERT_EQ(DFUEngine_CreateUSB(handle_, name.c_str()), 1);
  const std::string path = file;
  for (const auto& start : std::vector<std::function<bool()>>{
           [&] { return DFUEngine_StartReconfigure(handle_, 0, 1, path.c_str()) != 0; },
           [&] { return DFUEngine_StartDownload(handle_, path.c_str()) != 0; },
           [&] { return DFUEngine_StartManifest(handle_) != 0; }}) {
    const DFUEngineReport end = testing::RunOperation(recorder_, start);
    ASSERT_EQ(end.result, 0u) << Codes(end);
  }

  // The serial side is back and reports the version from the image's header.
  ASSERT_TRUE(headset_->WaitForPresence(sim::Presence::Attached, 10s));
  ToolPort tool(headset_->SlavePath());
  EXPECT_EQ(tool.Transact("AT+FPCMD1=8"), "OK\r\n+FPSTS1=8,200\r\n");
  EXPECT_EQ(headset_->State().info.firmwareVersion, 200);
  EXPECT_EQ(firmware_.firmwareName, "QMR7_200.xpv");
  EXPECT_EQ(registry_.List(platform::kUsbDfuKind).size(), 0u);
}

TEST_F(EndToEndTest, TheWalkFindsTheHeadsetOnUsbAsTheEngineNamesIt) {
  const std::string name = EnterUpgradeMode();
  // No real bus here: the virtual device is the only one, after whatever sysfs holds.
  const usbenum::UsbDetection found = usbenum::WalkSystemUsb(registry_.Directory());
  EXPECT_EQ(found.configText, "FW:QMR7_123.XPV PSR:QMR7_123.PSR");
  EXPECT_EQ(found.deviceName, name);
  EXPECT_EQ(found.idVendor, 0x1209);

  // The engine admits that device alone and upgrades it.
  DFUEngine_SetUSBDeviceFilter(handle_, found.deviceName.c_str());
  char names[DFUENGINE_NAMES_SIZE] = {};
  ASSERT_EQ(DFUEngine_GetUSBDeviceNames(handle_, names), 1u);
  ASSERT_EQ(DFUEngine_CreateUSB(handle_, names), 1);
  const std::string path =
      testing::WriteFirmware(root_ / "QMR7_203.dfu", testing::Header("FARPOINT", 203), 3000);
  for (const auto& start : std::vector<std::function<bool()>>{
           [&] { return DFUEngine_StartReconfigure(handle_, 0, 1, path.c_str()) != 0; },
           [&] { return DFUEngine_StartDownload(handle_, path.c_str()) != 0; },
           [&] { return DFUEngine_StartManifest(handle_) != 0; }}) {
    const DFUEngineReport end = testing::RunOperation(recorder_, start);
    ASSERT_EQ(end.result, 0u) << Codes(end);
  }
  ASSERT_TRUE(headset_->WaitForPresence(sim::Presence::Attached, 10s));
  EXPECT_EQ(headset_->State().info.firmwareVersion, 203);
}

TEST_F(EndToEndTest, AFailedDownloadLeavesTheOldFirmware) {
  dfu_.faults.statusAt = sim::DfuFaults::StatusAt{4, 7};  // errVERIFY
  const std::string name = EnterUpgradeMode();
  const std::string path =
      testing::WriteFirmware(root_ / "QMR7_201.dfu", testing::Header("FARPOINT", 201), 20000);
  ASSERT_EQ(DFUEngine_CreateUSB(handle_, name.c_str()), 1);
  ASSERT_EQ(
      testing::RunOperation(
          recorder_, [&] { return DFUEngine_StartReconfigure(handle_, 0, 1, path.c_str()) != 0; })
          .result,
      0u);
  const DFUEngineReport end = testing::RunOperation(
      recorder_, [&] { return DFUEngine_StartDownload(handle_, path.c_str()) != 0; });
  EXPECT_EQ(Codes(end), "fail_dfu_verify / download_progress / download_processing");
  EXPECT_EQ(headset_->State().info.firmwareVersion, 123);
  EXPECT_EQ(headset_->GetPresence(), sim::Presence::Away);  // still on USB, in DFU mode
}

TEST_F(EndToEndTest, AHeadsetThatNeverComesBackStaysAway) {
  dfu_.faults.noReturn = true;
  const std::string name = EnterUpgradeMode();
  const std::string path =
      testing::WriteFirmware(root_ / "QMR7_202.dfu", testing::Header("FARPOINT", 202), 3000);
  ASSERT_EQ(DFUEngine_CreateUSB(handle_, name.c_str()), 1);
  for (const auto& start : std::vector<std::function<bool()>>{
           [&] { return DFUEngine_StartReconfigure(handle_, 0, 1, path.c_str()) != 0; },
           [&] { return DFUEngine_StartDownload(handle_, path.c_str()) != 0; }}) {
    ASSERT_EQ(testing::RunOperation(recorder_, start).result, 0u);
  }
  const DFUEngineReport end =
      testing::RunOperation(recorder_, [&] { return DFUEngine_StartManifest(handle_) != 0; });
  EXPECT_EQ(Codes(end), "fail_usb_none / manifest_fail / transport_usb_wait");
  EXPECT_EQ(registry_.List(platform::kUsbDfuKind).size(), 0u);
  EXPECT_EQ(headset_->GetPresence(), sim::Presence::Away);
}

}  // namespace
}  // namespace dfu
