// COM ports: the list of ports with their descriptions and the enabled state of the controls.
#include <QString>
#include <algorithm>
#include <cctype>

#include "app/Mainform.h"
#include "resources/TextCatalog.h"
#include "toolkit/qt/Text.h"

namespace app {
namespace {

using namespace resources;
using toolkit::qt::Q;
namespace mb = toolkit::mb;

// Ports sort by name with a trailing number compared as a number, so COM3 < COM4 < COM10 and
// /dev/ttyACM2 < /dev/ttyACM10.
struct PortKey {
  std::string prefix;
  unsigned long number = 0;
  bool hasNumber = false;

  explicit PortKey(const std::string& name) {
    std::size_t end = name.size();
    while (end > 0 && std::isdigit(static_cast<unsigned char>(name[end - 1])) != 0)
      --end;
    prefix = name.substr(0, end);
    for (char& c : prefix)
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    hasNumber = end < name.size() && name.size() - end <= 9;
    if (hasNumber) number = std::stoul(name.substr(end));
  }

  bool operator<(const PortKey& o) const {
    if (prefix != o.prefix) return prefix < o.prefix;
    if (hasNumber != o.hasNumber) return !hasNumber;
    return number < o.number;
  }
};

bool StartsWithUsb(const std::string& description) {
  if (description.size() < 3) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(description[i])) != "USB"[i]) return false;
  }
  return true;
}

void SortPorts(std::array<std::string, kMaxPorts>& names,
               std::array<std::string, kMaxPorts>& descriptions, int count) {
  for (int i = 0; i + 1 < count; ++i) {
    for (int j = i + 1; j < count; ++j) {
      const auto a = static_cast<std::size_t>(i);
      const auto b = static_cast<std::size_t>(j);
      if (PortKey(names[b]) < PortKey(names[a])) {
        std::swap(names[a], names[b]);
        std::swap(descriptions[a], descriptions[b]);
      }
    }
  }
}

// The second way to name a port: the device path, where a name alone may not open.
std::string DevicePathForm(const std::string& name) {
  return name.rfind('/', 0) == 0 ? name : "/dev/" + name;
}

constexpr int kOpenPasses = 2;
constexpr std::uint32_t kOpenRetryWaitMs = 1000;

}  // namespace

bool TMajorForm::EnumerateComPorts(int& count, std::array<std::string, kMaxPorts>& names,
                                   std::array<std::string, kMaxPorts>& descriptions) {
  count = 0;
  for (const auto& port : services_.ports.Enumerate()) {
    if (count == kMaxPorts) break;
    // A name too long for its slot could not be opened as shown; leave such a port out.
    if (resources::CharCount(port.name) > kMaxFixedText) continue;
    names[static_cast<std::size_t>(count)] = port.name;
    descriptions[static_cast<std::size_t>(count)] =
        resources::TruncateChars(port.description, kMaxFixedText);
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
  for (int i = 0; i < PortCount; ++i) {
    const auto k = static_cast<std::size_t>(i);
    ComPortListBox->addItem(Q(PortNames[k] + "  -  " + PortDescriptions[k]));
  }
}

void TMajorForm::ScanComPorts() {
  ScanPortNames = {};
  ScanPortDescriptions = {};
  EnumerateComPorts(ScanPortCount, ScanPortNames, ScanPortDescriptions);
  SortPorts(ScanPortNames, ScanPortDescriptions, ScanPortCount);
}

void TMajorForm::PreselectUsbPort() {
  for (int i = 0; i < PortCount; ++i) {
    if (StartsWithUsb(PortDescriptions[static_cast<std::size_t>(i)])) {
      ComPortListBox->setCurrentRow(i);
      return;
    }
  }
  ComPortListBox->setCurrentRow(-1);
}

bool TMajorForm::OpenComPort(const std::string& name) {
  CloseComPort();
  PortReady = false;
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
  const int i = ComPortListBox->currentRow();
  // No line chosen (no port looked like the headset's): ask for one rather than guess.
  if (i < 0 || i >= PortCount) {
    ShowMessage(kTextSelectAndOpenPort, kTextCaptionNote, mb::kOk | mb::kIconInformation);
    return;
  }
  const auto k = static_cast<std::size_t>(i);
  PortOpenedByUser = OpenComPort(PortNames[k]);
  if (PortOpenedByUser) {
    OpenPortDescription = PortDescriptions[k];
    PendingCommand = 7;
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
  try {
    ComPort1->Close();
  } catch (const comport::EComError&) {
  }
  UpdateControlStates();
}

void TMajorForm::DisconnectComPort() {
  CloseComPort();
  FWVerLabel->setText(QString());
  PortOpenedByUser = false;
}

// The port closed without the window asking: its device went away under it. The window must not
// go on as if the port were open; it disconnects as for a removal.
void TMajorForm::ComPort1AfterClose(comport::TCustomComPort* /*port*/) {
  if (PortReady) DisconnectComPort();
}

void TMajorForm::WMDeviceChange(unsigned eventCode) {
  if (eventCode == platform::kDeviceArrival) {
    if (PortOpenedByUser) return;  // the list stays as it was when the user chose from it
    RefreshComPortList();
    PreselectUsbPort();
  } else if (eventCode == platform::kDeviceRemoveComplete) {
    ScanComPorts();
    if (ComPort1->Active() && ScanPortCount != PortCount) {
      const auto first = ScanPortDescriptions.begin();
      if (std::find(first, first + ScanPortCount, OpenPortDescription) == first + ScanPortCount) {
        DisconnectComPort();
      }
    }
    if (!PortOpenedByUser) RefreshComPortList();
  }
}

void TMajorForm::WriteCommandLine(const std::string& line) {
  ComPort1->WriteString(line);
}

void TMajorForm::UpdateControlStates() {
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
  InfoLabel->hide();
  ElapsedLabel->hide();
  UpgradeProgressBar->hide();
  ExitButton->setEnabled(true);
}

}  // namespace app
