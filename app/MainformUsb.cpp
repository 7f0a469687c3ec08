// Finding the headset on USB as a DFU device, and showing which firmware and PSR files it says it
// runs (its configuration string, found by the USB tree walk).
#include "app/Mainform.h"
#include "app/UsbConfiguration.h"
#include "app/UsbDriverNote.h"
#include "resources/TextCatalog.h"
#include "toolkit/qt/Text.h"
#include "upgrade/UpgradeRun.h"

namespace app {
namespace {

using namespace resources;
using toolkit::qt::Q;
namespace mb = toolkit::mb;

}  // namespace

void TMajorForm::DetectUsbDevice(std::uint32_t limitMs) {
  char names[DFUENGINE_NAMES_SIZE] = {};
  SavedCursor = services_.ui.CurrentCursor();
  services_.ui.SetCursor(toolkit::Cursor::Wait);
  dfu::UsbSearch search([this] { return services_.clock.TickCount(); },
                        std::chrono::milliseconds(limitMs));
  bool found = false;
  // No message is handled while the engine is asked, so no input reaches the window; it paints
  // itself at every step, so what a closed box covered does not stay on it.
  while (search.BeforeLook() == dfu::UsbSearch::Next::Look) {
    const dfu::UsbSearch::Next next =
        search.Seen(Engine().GetUSBDeviceNames(EngineHandle, names) != 0);
    found = next == dfu::UsbSearch::Next::Found;
    if (next != dfu::UsbSearch::Next::Wait) break;
    repaint();
    services_.clock.Sleep(static_cast<std::uint32_t>(search.Step().count()));
  }
  services_.ui.SetCursor(SavedCursor);

  if (!found) {
    DfuDeviceLabel->setText(QString());
    ConfigInfoLabel->setText(QString());
    BdAddrInfoLabel->setText(QString());
    UsbDeviceFound = false;
    UsbDeviceInDfuMode = false;
    UpdateControlStates();
    if (ReportNoDevice) {
      // A headset that Windows left without WinUSB is there, but unusable: say that instead.
      const std::string driverNote = HeadsetDriverNote(Engine().CheckHeadsetDriver());
      if (driverNote.empty()) {
        ShowMessage(kTextNoUsbDevice, kTextCaptionNote, mb::kOk | mb::kIconWarning);
      } else {
        services_.ui.ShowMessageBox(driverNote, LoadText(kTextCaptionNote),
                                    mb::kOk | mb::kIconWarning);
      }
    }
    return;
  }

  // Whatever engine filled the buffer, the name ends inside it.
  names[DFUENGINE_NAMES_SIZE - 1] = '\0';
  UsbDeviceName = names;
  DfuDeviceLabel->setText(Q(UsbDeviceName));
  UsbConfigText.clear();
  ScanUsbTree();
  if (!UsbConfigText.empty()) {
    ConfigInfoLabel->setText(Q(ConfigurationLine(UsbConfigText)));
    if (!DeviceAddress.empty()) {
      BdAddrInfoLabel->setText(Q(LoadText(kTextDeviceAddressField) + " : " + DeviceAddress));
    }
  } else {
    ConfigInfoLabel->setText(QString());
  }
  DfuDeviceLabel->repaint();
  ConfigInfoLabel->repaint();
  BdAddrInfoLabel->repaint();
  UsbDeviceFound = true;
  UsbDeviceInDfuMode = services_.headsetInDfuMode && services_.headsetInDfuMode(ExtraDeviceIds);
  UpdateControlStates();
}

void TMajorForm::LookForHeadsetInDfuMode() {
  // Only an idle window with no port looks: a run or an open port has the headset already.
  if (closed_ || PortReady || UpgradePhase != TUpgradePhase::Idle || StartDFUTimer->Enabled() ||
      PendingCommand != kIdleCommand || !services_.headsetInDfuMode) {
    return;
  }
  const bool waiting = services_.headsetInDfuMode(ExtraDeviceIds);
  if (waiting == UsbDeviceInDfuMode) return;
  UsbDeviceInDfuMode = waiting;
  UpdateControlStates();
}

void TMajorForm::ShowDfuModeLine() {
  const bool show = !PortReady && UpgradePhase == TUpgradePhase::Idle && UsbDeviceInDfuMode;
  DfuModeLabel->setText(show ? Q(LoadText(kTextHeadsetInDfuMode)) : QString());
}

void TMajorForm::ScanUsbTree() {
  if (!services_.scanUsbTree) return;
  UsbConfigText = std::string(TruncateBytes(services_.scanUsbTree(), kMaxFixedText));
}

void TMajorForm::RefreshDeviceInfoLabel() {
  UsbConfigText.clear();
  ScanUsbTree();
  if (!UsbConfigText.empty()) DeviceInfoLabel->setText(Q(ConfigurationLine(UsbConfigText)));
}

void TMajorForm::CheckUSBConnectionTimerTimer() {
  CheckUSBConnectionTimer->Stop();
  DetectUsbDevice();
  if (!FirmwareFilePath.empty()) ValidateFirmwareFile();
}

void TMajorForm::RefreshUSBConnectionButtonClick() {
  DetectUsbDevice();
}

}  // namespace app
