// What the Windows USB backends decide without calling Windows: how a device is named by its place
// on a hub, which devices are DFU devices by their compatible ids, whether WinUSB serves the
// headset's DFU interface, and what a system error code means to the engine. The enumeration's
// hub walk and the WinUSB transport both name devices here, so the device the walk finds is the
// one the engine lists and opens; the transport and the driver check judge a device node here, so
// the check calls usable exactly what the transport lists.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/Error.h"
#include "upgrade/DfuQuirks.h"

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

// --- The headset's DFU interface and its driver ----------------------------------------------

// One present USB device node as the configuration manager describes it.
struct DeviceNode {
  std::string instanceId;  // "USB\VID_1209&PID_7207&MI_01\6&1A2B&0&0001"
  std::vector<std::string> compatibleIds;
  std::string service;        // its "Service" property; empty: no driver installed
  std::uint32_t problem = 0;  // its problem code (CM_PROB_*) when it has one; 0: none
  // The DeviceInterfaceGUIDs (or DeviceInterfaceGUID) value of its hardware key: the interface
  // classes WinUSB registered it under, through which the transport opens it.
  std::vector<std::string> interfaceGuids;
};

// CM_PROB_* codes the rules tell apart.
inline constexpr std::uint32_t kProblemNotConfigured = 1;
inline constexpr std::uint32_t kProblemFailedInstall = 28;

struct UsbIds {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  bool operator==(const UsbIds&) const = default;
};

// The ids in an instance or hardware id ("USB\VID_1209&PID_7207&MI_01\..."); nullopt when it
// names none.
std::optional<UsbIds> UsbIdsOf(std::string_view instanceId);

// "1209:7208": the ids as USB tools print them.
std::string UsbIdText(UsbIds ids);

// How a node's DFU interface stands with WinUSB.
enum class DfuDriverState {
  Usable,            // WinUSB drives it, started, with an interface class to open it by
  NoDriver,          // no driver installed (no service, or the install failed)
  OtherDriver,       // another driver drives it
  WinUsbProblem,     // WinUSB is installed, but the node has a problem code (disabled, failed)
  NoInterfaceClass,  // WinUSB drives it, but registered it under no interface class
};

// The state of a node's driver, judged only by its service, problem code and interface classes.
DfuDriverState DriverStateOf(const DeviceNode& node);

// Whether the node is a DFU interface (a DFU class compatible id) that the engine can use.
bool IsUsableDfuInterface(const DeviceNode& node);

// What the drivers say of the headset (a device whose ids are in the quirks table, in run-time or
// DFU mode).
enum class HeadsetOnUsb {
  Absent,         // no node of the headset's ids is present
  WithoutWinUsb,  // a DFU interface of the headset is present without a usable WinUSB driver
  Usual,          // present, and no DFU interface of it lacks WinUSB: nothing to say of drivers
};

struct HeadsetDriverCheck {
  HeadsetOnUsb verdict = HeadsetOnUsb::Absent;
  // For WithoutWinUsb, the first such DFU interface in the system's order: its ids, its node and
  // how it stands.
  UsbIds ids;
  std::string instanceId;
  DfuDriverState state = DfuDriverState::Usable;
  std::string service;
  std::uint32_t problem = 0;
};

// Judges the present nodes. The nodes of a DFU interface are those with a DFU class compatible id:
// the whole device when it has only that interface (DFU mode), a function of a composite device
// otherwise. A whole composite device is the composite driver's and is not judged itself. The
// headset is a device whose ids the quirk table or `extra` names, in either mode, as in the walk.
HeadsetDriverCheck CheckHeadsetDriver(std::span<const DeviceNode> nodes,
                                      std::span<const dfu::DeviceIds> extra = {});

// --- System errors ---------------------------------------------------------------------------

// The kind of a system error code from a WinUSB or device request, as libusb's Windows backend
// maps the same codes: a general failure is the device stalling the request, a semaphore time-out
// is a time-out, a missing or unplugged device is gone, an invalid parameter is the caller's
// mistake, anything else (access denied included) a failure of the system.
toolkit::ErrorKind ErrorKindOf(std::uint32_t code);

// The failure of `op` with system code `code` and the system's wording for it.
toolkit::Error SystemError(std::uint32_t code, std::string text, std::string op);

}  // namespace dfu::winusb
