// The one upgrade run under the window and qmr7ctl, on a manual clock: its decisions alone, and
// the headset in every state an upgrade may find it in, driven through the run with the real
// engine on the simulated DFU device (which keeps its own virtual time).
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include "tests/support/TempDir.h"
#include "tests/upgrade/EngineHarness.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "upgrade/DfuNames.h"
#include "upgrade/UpgradeRun.h"
#include "upgrade/testing/FixtureUsbHost.h"
#include "upgrade/testing/SimulatedTransport.h"

namespace dfu {
namespace {

using namespace std::chrono_literals;
using std::chrono::seconds;
using testing::ReportRecorder;
using testing::SimulatedTransport;
using testing::VirtualWaiter;
using Do = UpgradeRun::Do;

constexpr char kFirmware[] = "FW:QMR7_123.XPV PSR:QMR7_123.PSR";

// --- The decisions alone ----------------------------------------------------------------------

struct ManualTicks {
  std::uint32_t now = 4'294'000'000u;  // close to the wrap, which differences must survive
  TickSource Source() {
    return [this] { return now; };
  }
};

usbenum::UsbDetection Firmware(std::string name = SimulatedTransport::kName) {
  usbenum::UsbDetection d;
  d.configText = kFirmware;
  d.deviceName = std::move(name);
  d.idVendor = 0x1209;
  d.idProduct = 0x7207;
  return d;
}

TEST(UsbSearchTest, LooksAtOnceThenEveryTenthOfASecondWhileTheLimitLasts) {
  struct Case {
    const char* name;
    std::chrono::milliseconds limit;
    std::optional<int> foundAtLook;  // from 1; none: never
    int looks;
    bool found;
  };
  const Case cases[] = {
      {"at once", kDetectionLimit, 1, 1, true},
      {"after 2.5 s", kDetectionLimit, 26, 26, true},
      {"at the last look", kDetectionLimit, 300, 300, true},
      {"never", kDetectionLimit, std::nullopt, 300, false},
      {"one look", 0ms, std::nullopt, 1, false},
      {"one look that finds", 0ms, 1, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManualTicks ticks;
    UsbSearch search(ticks.Source(), c.limit);
    int looks = 0;
    bool found = false;
    while (search.BeforeLook() == UsbSearch::Next::Look) {
      ++looks;
      const UsbSearch::Next next = search.Seen(c.foundAtLook == looks);
      found = next == UsbSearch::Next::Found;
      if (next != UsbSearch::Next::Wait) break;
      ticks.now += static_cast<std::uint32_t>(search.Step().count());
    }
    EXPECT_EQ(looks, c.looks);
    EXPECT_EQ(found, c.found);
  }
}

TEST(UpgradeRunTest, StartsFromThePortOrFromAHeadsetWaitingInDfuMode) {
  EXPECT_EQ(StartOf(true, true), RunStart::FromPort);
  EXPECT_EQ(StartOf(true, false), RunStart::FromPort);
  EXPECT_EQ(StartOf(false, true), RunStart::FromDfuMode);
  // Its firmware running but no port answering: nothing to finish, nothing to start from.
  EXPECT_EQ(StartOf(false, false), RunStart::NoHeadset);
}

TEST(UpgradeRunTest, WhatFollowsTheEndOfEachOperation) {
  namespace r = result;
  namespace op = operation;
  struct Case {
    const char* name;
    RunPhase phase;
    OperationEnd end;
    bool replugAsked;
    AfterOperation after;
  };
  const Case cases[] = {
      {"reconfigured", RunPhase::Reconfigure, {}, false, {RunPhase::Download, RunEnding::None}},
      {"downloaded", RunPhase::Download, {}, false, {RunPhase::Manifest, RunEnding::None}},
      {"manifested", RunPhase::Manifest, {}, false, {RunPhase::Idle, RunEnding::Upgraded}},
      {"back after a replug", RunPhase::Manifest, {}, true, {RunPhase::Idle, RunEnding::Upgraded}},
      {"failed",
       RunPhase::Download,
       {r::kFailFileCrc, op::kDownloadProgress, 0},
       false,
       {RunPhase::Idle, RunEnding::OperationFailed}},
      {"gone, never asked to replug",
       RunPhase::Reconfigure,
       {r::kFailUsbNone, op::kReconfigureStartDfu, 0},
       false,
       {RunPhase::Idle, RunEnding::OperationFailed}},
      {"never back after detach",
       RunPhase::Reconfigure,
       {r::kFailUsbNone, op::kReconfigureStartDfu, 0},
       true,
       {RunPhase::Idle, RunEnding::NotBackUnwritten}},
      {"never back after manifestation",
       RunPhase::Manifest,
       {r::kFailUsbNone, op::kManifestFail, 0},
       true,
       {RunPhase::Idle, RunEnding::NotBackWritten}},
      // Back after the replug, but in DFU mode: its firmware did not start; that is no absence.
      {"back in DFU mode after a replug",
       RunPhase::Manifest,
       {r::kFailDfuFirmware, op::kManifestFail, 0},
       true,
       {RunPhase::Idle, RunEnding::OperationFailed}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const AfterOperation after = NextAfter(c.phase, c.end, c.replugAsked);
    EXPECT_EQ(after.next, c.after.next);
    EXPECT_EQ(after.ending, c.after.ending);
  }
}

// A replug asked for in one operation says nothing of the next one's end.
TEST(UpgradeRunTest, AReplugRequestBelongsToItsOperation) {
  ManualTicks ticks;
  UpgradeRun run(ticks.Source());
  EXPECT_EQ(run.BeginInDfuMode(Firmware()).what, Do::Bind);
  EXPECT_EQ(run.Bound(true).what, Do::StartReconfigure);
  run.ReplugAsked();
  EXPECT_EQ(run.Ended({}).what, Do::StartDownload);
  EXPECT_EQ(run.Ended({result::kFailUsbNone, operation::kDownloadProgress, 0}).what, Do::End);
  EXPECT_EQ(run.Ending(), RunEnding::OperationFailed);
}

TEST(UpgradeRunTest, AStopSaysHowFarTheRunGot) {
  struct Case {
    const char* name;
    int operationsEnded;  // -1: still looking on USB
    StopLeaves leaves;
    RunEnding ending;
  };
  const Case cases[] = {
      {"looking on USB", -1, StopLeaves::NothingWritten, RunEnding::Stopped},
      {"reconfiguring", 0, StopLeaves::NothingWritten, RunEnding::Stopped},
      {"downloading", 1, StopLeaves::PartlyWritten, RunEnding::Stopped},
      {"manifesting", 2, StopLeaves::Written, RunEnding::Stopped},
      // The firmware is in place: a stop only ends the wait for its port.
      {"waiting for the port", 3, StopLeaves::FirmwareRunning, RunEnding::Upgraded},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManualTicks ticks;
    UpgradeRun run(ticks.Source());
    EXPECT_EQ(run.Begin().what, Do::Wait);
    EXPECT_EQ(run.Waited().what, Do::LookOnUsb);
    if (c.operationsEnded >= 0) {
      EXPECT_EQ(run.Seen(Firmware()).what, Do::Bind);
      run.Bound(true);
      for (int i = 0; i < c.operationsEnded; ++i)
        run.Ended({});
    }
    EXPECT_EQ(run.Stop().what, Do::End);
    EXPECT_EQ(run.Leaves(), c.leaves);
    EXPECT_EQ(run.Ending(), c.ending);
    EXPECT_FALSE(run.PortBack());
  }
}

TEST(UpgradeRunTest, ThePortIsWaitedForFifteenSecondsAfterTheFirmwareStarted) {
  for (const std::optional<std::uint32_t> backAfterMs :
       {std::optional<std::uint32_t>(3000), std::optional<std::uint32_t>()}) {
    SCOPED_TRACE(backAfterMs ? "back after 3 s" : "never back");
    ManualTicks ticks;
    UpgradeRun run(ticks.Source());
    run.BeginInDfuMode(Firmware());
    run.Bound(true);
    run.Ended({});
    run.Ended({});
    UpgradeRun::Step step = run.Ended({});
    const std::uint32_t start = ticks.now;
    while (step.what == Do::LookForPort) {
      step = run.PortSeen(backAfterMs && ticks.now - start >= *backAfterMs);
      if (step.what != Do::Wait) break;
      ticks.now += static_cast<std::uint32_t>(step.wait.count());
      step = run.Waited();
    }
    EXPECT_EQ(step.what, Do::End);
    EXPECT_EQ(run.Ending(), RunEnding::Upgraded);
    EXPECT_EQ(run.PortBack(), backAfterMs.has_value());
    EXPECT_EQ(ticks.now - start, backAfterMs.value_or(15000));
  }
}

// --- The headset's states through the run -----------------------------------------------------

usbenum::testing::FixtureDevice Device(std::uint16_t vendor, std::uint16_t product,
                                       std::uint8_t protocol, const std::string& configString,
                                       const std::string& name) {
  auto d = usbenum::testing::DeviceWithConfigString(configString, name);
  d.connection.idVendor = vendor;
  d.connection.idProduct = product;
  d.config[16] = protocol;  // the interface's bInterfaceProtocol
  return d;
}

usbenum::UsbDetection Walk(const std::vector<usbenum::testing::FixtureDevice>& devices) {
  usbenum::testing::FixtureUsbHost host;
  host.rootHubs = {"root"};
  host.hubs["root"].portCount = static_cast<int>(devices.size());
  for (std::size_t i = 0; i < devices.size(); ++i)
    host.hubs["root"].ports[static_cast<int>(i + 1)] = devices[i];
  usbenum::UsbHost* hosts[] = {&host};
  return usbenum::WalkUsbTree(hosts);
}

// Our headset running its firmware, in DFU mode naming the firmware or itself; another maker's
// boot loader.
usbenum::testing::FixtureDevice Running() {
  return Device(0x1209, 0x7207, kRuntimeProtocol, kFirmware, SimulatedTransport::kName);
}
usbenum::testing::FixtureDevice LoaderNamingTheFirmware() {
  return Device(0x1209, 0x7207, kDfuModeProtocol, kFirmware, SimulatedTransport::kName);
}
usbenum::testing::FixtureDevice LoaderNamingItself() {
  return Device(0x1209, sim::kLoaderProduct, kDfuModeProtocol, sim::kLoaderConfiguration,
                SimulatedTransport::kName);
}
usbenum::testing::FixtureDevice OtherMakersLoader() {
  return Device(0x0483, 0xDF11, kDfuModeProtocol, "DFU in FS Mode", "usb:9");
}

sim::DfuDevice InDfuMode(sim::DfuDeviceConfig config, sim::DfuFaults faults = {}) {
  sim::DfuDevice device(sim::Firmware{}, config, faults);
  device.Control({kClassOut, static_cast<std::uint8_t>(Request::Detach), 1000, 0, 0}, {});
  device.Replug();
  return device;
}

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

sim::DfuDeviceConfig PollZero() {
  sim::DfuDeviceConfig c;
  c.transferSize = 64;
  c.pollTimeoutMs = 0;
  return c;
}

sim::DfuFaults ResetRefused() {
  sim::DfuFaults f;
  f.resetRefused = true;
  return f;
}

struct StateCase {
  const char* name;
  sim::DfuDevice device;
  std::vector<usbenum::testing::FixtureDevice> onUsb;  // what the walk finds
  bool portAnswers;                                    // false: the run starts in DFU mode
  std::optional<seconds> replugAfter;  // when the user replugs after a refused reset
  std::optional<int> stopAtRequest;    // the user stops at this request of the download
  RunEnding ending;
  StopLeaves leaves;  // for a stop
  std::size_t replugRequests;
  bool upgraded;
};

std::vector<StateCase> StateCases() {
  using E = RunEnding;
  const sim::DfuDevice plain;
  const StopLeaves none = StopLeaves::NothingWritten;
  return {
      {"LoaderNamingItself",
       InDfuMode(LoaderStrings()),
       {LoaderNamingItself()},
       false,
       {},
       {},
       E::Upgraded,
       none,
       0,
       true},
      {"LoaderNamingTheFirmware",
       InDfuMode({}),
       {LoaderNamingTheFirmware()},
       false,
       {},
       {},
       E::Upgraded,
       none,
       0,
       true},
      {"AnotherMakersLoaderBesideTheHeadset",
       plain,
       {Running(), OtherMakersLoader()},
       true,
       {},
       {},
       E::Upgraded,
       none,
       0,
       true},
      {"AnotherMakersLoaderBesideOurLoader",
       InDfuMode(LoaderStrings()),
       {LoaderNamingItself(), OtherMakersLoader()},
       false,
       {},
       {},
       E::Upgraded,
       none,
       0,
       true},
      // Never taken for the headset: the search runs out and the device is never bound.
      {"OnlyAnotherMakersLoader",
       plain,
       {OtherMakersLoader()},
       true,
       {},
       {},
       E::NoDevice,
       none,
       0,
       false},
      {"ResetRefusedAfterDetach",
       sim::DfuDevice({}, {}, ResetRefused()),
       {Running()},
       true,
       seconds(5),
       {},
       E::Upgraded,
       none,
       2,
       true},
      {"ResetRefusedAfterManifestation",
       InDfuMode(NotTolerant(), ResetRefused()),
       {LoaderNamingTheFirmware()},
       false,
       seconds(59),
       {},
       E::Upgraded,
       none,
       1,
       true},
      {"WillDetachNeedsNoReset",
       sim::DfuDevice({}, NotTolerant(true), ResetRefused()),
       {Running()},
       true,
       {},
       {},
       E::Upgraded,
       none,
       0,
       true},
      {"NeverBackAfterARefusedDetachReset",
       sim::DfuDevice({}, {}, ResetRefused()),
       {Running()},
       true,
       {},
       {},
       E::NotBackUnwritten,
       none,
       1,
       false},
      {"NeverBackAfterARefusedManifestReset",
       InDfuMode(NotTolerant(), ResetRefused()),
       {LoaderNamingTheFirmware()},
       false,
       {},
       {},
       E::NotBackWritten,
       none,
       1,
       false},
      {"StopAtPollZero",
       sim::DfuDevice(sim::Firmware{}, PollZero()),
       {Running()},
       true,
       {},
       100,
       E::Stopped,
       StopLeaves::PartlyWritten,
       0,
       false},
  };
}

class UpgradeRunStatesTest : public ::testing::TestWithParam<StateCase> {
 protected:
  void SetUp() override {
    const StateCase& c = GetParam();
    auto waiter = std::make_unique<VirtualWaiter>();
    waiter_ = waiter.get();
    transport_ = std::make_shared<SimulatedTransport>(c.device, waiter_);
    if (c.replugAfter) transport_->SetReplugAfterRefusal(*c.replugAfter);
    env_.transports = {transport_};
    env_.waiter = std::move(waiter);
  }
  void TearDown() override {
    if (destroyer_.joinable()) destroyer_.join();
    if (handle_ != 0 && !destroyed_) DFUEngine_Destroy(handle_);
  }

  // Does what the run says until it ends, as a front end would: the clock moves by the waits it
  // names, and an operation's end is waited for before the run hears of it.
  void Drive(UpgradeRun::Step step, const std::string& path) {
    const StateCase& c = GetParam();
    for (int guard = 0; guard < 10'000; ++guard) {
      switch (step.what) {
        case Do::Wait:
          ticks_.now += static_cast<std::uint32_t>(step.wait.count());
          step = run_.Waited();
          break;
        case Do::LookOnUsb:
          ++looks_;
          step = run_.Seen(Walk(c.onUsb));
          break;
        case Do::Bind:
          bound_ = run_.Device().deviceName;
          handle_ = RegisterEngine(std::make_unique<Engine>(std::move(env_)));
          DFUEngine_SetCallback(handle_, &ReportRecorder::Callback);
          step = run_.Bound(DFUEngine_CreateUSB(handle_, bound_.c_str()) != 0);
          break;
        case Do::StartReconfigure:
          step = Operation([&] { return DFUEngine_StartReconfigure(handle_, 0, 1, path.c_str()); });
          break;
        case Do::StartDownload:
          if (c.stopAtRequest) StopAt(*c.stopAtRequest);
          step = Operation([&] { return DFUEngine_StartDownload(handle_, path.c_str()); });
          break;
        case Do::StartManifest:
          step = Operation([&] { return DFUEngine_StartManifest(handle_); });
          break;
        case Do::LookForPort:
          step = run_.PortSeen(transport_->Device().Mode() == sim::DfuMode::Runtime &&
                               transport_->Device().Upgraded());
          break;
        case Do::End:
          return;
      }
    }
    ADD_FAILURE() << "the run never ended";
  }

  template <typename Start>
  UpgradeRun::Step Operation(Start start) {
    const std::size_t before = recorder_.Results();
    const UpgradeRun::Step started = run_.Started(start() != 0);
    if (started.what == Do::End) return started;
    EXPECT_TRUE(recorder_.WaitForResults(before + 1)) << "no end report";
    DFUEngineReport end{};
    std::size_t results = 0;
    for (const auto& r : recorder_.Reports()) {
      if (r.kind == DFUENGINE_REPORT_RESULT && ++results == before + 1) end = r.report;
      if (r.kind == DFUENGINE_REPORT_REPLUG && results == before) run_.ReplugAsked();
    }
    // The user's stop came before the end it caused.
    if (stopped_) {
      EXPECT_EQ(ResultName(end.result), "aborted");
      return run_.Stop();
    }
    return run_.Ended({end.result, end.operation, end.subOperation});
  }

  // At request `n` of the download the user stops: the front end ends the engine, whose
  // request in flight finishes and is the last.
  void StopAt(int n) {
    // The transport runs a copy of the hook each time: the count lives here.
    transport_->SetTransferHook([this, n] {
      if (++transfers_ != n) return;
      stopped_ = true;
      destroyed_ = true;
      destroyer_ = std::thread([handle = handle_] { DFUEngine_Destroy(handle); });
      ASSERT_TRUE(waiter_->WaitUntilCancelled(std::chrono::seconds(10)));
      atStop_ = transport_->Log().size();
    });
  }

  testsupport::TempDir dir_;
  ReportRecorder recorder_;
  ManualTicks ticks_;
  UpgradeRun run_{ticks_.Source()};
  VirtualWaiter* waiter_ = nullptr;
  std::shared_ptr<SimulatedTransport> transport_;
  EngineEnvironment env_;
  DFUEngineHandle handle_ = 0;
  std::string bound_;
  int looks_ = 0;
  std::atomic<int> transfers_{0};
  std::atomic<bool> stopped_{false};
  std::atomic<bool> destroyed_{false};
  std::atomic<std::size_t> atStop_{0};
  std::thread destroyer_;
};

TEST_P(UpgradeRunStatesTest, TheRunEndsAsTheDeviceAllows) {
  const StateCase& c = GetParam();
  // The file names the run-time id, as the headset's files do, whatever id the loader shows.
  const std::string path = dfu::testing::WriteFirmware(
      dir_ / "fw.dfu", dfu::testing::Header("FARPOINT", 300), c.stopAtRequest ? 64 * 1000 : 4000);
  const usbenum::UsbDetection walked = Walk(c.onUsb);
  if (c.portAnswers) {
    Drive(run_.Begin(), path);
  } else {
    const std::optional<usbenum::UsbDetection> waiting = ChooseHeadset(walked);
    ASSERT_TRUE(waiting);
    ASSERT_EQ(StartOf(false, waiting->dfuMode), RunStart::FromDfuMode);
    Drive(run_.BeginInDfuMode(*waiting), path);
  }
  transport_->SetTransferHook(nullptr);

  EXPECT_EQ(run_.Ending(), c.ending);
  EXPECT_EQ(run_.Stage(), RunStage::Ended);
  EXPECT_EQ(run_.PortBack(), c.ending == RunEnding::Upgraded);
  if (c.ending == RunEnding::Stopped) {
    EXPECT_EQ(run_.Leaves(), c.leaves);
    // The request held at the stop, and nothing after it.
    EXPECT_EQ(transport_->Log().size(), atStop_.load() + 1);
  }
  if (c.ending == RunEnding::NoDevice) {
    // Every tenth of a second for 30 s after the second the headset has to leave its port.
    EXPECT_EQ(looks_, 300);
    EXPECT_EQ(ticks_.now - ManualTicks{}.now, 1000u + 30000u);
    EXPECT_EQ(handle_, 0u) << "no engine for another maker's device";
  } else {
    EXPECT_EQ(bound_, SimulatedTransport::kName) << "only the headset is bound";
  }
  if (c.portAnswers && c.ending != RunEnding::NoDevice) {
    EXPECT_EQ(looks_, 1);
  }

  std::size_t replugs = 0;
  for (const auto& r : recorder_.Reports())
    replugs += r.kind == DFUENGINE_REPORT_REPLUG ? 1 : 0;
  EXPECT_EQ(replugs, c.replugRequests);
  EXPECT_EQ(transport_->Device().Upgraded(), c.upgraded);
  if (c.replugRequests > 0 && !c.replugAfter) {
    // Waited the minute the user was given, and not much longer.
    EXPECT_GE(waiter_->Now(), seconds(60));
    EXPECT_LT(waiter_->Now(), seconds(61));
  }
}

INSTANTIATE_TEST_SUITE_P(States, UpgradeRunStatesTest, ::testing::ValuesIn(StateCases()),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace dfu
