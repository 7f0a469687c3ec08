// The virtual-device registry: how programs that stand in for hardware (the virtual headset) make
// their devices known to the tool's port enumeration and device notification.
//
// Each device is one small file in a private folder: `$XDG_RUNTIME_DIR/qmr7/`, or, when that
// variable is unset, `$TMPDIR/qmr7-<uid>/` (`/tmp` when TMPDIR is unset). The folder has mode 0700
// and must belong to the user; anything else is refused, so that another user cannot plant devices.
// Readers ignore a folder that is not the user's own or that others may write to, and every entry
// that is not a regular file of the user which only the user may write (symlinks are not followed;
// named pipes and devices are never read, so no entry can hold a listing up).
//
// File format, version 1. The name is `<pid>-<8 hex digits>.reg`; files starting with a dot are
// writes in progress and never read. The content is UTF-8 text, one item per line ended by LF:
//
//   qmr7-virtual-device 1
//   kind=serial
//   path=/dev/pts/7
//   description=USB Serial Device (QM-R7 virtual headset)
//   pid=4242
//   started=1234567
//   pidns=4026531836
//
// The first line names the format and its version; a reader skips a file with another first line.
// Then `key=value` lines in any order, the value running to the end of the line, no escapes (values
// never hold a line break). `kind`, `path` and `pid` are required; `kind` says what the device is
// (`serial`: a tty at `path`; `usb-dfu`: a USB DFU device whose control transfers travel over the
// Unix socket at `path`, see upgrade/DfuWire.h; further kinds add their own keys). `started` is the
// owner's start time (field 22 of /proc/<pid>/stat) and guards against a recycled pid. Readers keep
// keys they do not know, so a new kind can add fields without a new version; a change that old
// readers would misread needs version 2. `pidns` (optional, added later; old readers keep it as an
// unknown key) is the inode of the owner's /proc/self/ns/pid: it says in which pid namespace `pid`
// and `started` mean anything.
//
// A registration is live while its owner process is. Files whose owner is gone (crashed, killed)
// are ignored and deleted by whoever lists the folder. Only proof deletes: an exit seen, another
// start time, a pid that names no process in the reader's own namespace (when `pidns` says the
// owner ran there), or a device that is gone. An owner of another namespace (its pid means
// nothing here), or of an entry without `pidns` whose pid the reader cannot see, is kept while
// its device is there. Files are written to a temporary name and renamed into place, so a reader
// never sees half a registration.
//
// Errors: operations that must succeed (creating the folder, writing a registration, starting a
// watch) throw RegistryError; reading tolerates what it cannot parse and skips it.
// Threads: a registry object holds no state besides its folder and may be shared; a watcher belongs
// to one thread at a time.
#pragma once

#include <sys/types.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

class RegistryError : public std::runtime_error {
 public:
  // `operation` names what failed, `errorCode` is the errno captured there (0 for none).
  RegistryError(const std::string& operation, int errorCode);
  RegistryError(const std::string& operation, const std::string& reason);

  int ErrorCode() const noexcept { return errorCode_; }

 private:
  int errorCode_;
};

struct VirtualDevice {
  std::string id;  // the file name without `.reg`, unique in the folder
  std::string kind;
  std::string path;
  std::string description;
  pid_t pid = 0;
  unsigned long long started = 0;            // 0: not recorded
  unsigned long long pidNamespace = 0;       // 0: not recorded
  std::map<std::string, std::string> extra;  // keys this version does not know

  friend bool operator==(const VirtualDevice&, const VirtualDevice&) = default;
};

inline constexpr char kSerialKind[] = "serial";
inline constexpr char kUsbDfuKind[] = "usb-dfu";

class VirtualDeviceRegistry {
 public:
  // The folder described above; does not create it.
  static std::string DefaultDirectory();

  VirtualDeviceRegistry() : VirtualDeviceRegistry(DefaultDirectory()) {}
  explicit VirtualDeviceRegistry(std::string directory) : directory_(std::move(directory)) {}

  const std::string& Directory() const { return directory_; }

  // Creates the folder (mode 0700) when missing; checks that it is a private folder of this user.
  void EnsureDirectory() const;

  // Registers a device owned by this process (pid and start time are filled in here) and returns
  // its id. Throws RegistryError.
  std::string Register(const VirtualDevice& device) const;

  // Removes a registration of this process; a missing one is not an error.
  void Unregister(const std::string& id) const;

  // Live registrations, ordered by id, of one kind or (empty kind) of all. Deletes stale ones.
  std::vector<VirtualDevice> List(const std::string& kind = {}) const;

  // Parses one registration file's content; false when it is not a version-1 registration.
  static bool Parse(const std::string& text, VirtualDevice& device);
  static std::string Format(const VirtualDevice& device);

  // Whether the process `pid`, started at `started` (0: unknown), still runs. Zombies do not.
  static bool IsProcessAlive(pid_t pid, unsigned long long started);
  static unsigned long long ProcessStartTime(pid_t pid);

 private:
  std::string directory_;
};

// A registration held for the life of the object.
class ScopedRegistration {
 public:
  ScopedRegistration() = default;
  ScopedRegistration(const VirtualDeviceRegistry& registry, const VirtualDevice& device)
      : registry_(&registry), id_(registry.Register(device)) {}
  ~ScopedRegistration() { Reset(); }

  ScopedRegistration(ScopedRegistration&& other) noexcept;
  ScopedRegistration& operator=(ScopedRegistration&& other) noexcept;

  const std::string& Id() const { return id_; }
  void Reset() noexcept;

 private:
  const VirtualDeviceRegistry* registry_ = nullptr;
  std::string id_;
};

struct VirtualDeviceEvent {
  enum class Kind { Arrived, Removed };
  Kind kind;
  VirtualDevice device;
};

// Watches the folder and turns changes into arrivals and removals. A device whose owner dies
// without unregistering is reported removed too (the owner's exit is watched, not only the folder).
// The devices present when watching starts are the starting set, not arrivals. A folder removed
// or moved away (a cleaner of temporary files) is made again and watched again; while it cannot
// be, its parent folder is watched for its return.
class VirtualDeviceWatcher {
 public:
  explicit VirtualDeviceWatcher(VirtualDeviceRegistry registry);  // throws RegistryError
  ~VirtualDeviceWatcher();

  VirtualDeviceWatcher(const VirtualDeviceWatcher&) = delete;
  VirtualDeviceWatcher& operator=(const VirtualDeviceWatcher&) = delete;

  // Readable (poll, QSocketNotifier) when ReadEvents may have something to report.
  int Fd() const { return epollFd_; }

  // Never blocks: the arrivals and removals since the last call, in that order per device.
  std::vector<VirtualDeviceEvent> ReadEvents();

  // The devices known after the last ReadEvents, ordered by id.
  const std::vector<VirtualDevice>& Devices() const { return devices_; }

 private:
  void WatchOwners();
  // Watches the folder again after it went, making it when missing.
  void WatchFolder();

  VirtualDeviceRegistry registry_;
  int epollFd_ = -1;
  int inotifyFd_ = -1;
  int folderWatch_ = -1;
  int parentWatch_ = -1;           // while the folder cannot be watched
  std::map<pid_t, int> ownerFds_;  // pidfd per owner, readable when the owner exits
  std::vector<VirtualDevice> devices_;
};

}  // namespace platform
