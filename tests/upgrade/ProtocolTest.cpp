// The code tables and what the engine reads from devices.
#include <gtest/gtest.h>

#include <cstddef>
#include <set>

#include "sim/DfuDevice.h"
#include "upgrade/DFUEngine.h"
#include "upgrade/DfuNames.h"
#include "upgrade/DfuProtocol.h"

namespace dfu {
namespace {

// The record other engines fill: the window reads these offsets.
static_assert(offsetof(DFUEngineReport, percent) == 4);
static_assert(offsetof(DFUEngineReport, operation) == 8);
static_assert(offsetof(DFUEngineReport, result) == 20);
static_assert(offsetof(DFUEngineReport, subOperation) == 24);
static_assert(sizeof(DFUEngineReport) == 28);

TEST(CodeNames, EveryRowIsNamedOnceAndCodesPastTheEndAreUnknown) {
  std::set<std::string> names;
  for (std::uint32_t code = 0; code < result::kCount; ++code)
    names.insert(ResultName(code));
  EXPECT_EQ(names.size(), result::kCount);
  EXPECT_EQ(names.count(""), 0u);

  EXPECT_EQ(ResultName(0), "success");
  EXPECT_EQ(ResultName(14), "fail_file_crc");
  EXPECT_EQ(ResultName(117), "fail_btw_status_long");
  EXPECT_EQ(ResultName(118), "unknown (118)");
  EXPECT_EQ(OperationName(9), "download_progress");
  EXPECT_EQ(OperationName(10), "download_verify");
  EXPECT_EQ(OperationName(15), "recover_fail");
  EXPECT_EQ(OperationName(16), "unknown (16)");
  EXPECT_EQ(SubOperationName(0), "no_sub_operation");
  EXPECT_EQ(SubOperationName(9), "download_processing");
  EXPECT_EQ(SubOperationName(10), "unknown (10)");
  EXPECT_EQ(ResultName(0xFFFFFFFFu), "unknown (4294967295)");
}

TEST(CodeNames, DeviceStatusesMapToTheirDfuRows) {
  const struct {
    std::uint8_t status;
    bool hasString;
    const char* name;
  } cases[] = {
      {1, false, "fail_dfu_target"},       {2, false, "fail_dfu_file"},
      {5, false, "fail_dfu_check_erased"}, {9, false, "fail_dfu_not_done"},
      {10, false, "fail_dfu_firmware"},    {11, false, "fail_dfu_vendor_num"},
      {11, true, "fail_dfu_vendor_str"},   {12, false, "fail_dfu_usbr"},
      {13, false, "fail_dfu_por"},         {14, false, "fail_dfu_unknown"},
      {15, false, "fail_dfu_stalledpkt"},  {0, false, "fail_dfu_unknown"},
      {16, false, "fail_dfu_unknown"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ResultName(result::ForStatus(c.status, c.hasString)), c.name) << int(c.status);
}

TEST(Replies, StatusIsExactlySixBytes) {
  StatusReply status;
  const std::uint8_t six[] = {0, 0x10, 0x27, 0x01, 4, 0};
  ASSERT_EQ(ParseStatus(six, status), ReplyFault::None);
  EXPECT_EQ(status.pollTimeoutMs, 0x012710u);
  EXPECT_EQ(status.state, static_cast<std::uint8_t>(State::DnBusy));
  EXPECT_EQ(ParseStatus({six, 5}, status), ReplyFault::Short);
  const std::uint8_t seven[] = {0, 0, 0, 0, 2, 0, 0};
  EXPECT_EQ(ParseStatus(seven, status), ReplyFault::Long);
  std::uint8_t state = 0;
  EXPECT_EQ(ParseState({six, 0}, state), ReplyFault::Short);
  EXPECT_EQ(ParseState({six, 2}, state), ReplyFault::Long);
}

std::vector<std::uint8_t> Config(std::vector<std::uint8_t> rest) {
  std::vector<std::uint8_t> c{9, kConfigDescriptor, 0, 0, 1, 1, 4, 0x80, 50};
  for (const std::uint8_t b : rest)
    c.push_back(b);
  c[2] = static_cast<std::uint8_t>(c.size());
  c[3] = static_cast<std::uint8_t>(c.size() >> 8);
  return c;
}

TEST(Descriptors, ConfigurationScanFindsTheDfuInterface) {
  // The simulated device's own descriptor, in both modes.
  for (const bool dfuMode : {false, true}) {
    sim::DfuDevice device;
    if (dfuMode) {
      device.Control({kClassOut, 0, 1000, 0, 0}, {});  // DFU_DETACH
      device.Reset();
    }
    const auto reply = device.Control({kStandardIn, kGetDescriptor, 0x0200, 0, 255}, {});
    ConfigScan scan;
    ASSERT_EQ(ParseConfiguration(reply.data, scan), ReplyFault::None);
    ASSERT_TRUE(scan.dfu);
    EXPECT_EQ(scan.dfu->protocol, dfuMode ? kDfuModeProtocol : kRuntimeProtocol);
    EXPECT_EQ(scan.dfu->functional.transferSize, 1024);
    EXPECT_EQ(scan.dfu->functional.version, kBcdDfu11);
    EXPECT_EQ(scan.iConfiguration, 4);
  }

  // A DFU 1.0 functional descriptor has no version; a vendor interface is not DFU.
  ConfigScan scan;
  ASSERT_EQ(ParseConfiguration(Config({9, 4,    0,    0,    0,    0xFF, 1,   1, 0,  //
                                       9, 4,    1,    0,    0,    0xFE, 1,   2, 0,  //
                                       7, 0x21, 0x0B, 0xE8, 0x03, 0x00, 0x08}),
                               scan),
            ReplyFault::None);
  ASSERT_TRUE(scan.dfu);
  EXPECT_EQ(scan.dfu->number, 1);
  EXPECT_EQ(scan.dfu->functional.attributes, 0x0B);
  EXPECT_EQ(scan.dfu->functional.detachTimeoutMs, 1000);
  EXPECT_EQ(scan.dfu->functional.transferSize, 2048);
  EXPECT_EQ(scan.dfu->functional.version, 0x0100);

  ASSERT_EQ(ParseConfiguration(Config({9, 4, 0, 0, 0, 0xFE, 2, 1, 0}), scan), ReplyFault::None);
  EXPECT_FALSE(scan.dfu);  // subclass 2 is not DFU
}

TEST(Descriptors, BrokenConfigurationsAreNamed) {
  ConfigScan scan;
  auto truncated = Config({9, 4, 0, 0, 0, 0xFE, 1, 2, 0});
  truncated.pop_back();
  EXPECT_EQ(ParseConfiguration(truncated, scan), ReplyFault::Short);
  auto extra = Config({});
  extra.push_back(0);
  EXPECT_EQ(ParseConfiguration(extra, scan), ReplyFault::Long);
  EXPECT_EQ(ParseConfiguration(Config({0, 4, 1, 2}), scan), ReplyFault::Bad);  // length 0
  EXPECT_EQ(ParseConfiguration(Config({9, 4, 1, 2}), scan), ReplyFault::Bad);  // runs past
}

TEST(Descriptors, StringsDecodeUtf16) {
  std::string text;
  const std::uint8_t ascii[] = {8, 3, 'F', 0, 'W', 0, ':', 0};
  ASSERT_EQ(ParseString(ascii, text), ReplyFault::None);
  EXPECT_EQ(text, "FW:");
  const std::uint8_t kana[] = {6, 3, 0x42, 0x30, 0x3D, 0xD8};  // "あ" and a lone surrogate
  ASSERT_EQ(ParseString(kana, text), ReplyFault::None);
  EXPECT_EQ(text, "\xE3\x81\x82\xEF\xBF\xBD");
  const std::uint8_t odd[] = {5, 3, 'a', 0, 0};
  EXPECT_EQ(ParseString(odd, text), ReplyFault::Bad);
}

}  // namespace
}  // namespace dfu
