// The ports' default line settings on Linux.
//
// Linux keeps no default line settings per port, so the component keeps them in a file of its
// own, DefaultCommConfigPath(): `<user config folder>/comport/port-defaults`. UTF-8 text, one line
// per port, each ended by LF:
//
//   # Lines starting with # and blank lines are kept as they are.
//   /dev/ttyUSB0 baud=115200 data=8 parity=n stop=1 dtr=on rts=hs octs=on odsr=off idsr=off xin=off
//   xout=off
//
// The first word is the port's name as Open takes it; then key=value words, in any order:
//   baud  bits per second          data  4 to 9          parity  n, o, e, m or s
//   stop  1, 1.5 or 2              dtr   off, on, hs     rts     off, on, hs or toggle
//   octs, odsr  CTS / DSR output flow control            idsr    DSR sensitivity
//   xin, xout   XON/XOFF on input / on output            (these five: on or off)
// A missing key, or a value not listed, keeps the built-in default: 9600 bits per second, 8 data
// bits, no parity, 1 stop bit, DTR and RTS on, no flow control. Unknown keys are ignored. A port
// without a line has the built-in defaults; the characters, limits and other options of the line
// settings are not kept (they read back as the component's defaults). Writing replaces the port's
// line, or adds one, keeps every other line as it was, and replaces the file atomically.
#pragma once

#include <cstdint>
#include <string>

#include "comport/ComConfigDialog.h"
#include "toolkit/Error.h"

namespace comport {

// The defaults file; empty when the user's config folder cannot be determined.
std::string DefaultCommConfigPath();

// The default settings of the port `name` from `file` into `config`, whose dwSize must be at least
// kCommConfigSize. The port must exist as a character device. A missing file or line gives the
// built-in defaults; a file that cannot be read fails with the system's code.
toolkit::Error GetDefaultCommConfig(const std::string& name, TCommConfig& config,
                                    const std::string& file);
toolkit::Error SetDefaultCommConfig(const std::string& name, const TCommConfig& config,
                                    const std::string& file);

// One port's line of the defaults file, and back; parsing starts from the built-in defaults.
std::string FormatDefaultsLine(const std::string& name, const TDcb& dcb);
bool ParseDefaultsLine(const std::string& line, std::string& name, TDcb& dcb);

}  // namespace comport
