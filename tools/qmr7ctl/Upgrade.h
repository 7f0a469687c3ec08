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
#include <vector>

#include "tools/qmr7ctl/Failure.h"
#include "tools/qmr7ctl/Session.h"
#include "tools/qmr7ctl/UsbDriver.h"
#include "upgrade/DFUEngine.h"
#include "upgrade/UpgradeRun.h"
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
  DriverCheck checkDriver;
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

// The system's clock as the run reads it.
dfu::TickSource Ticks(const UpgradeSystem& system);

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

// How the headset found on USB is named to the user: its configuration string, or its ids when
// its boot loader names itself.
std::string UsbIdentity(const usbenum::UsbDetection& found);

// What stopping in `stage` leaves, `percent` into it, in one message.
std::string StoppedText(Stage stage, int percent);

// How qmr7ctl ends a run that ended in failure as `ending`, after the engine's last end report
// `end`: its exit code and message. A stop is InterruptWatch's to say, with how far it got.
Failure EndingFailure(dfu::RunEnding ending, const dfu::OperationEnd& end = {});

// Drives one dfu::UpgradeRun, which decides every step: waits on the system's clock, walks USB,
// binds one engine to the headset the run chose and starts its three operations, saying each
// phase, and answers Ctrl-C. Returns once the new firmware runs, with the run waiting for the
// headset's port (the caller knows ports: it looks and tells the run, PortSeen). Destroying the
// driver ends a running operation.
// Throws Failure: NoDevice when the search finds nothing (or the drivers say the headset lacks
// WinUSB); UpgradeFailed when the engine refuses to bind or start, an operation fails, or Ctrl-C
// stops the run, with what the run left.
class UpgradeDriver {
 public:
  // `say`: a line to the user, as the command says its own.
  UpgradeDriver(UpgradeSystem& system, InterruptWatch& watch, std::ostream& err,
                std::function<void(const std::string&)> say,
                std::span<const dfu::DeviceIds> extraIds);
  ~UpgradeDriver();
  UpgradeDriver(const UpgradeDriver&) = delete;
  UpgradeDriver& operator=(const UpgradeDriver&) = delete;

  // After the headset confirmed command 20; `found` hears of the headset the search found.
  void FromPort(const std::string& path,
                const std::function<void(const usbenum::UsbDetection&)>& found);
  // The headset waits in DFU mode: straight to binding.
  void FromDfuMode(const usbenum::UsbDetection& onUsb, const std::string& path);

  dfu::UpgradeRun& Run() { return run_; }
  // The engine is done with once the new firmware runs.
  void ReleaseEngine();

 private:
  void Drive(dfu::UpgradeRun::Step step, const std::string& path,
             const std::function<void(const usbenum::UsbDetection&)>& found);
  // Ctrl-C: a stop is the run's too.
  void Check(Stage stage, int percent);
  dfu::UpgradeRun::Step Bind();
  dfu::UpgradeRun::Step Operation(Stage stage, const std::function<bool()>& start);
  void ShowProgress(Stage stage, int percent, Clock::time_point phaseStart, bool done);

  UpgradeSystem& system_;
  InterruptWatch& watch_;
  std::ostream& err_;
  std::function<void(const std::string&)> say_;
  std::vector<dfu::DeviceIds> extraIds_;
  dfu::UpgradeRun run_;
  DFUEngineHandle handle_ = 0;
};

}  // namespace qmr7ctl
