// COM ports: the list of ports with their descriptions and the enabled state of the controls.
#include <QString>
#include <cctype>

#include "app/Mainform.h"
#include "resources/TextCatalog.h"
#include "toolkit/qt/Text.h"

namespace app {
namespace {

using toolkit::qt::Q;

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

  for (int i = 0; i + 1 < PortCount; ++i) {
    for (int j = i + 1; j < PortCount; ++j) {
      const auto a = static_cast<std::size_t>(i);
      const auto b = static_cast<std::size_t>(j);
      if (PortKey(PortNames[b]) < PortKey(PortNames[a])) {
        std::swap(PortNames[a], PortNames[b]);
        std::swap(PortDescriptions[a], PortDescriptions[b]);
      }
    }
  }

  ComPortListBox->clear();
  for (int i = 0; i < PortCount; ++i) {
    const auto k = static_cast<std::size_t>(i);
    ComPortListBox->addItem(Q(PortNames[k] + "  -  " + PortDescriptions[k]));
  }
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

void TMajorForm::WMDeviceChange(unsigned /*eventCode*/) {}

void TMajorForm::WriteCommandLine(const std::string& /*line*/) {}

void TMajorForm::CloseComPort() {
  PortReady = false;
  UpdateControlStates();
}

void TMajorForm::RefreshDeviceInfoLabel() {}

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
