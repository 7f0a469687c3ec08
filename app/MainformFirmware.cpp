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
  char description[DFUENGINE_DESCRIPTION_SIZE] = {};
  std::uint32_t version = 0, usbIds = 0, imageSize = 0;
  const bool valid = Engine().IsDFUFileValid(EngineHandle, FirmwareFilePath, description, &version,
                                             &usbIds, &imageSize);
  if (!valid) {
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
  FirmwareFilePath.clear();
  DFUFileNameLabel->setText(QString());
  UpdateControlStates();
  ShowMessage(kTextWrongProductFamily, kTextCaptionError, mb::kOk | mb::kIconError);
}

bool TMajorForm::FirmwareMatchesModel() {
  return dfu::FileNameMatchesModel(FirmwareFilePath, DeviceModelName);
}

}  // namespace app
