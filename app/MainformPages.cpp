// The settings pages: unsaved-change tracking, the GPS sharing toggle, the Save and Restore
// requests, and the guard against leaving a page with unsaved edits.
#include "app/Mainform.h"
#include "app/SettingRules.h"
#include "resources/TextCatalog.h"
#include "toolkit/qt/Text.h"

namespace app {
namespace {

using namespace resources;
using toolkit::qt::Q;
using toolkit::qt::S;
namespace mb = toolkit::mb;

enum Page { kSpeedDialPage = 0, kA2dpPage = 1, kGpsPage = 2 };

}  // namespace

void TMajorForm::UpdateSharingText() {
  GPSAudioSharingLabeledEdit->setText(
      Q(LoadText(GPSAudioSharingUpDown->Position() == 0 ? kTextNo : kTextYes)));
}

void TMajorForm::SpeedDial1LabeledEditChange() {
  SpeedDialChanged = true;
}
void TMajorForm::SpeedDial2LabeledEditChange() {
  SpeedDialChanged = true;
}
void TMajorForm::SpeedDial3LabeledEditChange() {
  SpeedDialChanged = true;
}

void TMajorForm::A2DPAudioMixPercentageUpDownChanging(bool& /*allowChange*/) {
  A2dpChanged = true;
}

void TMajorForm::GPSAudioMixPercentageUpDownChanging(bool& /*allowChange*/) {
  GpsChanged = true;
}

void TMajorForm::GPSAudioSharingUpDownChanging(bool& /*allowChange*/) {
  GpsChanged = true;
}

// The sharing control steps through -1..2; every click toggles between No (0) and Yes (1).
void TMajorForm::GPSAudioSharingUpDownClick(toolkit::qt::UDBtnType /*button*/) {
  if (GPSAudioSharingUpDown->Position() == 2) GPSAudioSharingUpDown->SetPosition(0);
  if (GPSAudioSharingUpDown->Position() == -1) GPSAudioSharingUpDown->SetPosition(1);
  UpdateSharingText();
}

void TMajorForm::SaveSpeedDialSettingButtonClick() {
  for (LabeledEdit* edit : {SpeedDial1LabeledEdit, SpeedDial2LabeledEdit, SpeedDial3LabeledEdit}) {
    const SpeedDialFault fault = CheckSpeedDial(S(edit->text()));
    if (fault == SpeedDialFault::None) continue;
    ShowMessage(fault == SpeedDialFault::NotDigits ? kTextDigitsOnly : kTextTooManyDigits,
                kTextCaptionError, mb::kOk | mb::kIconError);
    edit->setFocus();
    return;
  }
  PendingCommand = cmd::WriteSpeedDial1;
  if (SendDeviceCommand()) SpeedDialChanged = false;
}

void TMajorForm::SaveA2dpAudioSettingButtonClick() {
  PendingCommand = cmd::WriteA2dpPercentage;
  if (SendDeviceCommand()) A2dpChanged = false;
}

void TMajorForm::SaveGPSAudioSettingButtonClick() {
  PendingCommand = cmd::WriteGpsAudio;
  if (SendDeviceCommand()) GpsChanged = false;
}

void TMajorForm::RestoreDefaultButtonClick() {
  if (ShowMessage(kTextConfirmRestore, kTextCaptionNote,
                  mb::kYesNo | mb::kIconWarning | mb::kDefButton2) == mb::kIdNo) {
    return;
  }
  // While the question was open the port may have closed (the device left, a time-out).
  if (!PortReady) {
    ShowMessage(kTextSelectAndOpenPort, kTextCaptionNote, mb::kOk | mb::kIconInformation);
    return;
  }
  RestorePending = true;
  // The pages show the old values until the chain after the reset has read the new ones.
  ForgetPagesRead();
  UpdateSaveButtons();
  PendingCommand = cmd::RestoreDefaults;
  SendDeviceCommand();
}

void TMajorForm::PageControl1Changing(bool& allowChange) {
  auto confirmLeaving = [this] {
    return ShowMessage(kTextConfirmDiscard, kTextCaptionNote,
                       mb::kYesNo | mb::kIconWarning | mb::kDefButton2) == mb::kIdYes;
  };
  // The undo writes the controls first and clears the flag after, because writing them raises it.
  switch (PageControl1->ActivePageIndex()) {
    case kSpeedDialPage:
      if (!SpeedDialChanged) return;
      allowChange = confirmLeaving();
      if (!allowChange) return;
      SpeedDial1LabeledEdit->setText(Q(LastSpeedDial1));
      SpeedDial2LabeledEdit->setText(Q(LastSpeedDial2));
      SpeedDial3LabeledEdit->setText(Q(LastSpeedDial3));
      SpeedDialChanged = false;
      return;
    case kA2dpPage:
      if (!A2dpChanged) return;
      allowChange = confirmLeaving();
      if (!allowChange) return;
      A2DPAudioMixPercentageUpDown->SetPosition(LastA2dpPercentage);
      A2dpChanged = false;
      return;
    case kGpsPage:
      if (!GpsChanged) return;
      allowChange = confirmLeaving();
      if (!allowChange) return;
      GPSAudioMixPercentageUpDown->SetPosition(LastGpsPercentage);
      GPSAudioSharingUpDown->SetPosition(LastGpsSharing);
      UpdateSharingText();
      GpsChanged = false;
      return;
    default:
      return;
  }
}

void TMajorForm::PaintBox1Click() {
  const toolkit::KeyboardState keys = services_.ui.KeyboardSnapshot();
  if ((keys[toolkit::vk::kLShift] & 0x80) != 0 || (keys[toolkit::vk::kRShift] & 0x80) != 0) {
    DeviceInfoLabel->show();
    DeviceBdAddrInfoLabel->show();
  }
}

}  // namespace app
