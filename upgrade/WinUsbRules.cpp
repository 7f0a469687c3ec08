#include "upgrade/WinUsbRules.h"

#include <algorithm>
#include <array>

#include "toolkit/Utf.h"
#include "upgrade/DfuQuirks.h"

namespace dfu::winusb {
namespace {

// Windows system error codes (winerror.h).
constexpr std::uint32_t kSuccess = 0;
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kGenFailure = 31;
constexpr std::uint32_t kInvalidParameter = 87;
constexpr std::uint32_t kSemTimeout = 121;
constexpr std::uint32_t kNoSuchDevice = 433;
constexpr std::uint32_t kDeviceNotConnected = 1167;
constexpr std::uint32_t kDeviceRemoved = 1617;

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), Upper);
  return out;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Upper(x) == Upper(y); });
}

// Four hexadecimal digits at the start of `text`.
std::optional<std::uint16_t> Hex4(std::string_view text) {
  if (text.size() < 4) return std::nullopt;
  unsigned value = 0;
  for (const char c : text.substr(0, 4)) {
    const char u = Upper(c);
    unsigned digit = 0;
    if (u >= '0' && u <= '9') {
      digit = static_cast<unsigned>(u - '0');
    } else if (u >= 'A' && u <= 'F') {
      digit = static_cast<unsigned>(u - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = value * 16 + digit;
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace

std::string HubInstanceOf(std::string_view hubName) {
  for (const std::string_view prefix : {"\\\\?\\", "\\\\.\\"}) {
    if (hubName.starts_with(prefix)) {
      hubName.remove_prefix(prefix.size());
      break;
    }
  }
  // The interface class's GUID ends the name: "#{...}".
  if (const std::size_t guid = hubName.rfind("#{");
      guid != std::string_view::npos && hubName.ends_with('}')) {
    hubName = hubName.substr(0, guid);
  }
  std::string instance = UpperAscii(hubName);
  std::replace(instance.begin(), instance.end(), '#', '\\');
  return instance;
}

std::string PortDeviceName(std::string_view hubInstance, unsigned port) {
  return "usb:" + UpperAscii(hubInstance) + "/" + std::to_string(port);
}

bool IsCompositeFunction(std::string_view instanceId) {
  // The device id is the part between the enumerator and the instance.
  const std::size_t first = instanceId.find('\\');
  if (first == std::string_view::npos) return false;
  const std::string_view rest = instanceId.substr(first + 1);
  return UpperAscii(rest.substr(0, rest.find('\\'))).find("&MI_") != std::string::npos;
}

bool HasDfuCompatibleId(const std::vector<std::string>& compatibleIds) {
  static constexpr std::array<std::string_view, 2> kDfuIds = {"USB\\CLASS_FE&SUBCLASS_01&PROT_01",
                                                              "USB\\CLASS_FE&SUBCLASS_01&PROT_02"};
  return std::any_of(compatibleIds.begin(), compatibleIds.end(), [](const std::string& id) {
    const std::string upper = UpperAscii(id);
    return std::find(kDfuIds.begin(), kDfuIds.end(), upper) != kDfuIds.end();
  });
}

std::optional<UsbIds> UsbIdsOf(std::string_view instanceId) {
  // The ids are the device id's first fields: "VID_xxxx&PID_xxxx", after the enumerator.
  const std::size_t first = instanceId.find('\\');
  if (first == std::string_view::npos) return std::nullopt;
  const std::string id = UpperAscii(instanceId.substr(first + 1));
  if (id.size() < 17 || !id.starts_with("VID_") || id.compare(8, 5, "&PID_") != 0)
    return std::nullopt;
  const auto vendor = Hex4(std::string_view(id).substr(4));
  const auto product = Hex4(std::string_view(id).substr(13));
  if (!vendor || !product) return std::nullopt;
  // Five hexadecimal digits are no product id.
  if (id.size() > 17 && id[17] != '&' && id[17] != '\\') return std::nullopt;
  return UsbIds{*vendor, *product};
}

std::string UsbIdText(UsbIds ids) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const std::uint16_t value : {ids.vendor, ids.product}) {
    if (!text.empty()) text += ':';
    for (int shift = 12; shift >= 0; shift -= 4)
      text += kDigits[(value >> shift) & 0xF];
  }
  return text;
}

DfuDriverState DriverStateOf(const DeviceNode& node) {
  // A failed install can leave the service of an earlier driver behind: the problem code tells.
  if (node.service.empty() || node.problem == kProblemFailedInstall ||
      node.problem == kProblemNotConfigured) {
    return DfuDriverState::NoDriver;
  }
  if (!SameText(node.service, "WinUSB")) return DfuDriverState::OtherDriver;
  if (node.problem != 0) return DfuDriverState::WinUsbProblem;
  // The transport opens a device only through an interface class its hardware key names; WinUSB
  // picked by hand in the device manager names none.
  if (node.interfaceGuids.empty()) return DfuDriverState::NoInterfaceClass;
  return DfuDriverState::Usable;
}

bool IsUsableDfuInterface(const DeviceNode& node) {
  return HasDfuCompatibleId(node.compatibleIds) && DriverStateOf(node) == DfuDriverState::Usable;
}

HeadsetDriverCheck CheckHeadsetDriver(std::span<const DeviceNode> nodes,
                                      std::span<const dfu::DeviceIds> extra) {
  HeadsetDriverCheck check;
  for (const DeviceNode& node : nodes) {
    const auto ids = UsbIdsOf(node.instanceId);
    if (!ids || !dfu::HeadsetWithIds(ids->vendor, ids->product, extra)) continue;
    if (check.verdict == HeadsetOnUsb::Absent) check.verdict = HeadsetOnUsb::Usual;
    if (!HasDfuCompatibleId(node.compatibleIds)) continue;
    const DfuDriverState state = DriverStateOf(node);
    if (state == DfuDriverState::Usable) continue;
    check.verdict = HeadsetOnUsb::WithoutWinUsb;
    check.ids = *ids;
    check.instanceId = node.instanceId;
    check.state = state;
    check.service = node.service;
    check.problem = node.problem;
    break;
  }
  return check;
}

std::vector<std::string> MultiStrings(std::u16string_view value) {
  std::vector<std::string> entries;
  while (!value.empty()) {
    const std::size_t end = std::min(value.find(u'\0'), value.size());
    if (end == 0) break;
    entries.push_back(toolkit::Utf16ToUtf8(value.substr(0, end)));
    value.remove_prefix(std::min(end + 1, value.size()));
  }
  return entries;
}

toolkit::ErrorKind ErrorKindOf(std::uint32_t code) {
  switch (code) {
    case kSuccess:
      return toolkit::ErrorKind::None;
    // WinUSB ends a control request that the device stalled with a general failure; the device
    // keeps the reason in its DFU status.
    case kGenFailure:
      return toolkit::ErrorKind::NotSupported;
    case kSemTimeout:
      return toolkit::ErrorKind::TimedOut;
    case kFileNotFound:
    case kNoSuchDevice:
    case kDeviceNotConnected:
    // Not in libusb's list, but it says the same: the device was unplugged while it was open.
    case kDeviceRemoved:
      return toolkit::ErrorKind::DeviceGone;
    case kInvalidParameter:
      return toolkit::ErrorKind::CallerMistake;
    default:
      return toolkit::ErrorKind::OsFailure;
  }
}

toolkit::Error SystemError(std::uint32_t code, std::string text, std::string op) {
  toolkit::Error error{ErrorKindOf(code), static_cast<int>(code), std::move(text), std::move(op)};
  // A failure without a code is still a failure.
  if (!error) error.kind = toolkit::ErrorKind::OsFailure;
  return error;
}

}  // namespace dfu::winusb
