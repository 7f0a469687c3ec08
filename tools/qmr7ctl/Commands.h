// qmr7ctl's commands: the command line, what each command does, and what it prints. Results go to
// `out` (text, or with --json one JSON document), messages and errors to `err`.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/PortEnumerator.h"
#include "tools/qmr7ctl/Doctor.h"
#include "tools/qmr7ctl/Session.h"
#include "tools/qmr7ctl/Upgrade.h"

namespace qmr7ctl {

struct Environment {
  std::ostream& out;
  std::ostream& err;
  platform::PortEnumerator& ports;
  // Opens the headset's port; throws Failure (NoDevice) when it cannot.
  std::function<std::unique_ptr<DeviceLink>(const std::string& port)> connect;
  // The upgrade's waits, USB walk and engine; none: upgrade is refused.
  UpgradeSystem* upgrade = nullptr;
  // The doctor's checks for the headsets of the table and these extra ids; unset: refused.
  std::function<std::vector<doctor::Finding>(std::span<const dfu::DeviceIds>)> doctor = nullptr;
};

// Runs the command line (without the program name); returns the exit code (Failure.h).
int Run(const std::vector<std::string>& args, Environment& env);

}  // namespace qmr7ctl
