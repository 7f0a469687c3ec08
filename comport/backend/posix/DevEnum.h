// Listing the serial devices of a Linux machine, below a root folder ("/" but for tests).
//
// The device namespace is /dev: its device nodes and links at the top level, named by their path
// ("/dev/ttyS0", what Open takes). A serial port is one whose node name follows a serial driver's
// naming (SerialPortPrefixes below), the way the classic namespace names its ports "COM<n>". The
// kernel's own map of serial drivers is /sys/class/tty: a tty with a `device` whose driver is
// bound, and, for a UART slot of a serial core driver, a known UART type (type 0 is an empty
// slot). Names from folders are added in byte order of their names.
//
// All of these append to the list and never clear, sort, de-duplicate or raise.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/PortEnumerator.h"

namespace comport {

// ttyS (8250/16550 UARTs and the like), ttyUSB (USB serial converters), ttyACM (USB CDC modems),
// ttyAMA (ARM PrimeCell UARTs), ttymxc, ttySAC, ttyO, ttyTHS, ttyHS, ttyMSM (on-chip UARTs), ttyGS
// (USB gadget serial), ttyXRUSB (Exar USB UARTs), rfcomm (Bluetooth serial links).
std::span<const std::string_view> SerialPortPrefixes();

// Whether a node name below /dev ("ttyUSB0") names a serial port.
bool IsSerialPortName(std::string_view nodeName);

void AppendDevices(std::vector<std::string>& list, const std::string& root);
void AppendComDevices(std::vector<std::string>& list, const std::string& root);
void AppendComDevicesFromDriverMap(std::vector<std::string>& list, const std::string& root);
// The description of each port `ports` lists, in its order.
void AppendComFriendlyNames(std::vector<std::string>& list, platform::PortEnumerator& ports);

}  // namespace comport
