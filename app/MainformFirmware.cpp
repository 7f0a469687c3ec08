// The firmware file: choosing it, checking it with the engine and the product-family marker, and
// matching its name to the connected model.
#include <cstdint>

#include "app/Mainform.h"
#include "resources/TextCatalog.h"
#include "resources/WindowLayout.h"
#include "upgrade/FirmwareRules.h"

namespace app {
namespace {

using namespace resources;
namespace mb = toolkit::mb;

}  // namespace

void TMajorForm::OpenDfuFileButtonClick() {
  toolkit::FileDialogRequest request;
  request.filter = std::string(MainWindowLayout().openDialogFilter);
  request.initialPath = FirmwareFilePath;
  const std::optional<std::string> chosen = services_.ui.OpenFileDialog(request);
  if (!chosen) return;
  // A path the field cannot hold is refused whole: cut, it would name another file.
  FirmwareFilePath = CharCount(*chosen) > kMaxFixedText ? std::string() : *chosen;
  ValidateFirmwareFile();
}

void TMajorForm::ValidateFirmwareFile() {
  // The file is read once, here; the engine checks that copy, and a run downloads it, so a file
  // that changes on disk afterwards cannot reach the device unchecked.
  dfu::FileInfo info;
  if (dfu::FirmwareCopy::Take(FirmwareFilePath, firmwareCopy_, info) == dfu::FileFault::TooLarge) {
    FirmwareFilePath.clear();
    DFUFileNameLabel->setText(QString());
    UpdateControlStates();
    ShowMessage(kTextFirmwareTooLarge, kTextCaptionError, mb::kOk | mb::kIconError);
    return;
  }
  char description[DFUENGINE_DESCRIPTION_SIZE] = {};
  std::uint32_t version = 0, usbIds = 0, imageSize = 0;
  // Asked even when no copy could be made, so that the engine answers for the path as it is.
  const std::string& checked = firmwareCopy_.Held() ? firmwareCopy_.Path() : FirmwareFilePath;
  const bool valid =
      Engine().IsDFUFileValid(EngineHandle, checked, description, &version, &usbIds, &imageSize) &&
      firmwareCopy_.Held();
  if (!valid) {
    firmwareCopy_ = {};
    UpdateControlStates();
    FirmwareFilePath.clear();
    DFUFileNameLabel->setText(QString());
    ShowMessage(kTextBadFirmwareFile, kTextCaptionError, mb::kOk | mb::kIconError);
    return;
  }
  description[DFUENGINE_DESCRIPTION_SIZE - 1] = '\0';  // whatever engine filled it
  if (dfu::HasProductFamilyMarker(description)) {
    FitLabelText(DFUFileNameLabel, FirmwareFilePath);
    UpdateControlStates();
    return;
  }
  firmwareCopy_ = {};
  FirmwareFilePath.clear();
  DFUFileNameLabel->setText(QString());
  UpdateControlStates();
  ShowMessage(kTextWrongProductFamily, kTextCaptionError, mb::kOk | mb::kIconError);
}

bool TMajorForm::FirmwareMatchesModel() {
  return dfu::FileNameMatchesModel(FirmwareFilePath, DeviceModelName);
}

}  // namespace app
