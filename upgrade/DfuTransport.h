// How the engine reaches DFU devices: a transport lists the DFU-capable devices it can see and
// opens one by name; an open link carries control transfers and the USB reset.
//
// Backends: libusb (real devices on Linux), WinUSB (real devices on Windows), the virtual-device
// socket (devices that qmr7-sim registers, Linux) and an in-process simulated device for tests. A
// name starts with its backend's scheme ("usb:", "virtual:", "sim:") and stays the same across
// re-enumeration, so the engine finds a device again after it has reset it into or out of DFU mode.
//
// Threads: List may be called from any thread, also while the engine's thread opens devices and
// uses a link; a link is used by one thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "toolkit/Error.h"
#include "upgrade/DfuClass.h"

namespace dfu {

// A failed open, transfer or reset, in the one error value of toolkit/Error.h. The kind decides
// what the engine makes of it: DeviceGone, the device is not (any longer) there; TimedOut, it did
// not answer in time; NotSupported, it stalled the request, USB's way of refusing one; OsFailure,
// anything else (access denied included). Code and text are the backend's own: libusb's error code
// with its name and wording for real devices on Linux, the system's error code and wording with
// WinUSB; errno for the virtual devices' socket, or 0 where the device itself gave the outcome.
using UsbError = toolkit::Error;

UsbError UsbStall(std::string op);
UsbError UsbGone(std::string op);
UsbError UsbTimeout(std::string op);

class DfuLink {
 public:
  virtual ~DfuLink() = default;

  // One control transfer. Device-to-host requests (bit 7 of requestType) fill `data` and set
  // `transferred`; host-to-device ones send `data`. setup.length is data.size().
  virtual UsbError Control(const Setup& setup, std::span<std::uint8_t> data,
                           std::size_t& transferred) = 0;

  // A USB bus reset. The device re-enumerates, so the link is stale afterwards: open the device
  // again by its name.
  virtual UsbError Reset() = 0;
};

class DfuTransport {
 public:
  virtual ~DfuTransport() = default;

  // Names of the attached devices with a DFU interface (run-time or DFU mode).
  virtual std::vector<std::string> List() = 0;

  // Whether `name` is one of this transport's names.
  virtual bool Owns(const std::string& name) const = 0;

  // Opens a device; on failure returns null and says why (DeviceGone when it is not attached).
  virtual std::unique_ptr<DfuLink> Open(const std::string& name, UsbError& error) = 0;
};

// The engine's waits: bwPollTimeout, re-enumeration. Cancel ends the current and every later wait.
class Waiter {
 public:
  virtual ~Waiter() = default;
  // False when cancelled (before or during the wait).
  virtual bool Wait(std::chrono::microseconds duration) = 0;
  virtual void Cancel() = 0;
};

// Real time, to the deadline: no rounding up to a tick, no fixed extra.
std::unique_ptr<Waiter> MakeRealWaiter();

// The backends of this platform. Linux: libusb, then the virtual devices in `registryDirectory`
// (empty: the default registry folder). Windows: WinUSB; the folder is not used there.
std::vector<std::shared_ptr<DfuTransport>> SystemTransports(const std::string& registryDirectory);
// Linux.
std::shared_ptr<DfuTransport> MakeLibusbTransport();
std::shared_ptr<DfuTransport> MakeSocketTransport(const std::string& registryDirectory);
// Windows.
std::shared_ptr<DfuTransport> MakeWinUsbTransport();

}  // namespace dfu
