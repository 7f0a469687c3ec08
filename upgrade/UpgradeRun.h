// One firmware upgrade, from the headset's leave of its serial port to its return there, as the
// window and qmr7ctl both run it: which device on USB is the headset, how long and how often it is
// looked for, what follows each of the engine's three operations, what a headset asked to be
// replugged and never back means, how far a stop got, and how long its port is waited for.
//
// The run decides and never acts: it is told what happened (a look at USB, the engine's end of an
// operation, a stop, time passed on the injected clock) and answers with what to do next. It has
// no thread, no engine, no window and no text of the catalogue; each front end does the steps and
// says the outcome in its own words.
// Threads: one run belongs to the thread that drives it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "upgrade/DfuQuirks.h"
#include "upgrade/UpgradeWaits.h"
#include "upgrade/UsbEnum.h"

namespace dfu {

// Milliseconds since an arbitrary start, wrapping at 2^32; differences of two readings are exact.
using TickSource = std::function<std::uint32_t()>;

// The device policy: the only device of a walk an upgrade may use. The last device that names
// the firmware, else the last headset boot loader by its DFU-mode ids (the table's or `extra`);
// never another maker's device. Nothing when the walk found no such device with a name.
std::optional<usbenum::UsbDetection> ChooseHeadset(usbenum::UsbDetection walked,
                                                   std::span<const DeviceIds> extra = {});

// A run starts from the headset's port (command 20 first), or, with no port, from the headset
// waiting in DFU mode after a run cut short. A headset running its firmware is reached through its
// port only.
enum class RunStart { FromPort, FromDfuMode, NoHeadset };
RunStart StartOf(bool portAnswers, bool headsetWaitsInDfuMode);

// The wait for the headset on USB: the first look at once, then one every kUpgradePollStep while
// less than `limit` has passed since the start. A limit of 0 looks once.
class UsbSearch {
 public:
  enum class Next { Look, Wait, Found, NotFound };

  UsbSearch(TickSource now, std::chrono::milliseconds limit = kDetectionLimit);

  // Before each look: Look, or NotFound when the time is up (a first look always happens).
  Next BeforeLook();
  // What a look saw: Found, or Wait (kUpgradePollStep) and look again, or NotFound for one look.
  Next Seen(bool found);
  std::chrono::milliseconds Step() const { return kUpgradePollStep; }

 private:
  TickSource now_;
  std::uint32_t limitMs_;
  std::uint32_t start_;
  int looks_ = 0;
};

// The wait for the headset's port after the new firmware started.
class PortWait {
 public:
  PortWait(TickSource now, std::chrono::milliseconds limit = kReconnectLimit);
  bool Over() const;
  std::chrono::milliseconds Limit() const { return std::chrono::milliseconds(limitMs_); }

 private:
  TickSource now_;
  std::uint32_t limitMs_;
  std::uint32_t start_;
};

// The engine's operations, in the order a run takes them.
enum class RunPhase { Idle, Reconfigure, Download, Manifest };

// How a run ends.
enum class RunEnding {
  None,              // still going
  Upgraded,          // the new firmware runs: its port is waited for
  NoDevice,          // nothing on USB within the search
  StartRefused,      // the engine refused to bind or to start an operation
  OperationFailed,   // an operation ended with a result other than success
  NotBackUnwritten,  // asked to be replugged before the image was written, never back
  NotBackWritten,    // asked to be replugged after the image was written, never back
  Stopped,           // stopped by the user
};

// The end report of an engine operation.
struct OperationEnd {
  std::uint32_t result = 0;
  std::uint32_t operation = 0;
  std::uint32_t subOperation = 0;
};

// What follows the end of `phase`: the next phase to start (Idle when none), or the ending.
struct AfterOperation {
  RunPhase next = RunPhase::Idle;
  RunEnding ending = RunEnding::None;
};
// `replugAsked`: the engine asked for a replug during that operation. A replug asked for and a
// device never back is said as such, with whether the image had been written.
AfterOperation NextAfter(RunPhase phase, const OperationEnd& end, bool replugAsked);

// Whether a progress report still belongs to the replug wait that `asking` asked for: the step
// that asked and, after a reset the system refused on detach, the wait for DFU mode after it.
bool StillWaitingForReplug(std::uint32_t asking, std::uint32_t percent, std::uint32_t operation);

// What a stop leaves, by how far the run got.
enum class StopLeaves {
  NothingWritten,   // before the download: the headset runs its firmware or waits in DFU mode
  PartlyWritten,    // during the download: DFU mode without a complete firmware
  Written,          // during the manifestation: the image is in place
  FirmwareRunning,  // while its port is waited for: the upgrade is done
};

// The stages of a run driven from a loop (qmr7ctl) or a table of cases.
enum class RunStage {
  Leaving,
  Searching,
  Binding,
  Reconfigure,
  Download,
  Manifest,
  Reconnecting,
  Ended
};

// What stopping in `stage` leaves.
StopLeaves LeavesAt(RunStage stage);

// One upgrade as a state machine: Begin, then what each answer names. Every wait comes back as
// a step with its length; the driver waits it and says so with Waited (the run reads the clock).
class UpgradeRun {
 public:
  enum class Do {
    Wait,              // wait `wait`, then call Waited
    LookOnUsb,         // walk USB and call Seen with the walk
    Bind,              // bind the engine to Device() and call Bound
    StartReconfigure,  // start the operation and call Started; its end comes to Ended
    StartDownload,
    StartManifest,
    LookForPort,  // look for the headset's port and call PortSeen
    End,          // the run is over: Ending()
  };
  struct Step {
    Do what = Do::End;
    std::chrono::milliseconds wait{0};
  };

  UpgradeRun(TickSource now, std::vector<DeviceIds> extraIds = {});

  // After the headset confirmed command 20 (it leaves its port for USB), or with the headset
  // found waiting in DFU mode (`onUsb`, which the run binds at once).
  Step Begin();
  Step BeginInDfuMode(const usbenum::UsbDetection& onUsb);

  Step Waited();
  Step Seen(const usbenum::UsbDetection& walked);
  Step Bound(bool ok);
  Step Started(bool ok);
  void ReplugAsked() { replugAsked_ = true; }
  Step Ended(const OperationEnd& end);
  Step PortSeen(bool found);
  // The user stops: the run ends, and Leaves says what the stop left.
  Step Stop();

  RunStage Stage() const { return stage_; }
  RunPhase Phase() const;
  RunEnding Ending() const { return ending_; }
  StopLeaves Leaves() const { return leaves_; }
  const usbenum::UsbDetection& Device() const { return device_; }
  bool FromDfuMode() const { return fromDfuMode_; }
  const OperationEnd& LastEnd() const { return lastEnd_; }
  // Upgraded, and its port came back within the wait.
  bool PortBack() const { return portBack_; }
  // Since the engine was bound; 0 before.
  std::uint32_t ElapsedMs() const;

 private:
  Step Next(RunStage stage, Do what, std::chrono::milliseconds wait = {});
  Step Finish(RunEnding ending);
  Step Search();
  Step StartPhase(RunPhase phase);

  TickSource now_;
  std::vector<DeviceIds> extraIds_;
  RunStage stage_ = RunStage::Leaving;
  RunEnding ending_ = RunEnding::None;
  StopLeaves leaves_ = StopLeaves::NothingWritten;
  std::optional<UsbSearch> search_;
  std::optional<PortWait> portWait_;
  usbenum::UsbDetection device_;
  bool fromDfuMode_ = false;
  bool replugAsked_ = false;
  bool portBack_ = false;
  OperationEnd lastEnd_;
  std::uint32_t boundAt_ = 0;
  bool bound_ = false;
};

// --- The texts of a run that need no catalogue ------------------------------------------------

// "m:ss", minutes without a bound (125 s: "2:05").
std::string MinutesSeconds(std::chrono::seconds elapsed);
// "V1.24" for 124.
std::string VersionNumber(int version);
// A catalogue pattern with its "%s" fields filled in order; fields without a value stay.
std::string FillFields(const std::string& pattern, std::initializer_list<std::string> values);

}  // namespace dfu
