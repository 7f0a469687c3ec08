// The doctor's checks on Linux, over the files sysfs, /dev, /proc and udev's database hold.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include "app/PortRules.h"
#include "platform/UdevPortEnumerator.h"
#include "platform/VirtualDeviceRegistry.h"
#include "toolkit/SmallFile.h"
#include "tools/qmr7ctl/Doctor.h"
#include "tools/qmr7ctl/DoctorTexts.h"
#include "upgrade/UdevRules.h"

namespace qmr7ctl::doctor {
namespace {

namespace fs = std::filesystem;

constexpr char kRulesName[] = "70-qmr7.rules";
constexpr std::size_t kSmallFile = 64 * 1024;

// A sysfs attribute or /proc file, its last line end removed; empty when it cannot be read.
std::string ReadValue(const std::string& path) {
  std::string text;
  if (toolkit::ReadSmallFile(path, kSmallFile, text)) return {};
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  return text;
}

std::optional<std::uint16_t> HexId(const std::string& text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                      : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
                      : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                                  : -1;
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return static_cast<std::uint16_t>(value);
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The USB ids of the device `path` (a sysfs device folder) belongs to: its own, or those of the
// nearest folder above it that has them, not leaving `sys`.
std::optional<dfu::winusb::UsbIds> UsbIdsAbove(const std::string& sys, fs::path path) {
  std::error_code ec;
  const fs::path top = fs::weakly_canonical(sys, ec);
  for (int depth = 0; depth < 8 && !path.empty(); ++depth, path = path.parent_path()) {
    const std::string rel = path.lexically_relative(top).string();
    if (rel.empty() || rel.starts_with("..")) break;
    const auto vendor = HexId(ReadValue((path / "idVendor").string()));
    const auto product = HexId(ReadValue((path / "idProduct").string()));
    if (vendor && product) return dfu::winusb::UsbIds{*vendor, *product};
  }
  return std::nullopt;
}

bool IsRuntimeHeadset(dfu::winusb::UsbIds ids, std::span<const dfu::DeviceIds> extra) {
  for (const dfu::DeviceIds& headset : dfu::KnownHeadsets(extra)) {
    if (headset.vendor == ids.vendor && headset.product == ids.product) return true;
  }
  return false;
}

std::string ModeText(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode & 07777);
  return text;
}

// The granting lines of a rules file: those that give access, comments aside.
std::set<std::string> GrantingLines(const std::string& text) {
  std::set<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    if (line.find("uaccess") != std::string::npos) lines.insert(line.substr(first));
  }
  return lines;
}

// The rules udev uses for our file name, and how they stand against this version's lines (with
// the lines for the ids the user named).
enum class RulesState { Missing, Current, Outdated, Masked };

struct InstalledRules {
  std::string path;  // the file udev reads; empty: none
  RulesState state = RulesState::Missing;
  std::string currentBelow;  // a current file the one udev reads hides (a stale copy in /etc)
};

std::set<std::string> ExpectedLines(const LinuxHost& host) {
  std::string lines = dfu::UdevRuleLines();
  for (const dfu::DeviceIds& ids : host.extra) {
    lines += dfu::UdevRuleLine(ids.vendor, ids.product) + "\n";
    lines += dfu::UdevRuleLine(ids.dfuVendor, ids.dfuProduct) + "\n";
  }
  return GrantingLines(lines);
}

RulesState StateOf(const LinuxHost& host, const std::string& path) {
  std::error_code ec;
  // An empty file or a link to /dev/null is how a rules file is switched off.
  if (fs::is_symlink(path, ec) && fs::read_symlink(path, ec) == "/dev/null") {
    return RulesState::Masked;
  }
  std::string text;
  const toolkit::Error error = toolkit::ReadSmallFile(path, kSmallFile, text);
  if (error.code == ENOENT) return RulesState::Missing;
  if (!error && text.empty()) return RulesState::Masked;
  const std::set<std::string> installed = GrantingLines(text);
  const std::set<std::string> expected = ExpectedLines(host);
  return !error &&
                 std::includes(installed.begin(), installed.end(), expected.begin(), expected.end())
             ? RulesState::Current
             : RulesState::Outdated;
}

InstalledRules FindRules(const LinuxHost& host) {
  InstalledRules rules;
  for (const std::string& folder : host.rulesFolders) {
    const std::string path = folder + "/" + kRulesName;
    const RulesState state = StateOf(host, path);
    if (state == RulesState::Missing) continue;
    if (rules.path.empty()) {
      rules.path = path;
      rules.state = state;
    } else if (state == RulesState::Current && rules.currentBelow.empty()) {
      rules.currentBelow = path;
    }
  }
  return rules;
}

// " --device VID:PID,VID:PID" for each headset the user named, to repeat in a command.
std::string DeviceOptions(const LinuxHost& host) {
  std::string options;
  for (const dfu::DeviceIds& ids : host.extra) {
    char text[48];
    std::snprintf(text, sizeof text, " --device %04x:%04x,%04x:%04x", ids.vendor, ids.product,
                  ids.dfuVendor, ids.dfuProduct);
    options += text;
  }
  return options;
}

std::string InstallRulesFix(const LinuxHost& host) {
  return Say(Words::FixInstallRules, {DeviceOptions(host)});
}

bool ModemManagerRunning(const LinuxHost& host) {
  // Its service's control group shows it where /proc hides other users' processes.
  std::error_code ec;
  if (fs::exists(host.sys + "/fs/cgroup/system.slice/ModemManager.service", ec)) return true;
  for (const std::string& pid : Entries(host.proc)) {
    if (!pid.empty() && std::all_of(pid.begin(), pid.end(), ::isdigit) &&
        ReadValue(host.proc + "/" + pid + "/comm") == "ModemManager") {
      return true;
    }
  }
  return false;
}

// Whether a USB device (its sysfs folder) has a DFU interface in DFU mode (class fe, subclass 01,
// protocol 02): the one sure sign, as a headset may keep its ids in both modes.
bool HasDfuModeInterface(const std::string& device) {
  for (const std::string& name : Entries(device)) {
    const std::string interface = device + "/" + name;
    if (name.find(':') == std::string::npos) continue;
    if (ReadValue(interface + "/bInterfaceClass") == "fe" &&
        ReadValue(interface + "/bInterfaceSubClass") == "01" &&
        ReadValue(interface + "/bInterfaceProtocol") == "02") {
      return true;
    }
  }
  return false;
}

// The tty's device numbers, "major:minor", as sysfs gives them.
std::string DeviceNumbers(const LinuxHost& host, const std::string& tty) {
  return ReadValue(host.sys + "/class/tty/" + tty + "/dev");
}

}  // namespace

std::optional<HeadsetPort> FindHeadsetPort(const LinuxHost& host) {
  const std::string classFolder = host.sys + "/class/tty";
  for (const std::string& name : Entries(classFolder)) {
    std::error_code ec;
    const fs::path device = fs::canonical(classFolder + "/" + name + "/device", ec);
    if (ec) continue;
    const auto ids = UsbIdsAbove(host.sys, device);
    if (ids && IsRuntimeHeadset(*ids, host.extra)) {
      return HeadsetPort{host.dev + "/" + name, name, *ids, true, {}};
    }
  }
  std::vector<std::string> descriptions;
  for (const platform::PortInfo& p : host.ports)
    descriptions.push_back(p.description);
  const int preselected = app::PreselectedPort(descriptions);
  if (preselected < 0) return std::nullopt;
  const platform::PortInfo& p = host.ports[static_cast<std::size_t>(preselected)];
  return HeadsetPort{p.name, fs::path(p.name).filename().string(), {}, false, p.description};
}

Finding SerialPortCheck(const LinuxHost& host, const std::optional<HeadsetPort>& port) {
  if (port && port->byIds) {
    return {"serial-port",
            Status::Ok,
            Say(Words::HeadsetPortFound, {port->node, dfu::winusb::UsbIdText(port->ids)}),
            {}};
  }
  if (port) {
    for (const LinuxHost::VirtualDevice& device : host.virtualDevices) {
      if (device.path == port->node) {
        return {"serial-port", Status::Note, Say(Words::PreselectsVirtual, {port->node}), {}};
      }
    }
    return {"serial-port",
            Status::Note,
            Say(Words::HeadsetPortByRule, {port->node, port->description}),
            {}};
  }
  return {"serial-port", Status::Problem, Say(Words::NoHeadsetPort), Say(Words::FixConnectHeadset)};
}

std::vector<std::string> HoldersOf(const LinuxHost& host, const std::string& node) {
  std::vector<std::string> holders;
  struct stat wanted {};
  if (::stat(node.c_str(), &wanted) != 0) return holders;
  for (const std::string& pid : Entries(host.proc)) {
    if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit)) continue;
    const std::string fds = host.proc + "/" + pid + "/fd";
    for (const std::string& fd : Entries(fds)) {
      // The same file, whatever path it was opened by.
      struct stat open {};
      if (::stat((fds + "/" + fd).c_str(), &open) != 0 || open.st_dev != wanted.st_dev ||
          open.st_ino != wanted.st_ino) {
        continue;
      }
      holders.push_back(ReadValue(host.proc + "/" + pid + "/comm") + " (pid " + pid + ")");
      break;
    }
  }
  return holders;
}

Finding PortAccessCheck(const LinuxHost& host, const std::optional<HeadsetPort>& port) {
  Finding f{"port-access", Status::Problem, {}, {}};
  if (!port) {
    f.status = Status::Note;
    f.text = Say(Words::PortNotChecked);
    return f;
  }
  const int error = host.tryOpen(port->node);
  if (error == 0) {
    f.status = Status::Ok;
    f.text = Say(Words::PortOpens, {port->node});
    return f;
  }
  if (error == EBUSY) {
    const std::vector<std::string> holders = HoldersOf(host, port->node);
    std::string names;
    for (const std::string& h : holders)
      names += (names.empty() ? "" : ", ") + h;
    f.text = holders.empty() ? Say(Words::PortHeldByUnknown, {port->node})
                             : Say(Words::PortHeld, {port->node, names});
    // Another user's processes hide their open files: ModemManager, running, is the usual one.
    if ((holders.empty() && ModemManagerRunning(host)) ||
        (!holders.empty() && holders.front().starts_with("ModemManager "))) {
      f.fix = Say(Words::FixStopModemManager);
    } else if (!holders.empty()) {
      f.fix = Say(Words::FixCloseHolder, {holders.front()});
    } else {
      f.fix = Say(Words::FixReplug);
    }
    return f;
  }
  LinuxHost::NodeOwner node;
  if ((error == EACCES || error == EPERM) && host.owner(port->node, node)) {
    const std::string group = host.groupName(node.gid);
    f.text = Say(Words::PortDenied, {port->node, node.uid == 0 ? "root" : std::to_string(node.uid),
                                     group, ModeText(node.mode)});
    const auto has = [&](const std::vector<unsigned>& groups) {
      return std::find(groups.begin(), groups.end(), node.gid) != groups.end();
    };
    // Joining a group helps only when the group may read and write the port and is not root's.
    const bool groupHelps = node.gid != 0 && (node.mode & 060) == 060;
    if (FindRules(host).state == RulesState::Current && !host.aclNamesUser(port->node, host.uid)) {
      f.fix = Say(Words::FixTriggerRules, {port->node});  // uaccess not applied
    } else if (groupHelps && !has(host.groups) && has(host.memberOf)) {
      f.fix = Say(Words::FixLogInAgain, {group});  // joined after this session began
    } else if (groupHelps && !has(host.groups)) {
      f.fix = Say(Words::FixJoinGroup, {group});
    } else {
      f.fix = InstallRulesFix(host);
    }
    return f;
  }
  f.text = Say(Words::PortDoesNotOpen, {port->node, std::strerror(error)});
  f.fix = Say(Words::FixReplug);
  return f;
}

Finding UdevRulesCheck(const LinuxHost& host) {
  const InstalledRules rules = FindRules(host);
  switch (rules.state) {
    case RulesState::Missing:
      return {"udev-rules", Status::Problem, Say(Words::RulesMissing), InstallRulesFix(host)};
    case RulesState::Masked:
      return {"udev-rules", Status::Problem, Say(Words::RulesMasked, {rules.path}),
              Say(Words::FixRemoveRules, {rules.path})};
    case RulesState::Outdated:
      return {"udev-rules", Status::Problem, Say(Words::RulesOutdated, {rules.path}),
              rules.currentBelow.empty() ? InstallRulesFix(host)
                                         : Say(Words::FixRemoveRules, {rules.path})};
    case RulesState::Current:
      break;
  }
  return {"udev-rules", Status::Ok, Say(Words::RulesCurrent, {rules.path}), {}};
}

Finding ModemManagerCheck(const LinuxHost& host, const std::optional<HeadsetPort>& port) {
  const bool running = ModemManagerRunning(host);
  if (!running) return {"modem-manager", Status::Ok, Say(Words::ModemManagerAbsent), {}};
  // Only a port of the headset's own ids has a place in udev's database to look at.
  if (!port || !port->byIds) {
    return {"modem-manager", Status::Note, Say(Words::ModemManagerNoPort), {}};
  }
  // udev's database holds the port's properties, the one the rules set among them.
  const std::string numbers = DeviceNumbers(host, port->name);
  const std::string data = ReadValue(host.udevData + "/c" + numbers);
  if (!numbers.empty() && data.find("E:ID_MM_DEVICE_IGNORE=1") != std::string::npos)
    return {"modem-manager", Status::Ok, Say(Words::ModemManagerIgnoresPort, {port->node}), {}};
  return {"modem-manager", Status::Problem, Say(Words::ModemManagerProbesPort, {port->node}),
          FindRules(host).state == RulesState::Current ? Say(Words::FixTriggerRules, {port->node})
                                                       : InstallRulesFix(host)};
}

Finding UsbDeviceCheck(const LinuxHost& host) {
  const std::string folder = host.sys + "/bus/usb/devices";
  for (const std::string& name : Entries(folder)) {
    const std::string device = folder + "/" + name;
    const auto vendor = HexId(ReadValue(device + "/idVendor"));
    const auto product = HexId(ReadValue(device + "/idProduct"));
    if (!vendor || !product) continue;
    const auto headset = dfu::HeadsetWithIds(*vendor, *product, host.extra);
    if (!headset) continue;
    const bool dfuMode = HasDfuModeInterface(device) ||
                         (dfu::IsHeadsetInDfuMode(*vendor, *product, host.extra) &&
                          !(headset->vendor == *vendor && headset->product == *product));
    const std::string ids = dfu::winusb::UsbIdText({*vendor, *product});
    const std::string bus = ReadValue(device + "/busnum");
    const std::string number = ReadValue(device + "/devnum");
    char node[64];
    std::snprintf(node, sizeof node, "/bus/usb/%03d/%03d", std::atoi(bus.c_str()),
                  std::atoi(number.c_str()));
    if (host.tryOpen(host.dev + node) != 0) {
      return {"usb-device", Status::Problem, Say(Words::UsbDenied, {ids, bus, number}),
              FindRules(host).state == RulesState::Current
                  ? Say(Words::FixTriggerRules, {host.dev + node})
                  : InstallRulesFix(host)};
    }
    if (dfuMode) {
      return {"usb-device", Status::Problem, Say(Words::UsbDfuMode, {ids, bus, number}),
              Say(Words::FixFinishUpgrade)};
    }
    return {"usb-device", Status::Ok, Say(Words::UsbRuntime, {ids, bus, number}), {}};
  }
  return {"usb-device", Status::Problem, Say(Words::NoHeadsetOnUsb), Say(Words::FixConnectUsb)};
}

Finding VirtualHeadsetCheck(const LinuxHost& host) {
  for (const LinuxHost::VirtualDevice& device : host.virtualDevices) {
    if (device.kind != platform::kSerialKind) continue;
    return {"virtual-headset",
            Status::Note,
            Say(Words::VirtualHeadset, {std::to_string(device.pid), device.path}),
            {}};
  }
  return {"virtual-headset", Status::Ok, Say(Words::NoVirtualHeadset), {}};
}

Finding RootCheck(const LinuxHost& host) {
  if (!host.root) return {};
  return {"user", Status::Note, Say(Words::RunAsRoot), {}};
}

std::vector<Finding> LinuxFindings(const LinuxHost& host) {
  const std::optional<HeadsetPort> port = FindHeadsetPort(host);
  std::vector<Finding> findings;
  if (host.root) findings.push_back(RootCheck(host));
  findings.push_back(SerialPortCheck(host, port));
  findings.push_back(PortAccessCheck(host, port));
  findings.push_back(UdevRulesCheck(host));
  findings.push_back(ModemManagerCheck(host, port));
  findings.push_back(UsbDeviceCheck(host));
  findings.push_back(VirtualHeadsetCheck(host));
  return findings;
}

std::vector<Finding> SystemFindings(std::span<const dfu::DeviceIds> extra) {
  LinuxHost host;
  host.uid = ::geteuid();
  host.root = host.uid == 0;
  const int count = ::getgroups(0, nullptr);
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(count, 0)));
  if (count > 0)
    groups.resize(static_cast<std::size_t>(std::max(::getgroups(count, groups.data()), 0)));
  host.groups.assign(groups.begin(), groups.end());
  host.groups.push_back(::getegid());
  if (const passwd* user = ::getpwuid(host.uid)) {
    int found = 64;
    std::vector<gid_t> member(static_cast<std::size_t>(found));
    if (::getgrouplist(user->pw_name, user->pw_gid, member.data(), &found) < 0 && found > 0) {
      member.resize(static_cast<std::size_t>(found));
      ::getgrouplist(user->pw_name, user->pw_gid, member.data(), &found);
    }
    member.resize(static_cast<std::size_t>(std::max(found, 0)));
    host.memberOf.assign(member.begin(), member.end());
  }
  host.owner = [](const std::string& path, LinuxHost::NodeOwner& owner) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    owner = {st.st_uid, st.st_gid, static_cast<unsigned>(st.st_mode & 07777)};
    return true;
  };
  host.tryOpen = [](const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
  };
  host.aclNamesUser = [](const std::string& path, unsigned uid) {
    // The access ACL's binary form: a 4-byte version, then 8-byte entries (tag, permissions, id);
    // tag 2 is a named user.
    unsigned char acl[1024];
    const ssize_t size = ::getxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl);
    for (ssize_t at = 4; size > 0 && at + 8 <= size; at += 8) {
      const unsigned tag = acl[at] | (acl[at + 1] << 8);
      const unsigned id = acl[at + 4] | (acl[at + 5] << 8) | (acl[at + 6] << 16) |
                          (static_cast<unsigned>(acl[at + 7]) << 24);
      if (tag == 2 && id == uid) return true;
    }
    return false;
  };
  host.groupName = [](unsigned gid) {
    const group* g = ::getgrgid(static_cast<gid_t>(gid));
    return g != nullptr ? std::string(g->gr_name) : std::to_string(gid);
  };
  host.extra = extra;
  try {
    for (const platform::VirtualDevice& d : platform::VirtualDeviceRegistry().List())
      host.virtualDevices.push_back({d.kind, d.path, static_cast<long>(d.pid)});
  } catch (const std::exception&) {
    // A registry that cannot be read lists no virtual device; the window would list none either.
  }
  host.ports = platform::SystemPortEnumerator(platform::VirtualDeviceRegistry()).Enumerate();
  return LinuxFindings(host);
}

}  // namespace qmr7ctl::doctor
