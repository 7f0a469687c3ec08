// The engine through its C interface against the in-process simulated device: the whole upgrade
// with every report, each fault with its codes, binding again, and the waits the device asked for.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "tests/upgrade/EngineHarness.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "upgrade/DfuNames.h"
#include "upgrade/testing/SimulatedTransport.h"

namespace dfu {
namespace {

using std::chrono::milliseconds;
using testing::ReportRecorder;
using testing::RunOperation;
using testing::SimulatedTransport;
using testing::VirtualWaiter;

constexpr std::size_t kBodySize = 10000;

// Opened once, waited for by another thread. (std::latch's wait was seen to miss its wake-up in
// the Windows build's C++ runtime, under wine.)
class Gate {
 public:
  void Open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    opened_.notify_all();
  }
  void Wait() {
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

// Holds the first transfer inside the transport's hook until released. On every way out of a test,
// a failed assertion's early return included, the destructor lets go of everything: the transfer
// released, the hook cleared, the test's own thread joined. The gates live in the hook itself, so
// a call of the hook still returning cannot outlive them.
class HeldTransfer {
 public:
  explicit HeldTransfer(SimulatedTransport& transport)
      : transport_(transport), gates_(std::make_shared<Gates>()) {
    transport_.SetTransferHook([gates = gates_] {
      if (!gates->first.exchange(false)) return;
      gates->entered.Open();
      gates->release.Wait();
    });
  }
  ~HeldTransfer() {
    Release();
    transport_.SetTransferHook(nullptr);
    if (thread_.joinable()) thread_.join();
  }
  HeldTransfer(const HeldTransfer&) = delete;
  HeldTransfer& operator=(const HeldTransfer&) = delete;

  void WaitUntilEntered() { gates_->entered.Wait(); }
  void Release() { gates_->release.Open(); }
  // Runs `work` on a thread of the test's, joined once released.
  void Start(std::function<void()> work) { thread_ = std::thread(std::move(work)); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  struct Gates {
    Gate entered, release;
    std::atomic<bool> first{true};
  };
  SimulatedTransport& transport_;
  const std::shared_ptr<Gates> gates_;
  std::thread thread_;
};

class EngineTest : public ::testing::Test {
 protected:
  void Make(sim::DfuDeviceConfig config = {}, sim::DfuFaults faults = {}) {
    auto waiter = std::make_unique<VirtualWaiter>();
    waiter_ = waiter.get();
    transport_ = std::make_shared<SimulatedTransport>(
        sim::DfuDevice(sim::Firmware{}, config, faults), waiter_);
    EngineEnvironment env;
    env.transports = {transport_};
    env.waiter = std::move(waiter);
    handle_ = RegisterEngine(std::make_unique<Engine>(std::move(env)));
    DFUEngine_SetCallback(handle_, &ReportRecorder::Callback);
  }

  void TearDown() override {
    if (handle_ != 0) DFUEngine_Destroy(handle_);
  }

  std::string File(const ImageHeader& header = testing::Header(),
                   const Suffix& ids = testing::Ids()) {
    return testing::WriteFirmware(dir_ / "fw.dfu", header, kBodySize, ids);
  }

  DFUEngineReport Reconfigure(const std::string& path) {
    return RunOperation(
        recorder_, [&] { return DFUEngine_StartReconfigure(handle_, 0, 1, path.c_str()) != 0; });
  }
  DFUEngineReport Download(const std::string& path) {
    return RunOperation(recorder_,
                        [&] { return DFUEngine_StartDownload(handle_, path.c_str()) != 0; });
  }
  DFUEngineReport Manifest() {
    return RunOperation(recorder_, [&] { return DFUEngine_StartManifest(handle_) != 0; });
  }

  // The codes of a report, named, for readable failures.
  static std::string Codes(const DFUEngineReport& r) {
    return ResultName(r.result) + " / " + OperationName(r.operation) + " / " +
           SubOperationName(r.subOperation);
  }

  // Binds and runs the three operations as the window does, stopping at the first failure.
  DFUEngineReport Upgrade(const std::string& path) {
    return RunUpgrade(recorder_, handle_, SimulatedTransport::kName, path);
  }

  testsupport::TempDir dir_;
  ReportRecorder recorder_;
  VirtualWaiter* waiter_ = nullptr;
  std::shared_ptr<SimulatedTransport> transport_;
  DFUEngineHandle handle_ = 0;
};

TEST_F(EngineTest, FullUpgradeReportsEveryStepInOrder) {
  Make();
  const std::string path = File(testing::Header("FARPOINT", 200));
  const DFUEngineReport end = Upgrade(path);
  ASSERT_EQ(end.result, 0u) << Codes(end);

  // One kind-2 per operation, progress before it never going back, download_verify reached.
  const auto reports = recorder_.Reports();
  std::vector<DFUEngineReport> ends;
  std::uint32_t percent = 0;
  bool verifySeen = false, downloadAt100 = false;
  for (const auto& r : reports) {
    if (r.kind == DFUENGINE_REPORT_RESULT) {
      ends.push_back(r.report);
      percent = 0;
      continue;
    }
    ASSERT_EQ(r.kind, DFUENGINE_REPORT_PROGRESS);
    EXPECT_GE(r.report.percent, percent) << OperationName(r.report.operation);
    EXPECT_LE(r.report.percent, 100u);
    percent = r.report.percent;
    verifySeen |= r.report.operation == operation::kDownloadVerify;
    downloadAt100 |= r.report.operation == operation::kDownloadProgress && r.report.percent == 100;
  }
  ASSERT_EQ(ends.size(), 3u);
  EXPECT_EQ(ends[0].operation, operation::kReconfigureChecking);
  EXPECT_EQ(ends[1].operation, operation::kDownloadVerify);
  EXPECT_EQ(ends[2].operation, operation::kManifestStartRuntime);
  EXPECT_TRUE(verifySeen);
  EXPECT_TRUE(downloadAt100);

  // The first progress report of each operation names its first step.
  std::vector<std::uint32_t> firstOps;
  bool next = true;
  for (const auto& r : reports) {
    if (next && r.kind == DFUENGINE_REPORT_PROGRESS) firstOps.push_back(r.report.operation);
    next = r.kind == DFUENGINE_REPORT_RESULT;
  }
  EXPECT_EQ(firstOps,
            (std::vector<std::uint32_t>{operation::kReconfigureConnect, operation::kDownloadPrepare,
                                        operation::kManifestStartRuntime}));

  // The device runs the new firmware and names it.
  const sim::DfuDevice device = transport_->Device();
  EXPECT_EQ(device.Mode(), sim::DfuMode::Runtime);
  EXPECT_TRUE(device.Upgraded());
  EXPECT_EQ(device.Running().version, 200);
  EXPECT_EQ(device.ConfigurationString(), "FW:QMR7_200.xpv PSR:QMR7_200.psr");
}

TEST_F(EngineTest, WaitsExactlyTheDevicesPollTimeouts) {
  // However the device reports a block being written: dfuDNBUSY or dfuDNLOAD-SYNC, with the poll
  // time-out only while busy or in every status.
  for (const bool sync : {false, true}) {
    for (const bool pollAlways : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "sync " << sync << ", poll always " << pollAlways);
      if (handle_ != 0) DFUEngine_Destroy(handle_);
      sim::DfuDeviceConfig config;
      config.pollTimeoutMs = 37;
      config.transferSize = 512;
      config.syncWhileWriting = sync;
      config.pollInEveryStatus = pollAlways;
      Make(config);
      const DFUEngineReport end = Upgrade(File());
      ASSERT_EQ(end.result, 0u) << Codes(end);

      // One wait per block while the device is busy, one through manifestation; nothing else.
      const std::size_t image = testing::Header().Size() + kBodySize;
      const std::size_t blocks = (image + 511) / 512;
      EXPECT_EQ(waiter_->Waits(),
                std::vector<std::chrono::microseconds>(blocks + 1, milliseconds(37)));

      // Each GETSTATUS after a busy one comes exactly bwPollTimeout after the one that asked for
      // it, and asks for the status's six bytes.
      const auto log = transport_->Log();
      std::size_t checked = 0;
      for (std::size_t i = 0; i + 2 < log.size(); ++i) {
        const bool dnload = log[i].setup.request == static_cast<std::uint8_t>(Request::Dnload) &&
                            log[i].setup.requestType == kClassOut && log[i].setup.length > 0;
        if (!dnload) continue;
        EXPECT_EQ(log[i + 2].at - log[i + 1].at, milliseconds(37));
        EXPECT_EQ(log[i + 1].setup.length, 6u);
        ++checked;
      }
      EXPECT_EQ(checked, blocks);
    }
  }
}

TEST_F(EngineTest, DevicesThatAreNotManifestationTolerantOrDetachThemselves) {
  for (const bool tolerant : {false, true}) {
    for (const bool willDetach : {false, true}) {
      SCOPED_TRACE(::testing::Message()
                   << "tolerant " << tolerant << ", will-detach " << willDetach);
      if (handle_ != 0) DFUEngine_Destroy(handle_);
      sim::DfuDeviceConfig config;
      config.manifestationTolerant = tolerant;
      config.willDetach = willDetach;
      Make(config);
      const DFUEngineReport end = Upgrade(File());
      EXPECT_EQ(end.result, 0u) << Codes(end);
      EXPECT_TRUE(transport_->Device().Upgraded());
      // A device that detaches itself gets no reset at all: it enters DFU mode on DFU_DETACH and
      // leaves it after manifestation by itself, or (tolerant) told by DFU_DETACH again.
      std::size_t resets = 0;
      for (const auto& entry : transport_->Log())
        resets += entry.reset ? 1 : 0;
      EXPECT_EQ(resets, willDetach ? 0u : 2u);
    }
  }
}

struct FaultCase {
  std::string name;
  sim::DfuFaults faults;
  std::uint32_t result;
  std::uint32_t operation;
  std::uint32_t subOperation;
};

std::vector<FaultCase> FaultCases() {
  std::vector<FaultCase> cases;
  for (std::uint8_t status = 1; status <= 15; ++status) {
    sim::DfuFaults f;
    f.statusAt = sim::DfuFaults::StatusAt{3, status};
    cases.push_back({"Status" + std::to_string(status) + "AtBlock3", f,
                     result::ForStatus(status, false), operation::kDownloadProgress,
                     suboperation::kDownloadProcessing});
  }
  sim::DfuFaults stall;
  stall.stallAt = 2;
  cases.push_back({"StallAtBlock2", stall, result::kFailDfuStalledPkt, operation::kDownloadProgress,
                   suboperation::kDownloadProcessing});
  sim::DfuFaults disconnect;
  disconnect.disconnectAt = 5;
  cases.push_back({"DisconnectAtBlock5", disconnect, result::kFailUsbNone,
                   operation::kDownloadProgress, suboperation::kDownloadProcessing});
  sim::DfuFaults gone;
  gone.noReturn = true;
  cases.push_back({"NeverBackAfterManifestation", gone, result::kFailUsbNone,
                   operation::kManifestFail, suboperation::kUsbWait});
  return cases;
}

class EngineFaultTest : public EngineTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(EngineFaultTest, EndsWithItsCodes) {
  Make({}, GetParam().faults);
  const DFUEngineReport end = Upgrade(File());
  EXPECT_EQ(Codes(end),
            Codes({0, 0, GetParam().operation, 0, 0, GetParam().result, GetParam().subOperation}));
  EXPECT_EQ(recorder_.Results(), GetParam().operation == operation::kManifestFail ? 3u : 2u);
  EXPECT_FALSE(transport_->Device().Upgraded());
  EXPECT_EQ(transport_->Device().LeftForGood(), GetParam().faults.noReturn);
}

TEST_P(EngineFaultTest, ADeviceLeftInDfuModeTakesTheNextRun) {
  if (GetParam().faults.disconnectAt || GetParam().faults.noReturn) GTEST_SKIP() << "device gone";
  Make({}, GetParam().faults);
  ASSERT_NE(Upgrade(File()).result, 0u);
  ASSERT_EQ(transport_->Device().Mode(), sim::DfuMode::Dfu);
  // The next run finds the device in DFU mode, in its error state: cleared, then written.
  const DFUEngineReport end = Upgrade(File(testing::Header("FARPOINT", 300)));
  EXPECT_EQ(end.result, 0u) << Codes(end);
  EXPECT_EQ(transport_->Device().Running().version, 300);
}

INSTANTIATE_TEST_SUITE_P(Faults, EngineFaultTest, ::testing::ValuesIn(FaultCases()),
                         [](const auto& param) { return param.param.name; });

TEST_F(EngineTest, FileFaultsEndTheOperationThatFindsThem) {
  Make();
  // Checked before the device leaves its firmware: it stays in run-time mode.
  DFUEngineReport end;
  ASSERT_EQ(DFUEngine_CreateUSB(handle_, SimulatedTransport::kName), 1);
  end = Reconfigure(File(testing::Header(), testing::Ids(0x1234, 0x7207)));
  EXPECT_EQ(Codes(end), Codes({0, 0, operation::kReconfigureConnect, 0, 0, result::kFailFileVendor,
                               suboperation::kNone}));
  EXPECT_EQ(transport_->Device().Mode(), sim::DfuMode::Runtime);

  // A product the device has in neither mode, found once it is in DFU mode.
  end = Reconfigure(File(testing::Header(), testing::Ids(0x1209, 0x0001)));
  EXPECT_EQ(Codes(end), Codes({0, 0, operation::kReconfigureChecking, 0, 0,
                               result::kFailFileProduct, suboperation::kNone}));

  // In DFU mode, a file changed since: wrong product, then a broken CRC.
  ASSERT_EQ(DFUEngine_CreateUSB(handle_, SimulatedTransport::kName), 1);
  ASSERT_EQ(Reconfigure(File()).result, 0u);
  end = Download(File(testing::Header(), testing::Ids(0x1209, 0x0001)));
  EXPECT_EQ(Codes(end), Codes({0, 0, operation::kDownloadPrepare, 0, 0, result::kFailFileProduct,
                               suboperation::kNone}));
  ASSERT_EQ(DFUEngine_CreateUSB(handle_, SimulatedTransport::kName), 1);
  ASSERT_EQ(Reconfigure(File()).result, 0u);
  std::string broken = testsupport::ReadFile(File());
  broken[50] ^= 1;
  testsupport::WriteFile(dir_ / "broken.dfu", broken);
  end = Download(dir_ / "broken.dfu");
  EXPECT_EQ(Codes(end), Codes({0, 0, operation::kDownloadPrepare, 0, 0, result::kFailFileCrc,
                               suboperation::kNone}));
  // Nothing was written: the device is still idle in DFU mode and takes a good file.
  ASSERT_EQ(DFUEngine_CreateUSB(handle_, SimulatedTransport::kName), 1);
  ASSERT_EQ(Reconfigure(File()).result, 0u);
  EXPECT_EQ(Download(File()).result, 0u);
  EXPECT_EQ(Manifest().result, 0u);
}

TEST_F(EngineTest, InDfuModeTheProductMayChangeButNotTheMaker) {
  sim::DfuDeviceConfig config;
  config.dfuProduct = 0x7208;
  Make(config);
  // A file may name the product of either mode.
  EXPECT_EQ(Upgrade(File(testing::Header(), testing::Ids(0x1209, 0x7208))).result, 0u);
  EXPECT_EQ(Upgrade(File(testing::Header(), testing::Ids(0x1209, 0x7207))).result, 0u);

  // Another maker's device in the same place after the detach is not ours to write.
  config.dfuVendor = 0x1234;
  DFUEngine_Destroy(handle_);
  Make(config);
  const DFUEngineReport end = Upgrade(File());
  EXPECT_EQ(Codes(end), Codes({0, 0, operation::kReconfigureStartDfu, 0, 0, result::kFailUsbId,
                               suboperation::kUsbWait}));
}

TEST_F(EngineTest, ADeviceUnpluggedAfterBindingFailsToConnect) {
  Make();
  ASSERT_EQ(DFUEngine_CreateUSB(handle_, SimulatedTransport::kName), 1);
  transport_->SetAttached(false);
  const DFUEngineReport end = Reconfigure(File());
  EXPECT_EQ(Codes(end), Codes({0, 0, operation::kReconfigureConnect, 0, 0, result::kFailUsbNone,
                               suboperation::kUsbOpen}));
}

TEST_F(EngineTest, BindsAgainForASecondRun) {
  Make();
  ASSERT_EQ(Upgrade(File(testing::Header("FARPOINT", 125))).result, 0u);
  ASSERT_EQ(Upgrade(File(testing::Header("FARPOINT", 126))).result, 0u);
  EXPECT_EQ(transport_->Device().Running().version, 126);
  EXPECT_EQ(recorder_.Results(), 6u);
}

TEST_F(EngineTest, NothingStartsWithoutADeviceOrWhileAnOperationRuns) {
  Make();
  const std::string path = File();
  EXPECT_EQ(DFUEngine_StartReconfigure(handle_, 0, 1, path.c_str()), 0);  // not bound
  EXPECT_EQ(DFUEngine_CreateUSB(handle_, "sim:9"), 0);
  EXPECT_EQ(DFUEngine_CreateUSB(handle_, "nothing:1"), 0);
  ASSERT_EQ(DFUEngine_CreateUSB(handle_, SimulatedTransport::kName), 1);
  EXPECT_EQ(DFUEngine_StartReconfigure(handle_, 1, 1, path.c_str()), 0);  // no upload offered

  // Hold the operation inside its first transfer.
  HeldTransfer held(*transport_);
  ASSERT_EQ(DFUEngine_StartReconfigure(handle_, 0, 1, path.c_str()), 1);
  held.WaitUntilEntered();
  EXPECT_EQ(DFUEngine_StartDownload(handle_, path.c_str()), 0);
  EXPECT_EQ(DFUEngine_StartManifest(handle_), 0);
  EXPECT_EQ(DFUEngine_CreateUSB(handle_, SimulatedTransport::kName), 0);
  held.Release();
  ASSERT_TRUE(recorder_.WaitForResults(1));
  EXPECT_EQ(recorder_.Reports().back().report.result, 0u);
  EXPECT_EQ(recorder_.Results(), 1u);
}

TEST_F(EngineTest, DestroyEndsARunningOperationWithOneAbortedReport) {
  Make();
  const std::string path = File();
  ASSERT_EQ(DFUEngine_CreateUSB(handle_, SimulatedTransport::kName), 1);
  ASSERT_EQ(Reconfigure(path).result, 0u);

  // Hold the download inside a transfer while the engine is destroyed.
  HeldTransfer held(*transport_);
  ASSERT_EQ(DFUEngine_StartDownload(handle_, path.c_str()), 1);
  held.WaitUntilEntered();
  VirtualWaiter* waiter = waiter_;
  held.Start([handle = handle_] { DFUEngine_Destroy(handle); });
  handle_ = 0;  // destroyed by that thread, never again by TearDown
  ASSERT_TRUE(waiter->WaitUntilCancelled(std::chrono::seconds(10)));
  held.Release();
  held.Join();

  const auto reports = recorder_.Reports();
  ASSERT_EQ(recorder_.Results(), 2u);
  EXPECT_EQ(reports.back().kind, DFUENGINE_REPORT_RESULT);
  EXPECT_EQ(ResultName(reports.back().report.result), "aborted");
  EXPECT_FALSE(transport_->Device().Upgraded());
}

TEST_F(EngineTest, TheNextOperationMayStartFromTheEndReport) {
  // A receiver that starts the next operation from inside the callback, on the engine's thread.
  Make();
  static DFUEngineHandle handle;
  static std::string path;
  static std::atomic<int> started;
  handle = handle_;
  path = File();
  started = 0;
  DFUEngine_SetCallback(handle_, [](std::uint32_t kind, const DFUEngineReport* r) {
    ReportRecorder::Callback(kind, r);
    if (kind == DFUENGINE_REPORT_RESULT && r->result == 0 &&
        r->operation == operation::kReconfigureChecking) {
      started = DFUEngine_StartDownload(handle, path.c_str());
    }
  });
  ASSERT_EQ(DFUEngine_CreateUSB(handle_, SimulatedTransport::kName), 1);
  ASSERT_EQ(DFUEngine_StartReconfigure(handle_, 0, 1, path.c_str()), 1);
  ASSERT_TRUE(recorder_.WaitForResults(2));
  EXPECT_EQ(started, 1);
  EXPECT_EQ(recorder_.Reports().back().report.operation, operation::kDownloadVerify);
}

TEST_F(EngineTest, DeviceNames) {
  Make();
  char names[DFUENGINE_NAMES_SIZE];
  std::memset(names, '#', sizeof names);
  EXPECT_EQ(DFUEngine_GetUSBDeviceNames(handle_, names), 1u);
  EXPECT_STREQ(names, SimulatedTransport::kName);
  EXPECT_EQ(names[std::strlen(SimulatedTransport::kName) + 1], '\0');

  transport_->SetAttached(false);
  std::memset(names, '#', sizeof names);
  EXPECT_EQ(DFUEngine_GetUSBDeviceNames(handle_, names), 0u);
  EXPECT_EQ(names[0], '\0');
  EXPECT_EQ(DFUEngine_CreateUSB(handle_, SimulatedTransport::kName), 0);
}

TEST(EngineHandles, UnknownAndDestroyedHandlesDoNothing) {
  const DFUEngineHandle handle = DFUEngine_Create();
  ASSERT_NE(handle, 0u);
  DFUEngine_Destroy(handle);
  char names[DFUENGINE_NAMES_SIZE] = {'x'};
  char description[DFUENGINE_DESCRIPTION_SIZE] = {'x'};
  for (const DFUEngineHandle h : {handle, DFUEngineHandle{0}, DFUEngineHandle{0xFFFFFFFF}}) {
    EXPECT_EQ(DFUEngine_GetUSBDeviceNames(h, names), 0u);
    EXPECT_EQ(DFUEngine_IsDFUFileValid(h, "/dev/null", description, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(description[0], '\0');
    EXPECT_EQ(DFUEngine_CreateUSB(h, "sim:1"), 0);
    EXPECT_EQ(DFUEngine_StartReconfigure(h, 0, 1, "x"), 0);
    EXPECT_EQ(DFUEngine_StartDownload(h, "x"), 0);
    EXPECT_EQ(DFUEngine_StartManifest(h), 0);
    DFUEngine_SetCallback(h, nullptr);
    DFUEngine_Destroy(h);
  }
  // Handles are not reused.
  const DFUEngineHandle again = DFUEngine_Create();
  EXPECT_NE(again, handle);
  DFUEngine_Destroy(again);
}

#ifdef __linux__
// Most runs of the tool never upgrade: an engine, with the system's transports, costs no thread of
// its own or of a USB library until an operation starts.
TEST(EngineHandles, AnEngineStartsNoThreadBeforeItsFirstOperation) {
  const auto threads = [] {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
      ++n;
    return n;
  };
  const std::size_t before = threads();
  const DFUEngineHandle handle = DFUEngine_Create();
  ASSERT_NE(handle, 0u);
  char description[DFUENGINE_DESCRIPTION_SIZE] = {};
  DFUEngine_IsDFUFileValid(handle, "/dev/null", description, nullptr, nullptr, nullptr);
  EXPECT_EQ(threads(), before);
  DFUEngine_Destroy(handle);
}
#endif

}  // namespace
}  // namespace dfu
