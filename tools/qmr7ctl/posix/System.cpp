#include "tools/qmr7ctl/System.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>

#include "platform/UdevPortEnumerator.h"
#include "platform/VirtualDeviceRegistry.h"

namespace qmr7ctl::system {
namespace {

volatile std::sig_atomic_t interruptPresses = 0;

extern "C" void CountInterrupt(int) {
  if (interruptPresses < 1000) interruptPresses = interruptPresses + 1;
}

}  // namespace

std::unique_ptr<platform::PortEnumerator> MachinePorts() {
  return std::make_unique<platform::SystemPortEnumerator>(platform::VirtualDeviceRegistry());
}

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = &CountInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
}

int InterruptPresses() {
  return static_cast<int>(interruptPresses);
}

bool ErrorsGoToTerminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

}  // namespace qmr7ctl::system
