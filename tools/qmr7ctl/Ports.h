// The serial ports as the window lists them, and the port qmr7ctl talks to when none is named.
#pragma once

#include <string>
#include <vector>

#include "platform/PortEnumerator.h"

namespace qmr7ctl {

struct PortTable {
  std::vector<platform::PortInfo> ports;  // the window's lines, in its order
  int preselected = -1;                   // the line the window preselects; -1: none
};

PortTable ListPorts(platform::PortEnumerator& enumerator);

// The port to use without --port: the one headset (USB) port. Throws Failure (NoDevice) naming
// the candidates when there is no port, no USB port, or more than one.
std::string ChoosePort(const PortTable& table);

// Whether the system gives the user at the seat a device through udev rules (Linux), so that a
// headset whose USB ids the packaged rules do not name needs a rule line of its own.
bool DeviceAccessByUdevRules();

}  // namespace qmr7ctl
