// What the Windows USB backends decide without calling Windows: how a device is named by its place
// on a hub, which devices are DFU devices by their compatible ids, and what a system error code
// means to the engine. The enumeration's hub walk and the WinUSB transport both name devices here,
// so the device the walk finds is the one the engine lists and opens.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/Error.h"

namespace dfu::winusb {

// A hub's device instance from the name the system gives for it (the root hub's, from its host
// controller; a downstream hub's, from its parent's port): the device interface name
// "USB#ROOT_HUB30#4&1a2b&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}", with or without "\\?\" or
// "\\.\" in front, is the instance "USB\ROOT_HUB30\4&1A2B&0&0". Instance ids compare without case,
// so this one is in upper case.
std::string HubInstanceOf(std::string_view hubName);

// The engine's name for the device on port `port` (from 1) of the hub with instance `hubInstance`:
// "usb:<instance in upper case>/<port>". The place stays while the device re-enumerates between
// run-time and DFU mode, where its own instance changes with its product id.
std::string PortDeviceName(std::string_view hubInstance, unsigned port);

// Whether a device instance is one function of a composite device, "&MI_" in its device id
// ("USB\VID_1209&PID_7207&MI_01\6&1A2B&0&0001"): its parent, not itself, is the device on the
// hub's port.
bool IsCompositeFunction(std::string_view instanceId);

// Whether one of a device's compatible ids names the DFU class, in run-time or DFU mode
// ("USB\Class_FE&SubClass_01&Prot_01" or "..._02"); the ids compare without case.
bool HasDfuCompatibleId(const std::vector<std::string>& compatibleIds);

// The entries of a REG_MULTI_SZ value in UTF-16, each ended by a NUL, the list by an empty entry.
std::vector<std::string> MultiStrings(std::u16string_view value);

// The kind of a system error code from a WinUSB or device request, as libusb's Windows backend
// maps the same codes: a general failure is the device stalling the request, a semaphore time-out
// is a time-out, a missing or unplugged device is gone, an invalid parameter is the caller's
// mistake, anything else (access denied included) a failure of the system.
toolkit::ErrorKind ErrorKindOf(std::uint32_t code);

// The failure of `op` with system code `code` and the system's wording for it.
toolkit::Error SystemError(std::uint32_t code, std::string text, std::string op);

}  // namespace dfu::winusb
