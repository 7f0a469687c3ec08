#include "platform/PortsClass.h"

#include "toolkit/Utf.h"

namespace platform {
namespace {

constexpr unsigned long kPlainString = 1;

std::u16string_view UpToTerminator(const std::u16string& data) {
  const std::u16string_view text(data);
  return text.substr(0, text.find(u'\0'));
}

bool NamesComPort(std::u16string_view name) {
  if (name.size() < 4) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    const char16_t c =
        name[i] >= u'a' && name[i] <= u'z' ? static_cast<char16_t>(name[i] - u'a' + u'A') : name[i];
    if (c != u"COM"[i]) return false;
  }
  return name[3] >= u'0' && name[3] <= u'9';
}

}  // namespace

std::optional<PortInfo> PortOfPortsClassDevice(const PortsClassDevice& device) {
  if (!device.keyOpened || !device.portName || device.portName->type != kPlainString) {
    return std::nullopt;
  }
  // A name too short to be COM<n> names nothing the port can be opened by: left out rather than
  // listed with an empty name.
  const std::u16string_view name = UpToTerminator(device.portName->data);
  if (!NamesComPort(name)) return std::nullopt;
  PortInfo port;
  port.name = toolkit::Utf16ToUtf8(name);
  if (device.description && device.description->type == kPlainString) {
    port.description = toolkit::Utf16ToUtf8(UpToTerminator(device.description->data));
  }
  return port;
}

}  // namespace platform
