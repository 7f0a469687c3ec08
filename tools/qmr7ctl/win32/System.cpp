// qmr7ctl on Windows. Ctrl-C and Ctrl-Break reach a console program as control events on a thread
// of their own; the handler counts them and tells the system they are handled.
#include "tools/qmr7ctl/System.h"

#include <windows.h>

#include <atomic>

#include "platform/System.h"

namespace qmr7ctl::system {
namespace {

std::atomic<int> interruptPresses{0};

BOOL WINAPI CountInterrupt(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (interruptPresses.load() < 1000) ++interruptPresses;
  return TRUE;
}

}  // namespace

// The ports class of the device installer, with the devices' descriptions, as the window lists
// them.
std::unique_ptr<platform::PortEnumerator> MachinePorts() {
  return platform::MakeSystemPortEnumerator();
}

void CatchInterrupts() {
  ::SetConsoleCtrlHandler(&CountInterrupt, TRUE);
}

int InterruptPresses() {
  return interruptPresses.load();
}

bool ErrorsGoToTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace qmr7ctl::system
