#include "app/UsbDriverNote.h"

#include "resources/TextCatalog.h"

namespace app {

std::string HeadsetDriverNote(const dfu::winusb::HeadsetDriverCheck& check) {
  if (check.verdict != dfu::winusb::HeadsetOnUsb::WithoutWinUsb) return {};
  std::string text = resources::LoadText(resources::kTextWinUsbMissing);
  if (const std::size_t field = text.find("%s"); field != std::string::npos)
    text.replace(field, 2, dfu::winusb::UsbIdText(check.ids));
  return text;
}

}  // namespace app
