// `qmr7ctl doctor`: what stands between the user and the headset, checked in order. Each check
// says ok, or the problem and the one command or step that fixes it, or a note that changes
// nothing. A check is a small function over facts of the system: on Linux the files below sysfs,
// /dev, /proc and udev's database, under roots a test points at a fixture tree; on Windows the
// configuration manager's answers, gathered apart (win32/) and judged here.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/PortEnumerator.h"
#include "upgrade/DfuQuirks.h"
#include "upgrade/WinUsbRules.h"

namespace qmr7ctl::doctor {

enum class Status { Ok, Problem, Note };

struct Finding {
  std::string check;  // a stable name for --json: "serial-port", "port-access", ...
  Status status = Status::Ok;
  std::string text;  // what the check found, in the chosen language
  std::string fix;   // a problem's one command or step; empty otherwise
};

// Exit status of the command: 0 when no check found a problem.
int ExitStatus(std::span<const Finding> findings);

// The findings as qmr7ctl prints them: one line per check, a problem's fix on the next.
std::string FindingsText(std::span<const Finding> findings);

// --- Linux ---------------------------------------------------------------------------------------

struct LinuxHost {
  std::string sys = "/sys";
  std::string dev = "/dev";
  std::string proc = "/proc";
  std::string udevData = "/run/udev/data";
  // Where udev reads rules, the first taking precedence for a file name.
  std::vector<std::string> rulesFolders = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                           "/usr/local/lib/udev/rules.d", "/usr/lib/udev/rules.d",
                                           "/lib/udev/rules.d"};
  unsigned uid = 0;
  bool root = false;  // run as root: every open succeeds, so access says nothing of the user
  std::vector<unsigned> groups;    // the groups this session has, the primary one too
  std::vector<unsigned> memberOf;  // the groups the group database gives the user now
  // errno of opening `path` for reading and writing as the user (0: it opened), so a test need not
  // be that user.
  std::function<int(const std::string& path)> tryOpen;
  // A device node's owner, group and permission bits; false when it cannot be looked at.
  struct NodeOwner {
    unsigned uid = 0;
    unsigned gid = 0;
    unsigned mode = 0;
  };
  std::function<bool(const std::string& path, NodeOwner& owner)> owner;
  // Whether the file's access ACL names the user (udev's uaccess puts such an entry there).
  std::function<bool(const std::string& path, unsigned uid)> aclNamesUser;
  // The group's name; its number as text when the system has no name for it.
  std::function<std::string(unsigned gid)> groupName;
  // The serial ports the window lists, for its preselection rule.
  std::vector<platform::PortInfo> ports;
  // Virtual devices registered by running simulators: kind ("serial", "usb-dfu"), path, pid.
  struct VirtualDevice {
    std::string kind;
    std::string path;
    long pid = 0;
  };
  std::vector<VirtualDevice> virtualDevices;
  std::span<const dfu::DeviceIds> extra;
};

// The headset's serial port: found by the USB ids of the device above each tty in sysfs, else the
// port the window preselects.
struct HeadsetPort {
  std::string node;  // "/dev/ttyACM0" (below host.dev)
  std::string name;  // "ttyACM0"
  dfu::winusb::UsbIds ids;
  bool byIds = true;
  std::string description;  // the port list's, when not found by its ids
};
std::optional<HeadsetPort> FindHeadsetPort(const LinuxHost& host);

Finding RootCheck(const LinuxHost& host);
Finding SerialPortCheck(const LinuxHost& host, const std::optional<HeadsetPort>& port);
Finding PortAccessCheck(const LinuxHost& host, const std::optional<HeadsetPort>& port);
Finding UdevRulesCheck(const LinuxHost& host);
Finding ModemManagerCheck(const LinuxHost& host, const std::optional<HeadsetPort>& port);
Finding UsbDeviceCheck(const LinuxHost& host);
Finding VirtualHeadsetCheck(const LinuxHost& host);

// Every check above, in order.
std::vector<Finding> LinuxFindings(const LinuxHost& host);

// The processes that hold `node` open, "name (pid N)" each, from host.proc.
std::vector<std::string> HoldersOf(const LinuxHost& host, const std::string& node);

// --- Windows -------------------------------------------------------------------------------------

struct ComPortNode {
  std::string port;        // "COM4"
  std::string instanceId;  // "USB\VID_0A12&PID_1243&MI_00\6&1A2B&0&0000"
  std::string service;     // its driver; empty: none installed
  std::uint32_t problem = 0;
};

struct WindowsFacts {
  std::vector<ComPortNode> comPorts;              // the Ports class's present nodes
  std::vector<dfu::winusb::DeviceNode> usbNodes;  // the USB enumerator's present nodes
  bool elevated = false;  // an administrator's rights in this process (UAC elevation)
  std::span<const dfu::DeviceIds> extra;
};

Finding ComPortCheck(const WindowsFacts& facts);
Finding WinUsbCheck(const WindowsFacts& facts);
Finding ResetRightsCheck(const WindowsFacts& facts);
std::vector<Finding> WindowsFindings(const WindowsFacts& facts);

// The checks of the system qmr7ctl runs on (posix/ or win32/), for the headsets of the table and
// `extra`.
std::vector<Finding> SystemFindings(std::span<const dfu::DeviceIds> extra);

}  // namespace qmr7ctl::doctor
