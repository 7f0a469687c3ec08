// Modem lines and line counters for pseudo-terminals, which have neither, as a null-modem cable
// and a UART driver would give them: the test binary's own ioctl answers TIOCMGET, TIOCMIWAIT and
// TIOCGICOUNT on a pty while a NullModem exists, and leaves every other request to the kernel.
// TIOCMIWAIT blocks until a watched line changes and, like the kernel's, a signal ends it (EINTR).
#pragma once

namespace comport::testing {

class NullModem {
 public:
  NullModem();
  ~NullModem();
  NullModem(const NullModem&) = delete;
  NullModem& operator=(const NullModem&) = delete;

  // Sets the lines given (TIOCM_* bits) on or off; each change counts, as the driver counts it.
  void Set(int lines, bool on);
  // Two changes in quick succession: a pulse that leaves the line as it was.
  void Pulse(int line);
  // A framing error counted by the driver (the byte it came with is the test's to send).
  void CountFrameError();

  // How many threads wait in TIOCMIWAIT now, the lines the last one waited for, and how many
  // waits have begun so far.
  int Waiters() const;
  int WaitedLines() const;
  int WaitsBegun() const;
};

}  // namespace comport::testing
