#include "tools/qmr7ctl/Ports.h"

#include "app/PortRules.h"
#include "tools/qmr7ctl/Failure.h"
#include "tools/qmr7ctl/Texts.h"

namespace qmr7ctl {

PortTable ListPorts(platform::PortEnumerator& enumerator) {
  std::vector<std::string> names;
  std::vector<std::string> descriptions;
  for (const auto& port : enumerator.Enumerate()) {
    if (names.size() == app::kMaxListedPorts) break;
    if (const auto entry = app::PortTableEntry(port)) {
      names.push_back(entry->name);
      descriptions.push_back(entry->description);
    }
  }
  app::SortPortTable(names, descriptions);
  PortTable table;
  for (std::size_t i = 0; i < names.size(); ++i)
    table.ports.push_back({names[i], descriptions[i]});
  table.preselected = app::PreselectedPort(descriptions);
  return table;
}

std::string ChoosePort(const PortTable& table) {
  if (table.ports.empty()) throw Failure(Exit::NoDevice, Get(Text::NoPorts));
  std::vector<std::string> headsets;
  std::string all;
  for (const auto& port : table.ports) {
    all += (all.empty() ? "" : ", ") + port.name;
    if (app::IsUsbDescription(port.description)) headsets.push_back(port.name);
  }
  if (headsets.size() == 1) return headsets.front();
  if (headsets.empty()) throw Failure(Exit::NoDevice, Format(Text::NoHeadsetPort, {all}));
  std::string several;
  for (const auto& name : headsets)
    several += (several.empty() ? "" : ", ") + name;
  throw Failure(Exit::NoDevice, Format(Text::SeveralHeadsetPorts, {several}));
}

}  // namespace qmr7ctl
