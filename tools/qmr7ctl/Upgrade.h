// qmr7ctl's firmware upgrade: the window's run, step by step and with its time limits, waited for
// in place. Everything that waits, walks the USB tree, makes an engine or counts Ctrl-C comes
// through UpgradeSystem, so tests run the waits in virtual time and against the simulator's
// registry.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>

#include "tools/qmr7ctl/Failure.h"
#include "tools/qmr7ctl/Session.h"
#include "upgrade/DFUEngine.h"
#include "upgrade/UpgradeWaits.h"
#include "upgrade/UsbEnum.h"

namespace qmr7ctl {

// The window's waits.
using dfu::kBeforeDetection;
using dfu::kDetectionLimit;
using dfu::kReconnectLimit;
inline constexpr std::chrono::milliseconds kPollStep = dfu::kUpgradePollStep;

struct UpgradeSystem {
  std::function<Clock::time_point()> now;
  std::function<void(std::chrono::milliseconds)> sleep;
  std::function<usbenum::UsbDetection()> walkUsb;
  std::function<DFUEngineHandle()> createEngine;
  // What the drivers say of the headset when no usable device is found; unset: nothing.
  std::function<dfu::winusb::HeadsetDriverCheck()> checkDriver;
  // From this call on, Ctrl-C is counted instead of ending the program.
  std::function<void()> catchInterrupts;
  // The presses counted so far.
  std::function<int()> interrupts;
  // A progress bar redrawn in place; otherwise one line per phase.
  bool terminal = false;

  // The real clock, the system's USB walk and engine.
  static UpgradeSystem Real(std::function<void()> catchInterrupts, std::function<int()> interrupts,
                            bool terminal);
};

// Where a run is when Ctrl-C comes.
enum class Stage { Detecting, Reconfigure, Download, Manifest, Reconnecting };

struct InterruptResponse {
  enum class Kind { None, Warn, Stop } kind = Kind::None;
  std::string message;
  Exit exit = Exit::Ok;
};

// What `presses` of Ctrl-C so far mean in `stage`: once the headset has left its serial port, the
// first press only says what stopping leaves and the second stops; while waiting for the port
// after a finished upgrade, one press stops.
InterruptResponse RespondToInterrupt(Stage stage, int presses);

// The progress line of a terminal: phase, bar, percentage, elapsed time and time left (when the
// percentage allows an estimate), `width` columns for the bar.
std::string ProgressBarLine(Stage stage, int percent, std::chrono::seconds elapsed,
                            std::optional<std::chrono::seconds> left, int width = 30);

// "m:ss", as the window shows elapsed time.
std::string MinutesSeconds(std::chrono::seconds s);

}  // namespace qmr7ctl

namespace qmr7ctl {

// Ctrl-C as the run's stage sees it: warns once, throws Failure when it says stop.
class InterruptWatch {
 public:
  InterruptWatch(UpgradeSystem& system, std::ostream& err) : system_(system), err_(err) {}
  // `percent`: how far the stage got, for the message of a stop.
  void Check(Stage stage, int percent = 0);

 private:
  UpgradeSystem& system_;
  std::ostream& err_;
  int warned_ = 0;
  bool reconnecting_ = false;
  int answered_ = 0;
};

// Polls the USB walk as the window does: every 100 ms up to 30 s. Nothing when it finds no
// headset. A boot loader with the ids of a known headset, or of `extraIds`, is the headset too.
std::optional<usbenum::UsbDetection> FindOnUsb(UpgradeSystem& system, InterruptWatch& watch,
                                               std::span<const dfu::DeviceIds> extraIds = {});

// How the headset found on USB is named to the user: its configuration string, or its ids when
// its boot loader names itself.
std::string UsbIdentity(const usbenum::UsbDetection& found);

// What stopping in `stage` leaves, `percent` into it, in one message.
std::string StoppedText(Stage stage, int percent);

// One engine bound to the headset found on USB, taking it through reconfigure, download and
// manifest with the file. Destroying it ends a running operation.
class EngineRun {
 public:
  EngineRun(UpgradeSystem& system, InterruptWatch& watch, std::ostream& err);
  ~EngineRun();
  EngineRun(const EngineRun&) = delete;
  EngineRun& operator=(const EngineRun&) = delete;

  // Throws Failure (UpgradeFailed) when the engine cannot bind the device or an operation
  // cannot start or fails, and when Ctrl-C stops the run; Failure (NoDevice) when the engine
  // lists no device and the drivers say the headset lacks WinUSB.
  void Run(const std::string& deviceName, const std::string& path,
           std::span<const dfu::DeviceIds> extraIds = {});

 private:
  void Operation(Stage stage, const std::function<bool()>& start);

  UpgradeSystem& system_;
  InterruptWatch& watch_;
  std::ostream& err_;
  DFUEngineHandle handle_ = 0;
  Clock::time_point started_{};
};

}  // namespace qmr7ctl
