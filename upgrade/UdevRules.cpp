#include "upgrade/UdevRules.h"

#include <cstdio>

#include "upgrade/DfuQuirks.h"

namespace dfu {

std::string UdevRuleLine(std::uint16_t vendor, std::uint16_t product) {
  // ATTRS finds the ids on the USB device itself and, for the serial port, on its parent device;
  // interfaces match too, but have no device node to grant.
  char line[200];
  std::snprintf(line, sizeof line,
                "SUBSYSTEM==\"usb|tty\", ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\", "
                "TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"",
                vendor, product);
  return line;
}

std::string UdevRuleLines() {
  std::string lines;
  for (const Quirk& quirk : Quirks()) {
    lines += UdevRuleLine(quirk.vendor, quirk.runtimeProduct) + "\n";
    if (quirk.dfuProduct != quirk.runtimeProduct)
      lines += UdevRuleLine(quirk.vendor, quirk.dfuProduct) + "\n";
  }
  return lines;
}

}  // namespace dfu
