// The device-control record on a Linux tty, through termios2 so that any rate can be set (BOTHER).
// Each function returns 0 or an errno value.
#pragma once

#include "comport/SerialDevice.h"

namespace comport::posix {

// Raw byte transport: no echo, no line discipline editing, no output processing, receiver on,
// modem lines not needed for carrier.
int MakeRaw(int fd);

// Fills the fields termios holds (rate, byte size, parity, stop bits, XON/XOFF characters, parity
// checking and the flow-control flags); the other fields keep what `dcb` brought.
int ReadDcb(int fd, TDcb& dcb);

// Whether Linux can carry out the record: not with 4 or 9 data bits, 1.5 stop bits, DSR or DTR flow
// control, RTS toggling, null stripping or error-character replacement.
bool CanCarryOut(const TDcb& dcb);

// Read-modify-write of the termios fields the record describes. A record the platform cannot carry
// out fails with EINVAL and changes nothing. Continuing to send after
// XOFF and aborting on errors have no Linux counterpart and no effect on the data: they are
// ignored, and so are the XON/XOFF limits, which the kernel sets itself.
int WriteDcb(int fd, const TDcb& dcb);

}  // namespace comport::posix
