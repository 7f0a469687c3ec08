// Which device the engine talks to and which file it accepts for it: the device the walk found is
// the only one listed, bound and written, with another maker's DFU device attached first; a
// device found already in DFU mode takes the file made for its run-time id.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "tests/upgrade/EngineHarness.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "upgrade/DfuNames.h"
#include "upgrade/DfuQuirks.h"
#include "upgrade/testing/FixtureUsbHost.h"
#include "upgrade/testing/SimulatedTransport.h"

namespace dfu {
namespace {

using testing::ReportRecorder;
using testing::RunOperation;
using testing::SimulatedTransport;
using testing::VirtualWaiter;

constexpr char kOurs[] = "sim:qmr7";
constexpr char kOther[] = "sim:other";

// A device model already in DFU mode, as an upgrade cut short leaves it.
sim::DfuDevice InDfuMode(sim::DfuDeviceConfig config) {
  sim::DfuDevice device(sim::Firmware{}, config);
  device.Control({kClassOut, static_cast<std::uint8_t>(Request::Detach), 1000, 0, 0}, {});
  device.Reset();
  return device;
}

class EngineDeviceChoiceTest : public ::testing::Test {
 protected:
  // The engine over `devices`, listed in this order.
  void Make(std::vector<std::pair<std::string, sim::DfuDevice>> devices) {
    auto waiter = std::make_unique<VirtualWaiter>();
    EngineEnvironment env;
    for (auto& [name, device] : devices) {
      transports_[name] = std::make_shared<SimulatedTransport>(device, waiter.get(), name);
      env.transports.push_back(transports_[name]);
    }
    env.waiter = std::move(waiter);
    handle_ = RegisterEngine(std::make_unique<Engine>(std::move(env)));
    DFUEngine_SetCallback(handle_, &ReportRecorder::Callback);
  }

  void TearDown() override {
    if (handle_ != 0) DFUEngine_Destroy(handle_);
  }

  std::string File(const Suffix& ids) {
    return testing::WriteFirmware(dir_ / "fw.dfu", testing::Header(), 4000, ids);
  }

  std::vector<std::string> Names() {
    char names[DFUENGINE_NAMES_SIZE] = {};
    const std::uint32_t count = DFUEngine_GetUSBDeviceNames(handle_, names);
    std::vector<std::string> list;
    for (const char* p = names; *p != '\0'; p += std::strlen(p) + 1)
      list.emplace_back(p);
    EXPECT_EQ(count, list.size());
    return list;
  }

  DFUEngineReport Reconfigure(const std::string& path) {
    return RunOperation(
        recorder_, [&] { return DFUEngine_StartReconfigure(handle_, 0, 1, path.c_str()) != 0; });
  }

  // Binds `name` and runs the three operations, stopping at the first failure.
  DFUEngineReport Upgrade(const std::string& name, const std::string& path) {
    return RunUpgrade(recorder_, handle_, name.c_str(), path);
  }

  static std::string Codes(const DFUEngineReport& r) {
    return ResultName(r.result) + " / " + OperationName(r.operation) + " / " +
           SubOperationName(r.subOperation);
  }

  testsupport::TempDir dir_;
  ReportRecorder recorder_;
  std::map<std::string, std::shared_ptr<SimulatedTransport>> transports_;
  DFUEngineHandle handle_ = 0;
};

TEST_F(EngineDeviceChoiceTest, AnotherMakersDeviceAttachedFirstReceivesNothing) {
  sim::DfuDeviceConfig other;
  other.vendor = 0x0483;
  other.product = 0xDF11;
  Make({{kOther, sim::DfuDevice(sim::Firmware{}, other)}, {kOurs, sim::DfuDevice()}});
  // Unfiltered, the other device comes first: the hazard this guards against.
  EXPECT_EQ(Names(), (std::vector<std::string>{kOther, kOurs}));

  // The walk tells the two apart by the configuration string; only ours names its firmware.
  usbenum::testing::FixtureUsbHost host;
  host.rootHubs = {"root"};
  host.hubs["root"].portCount = 2;
  host.hubs["root"].ports[1] = usbenum::testing::DeviceWithConfigString("DFU in FS Mode", kOther);
  host.hubs["root"].ports[2] =
      usbenum::testing::DeviceWithConfigString("FW:QMR7_123.xpv PSR:QMR7_123.psr", kOurs);
  usbenum::UsbHost* hosts[] = {&host};
  const usbenum::UsbDetection found = usbenum::WalkUsbTree(hosts);
  ASSERT_EQ(found.deviceName, kOurs);

  DFUEngine_SetUSBDeviceFilter(handle_, found.deviceName.c_str());
  const auto names = Names();
  ASSERT_EQ(names, std::vector<std::string>{kOurs});
  EXPECT_EQ(DFUEngine_CreateUSB(handle_, kOther), 0);

  // A file made without ids fits any device: only the filter keeps the other one out.
  const DFUEngineReport end = Upgrade(names.front(), File(testing::Ids(kAnyId, kAnyId)));
  EXPECT_EQ(end.result, 0u) << Codes(end);
  EXPECT_TRUE(transports_[kOurs]->Device().Upgraded());
  EXPECT_TRUE(transports_[kOther]->Log().empty()) << "the other device received requests";
  EXPECT_EQ(transports_[kOther]->Device().Mode(), sim::DfuMode::Runtime);

  // Clearing the filter lists every device again.
  DFUEngine_SetUSBDeviceFilter(handle_, nullptr);
  EXPECT_EQ(Names().size(), 2u);
}

struct DfuModeCase {
  const char* name;
  sim::DfuDeviceConfig config;
  std::uint16_t fileProduct;
  std::uint32_t result;
};

sim::DfuDeviceConfig Ids(std::uint16_t vendor, std::uint16_t product, std::uint16_t dfuProduct) {
  sim::DfuDeviceConfig config;
  config.vendor = vendor;
  config.product = product;
  config.dfuProduct = dfuProduct;
  return config;
}

std::vector<DfuModeCase> DfuModeCases() {
  const Quirk& q = Quirks().front();
  return {
      {"RunTimeIdOfTheQuirk", Ids(q.vendor, q.runtimeProduct, q.dfuProduct), q.runtimeProduct,
       result::kSuccess},
      {"DfuModeIdOfTheQuirk", Ids(q.vendor, q.runtimeProduct, q.dfuProduct), q.dfuProduct,
       result::kSuccess},
      {"AnotherProductOfTheSameMaker", Ids(q.vendor, q.runtimeProduct, q.dfuProduct), 0x0001,
       result::kFailFileProduct},
      // Without an entry only the id the engine has seen counts.
      {"UnknownDeviceRunTimeId", Ids(q.vendor, 0x1111, 0x2222), 0x1111, result::kFailFileProduct},
      {"UnknownDeviceDfuModeId", Ids(q.vendor, 0x1111, 0x2222), 0x2222, result::kSuccess},
  };
}

class EngineDfuModeTest : public EngineDeviceChoiceTest,
                          public ::testing::WithParamInterface<DfuModeCase> {};

TEST_P(EngineDfuModeTest, ADeviceFoundInDfuModeTakesTheFileForItsProduct) {
  const DfuModeCase& c = GetParam();
  Make({{kOurs, InDfuMode(c.config)}});
  const DFUEngineReport end = Upgrade(kOurs, File(testing::Ids(c.config.vendor, c.fileProduct)));
  EXPECT_EQ(end.result, c.result) << Codes(end);
  if (c.result == result::kSuccess) {
    EXPECT_TRUE(transports_[kOurs]->Device().Upgraded());
  } else {
    // Refused before anything was written.
    EXPECT_EQ(end.operation, operation::kReconfigureChecking);
    EXPECT_EQ(transports_[kOurs]->Device().Mode(), sim::DfuMode::Dfu);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, EngineDfuModeTest, ::testing::ValuesIn(DfuModeCases()),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(EngineDeviceChoiceTest, BindingTheSameDeviceAgainKeepsTheIdsItShowed) {
  // A device without a quirk entry, its run cut short after the reconfigure: bound again, now
  // in DFU mode, it still takes the file for its run-time id.
  const sim::DfuDeviceConfig config = Ids(0x1209, 0x1111, 0x2222);
  Make({{kOurs, sim::DfuDevice(sim::Firmware{}, config)},
        {kOther, InDfuMode(Ids(0x1209, 0x3333, 0x4444))}});
  const std::string path = File(testing::Ids(0x1209, 0x1111));
  ASSERT_EQ(DFUEngine_CreateUSB(handle_, kOurs), 1);
  ASSERT_EQ(Reconfigure(path).result, 0u);
  ASSERT_EQ(transports_[kOurs]->Device().Mode(), sim::DfuMode::Dfu);
  EXPECT_EQ(Upgrade(kOurs, path).result, 0u);

  // The ids belong to that device: once another was bound, it is known afresh.
  ASSERT_EQ(DFUEngine_CreateUSB(handle_, kOurs), 1);
  ASSERT_EQ(Reconfigure(path).result, 0u);  // in DFU mode again
  ASSERT_EQ(DFUEngine_CreateUSB(handle_, kOther), 1);
  ASSERT_EQ(DFUEngine_CreateUSB(handle_, kOurs), 1);
  const DFUEngineReport end = Reconfigure(path);
  EXPECT_EQ(Codes(end), "fail_file_product / reconfigure_checking / no_sub_operation");
}

}  // namespace
}  // namespace dfu
