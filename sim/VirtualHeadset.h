// The virtual headset on a pseudo-terminal: the Headset model behind the master side, the slave
// side registered in the virtual-device registry as the tool's serial port. Used by the qmr7-sim
// program and, in-process, by tests.
//
// Like a USB headset, the port disappears when the device leaves (code 20, unplug-after): the pty
// is closed, so the tool's reads fail as on an unplugged port, and the registration goes away.
// After upgrade mode the device comes back on a new pty, as a re-enumerated USB device would.
// The runner keeps a slave descriptor of its own open, so the tool closing and reopening the port
// never looks like a hang-up to the device, and it ends an exclusive open (TIOCEXCL) when the tool
// closes the port, as the kernel does for a real serial port.
//
// Threads: one runner thread does all reading, answering, waiting and leaving. The public methods
// may be called from any thread; callbacks in Options run on the runner thread (the first
// onPresence also in the constructor). Stop() and the destructor end the thread and unregister.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/VirtualDeviceRegistry.h"
#include "sim/Headset.h"

namespace sim {

inline constexpr char kDefaultDescription[] = "USB Serial Device (QM-R7 virtual headset)";

enum class Presence {
  Attached,   // the serial port is there
  Away,       // in upgrade mode, coming back
  Unplugged,  // gone for good: unplug-after, or stopped
};

// What the upgrade side gets while the serial side is away.
struct UpgradeContext {
  // Spends device time; false when the headset is stopping and the upgrade side should return.
  std::function<bool(std::chrono::milliseconds)> wait;
  std::function<void(int)> setFirmwareVersion;  // kept in the state file
  int firmwareVersion = 0;                      // the version running when the side began
  int stopFd = -1;  // readable once the headset is stopping: a side that polls ends then
};

class VirtualHeadset {
 public:
  // Called for every pause of the device instead of waiting in real time; lets tests run the
  // device's pauses instantly and see which were asked for.
  using Pacer = std::function<void(std::chrono::milliseconds)>;

  struct Options {
    Faults faults;
    Timing timing;
    std::string description = kDefaultDescription;
    const platform::VirtualDeviceRegistry* registry = nullptr;  // none: not registered
    std::string stateFile;                                      // empty: nothing is saved
    Pacer pacer;                                                // empty: real time
    // Runs while in upgrade mode; empty: stays away for timing.upgradeAway.
    std::function<void(const UpgradeContext&)> upgradeMode;
    std::function<void(Presence, const std::string& path)> onPresence;
    // A command line the headset took, once it has been answered.
    std::function<void(const std::string& line)> onHeard;
    // The tool opened (true) or closed (false) the port.
    std::function<void(bool opened)> onToolPort;
    // Something failed on the runner thread: saving the state (the headset goes on with the state
    // in memory) or coming back after upgrade mode (the headset stays unplugged).
    std::function<void(const std::string& error)> onError;
  };

  // Opens the pty and registers it; throws std::runtime_error or platform::RegistryError.
  VirtualHeadset(HeadsetState state, Options options);
  ~VirtualHeadset();

  VirtualHeadset(const VirtualHeadset&) = delete;
  VirtualHeadset& operator=(const VirtualHeadset&) = delete;

  void Stop();

  // The slave path while attached, else empty.
  std::string SlavePath() const;
  Presence GetPresence() const;
  HeadsetState State() const;

  // Blocks until the presence is `wanted`; false when `timeout` passes first.
  bool WaitForPresence(Presence wanted, std::chrono::milliseconds timeout) const;

 private:
  void Run();
  void Attach();
  void Detach(Presence next);
  void FollowToolOpens();
  void Save(const HeadsetState& state);
  void Answer(const Reply& reply);
  void WriteToTool(const std::string& bytes);
  // Lets the tool take the last answer before the port goes.
  void LetToolRead();
  bool Pause(std::chrono::milliseconds duration);  // false when stopping
  bool RealWait(std::chrono::milliseconds duration);
  void SetPresence(Presence presence, const std::string& path);

  Options options_;
  std::atomic<bool> stopping_{false};
  int wakeFd_ = -1;
  int masterFd_ = -1;
  int slaveFd_ = -1;  // never read: it keeps the pty alive while the tool has it closed
  int watchFd_ = -1;  // inotify on the slave path
  platform::ScopedRegistration registration_;

  mutable std::mutex mutex_;  // guards headset_, presence_, slavePath_
  mutable std::condition_variable presenceChanged_;
  Headset headset_;
  Presence presence_ = Presence::Away;
  std::string slavePath_;

  std::thread thread_;
};

}  // namespace sim
