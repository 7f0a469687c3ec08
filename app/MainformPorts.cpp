// COM ports: the list of ports with their descriptions and the enabled state of the controls.
#include <QString>
#include <QStringList>
#include <algorithm>
#include <span>

#include "app/Mainform.h"
#include "app/PortRules.h"
#include "resources/TextCatalog.h"
#include "toolkit/qt/Text.h"
#include "toolkit/qt/TextFit.h"

namespace app {
namespace {

using namespace resources;
using toolkit::qt::Q;
namespace mb = toolkit::mb;

static_assert(kMaxPorts == static_cast<int>(kMaxListedPorts) && kMaxFixedText == kMaxPortText);

void SortPorts(std::array<std::string, kMaxPorts>& names,
               std::array<std::string, kMaxPorts>& descriptions, int count) {
  const auto n = static_cast<std::size_t>(count);
  SortPortTable(std::span(names).first(n), std::span(descriptions).first(n));
}

constexpr int kOpenPasses = 2;
constexpr std::uint32_t kOpenRetryWaitMs = 1000;

}  // namespace

bool TMajorForm::EnumerateComPorts(int& count, std::array<std::string, kMaxPorts>& names,
                                   std::array<std::string, kMaxPorts>& descriptions) {
  count = 0;
  for (const auto& port : services_.ports.Enumerate()) {
    if (count == kMaxPorts) break;
    const auto entry = PortTableEntry(port);
    if (!entry) continue;
    names[static_cast<std::size_t>(count)] = entry->name;
    descriptions[static_cast<std::size_t>(count)] = entry->description;
    ++count;
  }
  return count >= 1;
}

void TMajorForm::RefreshComPortList() {
  std::array<std::string, kMaxPorts> names;
  std::array<std::string, kMaxPorts> descriptions;
  int found = 0;
  EnumerateComPorts(found, names, descriptions);
  PortCount = found;
  if (found == 0) return;  // the list keeps its previous lines
  PortNames = names;
  PortDescriptions = descriptions;
  SortPorts(PortNames, PortDescriptions, PortCount);

  ComPortListBox->clear();
  QStringList lines;
  for (int i = 0; i < PortCount; ++i) {
    const auto k = static_cast<std::size_t>(i);
    lines << Q(PortListLine(PortNames[k], PortDescriptions[k]));
  }
  ComPortListBox->addItems(lines);
  // Fitted as the captions are, so that the usual lines show whole; a line too long for any
  // fitting font is cut short as before.
  const auto fitted = toolkit::qt::FitFont(font(), lines, toolkit::qt::TextRoomOf(ComPortListBox));
  ComPortListBox->setFont(fitted.fits ? fitted.font : font());
}

void TMajorForm::ScanComPorts() {
  ScanPortNames = {};
  ScanPortDescriptions = {};
  EnumerateComPorts(ScanPortCount, ScanPortNames, ScanPortDescriptions);
  SortPorts(ScanPortNames, ScanPortDescriptions, ScanPortCount);
}

void TMajorForm::PreselectUsbPort() {
  const int row =
      PreselectedPort(std::span(PortDescriptions).first(static_cast<std::size_t>(PortCount)));
  ComPortListBox->setCurrentRow(row);
  if (row < 0) ComPortListBox->clearSelection();
}

bool TMajorForm::OpenComPort(const std::string& name) {
  CloseComPort();
  PortReady = false;
  ForgetPagesRead();
  // What an earlier session left unfinished (a line cut by a time-out) would glue itself to this
  // session's first answer.
  RxBuffer.Clear();
  ComPort1->SetBaudRate(comport::br115200);
  ComPort1->SetDataBits(comport::db8);
  ComPort1->SetParity(comport::paNone);
  ComPort1->SetStopBits(comport::sb1);

  bool opened = false;
  for (int pass = 0; pass < kOpenPasses && !opened; ++pass) {
    for (const std::string& form : {name, DevicePathForm(name)}) {
      try {
        ComPort1->SetDeviceName(form);
        ComPort1->Open();
        opened = true;
        break;
      } catch (const comport::EComError&) {
      }
    }
    if (!opened) {
      // The user sits through this wait: show it.
      const toolkit::Cursor saved = services_.ui.CurrentCursor();
      services_.ui.SetCursor(toolkit::Cursor::Wait);
      services_.clock.Sleep(kOpenRetryWaitMs);
      services_.ui.SetCursor(saved);
    }
  }
  if (!opened) {
    ShowMessage(kTextCannotOpenPort, kTextCaptionError, mb::kOk | mb::kIconError);
    return false;
  }
  PortReady = true;
  UpdateControlStates();
  return true;
}

void TMajorForm::OpenComPortButtonClick() {
  // The highlighted line, not the current one: the list makes a line current without selecting it
  // when it takes the focus. No line chosen (no port looked like the headset's): ask for one
  // rather than guess. Lines kept after every port left still name their ports (PortCount is 0
  // then), so a highlighted one is tried.
  const QList<QListWidgetItem*> chosen = ComPortListBox->selectedItems();
  const int i = chosen.isEmpty() ? -1 : ComPortListBox->row(chosen.front());
  if (i < 0 || i >= std::min(ComPortListBox->count(), kMaxPorts)) {
    ShowMessage(kTextSelectAndOpenPort, kTextCaptionNote, mb::kOk | mb::kIconInformation);
    return;
  }
  const auto k = static_cast<std::size_t>(i);
  PortOpenedByUser = OpenComPort(PortNames[k]);
  if (PortOpenedByUser) {
    OpenPortDescription = PortDescriptions[k];
    PendingCommand = cmd::ReadIdentity;
    SendDeviceCommand();
  } else {
    OpenPortDescription.clear();
  }
}

void TMajorForm::CloseComPortButtonClick() {
  DisconnectComPort();
}

void TMajorForm::CloseComPort() {
  PortReady = false;
  ForgetPagesRead();
  ForgetSettingsRead();
  try {
    ComPort1->Close();
  } catch (const comport::EComError&) {
  }
  UpdateControlStates();
}

// A command still awaiting its answer ends with the port: left running, its timer would cut short
// the next chain after a quick reopen (and report its restore), and the window would refuse to
// close for a port that is no longer there.
void TMajorForm::DisconnectComPort() {
  AbandonDeviceCommand();
  FWVerLabel->setText(QString());
  PortOpenedByUser = false;
}

void TMajorForm::DeviceLeft() {
  const bool unanswered = PendingCommand != kIdleCommand;
  DisconnectComPort();
  // Told as its time-out would have told it, a second later: a save may not have reached it.
  if (unanswered) ShowMessage(kTextDeviceTimeout, kTextCaptionError, mb::kOk | mb::kIconWarning);
}

// The port closed itself because its device went away under it. The window must not go on as if
// the port were open; it disconnects as for a removal.
void TMajorForm::ComPort1AfterClose(comport::TCustomComPort* port) {
  if (PortReady && port->ThreadError().kind == toolkit::ErrorKind::DeviceGone) DeviceLeft();
}

void TMajorForm::WMDeviceChange(unsigned eventCode) {
  if (eventCode == platform::kDeviceArrival) {
    if (PortOpenedByUser) return;  // the list stays as it was when the user chose from it
    RefreshComPortList();
    PreselectUsbPort();
    LookForHeadsetInDfuMode();
  } else if (eventCode == platform::kDeviceRemoveComplete) {
    ScanComPorts();
    if (ComPort1->Active() && ScanPortCount != PortCount) {
      const auto first = ScanPortDescriptions.begin();
      if (std::find(first, first + ScanPortCount, OpenPortDescription) == first + ScanPortCount) {
        DeviceLeft();
      }
    }
    if (!PortOpenedByUser) RefreshComPortList();
    LookForHeadsetInDfuMode();  // a headset waiting in DFU mode may be the one unplugged
  }
}

void TMajorForm::WriteCommandLine(const std::string& line) {
  ComPort1->WriteString(line);
}

void TMajorForm::UpdateControlStates() {
  ShowDfuModeLine();
  if (UpgradePhase != TUpgradePhase::Idle) {
    for (QWidget* w : std::initializer_list<QWidget*>{
             OpenComPortButton, CloseComPortButton, ComPortListBox, SelectComPortLabel,
             PageControl1, OpenDfuFileButton, StartDFUUpgradeButton, RestoreDefaultButton}) {
      w->setEnabled(false);
    }
    return;
  }
  const bool ready = PortReady;
  OpenComPortButton->setEnabled(!ready);
  ComPortListBox->setEnabled(!ready);
  SelectComPortLabel->setEnabled(!ready);
  CloseComPortButton->setEnabled(ready);
  PageControl1->setEnabled(true);
  for (QWidget* w : std::initializer_list<QWidget*>{
           SpeedDial1LabeledEdit, SpeedDial2LabeledEdit, SpeedDial3LabeledEdit,
           SaveSpeedDialSettingButton, A2DPAudioMixPercentageLabeledEdit,
           A2DPAudioMixPercentageUpDown, SaveA2dpAudioSettingButton,
           GPSAudioMixPercentageLabeledEdit, GPSAudioMixPercentageUpDown,
           GPSAudioSharingLabeledEdit, GPSAudioSharingUpDown, SaveGPSAudioSettingButton,
           OpenDfuFileButton, StartDFUUpgradeButton, RestoreDefaultButton, SpeedDialSettingMemo,
           A2DPAudioSettingMemo, GPSAudioSettingMemo}) {
    w->setEnabled(ready);
  }
  UpdateSaveButtons();
  // With no port, a headset waiting in DFU mode takes an upgrade of the file chosen.
  if (!ready && UsbDeviceInDfuMode) {
    OpenDfuFileButton->setEnabled(true);
    StartDFUUpgradeButton->setEnabled(!FirmwareFilePath.empty());
  }
  InfoLabel->hide();
  ElapsedLabel->hide();
  UpgradeProgressBar->hide();
  ExitButton->setEnabled(true);
}

void TMajorForm::ForgetPagesRead() {
  speedDialsRead_ = false;
  a2dpRead_ = false;
  gpsRead_ = false;
}

void TMajorForm::UpdateSaveButtons() {
  if (UpgradePhase != TUpgradePhase::Idle) return;
  SaveSpeedDialSettingButton->setEnabled(PortReady && speedDialsRead_);
  SaveA2dpAudioSettingButton->setEnabled(PortReady && a2dpRead_);
  SaveGPSAudioSettingButton->setEnabled(PortReady && gpsRead_);
}

}  // namespace app
