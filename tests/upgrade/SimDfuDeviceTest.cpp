// The virtual headset's DFU device model: its command-line options and what the engine tests do
// not reach (requests out of order, images without our header).
#include <gtest/gtest.h>

#include "sim/CommandLine.h"
#include "sim/DfuDevice.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "upgrade/DfuProtocol.h"

namespace sim {
namespace {

using dfu::Request;
using dfu::State;

TEST(DfuOptions, ParseIntoConfigAndFaults) {
  DfuDeviceConfig config;
  DfuFaults faults;
  for (const char* option :
       {"status=7@12", "stall@3", "disconnect@0", "no-return", "not-tolerant", "will-detach",
        "transfer-size=256", "poll=40", "loader-strings", "reset-refused"}) {
    EXPECT_EQ(AddDfuOption(option, config, faults), "") << option;
  }
  ASSERT_TRUE(faults.statusAt);
  EXPECT_EQ(faults.statusAt->block, 12);
  EXPECT_EQ(faults.statusAt->status, 7);
  EXPECT_EQ(faults.stallAt, 3);
  EXPECT_EQ(faults.disconnectAt, 0);
  EXPECT_TRUE(faults.noReturn);
  EXPECT_FALSE(config.manifestationTolerant);
  EXPECT_TRUE(config.willDetach);
  EXPECT_EQ(config.transferSize, 256);
  EXPECT_EQ(config.pollTimeoutMs, 40u);
  EXPECT_TRUE(config.loaderStrings);
  EXPECT_EQ(config.dfuProduct, kLoaderProduct);
  EXPECT_TRUE(faults.resetRefused);

  for (const char* bad : {"status=0@1", "status=16@1", "status=3", "stall", "stall@-1", "stall=2@1",
                          "transfer-size=0", "poll=x", "poll=16777216", "tolerant", ""}) {
    EXPECT_NE(AddDfuOption(bad, config, faults), "") << bad;
  }
}

TEST(DfuOptions, ComeFromTheCommandLine) {
  CommandLine line;
  ASSERT_EQ(
      ParseCommandLine({"--dfu", "stall@2,not-tolerant", "--dfu=poll=9", "--fault", "split"}, line),
      "");
  EXPECT_EQ(line.dfuFaults.stallAt, 2);
  EXPECT_FALSE(line.dfuConfig.manifestationTolerant);
  EXPECT_EQ(line.dfuConfig.pollTimeoutMs, 9u);
  EXPECT_TRUE(line.faults.split);
  EXPECT_NE(ParseCommandLine({"--dfu", "split"}, line), "");  // a serial fault is no DFU option
  EXPECT_NE(UsageText().find("--dfu OPTION"), std::string::npos);
}

class DfuDeviceModel : public ::testing::Test {
 protected:
  // Into DFU mode, as the engine brings it there.
  void SetUp() override {
    Out(Request::Detach);
    device.Reset();
    ASSERT_EQ(device.Mode(), DfuMode::Dfu);
  }

  ControlReply Out(Request request, std::vector<std::uint8_t> data = {}) {
    return device.Control({dfu::kClassOut, static_cast<std::uint8_t>(request), 0, 0,
                           static_cast<std::uint16_t>(data.size())},
                          data);
  }

  dfu::StatusReply Status() {
    const auto reply =
        device.Control({dfu::kClassIn, static_cast<std::uint8_t>(Request::GetStatus), 0, 0, 6}, {});
    dfu::StatusReply status;
    EXPECT_EQ(dfu::ParseStatus(reply.data, status), dfu::ReplyFault::None);
    return status;
  }

  DfuDevice device;
};

TEST_F(DfuDeviceModel, EndingADownloadThatNeverBeganStallsWithNotDone) {
  EXPECT_EQ(Out(Request::Dnload).kind, ControlReply::Kind::Stall);
  const auto status = Status();
  EXPECT_EQ(status.state, static_cast<std::uint8_t>(State::Error));
  EXPECT_EQ(status.status, static_cast<std::uint8_t>(dfu::Status::ErrNotDone));
  EXPECT_EQ(Out(Request::ClrStatus).kind, ControlReply::Kind::Ok);
  EXPECT_EQ(Status().state, static_cast<std::uint8_t>(State::DfuIdle));
}

TEST_F(DfuDeviceModel, ABlockLargerThanTheTransferSizeStalls) {
  EXPECT_EQ(Out(Request::Dnload, std::vector<std::uint8_t>(1025)).kind, ControlReply::Kind::Stall);
  EXPECT_EQ(Status().status, static_cast<std::uint8_t>(dfu::Status::ErrStalledPkt));
}

TEST_F(DfuDeviceModel, AnImageWithoutOurHeaderFailsManifestationAndKeepsTheOldFirmware) {
  ASSERT_EQ(Out(Request::Dnload, dfu::testing::Body(100)).kind, ControlReply::Kind::Ok);
  EXPECT_EQ(Status().state, static_cast<std::uint8_t>(State::DnBusy));
  EXPECT_EQ(Status().state, static_cast<std::uint8_t>(State::DnloadIdle));
  ASSERT_EQ(Out(Request::Dnload).kind, ControlReply::Kind::Ok);
  const auto status = Status();
  EXPECT_EQ(status.state, static_cast<std::uint8_t>(State::Error));
  EXPECT_EQ(status.status, static_cast<std::uint8_t>(dfu::Status::ErrFile));
  device.Reset();
  EXPECT_EQ(device.Mode(), DfuMode::Runtime);
  EXPECT_FALSE(device.Upgraded());
  EXPECT_EQ(device.Running().version, 123);
}

TEST_F(DfuDeviceModel, AbortDropsAHalfDoneDownload) {
  auto image = dfu::BuildFile(dfu::testing::Header(), dfu::testing::Body(10), dfu::testing::Ids());
  image.resize(image.size() - dfu::kSuffixSize);
  ASSERT_EQ(Out(Request::Dnload, image).kind, ControlReply::Kind::Ok);
  Status();
  Status();
  ASSERT_EQ(Out(Request::Abort).kind, ControlReply::Kind::Ok);
  EXPECT_EQ(Status().state, static_cast<std::uint8_t>(State::DfuIdle));
  EXPECT_EQ(Out(Request::Dnload).kind, ControlReply::Kind::Stall);  // nothing left to end
}

// A boot loader that names itself does so in DFU mode only; the firmware names its files.
TEST(DfuDeviceLoader, NamesItselfInDfuModeOnly) {
  DfuDeviceConfig config;
  DfuFaults faults;
  ASSERT_EQ(AddDfuOption("loader-strings", config, faults), "");
  DfuDevice device(Firmware{}, config);
  const auto product = [&] {
    const auto d = device.Control({dfu::kStandardIn, dfu::kGetDescriptor,
                                   static_cast<std::uint16_t>(dfu::kDeviceDescriptor << 8), 0, 18},
                                  {});
    return static_cast<std::uint16_t>(d.data[10] | d.data[11] << 8);
  };
  EXPECT_EQ(device.ConfigurationString(), "FW:QMR7_123.xpv PSR:QMR7_123.psr");
  EXPECT_EQ(product(), 0x7207);
  device.Control({dfu::kClassOut, static_cast<std::uint8_t>(Request::Detach), 0, 0, 0}, {});
  device.Replug();
  ASSERT_EQ(device.Mode(), DfuMode::Dfu);
  EXPECT_EQ(device.ConfigurationString(), "DFU loader");
  EXPECT_EQ(product(), kLoaderProduct);
}

}  // namespace
}  // namespace sim
