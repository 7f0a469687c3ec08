#include <QApplication>
#include <array>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/app/DeviceTestFixture.h"
#include "toolkit/qt/Text.h"

namespace app::testing {
namespace {

using namespace resources;
using toolkit::qt::S;
using toolkit::qt::UDBtnType;
namespace mb = toolkit::mb;

// The pages work only while the port is open: each test starts with the headset read.
class PagesTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    StartHeadset();
    StartWindow();
    OpenAndRead();
    QApplication::setActiveWindow(form.get());
  }
};

TEST_F(PagesTest, EveryClickOnTheSharingArrowsTogglesYesAndNo) {
  struct Step {
    UDBtnType button;
    const char* shown;
    int position;
  };
  const Step steps[] = {
      {UDBtnType::btNext, "No", 0},   // up from Yes passes 2
      {UDBtnType::btNext, "Yes", 1},  // up from No
      {UDBtnType::btPrev, "No", 0},   // down from Yes
      {UDBtnType::btPrev, "Yes", 1},  // down from No passes -1
  };
  EXPECT_EQ(form->GPSAudioSharingLabeledEdit->text(), "Yes");
  for (const auto& s : steps) {
    form->GPSAudioSharingUpDown->Step(s.button);
    EXPECT_EQ(S(form->GPSAudioSharingLabeledEdit->text()), s.shown);
    EXPECT_EQ(form->GPSAudioSharingUpDown->Position(), s.position);
  }
  EXPECT_TRUE(form->GpsChanged);
}

TEST_F(PagesTest, AnyChangeMarksItsPageWhoeverMakesIt) {
  EXPECT_FALSE(form->SpeedDialChanged || form->A2dpChanged || form->GpsChanged);
  form->SpeedDial2LabeledEdit->setText("1");
  form->A2DPAudioMixPercentageUpDown->Step(UDBtnType::btNext);
  EXPECT_TRUE(form->SpeedDialChanged);
  EXPECT_TRUE(form->A2dpChanged);
  EXPECT_FALSE(form->GpsChanged);
  form->GPSAudioMixPercentageUpDown->SetPosition(55);
  EXPECT_TRUE(form->GpsChanged);
}

TEST_F(PagesTest, PercentagesStopAtOneAndAHundred) {
  form->A2DPAudioMixPercentageUpDown->SetPosition(1);
  form->A2DPAudioMixPercentageUpDown->Step(UDBtnType::btPrev);
  EXPECT_EQ(form->A2DPAudioMixPercentageUpDown->Position(), 1);
  form->GPSAudioMixPercentageUpDown->SetPosition(100);
  form->GPSAudioMixPercentageUpDown->Step(UDBtnType::btNext);
  EXPECT_EQ(form->GPSAudioMixPercentageLabeledEdit->text(), "100");
}

struct SaveCase {
  const char* name;
  const char* dial1;
  const char* dial2;
  const char* dial3;
  TextId message;
  int focused;  // 1 to 3, the edit that gets the focus
};

TEST_F(PagesTest, SpeedDialsAreCheckedInOrderBeforeAnythingIsSent) {
  const std::string seventeen(17, '9');
  const SaveCase cases[] = {
      {"a blank", "03 12", "1", "2", kTextDigitsOnly, 1},
      {"too long before a letter", "1", seventeen.c_str(), "12a", kTextTooManyDigits, 2},
      {"a letter", "1", "2", "12a", kTextDigitsOnly, 3},
      {"a sign", "+81", "2", "3", kTextDigitsOnly, 1},
      {"full-width digits", "\uff11", "2", "3", kTextDigitsOnly, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ui.boxes.clear();
    form->PendingCommand = kIdleCommand;
    form->UartRespTimeoutTimer->Stop();
    form->SpeedDial1LabeledEdit->setText(QString::fromUtf8(c.dial1));
    form->SpeedDial2LabeledEdit->setText(QString::fromUtf8(c.dial2));
    form->SpeedDial3LabeledEdit->setText(QString::fromUtf8(c.dial3));
    form->ExitButton->setFocus();

    form->SaveSpeedDialSettingButton->click();

    EXPECT_EQ(ui.boxes, (std::vector{Box(c.message, kTextCaptionError, mb::kIconError)}));
    EXPECT_EQ(form->PendingCommand, kIdleCommand);
    EXPECT_FALSE(form->UartRespTimeoutTimer->Enabled());
    LabeledEdit* edits[] = {form->SpeedDial1LabeledEdit, form->SpeedDial2LabeledEdit,
                            form->SpeedDial3LabeledEdit};
    EXPECT_EQ(QApplication::focusWidget(), edits[c.focused - 1]);
  }
}

TEST_F(PagesTest, EachSaveReachesTheDeviceAndIsConfirmed) {
  const std::string sixteen(16, '9');
  form->SpeedDial1LabeledEdit->setText("0312345678");
  form->SpeedDial2LabeledEdit->setText("");
  form->SpeedDial3LabeledEdit->setText(QString::fromStdString(sixteen));
  form->SaveSpeedDialSettingButton->click();
  EXPECT_EQ(form->PendingCommand, 21);
  EXPECT_FALSE(form->SpeedDialChanged);  // cleared when sent, not when confirmed
  EXPECT_EQ(form->LastSpeedDial1, "0312345678");
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(headset->State().settings.speedDials,
            (std::array<std::string, 3>{"0312345678", "", sixteen}));

  form->A2DPAudioMixPercentageUpDown->SetPosition(35);
  form->SaveA2dpAudioSettingButton->click();
  EXPECT_FALSE(form->A2dpChanged);
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(headset->State().settings.a2dpPercentage, 35);
  EXPECT_EQ(form->LastA2dpPercentage, 35);

  form->GPSAudioMixPercentageUpDown->SetPosition(60);
  form->GPSAudioSharingUpDown->Step(UDBtnType::btNext);  // Yes -> No
  form->SaveGPSAudioSettingButton->click();
  EXPECT_FALSE(form->GpsChanged);
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(headset->State().settings.gpsPercentage, 60);
  EXPECT_EQ(headset->State().settings.gpsSharing, 0);
  EXPECT_EQ(form->LastGpsSharing, 0);

  const auto saved = Box(kTextSaveSuccessful, kTextCaptionNote, mb::kIconInformation);
  EXPECT_EQ(ui.boxes, (std::vector{saved, saved, saved}));
  EXPECT_FALSE(form->UartRespTimeoutTimer->Enabled());
}

TEST_F(PagesTest, RestoreAsksThenResetsTheDeviceAndReadsItBack) {
  form->A2DPAudioMixPercentageUpDown->SetPosition(80);
  form->SaveA2dpAudioSettingButton->click();
  ASSERT_TRUE(PumpUntilIdle());
  ui.boxes.clear();

  form->RestoreDefaultButton->click();  // no answer scripted: No
  EXPECT_EQ(ui.boxes, (std::vector{Box(kTextConfirmRestore, kTextCaptionNote, 0x134)}));
  EXPECT_FALSE(form->RestorePending);
  EXPECT_EQ(form->PendingCommand, kIdleCommand);

  ui.answers = {mb::kIdYes};
  form->RestoreDefaultButton->click();
  EXPECT_TRUE(form->RestorePending);
  EXPECT_EQ(form->PendingCommand, 27);
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(ui.boxes.back(), Box(kTextDefaultsRestored, kTextCaptionNote, mb::kIconInformation));
  EXPECT_FALSE(form->RestorePending);
  EXPECT_EQ(headset->State().settings, sim::Settings{});
  EXPECT_EQ(form->A2DPAudioMixPercentageLabeledEdit->text(), "20");
  EXPECT_FALSE(form->A2dpChanged || form->SpeedDialChanged || form->GpsChanged);
}

// Each page's Save waits for the page's values from the headset: until the read chain has read
// them, the button is disabled, and pressing it sends nothing over the headset's own values.
TEST_F(DeviceTest, APagesSaveWaitsForItsValuesFromTheHeadset) {
  sim::Settings settings;
  settings.speedDials = {"0312", "44", "5551234"};
  settings.a2dpPercentage = 45;
  settings.gpsPercentage = 70;
  settings.gpsSharing = 1;
  StartHeadset("slow=100", settings);
  StartWindow();
  pacer.Close();  // each answer waits for the test
  OpenPort();
  ASSERT_TRUE(form->PortReady);
  const auto saves = [&] {
    return std::array<bool, 3>{form->SaveSpeedDialSettingButton->isEnabled(),
                               form->SaveA2dpAudioSettingButton->isEnabled(),
                               form->SaveGPSAudioSettingButton->isEnabled()};
  };
  using Saves = std::array<bool, 3>;
  const std::map<int, Saves> expected = {
      {cmd::ReadIdentity, {false, false, false}},
      {cmd::ReadFirmwareVersion, {false, false, false}},
      {cmd::ReadModelName, {false, false, false}},
      {cmd::ReadDeviceAddress, {false, false, false}},
      {cmd::ReadSpeedDial1, {false, false, false}},
      {cmd::ReadSpeedDial2, {false, false, false}},
      {cmd::ReadSpeedDial3, {false, false, false}},
      {cmd::ReadA2dpPercentage, {true, false, false}},
      {cmd::ReadGpsAudio, {true, true, false}},
      {kIdleCommand, {true, true, true}},
  };
  std::map<int, Saves> seen;
  for (int step = 0; step < 20; ++step) {
    const int pending = form->PendingCommand;
    seen[pending] = saves();
    if (pending == kIdleCommand) break;
    for (QPushButton* save : {form->SaveSpeedDialSettingButton, form->SaveA2dpAudioSettingButton,
                              form->SaveGPSAudioSettingButton}) {
      if (!save->isEnabled()) save->click();
    }
    ASSERT_TRUE(pacer.WaitForPause()) << pending;
    pacer.Release();
    ASSERT_TRUE(PumpUntil([&] { return form->PendingCommand != pending; })) << pending;
  }
  pacer.Open();
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(headset->State().settings, settings);
  EXPECT_EQ(form->SpeedDial3LabeledEdit->text(), "5551234");
  EXPECT_TRUE(ui.boxes.empty());

  // A restore reads everything again: until then the pages show the old values.
  ui.answers = {mb::kIdYes};
  form->RestoreDefaultButton->click();
  EXPECT_EQ(saves(), (Saves{false, false, false}));
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(saves(), (Saves{true, true, true}));
}

TEST_F(PagesTest, LeavingAChangedPageAsksAndYesUndoesTheEdits) {
  // The last values are those just read from the device: empty dials, 20 %, 20 %, sharing on.
  // Speed dials: No keeps the page and the edit.
  form->SpeedDial1LabeledEdit->setText("999");
  EXPECT_FALSE(form->PageControl1->RequestPage(1));
  EXPECT_EQ(form->PageControl1->ActivePageIndex(), 0);
  EXPECT_EQ(form->SpeedDial1LabeledEdit->text(), "999");
  EXPECT_TRUE(form->SpeedDialChanged);

  // Yes restores the last values and lets the page change, flag cleared after the undo.
  ui.answers = {mb::kIdYes};
  EXPECT_TRUE(form->PageControl1->RequestPage(1));
  EXPECT_EQ(form->SpeedDial1LabeledEdit->text(), "");
  EXPECT_FALSE(form->SpeedDialChanged);

  form->A2DPAudioMixPercentageUpDown->SetPosition(77);
  ui.answers = {mb::kIdYes};
  EXPECT_TRUE(form->PageControl1->RequestPage(2));
  EXPECT_EQ(form->A2DPAudioMixPercentageUpDown->Position(), 20);
  EXPECT_FALSE(form->A2dpChanged);

  form->GPSAudioMixPercentageUpDown->SetPosition(90);
  form->GPSAudioSharingUpDown->Step(UDBtnType::btNext);
  EXPECT_EQ(form->GPSAudioSharingLabeledEdit->text(), "No");
  ui.answers = {mb::kIdYes};
  EXPECT_TRUE(form->PageControl1->RequestPage(3));
  EXPECT_EQ(form->GPSAudioMixPercentageUpDown->Position(), 20);
  EXPECT_EQ(form->GPSAudioSharingLabeledEdit->text(), "Yes");
  EXPECT_FALSE(form->GpsChanged);

  // Unchanged pages and the firmware page never ask.
  const auto asked = ui.boxes.size();
  EXPECT_TRUE(form->PageControl1->RequestPage(0));
  EXPECT_TRUE(form->PageControl1->RequestPage(3));
  EXPECT_EQ(ui.boxes.size(), asked);
  EXPECT_EQ(form->PendingCommand, kIdleCommand);  // nothing was sent
  EXPECT_EQ(headset->State().settings, sim::Settings{});
}

// The undo goes back to what the device last said, which here differs from every design value:
// No keeps the page and its edits, Yes restores the device's values and leaves.
TEST_F(DeviceTest, LeavingAChangedPageUndoesToTheDevicesValues) {
  sim::Settings settings;
  settings.speedDials = {"0312", "77", ""};
  settings.a2dpPercentage = 35;
  settings.gpsPercentage = 60;
  settings.gpsSharing = 0;
  StartHeadset({}, settings);
  StartWindow();
  OpenAndRead();
  QApplication::setActiveWindow(form.get());

  struct Case {
    const char* name;
    int page;
    bool TMajorForm::*changed;
    std::function<void()> edit;
    std::function<std::string()> shown;
    std::string edited;
    std::string device;
  };
  const Case cases[] = {
      {"speed dials", 0, &TMajorForm::SpeedDialChanged,
       [&] { form->SpeedDial2LabeledEdit->setText("999"); },
       [&] {
         return S(form->SpeedDial1LabeledEdit->text()) + "|" +
                S(form->SpeedDial2LabeledEdit->text());
       },
       "0312|999", "0312|77"},
      {"A2DP", 1, &TMajorForm::A2dpChanged,
       [&] { form->A2DPAudioMixPercentageUpDown->SetPosition(77); },
       [&] { return std::to_string(form->A2DPAudioMixPercentageUpDown->Position()); }, "77", "35"},
      {"GPS", 2, &TMajorForm::GpsChanged,
       [&] {
         form->GPSAudioMixPercentageUpDown->SetPosition(90);
         form->GPSAudioSharingUpDown->Step(UDBtnType::btNext);
       },
       [&] {
         return std::to_string(form->GPSAudioMixPercentageUpDown->Position()) + "|" +
                S(form->GPSAudioSharingLabeledEdit->text());
       },
       "90|Yes", "60|No"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (form->PageControl1->ActivePageIndex() != c.page) {
      ASSERT_TRUE(form->PageControl1->RequestPage(c.page));
    }
    ASSERT_EQ(c.shown(), c.device);
    c.edit();
    ASSERT_TRUE((*form).*c.changed);
    const int other = c.page == 0 ? 3 : 0;

    ui.answers = {mb::kIdNo};
    EXPECT_FALSE(form->PageControl1->RequestPage(other));
    EXPECT_EQ(form->PageControl1->ActivePageIndex(), c.page);
    EXPECT_EQ(c.shown(), c.edited);
    EXPECT_TRUE((*form).*c.changed);

    ui.answers = {mb::kIdYes};
    EXPECT_TRUE(form->PageControl1->RequestPage(other));
    EXPECT_EQ(c.shown(), c.device);
    EXPECT_FALSE((*form).*c.changed);
  }
  EXPECT_EQ(form->PendingCommand, kIdleCommand);  // nothing was sent
  EXPECT_EQ(headset->State().settings, settings);
}

TEST_F(PagesTest, ShiftClickRevealsTheDeviceLabelsForGood) {
  form->PaintBox1Click();
  EXPECT_TRUE(form->DeviceInfoLabel->isHidden());
  ui.PressShift(true);
  form->PaintBox1Click();
  EXPECT_FALSE(form->DeviceInfoLabel->isHidden());
  EXPECT_FALSE(form->DeviceBdAddrInfoLabel->isHidden());
  ui.PressShift(false);
  form->PaintBox1Click();
  EXPECT_FALSE(form->DeviceInfoLabel->isHidden());
}

}  // namespace
}  // namespace app::testing
