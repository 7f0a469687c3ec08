// Finding the headset on USB as a DFU device, and showing which firmware and PSR files it says it
// runs (its configuration string, found by the USB tree walk).
#include "app/Mainform.h"
#include "app/UsbConfiguration.h"
#include "app/UsbDriverNote.h"
#include "resources/TextCatalog.h"
#include "toolkit/qt/Text.h"

namespace app {
namespace {

using namespace resources;
using toolkit::qt::Q;
namespace mb = toolkit::mb;

constexpr std::uint32_t kDetectLimitMs = 30000;
constexpr std::uint32_t kDetectStepMs = 100;

}  // namespace

void TMajorForm::DetectUsbDevice() {
  char names[DFUENGINE_NAMES_SIZE] = {};
  SavedCursor = services_.ui.CurrentCursor();
  services_.ui.SetCursor(toolkit::Cursor::Wait);
  const std::uint32_t start = services_.clock.TickCount();
  bool found = false;
  // No message is handled while the engine is asked: the window stays as it is until the end.
  while (services_.clock.TickCount() - start < kDetectLimitMs) {
    if (Engine().GetUSBDeviceNames(EngineHandle, names) != 0) {
      found = true;
      break;
    }
    services_.clock.Sleep(kDetectStepMs);
  }
  services_.ui.SetCursor(SavedCursor);

  if (!found) {
    DfuDeviceLabel->setText(QString());
    ConfigInfoLabel->setText(QString());
    BdAddrInfoLabel->setText(QString());
    UsbDeviceFound = false;
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
  UpdateControlStates();
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
