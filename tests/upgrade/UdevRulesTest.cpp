// The packaged udev rules grant the headset alone: their rule lines are the ones the quirks table
// makes, and nothing in them matches a device by its interfaces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/support/Hostile.h"
#include "upgrade/DfuQuirks.h"
#include "upgrade/UdevRules.h"

namespace dfu {
namespace {

std::string PackagedRules() {
  std::ifstream in(QMR7_UDEV_RULES);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> GrantingLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#' && line.find("uaccess") != std::string::npos)
      lines.push_back(line);
  }
  return lines;
}

TEST(UdevRulesTest, ThePackagedFileGrantsExactlyTheTablesDevices) {
  const std::string packaged = PackagedRules();
  ASSERT_FALSE(packaged.empty()) << QMR7_UDEV_RULES;
  EXPECT_EQ(GrantingLines(packaged), GrantingLines(UdevRuleLines()));
  EXPECT_EQ(packaged.find("ID_USB_INTERFACES"), std::string::npos);
  testsupport::RecordHostile("USB device",
                             "another maker's device with a DFU interface, in either mode",
                             "the packaged udev rules grant it nothing: they name the headset's "
                             "vendor and product ids alone");
}

TEST(UdevRulesTest, EveryProductIdOfTheTableHasItsLine) {
  const std::vector<std::string> lines = GrantingLines(UdevRuleLines());
  std::size_t expected = 0;
  for (const Quirk& quirk : Quirks()) {
    for (const std::uint16_t product : {quirk.runtimeProduct, quirk.dfuProduct}) {
      ++expected;
      char ids[64];
      std::snprintf(ids, sizeof ids, R"(ATTRS{idVendor}=="%04x", ATTRS{idProduct}=="%04x")",
                    quirk.vendor, product);
      EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                              [&](const std::string& l) { return l.find(ids) != l.npos; }),
                1)
          << ids;
    }
  }
  EXPECT_EQ(lines.size(), expected);
}

TEST(UdevRulesTest, OneLineMatchesOneDeviceOnItsUsbDeviceAndSerialPort) {
  const std::string line = UdevRuleLine(0x0a12, 0x00ff);
  EXPECT_EQ(line, R"(SUBSYSTEM=="usb|tty", ATTRS{idVendor}=="0a12", ATTRS{idProduct}=="00ff", )"
                  R"(TAG+="uaccess", ENV{ID_MM_DEVICE_IGNORE}="1")");
}

}  // namespace
}  // namespace dfu
