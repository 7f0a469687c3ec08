// qmr7-sim as a separate process takes a firmware file through the engine: command 20 on its
// port, its USB side found through the registry, and its port back with the new version.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <optional>

#include "platform/VirtualDeviceRegistry.h"
#include "tests/sim/PtyHarness.h"
#include "tests/support/Spawn.h"
#include "tests/upgrade/EngineHarness.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "tests/upgrade/RegistryWait.h"
#include "upgrade/DfuNames.h"
#include "upgrade/testing/SimulatedTransport.h"


namespace dfu {
namespace {

using sim::testing::kSafetyTimeoutMs;
using sim::testing::ToolPort;

// The next arrival of a device of `kind`, waiting for the registry to change.
std::optional<platform::VirtualDevice> NextArrival(platform::VirtualDeviceWatcher& watcher,
                                                   const std::string& kind) {
  return testing::NextArrival(watcher, kind, kSafetyTimeoutMs);
}

class SimProgramTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (handle_ != 0) DFUEngine_Destroy(handle_);
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  void Spawn(std::vector<std::string> args) {
    args.insert(args.begin(), QMR7_SIM_PROGRAM);
    pid_ = testsupport::Spawn(std::move(args), testsupport::EnvironmentWithRuntimeDir(root_.Path()),
                              -1, 2);
    ASSERT_GT(pid_, 0);
  }

  testsupport::TempDir root_;
  platform::VirtualDeviceRegistry registry_{root_ / "qmr7"};
  testing::ReportRecorder recorder_;
  DFUEngineHandle handle_ = 0;
  pid_t pid_ = -1;
};

TEST_F(SimProgramTest, TakesAFirmwareFileWithItsDfuOptions) {
  registry_.EnsureDirectory();
  platform::VirtualDeviceWatcher watcher(registry_);
  Spawn({"--state", root_ / "state", "--dfu", "not-tolerant,will-detach,transfer-size=256"});
  const auto port = NextArrival(watcher, platform::kSerialKind);
  ASSERT_TRUE(port);
  {
    ToolPort tool(port->path);
    EXPECT_EQ(tool.Transact("AT+FPCMD1=20"), "OK\r\n+FPSTS1=20\r\n");
  }
  const auto usb = NextArrival(watcher, platform::kUsbDfuKind);
  ASSERT_TRUE(usb);
  EXPECT_EQ(usb->description, "QM-R7 virtual headset (DFU)");

  EngineEnvironment env;
  env.transports = {MakeSocketTransport(registry_.Directory())};
  env.waiter = std::make_unique<testing::VirtualWaiter>();
  handle_ = RegisterEngine(std::make_unique<Engine>(std::move(env)));
  DFUEngine_SetCallback(handle_, &testing::ReportRecorder::Callback);
  const std::string path =
      testing::WriteFirmware(root_ / "QMR7_321.dfu", testing::Header("FARPOINT", 321), 5000);
  ASSERT_EQ(DFUEngine_CreateUSB(handle_, ("virtual:" + usb->id).c_str()), 1);
  ASSERT_EQ(
      testing::RunOperation(
          recorder_, [&] { return DFUEngine_StartReconfigure(handle_, 0, 1, path.c_str()) != 0; })
          .result,
      0u);
  const DFUEngineReport download = testing::RunOperation(
      recorder_, [&] { return DFUEngine_StartDownload(handle_, path.c_str()) != 0; });
  ASSERT_EQ(download.result, 0u) << ResultName(download.result);
  ASSERT_EQ(testing::RunOperation(recorder_, [&] { return DFUEngine_StartManifest(handle_) != 0; })
                .result,
            0u);

  // 5000 bytes and the header in blocks of 256: the option reached the device.
  std::size_t progress = 0;
  for (const auto& r : recorder_.Reports()) {
    if (r.kind == DFUENGINE_REPORT_PROGRESS && r.report.operation == operation::kDownloadProgress &&
        r.report.bytesDone > 0) {
      EXPECT_TRUE(r.report.bytesDone % 256 == 0 || r.report.bytesDone == r.report.bytesTotal);
      ++progress;
    }
  }
  EXPECT_GT(progress, 10u);

  const auto back = NextArrival(watcher, platform::kSerialKind);
  ASSERT_TRUE(back);
  ToolPort tool(back->path);
  EXPECT_EQ(tool.Transact("AT+FPCMD1=8"), "OK\r\n+FPSTS1=8,321\r\n");
  EXPECT_NE(testsupport::ReadFile(root_ / "state").find("firmware_version=321"), std::string::npos);
}

}  // namespace
}  // namespace dfu
