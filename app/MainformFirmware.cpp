// The firmware file: choosing it, checking it with the engine and the product-family marker, and
// matching its name to the connected model.
#include <algorithm>
#include <cstdint>

#include "app/Mainform.h"
#include "resources/TextCatalog.h"
#include "resources/WindowLayout.h"

namespace app {
namespace {

using namespace resources;
namespace mb = toolkit::mb;

#ifdef _WIN32
constexpr char kPathSeparators[] = "\\/";
#else
constexpr char kPathSeparators[] = "/";
#endif

// Only ASCII letters change: the texts are compared without regard to ASCII case and nothing else.
std::string AsciiUpper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  });
  return text;
}

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
  const std::string text = AsciiUpper(description);
  if (text.find("FARPOINT") != std::string::npos || text.find("FAR POINT") != std::string::npos) {
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
  const std::string path = AsciiUpper(FirmwareFilePath);
  const auto separator = path.find_last_of(kPathSeparators);
  const std::string name = separator == std::string::npos ? path : path.substr(separator + 1);
  const std::string prefix = AsciiUpper(DeviceModelName + "_");
  return name.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace app
