#include "tools/qmr7ctl/UsbDriver.h"

#include "tools/qmr7ctl/Failure.h"
#include "tools/qmr7ctl/Texts.h"

namespace qmr7ctl {
namespace {

using dfu::winusb::DfuDriverState;

std::string StateText(const dfu::winusb::HeadsetDriverCheck& check) {
  std::string text;
  switch (check.state) {
    case DfuDriverState::NoDriver:
      text = Get(Text::DriverNone);
      break;
    case DfuDriverState::NoInterfaceClass:
      return Get(Text::DriverWithoutInterfaceClass);
    case DfuDriverState::OtherDriver:
    case DfuDriverState::WinUsbProblem:
    case DfuDriverState::Usable:
      text = Format(Text::DriverNamed, {check.service});
      break;
  }
  // The device manager shows the same number as "Code N".
  if (check.problem != 0) {
    text += ", " + Format(Text::DriverProblemCode, {std::to_string(check.problem)});
  }
  return text;
}

}  // namespace

std::string WinUsbMissingText(const dfu::winusb::HeadsetDriverCheck& check) {
  if (check.verdict != dfu::winusb::HeadsetOnUsb::WithoutWinUsb) return {};
  return Format(Text::WinUsbMissing, {dfu::winusb::UsbIdText(check.ids), StateText(check)});
}

void ThrowIfWithoutWinUsb(const DriverCheck& check, std::span<const dfu::DeviceIds> extraIds) {
  if (!check) return;
  const std::string text = WinUsbMissingText(check(extraIds));
  if (!text.empty()) throw Failure(Exit::NoDevice, text);
}

}  // namespace qmr7ctl
