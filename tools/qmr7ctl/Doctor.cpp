#include "tools/qmr7ctl/Doctor.h"

#include <algorithm>

#include "tools/qmr7ctl/DoctorTexts.h"
#include "tools/qmr7ctl/Texts.h"
#include "tools/qmr7ctl/UsbDriver.h"

namespace qmr7ctl::doctor {

int ExitStatus(std::span<const Finding> findings) {
  return std::any_of(findings.begin(), findings.end(),
                     [](const Finding& f) { return f.status == Status::Problem; })
             ? 1
             : 0;
}

std::string FindingsText(std::span<const Finding> findings) {
  const std::string ok = Say(Words::Ok), problem = Say(Words::Problem), note = Say(Words::Note);
  const std::string fix = Say(Words::Fix);
  std::size_t width = 0;
  for (const std::string* label : {&ok, &problem, &note, &fix})
    width = std::max(width, DisplayWidth(*label));
  const auto pad = [width](const std::string& label) {
    return label + std::string(width - DisplayWidth(label) + 2, ' ');
  };
  std::string out;
  for (const Finding& f : findings) {
    const std::string& label = f.status == Status::Ok        ? ok
                               : f.status == Status::Problem ? problem
                                                             : note;
    out += pad(label) + Printable(f.text) + "\n";
    if (!f.fix.empty()) out += pad(fix) + Printable(f.fix) + "\n";
  }
  return out;
}

// --- Windows -------------------------------------------------------------------------------------

namespace {

bool IsHeadsetRuntime(const dfu::winusb::UsbIds& ids, std::span<const dfu::DeviceIds> extra) {
  for (const dfu::DeviceIds& headset : dfu::KnownHeadsets(extra)) {
    if (headset.vendor == ids.vendor && headset.product == ids.product) return true;
  }
  return false;
}

}  // namespace

Finding ComPortCheck(const WindowsFacts& facts) {
  Finding f{"serial-port", Status::Problem, {}, {}};
  for (const ComPortNode& node : facts.comPorts) {
    const auto ids = dfu::winusb::UsbIdsOf(node.instanceId);
    if (!ids || !IsHeadsetRuntime(*ids, facts.extra)) continue;
    const std::string idText = dfu::winusb::UsbIdText(*ids);
    const std::string port = node.port.empty() ? node.instanceId : node.port;
    if (node.service.empty()) {
      f.text = Say(Words::ComPortNoDriver, {port, idText});
      f.fix = Say(Words::FixComPortDriver);
    } else if (node.problem != 0) {
      f.text = Say(Words::ComPortDriverProblem,
                   {port, idText, node.service, std::to_string(node.problem)});
      f.fix = Say(Words::FixComPortDriver);
    } else {
      f.status = Status::Ok;
      f.text = Say(Words::ComPortOk, {port, idText, node.service});
    }
    return f;
  }
  // Without its driver the serial interface is no port: it waits among the other devices.
  for (const dfu::winusb::DeviceNode& node : facts.usbNodes) {
    const auto ids = dfu::winusb::UsbIdsOf(node.instanceId);
    if (!ids || !IsHeadsetRuntime(*ids, facts.extra) ||
        dfu::winusb::HasDfuCompatibleId(node.compatibleIds))
      continue;
    if (dfu::winusb::IsCompositeFunction(node.instanceId) &&
        (node.service.empty() || node.problem != 0)) {
      f.text = Say(Words::UsbSerialNoDriver, {dfu::winusb::UsbIdText(*ids)});
      f.fix = Say(Words::FixComPortDriver);
      return f;
    }
  }
  f.text = Say(Words::NoHeadsetComPort);
  f.fix = Say(Words::FixConnectUsb);
  return f;
}

Finding WinUsbCheck(const WindowsFacts& facts) {
  Finding f{"usb-device", Status::Problem, {}, {}};
  const dfu::winusb::HeadsetDriverCheck check =
      dfu::winusb::CheckHeadsetDriver(facts.usbNodes, facts.extra);
  switch (check.verdict) {
    case dfu::winusb::HeadsetOnUsb::Absent:
      f.text = Say(Words::NoHeadsetOnUsb);
      f.fix = Say(Words::FixConnectUsb);
      break;
    case dfu::winusb::HeadsetOnUsb::WithoutWinUsb:
      f.text = WinUsbMissingText(check);
      f.fix = Say(Words::FixWinUsb);
      break;
    case dfu::winusb::HeadsetOnUsb::Usual:
      f.status = Status::Ok;
      f.text = Say(Words::WinUsbOk);
      break;
  }
  return f;
}

Finding ResetRightsCheck(const WindowsFacts& facts) {
  if (facts.elevated) return {"reset-rights", Status::Ok, Say(Words::Elevated), {}};
  return {"reset-rights", Status::Note, Say(Words::NotElevated), {}};
}

std::vector<Finding> WindowsFindings(const WindowsFacts& facts) {
  return {ComPortCheck(facts), WinUsbCheck(facts), ResetRightsCheck(facts)};
}

}  // namespace qmr7ctl::doctor
