// What the firmware page shows of a run and of the device's configuration string.
#include <gtest/gtest.h>

#include "app/Mainform.h"
#include "app/UsbConfiguration.h"
#include "resources/TextCatalog.h"
#include "upgrade/DfuNames.h"

namespace app {
namespace {

using namespace resources;

class UpgradeTextsTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLanguage(Language::English); }
};

TEST_F(UpgradeTextsTest, ProgressLines) {
  struct Case {
    TUpgradePhase phase;
    std::uint32_t percent, operation;
    std::string shown;
  };
  const std::string almost = LoadText(kTextAlmostDone);
  for (const Case& c : std::vector<Case>{
           // 30201 ends in a blank: two in a row before the percentage.
           {TUpgradePhase::Reconfigure, 42, dfu::operation::kReconfigureStartDfu,
            "Reconfigure in progress...  42%"},
           {TUpgradePhase::Download, 97, dfu::operation::kDownloadVerify,
            "Download in progress... 97%, " + almost},
           {TUpgradePhase::Download, 0, dfu::operation::kDownloadProgress,
            "Download in progress... 0%"},
           {TUpgradePhase::Manifest, 100, dfu::operation::kManifestStartRuntime,
            "Verifying in progress. 100%"},
       }) {
    EXPECT_EQ(UpgradeProgressText(c.phase, c.percent, c.operation), c.shown);
  }
  EXPECT_EQ(almost.find('\n'), std::string::npos) << "the line must stay one line";
}

TEST_F(UpgradeTextsTest, ElapsedTimeInWholeSeconds) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {0, "Elapsed: 0:00"},
      {999, "Elapsed: 0:00"},
      {59900, "Elapsed: 0:59"},
      {60000, "Elapsed: 1:00"},
      {125000, "Elapsed: 2:05"},
      {3600000, "Elapsed: 60:00"},
      {UINT32_MAX, "Elapsed: 71582:47"},
  };
  for (const auto& [ms, shown] : cases)
    EXPECT_EQ(ElapsedText(ms), shown) << ms;
}

TEST_F(UpgradeTextsTest, FailureMessageNamesTheThreeCodes) {
  EXPECT_EQ(UpgradeFailureText(14, 9, 0),
            "An error occurs during firmware upgrade. Result = fail_file_crc, Operation = "
            "download_progress, SubOperation = no_sub_operation");
  EXPECT_EQ(UpgradeFailureText(117, 15, 9),
            "An error occurs during firmware upgrade. Result = fail_btw_status_long, Operation = "
            "recover_fail, SubOperation = download_processing");
  // Codes past their tables are named, never looked up beyond them.
  const std::string outside = UpgradeFailureText(118, 16, 10);
  EXPECT_NE(outside.find("Result = " + dfu::ResultName(118) + ","), std::string::npos);
  EXPECT_NE(outside.find("SubOperation = " + dfu::SubOperationName(10)), std::string::npos);

  SetLanguage(Language::Japanese);
  EXPECT_NE(UpgradeFailureText(14, 9, 0).find("Result = fail_file_crc, Operation = "
                                              "download_progress, SubOperation = no_sub_operation"),
            std::string::npos);
}

// The run's failures as the window says them; the endings it says elsewhere, or not at all, have
// no box here.
TEST_F(UpgradeTextsTest, EachFailedEndingHasItsBox) {
  namespace mb = toolkit::mb;
  using dfu::RunEnding;
  struct Case {
    RunEnding ending;
    std::string text;  // empty: no box
  };
  const dfu::OperationEnd crc{14, 9, 0};
  const std::string error = LoadText(kTextCaptionError);
  for (const Language language : {Language::English, Language::Japanese}) {
    SetLanguage(language);
    const Case cases[] = {
        {RunEnding::StartRefused, LoadText(kTextUpgradeStartFailed)},
        {RunEnding::OperationFailed, UpgradeFailureText(14, 9, 0)},
        {RunEnding::NotBackUnwritten, LoadText(kTextNotBackNothingWritten)},
        {RunEnding::NotBackWritten, LoadText(kTextNotBackAfterWrite)},
        {RunEnding::NoDevice, ""},
        {RunEnding::Upgraded, ""},
        {RunEnding::None, ""},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(static_cast<int>(c.ending));
      const UpgradeEndingBox box = UpgradeFailureBox(c.ending, crc);
      EXPECT_EQ(box.text, c.text);
      if (c.text.empty()) continue;
      EXPECT_EQ(box.caption, LoadText(kTextCaptionError));
      EXPECT_EQ(box.flags, mb::kOk | mb::kIconError);
    }
  }
  EXPECT_NE(LoadText(kTextNotBackNothingWritten), LoadText(kTextNotBackAfterWrite));
}

TEST_F(UpgradeTextsTest, ConfigurationStringParts) {
  struct Case {
    std::string text, firmware, psr;
  };
  for (const Case& c : std::vector<Case>{
           {"FW:ABC.XPV PSR:DEF.PSR", "ABC.xpv/.xdv", "DEF.psr"},
           // Without ".XPV" the firmware part runs to the end, the PSR part included.
           {"FW:ABC PSR:DEF.PSR", "ABC PSR:DEF.PSR", "DEF.psr"},
           {"PSR:DEF.PSR.PSR FW:A.XPV.XPV", "A.xpv/.xdv", "DEF.psr"},
           {"FW:ABC.XPV", "ABC.xpv/.xdv", ""},
           {"", "", ""},
       }) {
    const ConfigurationParts parts = SplitConfiguration(c.text);
    EXPECT_EQ(parts.firmware, c.firmware) << c.text;
    EXPECT_EQ(parts.psr, c.psr) << c.text;
  }
  EXPECT_EQ(ConfigurationLine("FW:ABC.XPV PSR:DEF.PSR"),
            "Firmware file : ABC.xpv/.xdv        psr file : DEF.psr");
}

}  // namespace
}  // namespace app
