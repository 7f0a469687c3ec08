// What qmr7ctl takes from the platform it runs on: the machine's serial ports, Ctrl-C, and whether
// standard error is a terminal. One file per platform defines these (posix/, win32/).
#pragma once

#include <memory>

#include "platform/PortEnumerator.h"

namespace qmr7ctl::system {

// The serial ports of this machine, as the window lists them.
std::unique_ptr<platform::PortEnumerator> MachinePorts();

// From the call on, Ctrl-C no longer ends the program at once: each press is counted, so that the
// upgrade can decide what a press means.
void CatchInterrupts();
int InterruptPresses();

bool ErrorsGoToTerminal();

}  // namespace qmr7ctl::system
