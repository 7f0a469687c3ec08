// The WinUSB driver package for Windows (packaging/windows/qmr7-dfu-winusb.inf), read as Windows'
// installer reads it: it names the headset's ids of the quirks table and nothing else, takes WinUSB
// from winusb.inf, and registers the interface class the transport opens devices by.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "upgrade/DfuQuirks.h"

namespace dfu {
namespace {

// Sections by name (lower case), each with its lines, comments and blanks left out.
std::map<std::string, std::vector<std::string>> Sections(const std::string& path) {
  std::ifstream in(path);
  std::map<std::string, std::vector<std::string>> sections;
  std::string line, current;
  while (std::getline(in, line)) {
    if (const auto semicolon = line.find(';');
        semicolon != std::string::npos && line.find('"') > semicolon) {
      line.erase(semicolon);
    }
    line = std::regex_replace(line, std::regex("^\\s+|\\s+$"), "");
    if (line.empty()) continue;
    if (line.front() == '[' && line.back() == ']') {
      current = line.substr(1, line.size() - 2);
      for (char& c : current)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      sections[current];
      continue;
    }
    sections[current].push_back(line);
  }
  return sections;
}

TEST(WinUsbInf, BindsWinUsbToTheHeadsetsIdsAndNamesAnInterfaceClass) {
  const auto sections = Sections(QMR7_WINUSB_INF);
  ASSERT_FALSE(sections.empty()) << QMR7_WINUSB_INF;

  std::set<std::string> headsetIds;
  for (const Quirk& q : Quirks()) {
    for (const std::uint16_t product : {q.runtimeProduct, q.dfuProduct}) {
      char id[32];
      std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", q.vendor, product);
      headsetIds.insert(id);
    }
  }

  // Every platform the manufacturer line decorates lists exactly the headset's ids, each bound to
  // the install section.
  ASSERT_EQ(sections.count("manufacturer"), 1u);
  ASSERT_EQ(sections.at("manufacturer").size(), 1u);
  std::smatch m;
  const std::string manufacturer = sections.at("manufacturer")[0];
  ASSERT_TRUE(std::regex_match(manufacturer, m, std::regex(R"(%\w+%\s*=\s*(\w+)((\s*,\s*\w+)+))")))
      << manufacturer;
  const std::string models = m[1];
  std::string decorations = m[2];
  int platforms = 0;
  const std::regex decoration(R"(,\s*(\w+))");
  for (std::sregex_iterator it(decorations.begin(), decorations.end(), decoration), end; it != end;
       ++it) {
    ++platforms;
    std::string section = models + "." + (*it)[1].str();
    for (char& c : section)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    SCOPED_TRACE(section);
    ASSERT_EQ(sections.count(section), 1u);
    std::set<std::string> ids;
    for (const std::string& line : sections.at(section)) {
      ASSERT_TRUE(std::regex_match(line, m, std::regex(R"(%\w+%\s*=\s*Qmr7Dfu\s*,\s*(\S+))")))
          << line;
      ids.insert(m[1]);
    }
    EXPECT_EQ(ids, headsetIds);
  }
  EXPECT_GE(platforms, 1);

  // WinUSB comes from winusb.inf, for each of the sections that file asks includers to have.
  const std::map<std::string, std::string> needs = {{"qmr7dfu", "WINUSB.NT"},
                                                    {"qmr7dfu.hw", "WINUSB.NT.HW"},
                                                    {"qmr7dfu.services", "WINUSB.NT.Services"}};
  for (const auto& [section, need] : needs) {
    SCOPED_TRACE(section);
    ASSERT_EQ(sections.count(section), 1u);
    const auto& lines = sections.at(section);
    const auto has = [&](const std::string& pattern) {
      const std::regex re(pattern, std::regex::icase);
      return std::any_of(lines.begin(), lines.end(),
                         [&](const std::string& line) { return std::regex_match(line, re); });
    };
    EXPECT_TRUE(has(R"(Include\s*=\s*winusb\.inf)"));
    EXPECT_TRUE(has(R"(Needs\s*=\s*)" + std::regex_replace(need, std::regex("\\."), "\\.")));
  }

  // The transport opens a WinUSB device through the classes of its DeviceInterfaceGUIDs value, a
  // list of texts (REG_MULTI_SZ, 0x10000).
  ASSERT_EQ(sections.count("qmr7dfu.addreg"), 1u);
  ASSERT_EQ(sections.at("qmr7dfu.addreg").size(), 1u);
  EXPECT_TRUE(std::regex_match(
      sections.at("qmr7dfu.addreg")[0],
      std::regex(
          R"(HKR,,DeviceInterfaceGUIDs,0x10000,"\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}")")))
      << sections.at("qmr7dfu.addreg")[0];
}

}  // namespace
}  // namespace dfu
